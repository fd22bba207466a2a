// The DICOM reader fuzzed: the input as one file named as scanners name theirs (no
// extension), its header read as a load reads it, then every frame decoded.
#include "fuzzfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzzfile::TempFile file(data, size, "IM0001");
    fuzzfile::readWhole(file.path(), formats::dicom);
    return 0;
}
