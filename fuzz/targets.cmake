# The libFuzzer targets: fuzz/NAME.cpp becomes fuzz_NAME, linked with the reading code
# alone. Included by the top-level CMakeLists.txt when SLABWRIGHT_FUZZ is on.
set(FUZZ_TARGETS png jpeg tiff nifti dicom stack zarr)
add_library(fuzzhelp STATIC ${CMAKE_SOURCE_DIR}/fuzz/fuzzfile.cpp)
target_link_libraries(fuzzhelp PUBLIC slabread)
target_include_directories(fuzzhelp PUBLIC ${CMAKE_SOURCE_DIR}/fuzz)
foreach(name ${FUZZ_TARGETS})
  add_executable(fuzz_${name} ${CMAKE_SOURCE_DIR}/fuzz/${name}.cpp)
  target_link_libraries(fuzz_${name} PRIVATE fuzzhelp)
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer,address,undefined)
endforeach()
