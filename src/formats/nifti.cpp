// NIfTI-1 and NIfTI-2 volumes: `.nii`, `.nii.gz`, and `.hdr` with its `.img`.
//
// The header is read here, from a buffer checked field by field before anything is sized
// by it; the library (nifti2_io) only swaps its structs and names the orientation, so none
// of its own reading (which prints to standard error and allocates what a header says) runs.
//
// One file is one volume: slice k is page k, i along x and j along y, as stored. A file of
// several volumes (4D and up) shows its first. Data are read in host order.
#include <nifti2_io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>

#include "format.h"
#include "inflate.h"

namespace formats {
namespace {

constexpr size_t kHeader1 = 348, kHeader2 = 540;
// Deflate inflates at most 1032 bytes from one: a compressed file shorter than its data
// over this is cut short or lies about its size.
constexpr int64_t kMaxInflation = 1032;
// Slices a header may give: the pages' list is sized by it before any other check can.
constexpr int64_t kMaxSlices = int64_t(1) << 20;

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}
bool endsWith(const std::string& s, const char* tail) {
    const size_t n = std::strlen(tail);
    return s.size() >= n && lower(s.substr(s.size() - n)) == tail;
}

int32_t swap32(int32_t v) { return int32_t(__builtin_bswap32(uint32_t(v))); }
// The header version a buffer starts with (by sizeof_hdr in either byte order), 0 if none.
int versionOf(const unsigned char* b, size_t n, bool& swapped) {
    if (n < 4) return 0;
    int32_t s;
    std::memcpy(&s, b, 4);
    swapped = s != 348 && s != 540;
    if (swapped) s = swap32(s);
    return s == 348 ? 1 : s == 540 ? 2 : 0;
}
bool magicIs(const unsigned char* at, const char* single, const char* pair, bool& isPair) {
    isPair = std::memcmp(at, pair, 4) == 0;
    return isPair || std::memcmp(at, single, 4) == 0;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

bool isGzip(const std::string& path) {
    FilePtr f(std::fopen(path.c_str(), "rb"));
    unsigned char b[2] = {0, 0};
    return f && std::fread(b, 1, 2, f.get()) == 2 && b[0] == 0x1f && b[1] == 0x8b;
}
int64_t sizeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? int64_t(st.st_size) : -1;
}

// The first n bytes of a file, inflated when it is compressed; fewer when it is shorter.
bool readStart(const std::string& path, bool gz, unsigned char* to, size_t n, size_t& got) {
    if (gz) {
        ForwardInflater in(path, 0, ForwardInflater::Wrap::Gzip);
        if (!in.ok()) return false;
        got = in.read(to, n);
        return in.damage().empty();
    }
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f) return false;
    got = std::fread(to, 1, n, f.get());
    return true;
}

// A header's fields as this reader uses them, in host order and the widest types.
struct Header {
    int version = 1;
    bool swapped = false, pair = false;
    int64_t dim[8] = {};
    int datatype = 0;
    double pixdim[8] = {};
    double voxOffset = 0;
    double slope = 0, inter = 0;
    int units = 0, qformCode = 0, sformCode = 0;
    double quatern[6] = {};  // b, c, d, then the offsets x, y, z
    double srow[3][4] = {};
};

template <class H>
void common(const H& h, Header& out) {
    for (int i = 0; i < 8; ++i) out.dim[i] = h.dim[i], out.pixdim[i] = h.pixdim[i];
    out.datatype = h.datatype;
    out.voxOffset = double(h.vox_offset);
    out.slope = h.scl_slope, out.inter = h.scl_inter;
    out.units = h.xyzt_units & 0xff;
    out.qformCode = h.qform_code, out.sformCode = h.sform_code;
    const double q[6] = {h.quatern_b, h.quatern_c, h.quatern_d, h.qoffset_x, h.qoffset_y, h.qoffset_z};
    std::copy(q, q + 6, out.quatern);
    for (int c = 0; c < 4; ++c) out.srow[0][c] = h.srow_x[c], out.srow[1][c] = h.srow_y[c], out.srow[2][c] = h.srow_z[c];
}

