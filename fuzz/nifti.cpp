// The NIfTI reader fuzzed: the input as one .nii file (.nii.gz when it starts as gzip does),
// its header read as a load reads it, then every slice decoded.
#include "fuzzfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const bool gz = size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
    const fuzzfile::TempFile file(data, size, gz ? "input.nii.gz" : "input.nii");
    fuzzfile::readWhole(file.path(), formats::nifti);
    return 0;
}
