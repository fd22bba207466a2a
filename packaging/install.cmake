# What a user gets: the program, its placeholder pictures and what the desktop needs to
# list it, show its icon and hand it DICOM and NIfTI files; then the Debian package (cpack).
# Included from the top-level CMakeLists.txt after the program's targets.

set(SLABWRIGHT_MAINTAINER "The Slabwright developers <slabwright@example.org>"
    CACHE STRING "The package's maintainer")
set(SLABWRIGHT_HOMEPAGE "https://slabwright.example.org" CACHE STRING "The program's home page")
set(SLABWRIGHT_DATADIR "${CMAKE_INSTALL_FULL_DATADIR}/slabwright")
set(_pkg ${CMAKE_SOURCE_DIR}/packaging)
set(_gen ${CMAKE_BINARY_DIR}/packaging)
set(_metainfo org.example.slabwright.metainfo.xml)

# Files that name the version or the paths, made from their templates.
configure_file(${_pkg}/slabwright.metainfo.xml.in ${_gen}/${_metainfo} @ONLY)
configure_file(${_pkg}/slabwright.1.in ${_gen}/slabwright.1 @ONLY)
configure_file(${_pkg}/changelog.in ${_gen}/changelog @ONLY)
# Debian keeps manual pages and changelogs compressed, without a time stamp (-n).
foreach(_doc slabwright.1 changelog)
  add_custom_command(OUTPUT ${_gen}/${_doc}.gz
    COMMAND gzip -9nc ${_gen}/${_doc} > ${_gen}/${_doc}.gz
    DEPENDS ${_gen}/${_doc} VERBATIM)
endforeach()
add_custom_target(slabwright_docs ALL DEPENDS ${_gen}/slabwright.1.gz ${_gen}/changelog.gz)

# Installing (and cpack) takes what is built, without building everything first: the package
# needs only the program and slabwright_docs, not the tests (scripts/package.sh builds those two).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
install(TARGETS slabwright RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/images/ DESTINATION ${CMAKE_INSTALL_DATADIR}/slabwright/images)
install(FILES ${_pkg}/slabwright.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${_pkg}/slabwright-mime.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages
        RENAME slabwright.xml)
install(FILES ${_gen}/${_metainfo} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${_pkg}/icons/slabwright.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(_size 48 128 256)
  install(FILES ${_pkg}/icons/slabwright-${_size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_size}x${_size}/apps RENAME slabwright.png)
endforeach()
install(FILES ${_gen}/slabwright.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_pkg}/copyright ${_gen}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package: slabwright_VERSION_ARCH.deb, its dependencies the libraries the
# program links (dpkg-shlibdeps).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME slabwright)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${SLABWRIGHT_MAINTAINER}")
# A Debian package installs into /usr whatever the build's own prefix (which is compiled in:
# configure with the default, /usr, for a package).
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SLABWRIGHT_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${SLABWRIGHT_HOMEPAGE}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "viewer and slicer for CT, MRI and microscopy volumes")
# The first line of the description is the summary; this is the text below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Slabwright opens a stack of images (PNG, JPEG, TIFF), a DICOM series or a
NIfTI volume as one voxel volume and shows it in two views: a ray-marched 3D
view from an orbiting camera, and a slice on a plane moved, rotated and scaled
freely. DICOM series are ordered by slice position and shown in their own
units with window and level; voxel sizes give true proportions.
.
The volume can be filtered (colour keying, 3D blur, 3D edges, each with Undo)
and the slice, a frame sequence of a moving plane or the whole volume saved.")
include(CPack)
