#include "formats/dicomwalk.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "formats/format.h"
#include "formats/inflate.h"

namespace formats::dicomio {
namespace {

const Syntax kSyntaxes[] = {
    {"1.2.840.10008.1.2", "Implicit VR Little Endian", true},
    {"1.2.840.10008.1.2.1", "Explicit VR Little Endian", true},
    {"1.2.840.10008.1.2.1.99", "Deflated Explicit VR Little Endian", true},
    {"1.2.840.10008.1.2.2", "Explicit VR Big Endian", true},
    {"1.2.840.10008.1.2.4.50", "JPEG Baseline", true},
    {"1.2.840.10008.1.2.4.51", "JPEG Extended", true},
    {"1.2.840.10008.1.2.4.57", "JPEG Lossless", true},
    {"1.2.840.10008.1.2.4.70", "JPEG Lossless (first-order prediction)", true},
    {"1.2.840.10008.1.2.4.80", "JPEG-LS Lossless", true},
    {"1.2.840.10008.1.2.4.81", "JPEG-LS Near-Lossless", true},
    {"1.2.840.10008.1.2.4.90", "JPEG 2000 Lossless", true},
    {"1.2.840.10008.1.2.4.91", "JPEG 2000", true},
    {"1.2.840.10008.1.2.5", "RLE Lossless", true},
    {"1.2.840.10008.1.2.4.92", "JPEG 2000 multi-component, lossless", true},
    {"1.2.840.10008.1.2.4.93", "JPEG 2000 multi-component", true},
    {"1.2.840.10008.1.2.4.94", "JPIP Referenced", false},
    {"1.2.840.10008.1.2.4.95", "JPIP Referenced Deflate", false},
    {"1.2.840.10008.1.2.4.100", "MPEG-2", false},
    {"1.2.840.10008.1.2.4.101", "MPEG-2 High Level", false},
    {"1.2.840.10008.1.2.4.102", "MPEG-4 AVC/H.264", false},
    {"1.2.840.10008.1.2.4.103", "MPEG-4 AVC/H.264 BD", false},
    {"1.2.840.10008.1.2.4.104", "MPEG-4 AVC/H.264 2D video", false},
    {"1.2.840.10008.1.2.4.105", "MPEG-4 AVC/H.264 3D video", false},
    {"1.2.840.10008.1.2.4.106", "MPEG-4 AVC/H.264 stereo", false},
    {"1.2.840.10008.1.2.4.107", "HEVC/H.265", false},
    {"1.2.840.10008.1.2.4.108", "HEVC/H.265 Main 10", false},
    {"1.2.840.10008.1.2.4.110", "JPEG XL Lossless", false},
    {"1.2.840.10008.1.2.4.111", "JPEG XL JPEG Recompression", false},
    {"1.2.840.10008.1.2.4.112", "JPEG XL", false},
    {"1.2.840.10008.1.2.4.201", "High-Throughput JPEG 2000 Lossless", false},
    {"1.2.840.10008.1.2.4.202", "High-Throughput JPEG 2000 (RPCL) Lossless", false},
    {"1.2.840.10008.1.2.4.203", "High-Throughput JPEG 2000", false},
};

}  // namespace

const Syntax* syntaxOf(const std::string& uid) {
    for (const Syntax& s : kSyntaxes)
        if (uid == s.uid) return &s;
    return nullptr;
}

int64_t fileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? int64_t(st.st_size) : -1;
}