bool parse(const unsigned char* b, size_t n, Header& out, std::string& reason) {
    out = Header();
    out.version = versionOf(b, n, out.swapped);
    if (out.version == 0) return reason = "is not a NIfTI file, or its header is damaged", false;
    if (n < (out.version == 1 ? kHeader1 : kHeader2)) return reason = "is truncated: its NIfTI header is incomplete", false;
    if (out.version == 1) {
        nifti_1_header h;
        std::memcpy(&h, b, sizeof h);
        if (out.swapped) nifti_swap_as_nifti1(&h);
        if (!magicIs(reinterpret_cast<const unsigned char*>(h.magic), "n+1", "ni1", out.pair))
            return reason = "has no NIfTI magic: it is an Analyze 7.5 header, which is not supported (NIfTI-1 and "
                            "NIfTI-2 are), or a damaged NIfTI one",
                   false;
        common(h, out);
    } else {
        nifti_2_header h;
        std::memcpy(&h, b, sizeof h);
        if (out.swapped) nifti_swap_as_nifti2(&h);
        if (!magicIs(reinterpret_cast<const unsigned char*>(h.magic), "n+2", "ni2", out.pair))
            return reason = "is not a NIfTI file, or its header is damaged", false;
        common(h, out);
    }
    return true;
}

// How the samples of a NIfTI datatype are read; false, with the reason, for those that are not.
bool kindOf(int datatype, Samples& kind, int& bytes, int& channels, std::string& reason) {
    channels = 1;
    switch (datatype) {
        case DT_UINT8: return kind = Samples::Unsigned8, bytes = 1, true;
        case DT_INT8: return kind = Samples::Signed8, bytes = 1, true;
        case DT_UINT16: return kind = Samples::Unsigned16, bytes = 2, true;
        case DT_INT16: return kind = Samples::Signed16, bytes = 2, true;
        case DT_UINT32: return kind = Samples::Unsigned32, bytes = 4, true;
        case DT_INT32: return kind = Samples::Signed32, bytes = 4, true;
        case DT_FLOAT32: return kind = Samples::Float32, bytes = 4, true;
        case DT_UINT64: return kind = Samples::Unsigned64, bytes = 8, true;
        case DT_INT64: return kind = Samples::Signed64, bytes = 8, true;
        case DT_FLOAT64: return kind = Samples::Float64, bytes = 8, true;
        case DT_RGB24: return kind = Samples::Unsigned8, bytes = 1, channels = 3, true;
        case DT_RGBA32: return kind = Samples::Unsigned8, bytes = 1, channels = 4, true;
        default: break;
    }
    const char* what = datatype == DT_BINARY       ? "1-bit samples"
                       : datatype == DT_COMPLEX64  ? "complex 64-bit samples"
                       : datatype == DT_COMPLEX128 ? "complex 128-bit samples"
                       : datatype == DT_COMPLEX256 ? "complex 256-bit samples"
                       : datatype == DT_FLOAT128   ? "128-bit floating-point samples"
                                                   : nullptr;
    reason = what ? std::string("has ") + what + ", which cannot be read"
                  : "has samples of an unknown kind (NIfTI datatype " + std::to_string(datatype) + "), which cannot be read";
    return false;
}

// The first of stem + each extension that is a file, or empty.
std::string besideStem(const std::string& path, const char* const (&from)[2], std::initializer_list<const char*> to) {
    size_t cut = 0;
    for (const char* ext : from)
        if (endsWith(path, ext)) cut = std::max(cut, std::strlen(ext));
    if (cut == 0) return {};
    const std::string stem = path.substr(0, path.size() - cut);
    for (const char* ext : to)
        if (sizeOf(stem + ext) >= 0) return stem + ext;
    return {};
}
// Where a pair's data live: the .img (or .img.gz) beside the .hdr (or .hdr.gz).
std::string imageOf(const std::string& hdr) {
    return besideStem(hdr, {".hdr", ".hdr.gz"}, {".img", ".IMG", ".img.gz", ".IMG.GZ"});
}
// The header of a pair's data file, where the data file is named.
std::string headerOf(const std::string& img) {
    return besideStem(img, {".img", ".img.gz"}, {".hdr", ".HDR", ".hdr.gz", ".HDR.GZ"});
}

// The sform and the qform as matrices (RAS, mm).
nifti_dmat44 sformOf(const Header& h) {
    nifti_dmat44 m{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) m.m[r][c] = h.srow[r][c];
    m.m[3][3] = 1;
    return m;
}
nifti_dmat44 qformOf(const Header& h) {
    const double qfac = h.pixdim[0] < 0 ? -1 : 1;
    return nifti_quatern_to_dmat44(h.quatern[0], h.quatern[1], h.quatern[2], h.quatern[3], h.quatern[4], h.quatern[5],
                                   h.pixdim[1], h.pixdim[2], h.pixdim[3], qfac);
}

