#include "fuzzfile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzzfile {
namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
    std::abort();
}

// This process's folder, made on first use: tmpfs where there is one.
const std::string& folder() {
    static const std::string dir = [] {
        const char* shm = "/dev/shm";
        const char* tmp = std::getenv("TMPDIR");
        const std::string base = access(shm, W_OK) == 0 ? shm : tmp ? tmp : "/tmp";
        const std::string d = base + "/slabwright-fuzz-" + std::to_string(getpid());
        if (mkdir(d.c_str(), 0700) != 0 && access(d.c_str(), W_OK) != 0) fail("cannot make " + d);
        std::atexit([] { rmdir(folder().c_str()); });
        return d;
    }();
    return dir;
}

}  // namespace

TempFile::TempFile(const uint8_t* data, size_t size, const std::string& name) : path_(folder() + "/" + name) {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    if (!f) fail("cannot write " + path_);
    const bool written = size == 0 || std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !written) fail("cannot write " + path_);
}

TempFile::~TempFile() { unlink(path_.c_str()); }

void checkReason(const std::string& reason, const char* who) {
    if (reason.empty()) fail(std::string(who) + " refused without a reason");
}

void checkPage(const formats::Page& pg) {
    if (pg.width <= 0 || pg.height <= 0 || pg.channels < 1 || pg.channels > 4)
        fail("a page of " + std::to_string(pg.width) + " x " + std::to_string(pg.height) + " pixels, " +
             std::to_string(pg.channels) + " channels");
    if (pg.bits != formats::bitsOf(pg.samples)) fail("the page's sample kind is not of its bits");
    const size_t samples = size_t(pg.width) * size_t(pg.height) * size_t(pg.channels);
    const size_t held = pg.bits == 8 ? pg.s8.size() : pg.bits == 16 ? pg.s16.size() : pg.bits == 32 ? pg.s32.size() : pg.s64.size();
    if (held != samples)
        fail(std::to_string(pg.bits) + "-bit page holds " + std::to_string(held) + " samples of " + std::to_string(samples));
    const size_t lines = size_t(pg.lostAreColumns ? pg.width : pg.height);
    if (!pg.lost.empty() && pg.lost.size() != lines) fail("the page's lost lines do not match its size");
}

void readWhole(const std::string& path, const formats::Reader& format) {
    stackio::Plan plan;
    std::string problem;
    if (!stackio::plan({path}, plan, problem, kBudget)) return checkReason(problem, "plan");
    const formats::FileInfo& info = plan.infos.at(0);
    if (info.reader != &format) return;
    for (size_t k = 0; k < info.pages.size(); ++k) {
        formats::Page page;
        std::string reason;
        if (formats::decodePage(path, info, static_cast<int>(k), page, reason))
            checkPage(page);
        else
            checkReason(reason, "decodePage");
    }
}

std::vector<std::string> split(const uint8_t* data, size_t size) {
    const std::string all(reinterpret_cast<const char*>(data), size);
    const size_t n = std::strlen(kSeparator);
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t at; (at = all.find(kSeparator, from)) != std::string::npos; from = at + n)
        parts.push_back(all.substr(from, at - from));
    parts.push_back(all.substr(from));
    return parts;
}

std::string nameFor(const std::string& bytes, int index) {
    auto at = [&bytes](size_t offset, const char* magic) {
        const size_t n = std::strlen(magic);
        return bytes.size() >= offset + n && bytes.compare(offset, n, magic) == 0;
    };
    const char* ext = ".bin";
    if (at(0, "\x89PNG")) ext = ".png";
    else if (at(0, "\xff\xd8")) ext = ".jpg";
    else if (at(0, "II") || at(0, "MM")) ext = ".tif";
    else if (at(0, "\x1f\x8b")) ext = ".nii.gz";
    else if (at(344, "n+1") || at(4, "n+2")) ext = ".nii";
    else if (at(128, "DICM")) ext = ".dcm";
    return "layer" + std::to_string(index) + ext;
}

}  // namespace fuzzfile