PixelElement pixelElement(const std::string& path, uint64_t valueAt, bool bigEndian, bool implicit) {
    PixelElement e;
    const int64_t size = fileSize(path);
    File f(path);
    // The header is 8 bytes (implicit VR, or a 2-byte length) or 12 (OB, OW, UN: a 4-byte length).
    for (const int header : {12, 8}) {
        unsigned char h[12];
        if (!f.f || valueAt < uint64_t(header) || std::fseek(f.f, long(valueAt - uint64_t(header)), SEEK_SET) != 0 ||
            std::fread(h, 1, size_t(header), f.f) != size_t(header))
            continue;
        auto u16 = [&](int i) { return bigEndian ? unsigned(h[i] << 8 | h[i + 1]) : unsigned(h[i] | h[i + 1] << 8); };
        auto u32 = [&](int i) {
            return bigEndian ? uint32_t(h[i]) << 24 | uint32_t(h[i + 1]) << 16 | uint32_t(h[i + 2]) << 8 | h[i + 3]
                             : uint32_t(h[i + 3]) << 24 | uint32_t(h[i + 2]) << 16 | uint32_t(h[i + 1]) << 8 | h[i];
        };
        if (u16(0) != 0x7fe0 || u16(2) != 0x0010) continue;
        const bool longVR = !implicit && (h[4] == 'O' || h[4] == 'U') && (h[5] == 'B' || h[5] == 'W' || h[5] == 'N');
        if (header == 12 && longVR) e.length = u32(8);
        else if (header == 8 && implicit) e.length = u32(4);
        else if (header == 8 && !longVR) e.length = u16(6);
        else continue;
        e.found = true;
        e.encapsulated = e.length == 0xffffffffu;
        e.present = size > int64_t(valueAt) ? uint64_t(size - int64_t(valueAt)) : 0;
        return e;
    }
    return e;
}

namespace {


// A deflated data set read forward, as the walker reads it: the bytes from `at` on are
// inflated as they are asked for, and what lies behind the last read is let go, so a
// data set of any size is walked in a few kilobytes.
class Inflated {
public:
    Inflated(const std::string& path, uint64_t from) : in_(path, from, ForwardInflater::Wrap::Raw) {}

    // The size of the whole inflated data set; -1 when it cannot be inflated to its end or
    // is larger than `most` bytes. Leaves the stream ready to be read from its start.
    int64_t measure(uint64_t most) {
        int64_t total = -1;
        while (more() && uint64_t(start_ + window_.size()) <= most) start_ += window_.size(), window_.clear();
        if (in_.ended() && start_ + window_.size() <= most) total = int64_t(start_ + window_.size());
        window_.clear(), start_ = 0;
        return in_.ok() && in_.restart() ? total : -1;
    }

    bool read(uint64_t at, unsigned char* to, size_t n) {
        if (at < start_) return false;  // the walk only goes forward
        while (start_ + window_.size() < at + n) {
            if (at > start_ + window_.size()) start_ += window_.size(), window_.clear();  // skipped over
            if (!more()) return false;
        }
        std::memcpy(to, window_.data() + (at - start_), n);
        // What lies behind is let go a chunk at a time, not on every read: shifting the
        // window for each element header made the walk quadratic in the elements of a chunk.
        const size_t behind = size_t(at - start_);
        if (behind >= kChunk) {
            window_.erase(window_.begin(), window_.begin() + long(behind));
            start_ = at;
        }
        return true;
    }

private:
    ForwardInflater in_;
    std::vector<unsigned char> window_;  // inflated bytes from start_ on
    uint64_t start_ = 0;

    static constexpr size_t kChunk = 65536;

    // Inflates up to a chunk more onto the window; false at the end or on damaged data.
    bool more() {
        if (!in_.ok() || in_.ended() || !in_.damage().empty()) return false;
        const size_t had = window_.size();
        window_.resize(had + kChunk);
        window_.resize(had + in_.read(window_.data() + had, kChunk));
        return window_.size() > had;
    }
};

class Walker {
public:
    explicit Walker(const std::string& path) : path_(path), f_(path), size_(fileSize(path)) {}