// The directions of i, j and k in LPS (RAS with x and y turned round), of unit length.
void lpsDirections(const nifti_dmat44& m, double (&d)[3][3]) {
    for (int c = 0; c < 3; ++c) {
        const double l = std::sqrt(m.m[0][c] * m.m[0][c] + m.m[1][c] * m.m[1][c] + m.m[2][c] * m.m[2][c]);
        for (int r = 0; r < 3; ++r) d[r][c] = (r < 2 ? -m.m[r][c] : m.m[r][c]) / (l > 0 ? l : 1);
    }
}

// The patient axes: the sform where its code is set, else the qform, else none. A qform
// that points elsewhere than the sform is noted; the sform is used.
void sayAxes(const Header& h, FileInfo& info) {
    if (h.sformCode <= 0 && h.qformCode <= 0) return;
    double s[3][3], q[3][3];
    lpsDirections(sformOf(h), s);
    lpsDirections(qformOf(h), q);
    if (h.sformCode > 0 && h.qformCode > 0) {
        bool differ = false;
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) differ = differ || !(std::fabs(s[r][c] - q[r][c]) <= 1e-3);
        if (differ) info.notes.push_back("has a qform and an sform that give different orientations; the sform is used.");
    }
    takeAxes(h.sformCode > 0 ? s : q, h.sformCode > 0 ? "sform" : "qform", info.hasAxes, info.axes,
             info.notes);
}

// "LAS": where the i, j and k axes point, from the sform, else the qform; empty if neither says.
std::string orientation(const Header& h) {
    nifti_dmat44 m{};
    if (h.sformCode > 0) {
        m = sformOf(h);
    } else if (h.qformCode > 0) {
        m = qformOf(h);
    } else {
        return {};
    }
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            if (!std::isfinite(m.m[r][c])) return {};
    int axes[3] = {0, 0, 0};
    nifti_dmat44_to_orientation(m, &axes[0], &axes[1], &axes[2]);
    std::string code;
    for (const int a : axes) {
        if (a < NIFTI_L2R || a > NIFTI_S2I) return {};
        code += "RLAPSI"[a - 1];  // the way the axis runs to: NIFTI_L2R runs to the right
    }
    return code;
}

// Everything a header says that reading its data needs.
struct Volume {
    Header h;
    std::string dataPath;  // the file holding the samples
    bool gz = false;       // ... compressed
    int64_t nx = 0, ny = 0, nz = 0, volumes = 1;
    Samples kind = Samples::Unsigned8;
    int bytes = 1, channels = 1;
    int64_t start = 0;       // where slice 0 starts in the (inflated) data file
    int64_t sliceBytes = 0;  // one slice's samples
};

