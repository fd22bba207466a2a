// PNG and JPEG files are read from their start in one pass: the header alone, or the header
// and then the whole image. The two entry points of such a reader, made from its one
// read(f, info, out, reason), which reads the pixels only when out is given.
#pragma once

#include <cstdio>
#include <string>

#include "format.h"

namespace formats {

using ReadOnePass = bool (*)(FILE* f, FileInfo& info, Page* out, std::string& reason);

template <ReadOnePass read>
bool headerOnePass(const std::string& path, FileInfo& info, std::string& reason) {
    File f(path);
    if (!f.f) return reason = "cannot be opened for reading", false;
    return read(f.f, info, nullptr, reason);
}

// The one page of the file; the header is read again on the way, against a copy of the
// planned one (the decoder's limits come from it).
template <ReadOnePass read>
bool decodeOnePass(const std::string& path, const FileInfo& info, int, Page& out, std::string& reason) {
    File f(path);
    if (!f.f) return reason = "cannot be opened for reading", false;
    FileInfo again = info;
    return read(f.f, again, &out, reason);
}

}  // namespace formats