    // Empty when the structure is sound, else what is wrong with it.
    std::string problem() {
        if (!f_.f || size_ < 0) return "cannot be read";
        unsigned char head[132] = {};
        const size_t n = std::fread(head, 1, sizeof head, f_.f);
        const bool preamble = n >= 132 && std::memcmp(head + 128, "DICM", 4) == 0;
        uint64_t pos = preamble ? 132 : 0;
        if (preamble || (n >= 2 && head[0] == 0x02 && head[1] == 0)) {
            // The file meta group: explicit VR little endian (implicit in some old writers
            // of files with the preamble; GDCM takes no other without it).
            Form meta{true, false};
            if (!looksExplicit(pos)) {
                if (!preamble) return "is a DICOM file with a damaged file meta group";
                meta.explicitVR = false;
            }
            std::string ts;
            if (!walk(pos, uint64_t(size_), meta, 0, true, &ts)) return why_;
            while (!ts.empty() && (ts.back() == '\0' || ts.back() == ' ')) ts.pop_back();
            // GDCM guesses the form of a data set whose syntax it does not know, and may read
            // it otherwise than the walk below: only the syntaxes known here go on.
            if (ts.empty()) return "is a DICOM file without a transfer syntax";
            for (char& c : ts)
                if (c < ' ' || c > '~') c = '?';
            if (std::none_of(std::begin(kSyntaxes), std::end(kSyntaxes), [&](const Syntax& s) { return ts == s.uid; }))
                return "is stored as transfer syntax " + ts + ", which cannot be decoded";
            if (ts == "1.2.840.10008.1.2.1.99") {  // the rest deflated: walked as it inflates
                inflated_ = std::make_unique<Inflated>(path_, pos);
                const int64_t size = inflated_->measure(kMostInflated);
                if (size < 0) return "has a deflated data set that is damaged or larger than 4 GB";
                size_ = size, pos = 0, inflatedSize = uint64_t(size);
                return walk(pos, uint64_t(size_), {true, false}, 0, false, nullptr) ? std::string() : why_;
            }
            return walk(pos, uint64_t(size_), {ts != "1.2.840.10008.1.2", ts == "1.2.840.10008.1.2.2"}, 0, false, nullptr)
                       ? std::string()
                       : why_;
        }
        // No preamble: the byte order from the first group, the VR form from its look.
        const bool big = n >= 2 && head[0] == 0 && (head[1] == 2 || head[1] == 8);
        return walk(pos, uint64_t(size_), {looksExplicit(0), big}, 0, false, nullptr) ? std::string() : why_;
    }

    // The pixel data element at the top of the data set, as the walk found it.
    PixelElement pixels;
    uint64_t inflatedSize = 0;  // a deflated data set's size, inflated

private:
    static constexpr uint64_t kMostInflated = uint64_t(1) << 32;
    struct Form {
        bool explicitVR, bigEndian;
    };
    std::string path_;
    File f_;
    int64_t size_;
    std::string why_;
    std::unique_ptr<Inflated> inflated_;