// Reads and checks the header of path (of the .hdr beside it, when path names a pair's
// .img); nothing is sized by it before it passed.
bool examine(const std::string& named, Volume& v, std::string& reason) {
    static std::once_flag quiet;
    std::call_once(quiet, [] { nifti_set_debug_level(0); });
    const std::string beside = headerOf(named);
    const std::string& path = beside.empty() ? named : beside;
    const bool gz = isGzip(path);
    unsigned char buf[kHeader2] = {};
    size_t got = 0;
    if (!readStart(path, gz, buf, sizeof buf, got)) return reason = "cannot be opened for reading", false;
    Header& h = v.h;
    if (!parse(buf, got, h, reason)) return false;
    const std::string damaged = "has a damaged NIfTI header: ";
    const int64_t dims = h.dim[0];
    if (dims < 1 || dims > 7) return reason = damaged + std::to_string(dims) + " dimensions", false;
    std::string size;
    for (int i = 1; i <= dims; ++i) size += (i > 1 ? " x " : "") + std::to_string(h.dim[i]);
    for (int i = 1; i <= dims; ++i)
        if (h.dim[i] < 1 || h.dim[i] > INT_MAX) return reason = damaged + "its size " + size + " is not a volume's", false;
    v.nx = h.dim[1], v.ny = dims >= 2 ? h.dim[2] : 1, v.nz = dims >= 3 ? h.dim[3] : 1;
    for (int i = 4; i <= dims; ++i) {
        if (v.volumes > INT64_MAX / h.dim[i]) return reason = damaged + "its size " + size + " is not a volume's", false;
        v.volumes *= h.dim[i];
    }
    if (v.nz > kMaxSlices)
        return reason = "has " + std::to_string(v.nz) + " slices, more than a volume can hold (" +
                        std::to_string(kMaxSlices) + ")",
               false;
    if (!kindOf(h.datatype, v.kind, v.bytes, v.channels, reason)) return false;
    if (!std::isfinite(h.voxOffset) || h.voxOffset < 0 || h.voxOffset > double(INT64_MAX / 2))
        return reason = damaged + "its data offset is not a place in a file", false;

    // The data: after the header in one file, or at the offset of the .img beside it.
    v.start = int64_t(h.voxOffset);
    if (h.pair) {
        v.dataPath = imageOf(path);
        if (v.dataPath.empty()) return reason = "is a NIfTI header without its image file (.img) beside it", false;
        v.gz = isGzip(v.dataPath);
    } else {
        const int64_t least = int64_t(h.version == 1 ? kHeader1 : kHeader2) + 4;  // the extension flags
        v.start = std::max(v.start, least);
        v.dataPath = path, v.gz = gz;
    }
    // In 128 bits until the file's size bounds it: 2^31 x 2^31 pixels of 8 bytes do not fit in 64.
    const unsigned __int128 slice = static_cast<unsigned __int128>(v.nx) * uint64_t(v.ny) * unsigned(v.channels * v.bytes);
    const unsigned __int128 end = static_cast<unsigned __int128>(v.start) + slice * uint64_t(v.nz);
    const int64_t fileSize = sizeOf(v.dataPath);
    if (fileSize < 0) return reason = "cannot be opened for reading", false;
    const std::string which = h.pair ? "its image file is" : "it is";
    if (!v.gz && uint64_t(v.start) >= uint64_t(fileSize))
        return reason = "is truncated: its data start at byte " + std::to_string(v.start) + ", but " + which + " " +
                        std::to_string(fileSize) + " bytes long",
               false;
    // Only the first volume is read, so only it must be there.
    const std::string samples = std::string(v.volumes > 1 ? "its first volume's " : "its ") + std::to_string(v.nx) +
                                " x " + std::to_string(v.ny) + " x " + std::to_string(v.nz) + " samples";
    if (!v.gz && end > uint64_t(fileSize))
        return reason = "is truncated: " + which + " " + std::to_string(fileSize) + " bytes long, but " + samples +
                        " need more",
               false;
    if (v.gz && (end > static_cast<unsigned __int128>(fileSize) * kMaxInflation || end > INT64_MAX))
        return reason = "is truncated, or its header is wrong: " + std::to_string(fileSize) +
                        " compressed bytes cannot hold " + samples,
               false;
    v.sliceBytes = int64_t(slice);  // below the end, which is below 2^63 now
    return true;
}

