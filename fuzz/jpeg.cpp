// The JPEG reader fuzzed: the input as one JPEG file, its header read as a load reads it, then
// every page decoded.
#include "fuzzfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzzfile::TempFile file(data, size, "input.jpg");
    fuzzfile::readWhole(file.path(), formats::jpeg);
    return 0;
}