    // Element headers are read from a window of the file held here: a seek per element
    // would cost a system call each (fseek drops stdio's buffer), most of a header's time.
    static constexpr size_t kWindow = 16384;
    std::vector<unsigned char> window_;
    uint64_t windowAt_ = 0;
    bool read(uint64_t at, unsigned char* to, size_t n) {
        if (at + n > uint64_t(size_)) return false;
        if (n == 0) return true;  // an empty value: nothing to copy (its buffer may be null)
        if (inflated_) return inflated_->read(at, to, n);
        if (at < windowAt_ || at + n > windowAt_ + window_.size()) {
            if (n > kWindow) return std::fseek(f_.f, long(at), SEEK_SET) == 0 && std::fread(to, 1, n, f_.f) == n;
            window_.resize(size_t(std::min<uint64_t>(kWindow, uint64_t(size_) - at)));
            windowAt_ = at;
            if (std::fseek(f_.f, long(at), SEEK_SET) != 0 || std::fread(window_.data(), 1, window_.size(), f_.f) != window_.size()) {
                window_.clear();
                return false;
            }
        }
        std::memcpy(to, window_.data() + (at - windowAt_), n);
        return true;
    }
    static unsigned u16(const unsigned char* b, bool big) { return big ? unsigned(b[0] << 8 | b[1]) : unsigned(b[0] | b[1] << 8); }
    static uint32_t u32(const unsigned char* b, bool big) {
        return big ? uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3]
                   : uint32_t(b[3]) << 24 | uint32_t(b[2]) << 16 | uint32_t(b[1]) << 8 | b[0];
    }
    static bool upper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
    bool looksExplicit(uint64_t at) {
        unsigned char b[6];
        return read(at, b, 6) && upper(b[4]) && upper(b[5]);
    }
    // Whether a file meta element is one the standard defines, with its own VR (GDCM's
    // reader takes no other).
    static bool metaVR(unsigned element, const std::string& vr) {
        static const std::pair<unsigned, const char*> own[] = {{0x0000, "UL"}, {0x0001, "OB"}, {0x0002, "UI"}, {0x0003, "UI"},
                                                               {0x0010, "UI"}, {0x0012, "UI"}, {0x0013, "SH"}, {0x0016, "AE"},
                                                               {0x0017, "AE"}, {0x0018, "AE"}, {0x0026, "UR"}, {0x0027, "UR"},
                                                               {0x0028, "UR"}, {0x0100, "UI"}, {0x0102, "OB"}};
        for (const auto& [e, v] : own)
            if (e == element) return vr == v;
        return false;
    }
    // Whether the value of `length` bytes at `at` starts with an item's tag.
    bool startsWithItem(uint64_t at, uint64_t length, bool big) {
        unsigned char b[4];
        return length >= 8 && length != 0xffffffffu && read(at, b, 4) && u16(b, big) == 0xfffe && u16(b + 2, big) == 0xe000;
    }
    bool fail(const std::string& why) {
        why_ = why;
        return false;
    }