// One forward-reading inflater per compressed data file, shared by the decoders of its
// slices (through FileInfo::shared): inflating from the start for every slice would take
// time quadratic in the slices.
// Slices passed over on the way to a later one are kept (at most kKeptBytes of them, or 4)
// for the decoders that ask for them a moment later; a slice behind the stream starts it
// again from the beginning.
class Inflater {
public:
    explicit Inflater(const Volume& v)
        : path_(v.dataPath), start_(v.start), sliceBytes_(size_t(v.sliceBytes)), slices_(v.nz),
          keep_(std::max<int64_t>(4, kKeptBytes / std::max<int64_t>(1, v.sliceBytes))) {}
    // What the kept slices may hold: the decodes' share of it is in decodeBytes.
    static constexpr int64_t kKeptBytes = int64_t(32) << 20;
    // Whether it reads the data of v (the file may have been written anew since).
    bool serves(const Volume& v) const {
        return path_ == v.dataPath && start_ == v.start && int64_t(sliceBytes_) == v.sliceBytes && slices_ == v.nz;
    }
    // Inflates slice k into to (sliceBytes of them); false with the reason.
    bool slice(int64_t k, unsigned char* to, std::string& reason) {
        std::lock_guard<std::mutex> lock(m_);
        const auto hit = kept_.find(k);
        if (hit != kept_.end()) {
            std::memcpy(to, hit->second.data(), sliceBytes_);
            kept_.erase(hit);
        } else {
            const int64_t at = start_ + k * int64_t(sliceBytes_);
            if (!g_ || pos_ > at) {
                g_ = std::make_unique<ForwardInflater>(path_, 0, ForwardInflater::Wrap::Gzip);
                if (!g_->ok()) return g_.reset(), reason = "cannot be opened for reading", false;
                pos_ = 0;
            }
            if (pos_ < start_ && !skip(start_ - pos_, reason)) return false;
            while (pos_ < at) {
                const int64_t j = (pos_ - start_) / int64_t(sliceBytes_);
                if (k - j > keep_ || kept_.count(j)) {
                    if (!skip(int64_t(sliceBytes_), reason)) return false;
                    continue;
                }
                std::vector<unsigned char>& piece = kept_[j];
                piece.resize(sliceBytes_);
                if (!read(piece.data(), reason)) return kept_.erase(j), false;
                while (int64_t(kept_.size()) > keep_) kept_.erase(kept_.begin());  // the oldest were not wanted
            }
            if (!read(to, reason)) return false;
        }
        if (k == slices_ - 1 && kept_.empty()) g_.reset();  // done: the file need not stay open
        return true;
    }

private:
    // Reads one slice at pos_.
    bool read(unsigned char* to, std::string& reason) {
        for (size_t done = 0; done < sliceBytes_;) {
            const unsigned n = unsigned(std::min<size_t>(sliceBytes_ - done, 1u << 30));
            if (!inflated(to + done, n, reason)) return false;
            done += n;
        }
        return true;
    }
    bool skip(int64_t n, std::string& reason) {
        std::vector<unsigned char> scratch(size_t(std::min<int64_t>(n, 1 << 16)));
        for (; n > 0;) {
            const unsigned step = unsigned(std::min<int64_t>(n, int64_t(scratch.size())));
            if (!inflated(scratch.data(), step, reason)) return false;
            n -= step;
        }
        return true;
    }
    bool inflated(unsigned char* to, unsigned n, std::string& reason) {
        const size_t r = g_->read(to, n);
        if (r == n && g_->damage().empty()) return pos_ += n, true;
        const std::string words = g_->damage();
        g_.reset();  // a stream that failed starts again if asked
        if (words.empty())
            reason = "is truncated: its compressed data end before its samples do";
        else
            reason = "is damaged: its compressed data do not inflate (" + words + ")";
        return false;
    }

    std::mutex m_;
    const std::string path_;
    const int64_t start_;
    const size_t sliceBytes_;
    const int64_t slices_;
    const int64_t keep_;  // slices kept at most: 4, or as many as fit in kKeptBytes
    std::unique_ptr<ForwardInflater> g_;
    int64_t pos_ = 0;
    std::map<int64_t, std::vector<unsigned char>> kept_;
};

template <class T>
void swapAll(std::vector<T>& s) {
    for (T& x : s) {
        if constexpr (sizeof(T) == 2) x = T(__builtin_bswap16(x));
        if constexpr (sizeof(T) == 4) x = T(__builtin_bswap32(x));
        if constexpr (sizeof(T) == 8) x = T(__builtin_bswap64(x));
    }
}

// Reads slice k's bytes into to; shared: the file's inflater, if header() made one.
bool readSlice(const Volume& v, const std::shared_ptr<void>& shared, int64_t k, unsigned char* to, std::string& reason) {
    if (v.gz) {
        std::shared_ptr<Inflater> in = std::static_pointer_cast<Inflater>(shared);
        if (!in || !in->serves(v)) in = std::make_shared<Inflater>(v);  // an info not made by header() for this file
        return in->slice(k, to, reason);
    }
    FilePtr f(std::fopen(v.dataPath.c_str(), "rb"));
    if (!f) return reason = "cannot be opened for reading", false;
    if (fseeko(f.get(), off_t(v.start + k * v.sliceBytes), SEEK_SET) != 0 ||
        std::fread(to, 1, size_t(v.sliceBytes), f.get()) != size_t(v.sliceBytes))
        return reason = "is truncated: its data end before its samples do", false;
    return true;
}

// A header by its first bytes; pairOnly: only the header of a pair.
bool isHeader(const unsigned char* head, size_t size, bool pairOnly) {
    bool swapped = false, pair = false;
    switch (versionOf(head, size, swapped)) {
        case 1: return size >= kHeader1 && magicIs(head + 344, "n+1", "ni1", pair) && (pair || !pairOnly);
        case 2: return size >= 8 && magicIs(head + 4, "n+2", "ni2", pair) && (pair || !pairOnly);
        default: return false;
    }
}

