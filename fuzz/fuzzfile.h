// What the fuzz targets share: each input written as a real file (the readers take paths),
// a one-file load of it, and the checks every decoded page must pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "stackio.h"

namespace fuzzfile {

// The memory a fuzzed load may use: plan() refuses what does not fit, as it refuses what
// does not fit in the system's memory, so no header can ask for more than this.
constexpr int64_t kBudget = int64_t(128) << 20;

// Bytes as a file named name in a folder of this process on tmpfs (no disk writes per
// run), removed again when the object goes.
class TempFile {
public:
    TempFile(const uint8_t* data, size_t size, const std::string& name);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Plans a load of the one file path within kBudget (its header read, the memory checked) and,
// if the reader of format (formats::png, ...) took it, decodes every page of it on this
// thread, checking each page and every refusal's words.
void readWhole(const std::string& path, const formats::Reader& format);

// Aborts, with what, unless a decoded page holds the samples its size and kind say.
void checkPage(const formats::Page& page);
// Aborts unless a refusal says why.
void checkReason(const std::string& reason, const char* who);

// The stack target's input: files separated by kSeparator.
constexpr char kSeparator[] = "#slab-next-file#";
std::vector<std::string> split(const uint8_t* data, size_t size);
// A name for a file of the stack with the extension its first bytes suggest.
std::string nameFor(const std::string& bytes, int index);

}  // namespace fuzzfile