    // Walks data elements from pos up to end (or, inside an item of undefined length, up
    // to its delimiter). In the meta group stops at its end, keeping the transfer syntax.
    bool walk(uint64_t& pos, uint64_t end, const Form& sx, int depth, bool meta, std::string* ts) {
        if (depth > 16) return fail("is a DICOM file nested too deep");
        while (pos < end) {
            unsigned char h[12];
            if (!read(pos, h, 8)) return fail("is truncated in the middle of an element");
            // Group 0002 is always little endian.
            const unsigned group = u16(h, sx.bigEndian && !meta), element = u16(h + 2, sx.bigEndian && !meta);
            if (meta && group != 0x0002) return true;
            const bool big = sx.bigEndian && group != 0x0002;
            if (group == 0xfffe && element == 0xe00d) {  // the end of an item of undefined length
                if (u32(h + 4, big) != 0) return fail("is a DICOM file with a damaged sequence");
                pos += 8;
                return depth > 0 ? true : fail("is a DICOM file with an item delimiter outside any item");
            }
            if (group == 0xfffe) return fail("is a DICOM file with an item outside any sequence");
            uint64_t length;
            bool sequence = false, unknown = false;
            if (sx.explicitVR || meta) {
                const std::string vr(reinterpret_cast<const char*>(h + 4), 2);
                static const std::string known = "AE AS AT CS DA DS DT FL FD IS LO LT OB OD OF OL OV OW PN SH SL SQ SS ST "
                                                 "SV TM UC UI UL UN UR US UT UV";
                if (!upper(h[4]) || !upper(h[5]) || known.find(vr) == std::string::npos || known.find(vr) % 3 != 0)
                    return fail("is a DICOM file with a damaged element");
                if (meta && !metaVR(element, vr)) return fail("is a DICOM file with a damaged file meta group");
                static const char* const wide[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ", "SV", "UC", "UN", "UR", "UT", "UV"};
                bool isWide = false;
                for (const char* w : wide) isWide = isWide || vr == w;
                if (isWide) {
                    if (!read(pos + 8, h + 8, 4)) return fail("is truncated in the middle of an element");
                    length = u32(h + 8, big);
                    pos += 12;
                } else {
                    length = u16(h + 6, big);
                    pos += 8;
                }
                unknown = vr == "UN" && (length == 0xffffffffu || startsWithItem(pos, length, false));
                sequence = vr == "SQ" || unknown;  // UN: an implicit VR sequence inside
            } else {
                length = u32(h + 4, big);
                pos += 8;
                // GDCM knows a sequence of defined length by its tag; here, by its first item.
                sequence = length == 0xffffffffu || startsWithItem(pos, length, big);
            }
            const bool pixelData = group == 0x7fe0 && element == 0x0010 && depth == 0 && !meta;
            if (pixelData) {
                pixels.found = true, pixels.encapsulated = length == 0xffffffffu, pixels.length = length;
                pixels.present = uint64_t(size_) - std::min(pos, uint64_t(size_));
                pixels.valueAt = pos;
            }
            if (group == 0x7fe0 && element == 0x0010 && length == 0xffffffffu) {
                if (!fragments(pos, end, big)) return false;
                continue;
            }
            if (sequence) {
                const Form inner = unknown ? Form{false, false} : sx;
                if (!items(pos, length == 0xffffffffu ? end : pos + length, length == 0xffffffffu, inner, depth)) return false;
                continue;
            }
            if (length == 0xffffffffu) return fail("is a DICOM file with a damaged element");
            if (pos + length > end) return fail("is truncated: an element runs past the end of the file");
            if (meta && ts && element == 0x0010) {
                std::vector<unsigned char> v(std::min<uint64_t>(length, 64));
                if (!read(pos, v.data(), v.size())) return fail("is truncated in its file meta group");
                ts->assign(v.begin(), v.end());
            }
            pos += length;
        }
        return true;
    }

    // The items of a sequence, up to its delimiter (undefined length) or to end.
    bool items(uint64_t& pos, uint64_t end, bool undefined, const Form& sx, int depth) {
        if (end > uint64_t(size_)) return fail("is truncated: a sequence runs past the end of the file");
        while (pos < end) {
            unsigned char h[8];
            if (!read(pos, h, 8)) return fail("is truncated in the middle of a sequence");
            const unsigned group = u16(h, sx.bigEndian), element = u16(h + 2, sx.bigEndian);
            const uint32_t length = u32(h + 4, sx.bigEndian);
            pos += 8;
            if (group == 0xfffe && element == 0xe0dd)
                return undefined && length == 0 ? true : fail("is a DICOM file with a damaged sequence");
            if (group != 0xfffe || element != 0xe000) return fail("is a DICOM file with a damaged sequence");
            if (length == 0xffffffffu) {
                if (!walk(pos, uint64_t(size_), sx, depth + 1, false, nullptr)) return false;
            } else {
                if (pos + length > end) return fail("is truncated: an item runs past its sequence");
                uint64_t inner = pos;
                if (!walk(inner, pos + length, sx, depth + 1, false, nullptr)) return false;
                pos += length;
            }
        }
        return undefined ? fail("is truncated: a sequence has no end") : true;
    }

    // Encapsulated pixel data: items of defined length up to the sequence delimiter.
    bool fragments(uint64_t& pos, uint64_t end, bool big) {
        while (true) {
            unsigned char h[8];
            if (!read(pos, h, 8)) return fail("is truncated in its compressed pixel data");
            const unsigned group = u16(h, big), element = u16(h + 2, big);
            const uint32_t length = u32(h + 4, big);
            pos += 8;
            if (group == 0xfffe && element == 0xe0dd)  // GDCM reads a delimiter's length as a fragment's
                return length == 0 ? true : fail("is a DICOM file with damaged compressed pixel data");
            if (group != 0xfffe || element != 0xe000 || length == 0xffffffffu)
                return fail("is a DICOM file with damaged compressed pixel data");
            if (pos + length > end) return fail("is truncated in its compressed pixel data");
            pos += length;
        }
    }
};


}  // namespace

Structure walkStructure(const std::string& path) {
    Walker walker(path);
    Structure s;
    s.problem = walker.problem();
    s.pixels = walker.pixels;
    s.inflatedSize = walker.inflatedSize;
    return s;
}

}  // namespace formats::dicomio