// An Analyze 7.5 header: NIfTI-1's size without its magic. Taken, to be refused by name.
bool isAnalyze(const unsigned char* head, size_t size) {
    bool swapped = false, pair = false;
    return versionOf(head, size, swapped) == 1 && size >= kHeader1 && !magicIs(head + 344, "n+1", "ni1", pair);
}

bool recognise(const std::string& path, const unsigned char* head, size_t size) {
    if (size >= 2 && head[0] == 0x1f && head[1] == 0x8b && (endsWith(path, ".nii.gz") || endsWith(path, ".hdr.gz")))
        return true;
    if (isHeader(head, size, false) || (endsWith(path, ".hdr") && isAnalyze(head, size))) return true;
    // A pair's .img: by the header beside it.
    const std::string hdr = headerOf(path);
    if (hdr.empty()) return false;
    unsigned char start[kHeader1];
    size_t got = 0;
    return readStart(hdr, isGzip(hdr), start, sizeof start, got) && (isHeader(start, got, true) || isAnalyze(start, got));
}

bool header(const std::string& path, FileInfo& info, std::string& reason) {
    Volume v;
    if (!examine(path, v, reason)) return false;
    const Header& h = v.h;
    PageInfo page;
    page.width = int(v.nx), page.height = int(v.ny);
    page.bits = 8 * v.bytes;
    page.samples = v.kind;
    if (v.channels == 1 && std::isfinite(h.slope) && h.slope != 0) {  // colour is not scaled
        page.slope = h.slope;
        page.intercept = std::isfinite(h.inter) ? h.inter : 0;
    }
    info.pages.assign(size_t(v.nz), page);
    for (int64_t k = 0; k < v.nz; ++k) info.pages[size_t(k)].offset = uint64_t(v.start + k * v.sliceBytes);
    // The page as read; in a compressed file also a share of the slices the inflater keeps
    // (4 slices, or kKeptBytes: a load decodes at least 4 pages at a time).
    const unsigned __int128 bytes = static_cast<unsigned __int128>(v.sliceBytes) * (v.gz ? 2 : 1) + (1 << 20) +
                                    (v.gz ? Inflater::kKeptBytes / 4 : 0);
    info.decodeBytes = bytes > INT64_MAX ? INT64_MAX : int64_t(bytes);

    for (int i = 0; i < 3; ++i) {
        const double d = h.pixdim[i + 1];
        info.voxelSize[i] = std::isfinite(d) && d > 0 ? d : 0;
    }
    switch (XYZT_TO_SPACE(h.units)) {
        case NIFTI_UNITS_METER: info.unit = "m"; break;
        case NIFTI_UNITS_MM: info.unit = "mm"; break;
        case NIFTI_UNITS_MICRON: info.unit = "\xc2\xb5m"; break;
        default: info.unit.clear();
    }
    info.description = orientation(h);
    sayAxes(h, info);
    if (v.gz) info.shared = std::make_shared<Inflater>(v);
    if (v.volumes > 1) info.notes.push_back("holds " + std::to_string(v.volumes) + " volumes; the first is shown");
    return true;
}

bool decode(const std::string& path, const FileInfo& info, int page, Page& out, std::string& reason) {
    Volume v;
    if (!examine(path, v, reason)) return false;
    if (info.pages.size() != size_t(v.nz) || info.pages[size_t(page)].width != v.nx ||
        info.pages[size_t(page)].height != v.ny || info.pages[size_t(page)].samples != v.kind)
        return reason = "has changed since its header was read", false;
    out.width = int(v.nx), out.height = int(v.ny), out.channels = v.channels;
    out.bits = 8 * v.bytes, out.samples = v.kind;
    const size_t n = size_t(v.nx) * size_t(v.ny) * size_t(v.channels);
    auto into = [&](auto& samples) {
        samples.resize(n);
        if (!readSlice(v, info.shared, page, reinterpret_cast<unsigned char*>(samples.data()), reason)) return false;
        if (v.h.swapped) swapAll(samples);
        return true;
    };
    bool ok = v.bytes == 1 ? into(out.s8) : v.bytes == 2 ? into(out.s16) : v.bytes == 4 ? into(out.s32) : into(out.s64);
    if (!ok) out = Page();
    return ok;
}

}  // namespace

const Reader nifti = {"NIfTI", recognise, header, decode, "a NIfTI file", true};
}  // namespace formats
