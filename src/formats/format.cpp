// The table of formats, and reading a header or a page through it.
#include "format.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <new>

#include "orientation.h"

namespace formats {

const char* const kDamaged = "is not an image in a supported format, or it is damaged or truncated";
const char* const kNoMemory = "could not be decoded: there is not enough memory";

namespace {

// Why path cannot be opened as a file, or empty.
std::string notAFile(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return "does not exist or is not a file";
    if (access(path.c_str(), R_OK) != 0) return "cannot be opened for reading";
    if (st.st_size == 0) return "is empty";
    return {};
}

}  // namespace

const std::vector<const Reader*>& readers() {
    // DICOM first: its preamble may hold another format's header (a TIFF one, say).
    static const std::vector<const Reader*> table = {&dicom, &png, &jpeg, &tiff, &nifti, &omeZarr};
    return table;
}

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

std::string who(const Arrangement& a, const Layer& l) {
    const size_t pages = a.infos[size_t(l.file)].pages.size();
    return quoted(a.files[size_t(l.file)]) +
           (pages > 1 ? ", page " + std::to_string(l.page + 1) + " of " + std::to_string(pages) + "," : "");
}

void addWarning(std::string& to, const std::string& words) {
    if (to.find(words) != std::string::npos) return;  // decoders repeat themselves
    if (!to.empty()) to += "; ";
    to += words;
}

void takeAxes(const double (&given)[3][3], const std::string& source, bool& has, double (&axes)[3][3],
              std::vector<std::string>& notes) {
    orientation::Axes a;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) a[r][c] = given[r][c];
    orientation::normalizeColumns(a);
    const std::string problem = orientation::axesProblem(a);
    has = problem.empty();
    if (!has) {
        notes.push_back("has a patient orientation (" + source + ") that is ignored: " + problem + ".");
        return;
    }
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) axes[r][c] = a[r][c];
}

void sayVoxelSize(FileInfo& info, double x, double y, double z, const std::string& unit) {
    const auto size = [](double v) { return std::isfinite(v) && v > 0; };
    if (!size(x) || !size(y)) return;
    double scale = 1;
    std::string name = unit;
    if (unit == "micron" || unit == "um" || unit == "u" || unit == "µm" || unit == "μm" || unit == "\\u00B5m")
        name = "µm";  // the micro sign, the Greek mu, and ImageJ's escape of the sign all occur
    else if (unit == "cm")
        name = "mm", scale = 10;
    else if (unit == "m")
        name = "mm", scale = 1000;
    else if (unit != "nm" && unit != "mm")
        name.clear();
    info.voxelSize[0] = x * scale;
    info.voxelSize[1] = y * scale;
    info.voxelSize[2] = size(z) ? z * scale : 0;
    info.unit = name;
}

void sayVoxelSizeInMetres(FileInfo& info, double x, double y, double z) {
    const char* unit = x >= 1e-4 ? "mm" : x >= 1e-7 ? "µm" : "nm";
    const double per = x >= 1e-4 ? 1e3 : x >= 1e-7 ? 1e6 : 1e9;
    sayVoxelSize(info, x * per, y * per, z * per, unit);
}

File::File(const std::string& path) : f(std::fopen(path.c_str(), "rb")) {}
File::~File() {
    if (f) std::fclose(f);
}

const Reader* recognise(const std::string& path) {
    unsigned char head[kHeadBytes] = {};
    size_t n = 0;
    bool opened = false;
    {
        File f(path);
        opened = f.f != nullptr;
        if (opened) n = std::fread(head, 1, sizeof head, f.f);
    }
    // A folder or URL has no first bytes: its reader knows it by the path.
    if (n == 0 && omeZarr.recognise(path, head, 0)) return &omeZarr;
    if (!opened) return nullptr;
    for (const Reader* r : readers())
        if (r->recognise(path, head, n)) return r;
    return nullptr;
}

bool readHeader(const std::string& path, FileInfo& info, std::string& reason) {
    info = FileInfo();
    reason = notAFile(path);
    if (!reason.empty() && omeZarr.recognise(path, nullptr, 0)) {  // a folder or URL
        info.reader = &omeZarr;
        reason.clear();
        try {
            return omeZarr.header(path, info, reason);
        } catch (const std::bad_alloc&) {
            return reason = kNoMemory, false;
        }
    }
    if (!reason.empty()) return false;
    info.reader = recognise(path);  // null also when it cannot be opened: told apart only then
    if (!info.reader) return reason = File(path).f ? kDamaged : "cannot be opened for reading", false;
    try {
        return info.reader->header(path, info, reason);
    } catch (const std::bad_alloc&) {
        reason = kNoMemory;
        return false;
    }
}

bool decodePage(const std::string& path, const FileInfo& info, int page, Page& out, std::string& reason) {
    out = Page();
    if (!info.reader || page < 0 || page >= static_cast<int>(info.pages.size())) return reason = kDamaged, false;
    try {
        if (info.reader->decode(path, info, page, out, reason)) {
            const PageInfo& pi = info.pages[page];
            out.slope = pi.slope, out.intercept = pi.intercept, out.invert = pi.invert;
            return true;
        }
    } catch (const std::bad_alloc&) {
        reason = kNoMemory;
    }
    out = Page();
    return false;
}

int64_t& bandTargetBytes() {
    static int64_t bytes = int64_t(8) << 20;
    return bytes;
}

bool decodePageBands(const std::string& path, const FileInfo& info, int page, const BandSink& take, Page& out,
                     std::string& reason) {
    out = Page();
    if (!info.reader || !info.reader->decodeBands || page < 0 || page >= static_cast<int>(info.pages.size()))
        return reason = kDamaged, false;
    const PageInfo& pi = info.pages[size_t(page)];
    const BandSink told = [&](Page& band, int y0) {
        band.slope = pi.slope, band.intercept = pi.intercept, band.invert = pi.invert;
        return take(band, y0);
    };
    try {
        if (info.reader->decodeBands(path, info, page, told, out, reason)) {
            out.slope = pi.slope, out.intercept = pi.intercept, out.invert = pi.invert;
            return true;
        }
    } catch (const std::bad_alloc&) {
        reason = kNoMemory;
    }
    out = Page();
    return false;
}

}  // namespace formats
