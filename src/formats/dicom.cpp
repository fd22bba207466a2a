// DICOM: one file per slice, or one file of many frames, read through GDCM.
//
// The header is read up to the pixel data and never past it, so a file that claims more
// than it holds is refused before anything large is allocated. Each frame is one page:
// grey frames with their rescale (and MONOCHROME1's inversion) for the wide mapping, colour
// frames (RGB, YBR) as RGB. GDCM's own diagnostics are caught per thread and go into the
// reason instead of to standard error.
#include <gdcmImage.h>
#include <gdcmReader.h>
#include <gdcmSequenceOfItems.h>
#include <gdcmTrace.h>
#include <zlib.h>
#include <sys/stat.h>

#include <csetjmp>
#include <cstdlib>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <streambuf>

#include "formats/format.h"
#include "formats/series.h"

namespace formats {
namespace {

// ---- GDCM's diagnostics, kept per thread while a header or frame is read ----

thread_local std::string* traceTarget = nullptr;

class TraceBuffer : public std::streambuf {
protected:
    int overflow(int c) override {
        if (c != traits_type::eof() && traceTarget) traceTarget->push_back(char(c));
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (traceTarget) traceTarget->append(s, size_t(n));
        return n;
    }
};

// GDCM reports into this stream from the start: to the capture of the thread reporting,
// and nowhere when there is none (never to standard error).
std::ostream& traceStream() {
    static TraceBuffer buffer;
    static std::ostream stream(&buffer);
    return stream;
}
[[maybe_unused]] const bool traceRouted = (gdcm::Trace::SetStream(traceStream()), true);

// While it lives, what GDCM reports on this thread is kept in text.
struct TraceCapture {
    std::string text;
    TraceCapture() { traceTarget = &text; }
    ~TraceCapture() { traceTarget = nullptr; }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    // GDCM's words without the source file, line and function it puts before them.
    std::string words() const {
        std::string out;
        size_t from = 0;
        while (from < text.size()) {
            size_t end = text.find('\n', from);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(from, end - from);
            from = end + 1;
            const bool where = line.rfind("Warning: In ", 0) == 0 || line.rfind("Error: In ", 0) == 0 ||
                               line.rfind("Debug: In ", 0) == 0;
            while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
            if (!where && !line.empty()) addWarning(out, line);
        }
        return out;
    }
    // reason, followed by GDCM's words when it said any.
    std::string with(const std::string& reason) const {
        const std::string w = words();
        return w.empty() ? reason : reason + " (" + w + ")";
    }
};

// ---- GDCM's assertions ----
//
// Debian builds GDCM with its assertions on; a few are reached by damaged data (a corrupt
// JPEG stream, say) and would abort the program. While a thread runs GDCM inside
// guarded(), a failed assertion jumps back there instead, and the file is refused.
thread_local sigjmp_buf* assertJump = nullptr;
thread_local std::string failedAssertion;  // "file:line: expression" of the last one

// ---- Reading values from a data set ----

const gdcm::Tag kPixelData(0x7fe0, 0x0010);
using Keep = std::vector<gdcm::SmartPointer<gdcm::SequenceOfItems>>;

// Everything that lives across calls into GDCM while a file is read. guarded() makes it
// and destroys it outside the jump, so an assertion's jump loses nothing of ours, only
// what GDCM's own frames held at that moment.
struct Session {
    TraceCapture trace;
    gdcm::Reader reader;
    gdcm::Image image;
    Keep keep;  // sequences GDCM parsed from bytes, held while their items are read
    const std::set<gdcm::Tag> pixelTag{kPixelData};
};

// Runs work(session); false, with the reason, if a GDCM assertion failed inside it.
template <class Work>
bool guarded(std::string& reason, Work&& work) {
    const std::unique_ptr<Session> session = std::make_unique<Session>();
    sigjmp_buf jump;
    sigjmp_buf* const outer = assertJump;
    if (sigsetjmp(jump, 0) != 0) {
        assertJump = outer;
        reason = "is a damaged DICOM file (GDCM: " + failedAssertion + ")";
        return false;
    }
    assertJump = &jump;
    work(*session);
    assertJump = outer;
    return true;
}

// ---- Reading values from a data set ----

const gdcm::ByteValue* valueOf(const gdcm::DataSet& ds, uint16_t group, uint16_t element) {
    const gdcm::Tag tag(group, element);
    if (!ds.FindDataElement(tag)) return nullptr;
    return ds.GetDataElement(tag).GetByteValue();
}

// A text value without its padding.
std::string text(const gdcm::DataSet& ds, uint16_t group, uint16_t element) {
    const gdcm::ByteValue* v = valueOf(ds, group, element);
    if (!v || !v->GetPointer()) return {};
    std::string s(v->GetPointer(), v->GetLength());
    const size_t end = s.find_last_not_of(std::string(" \0", 2));
    const size_t begin = s.find_first_not_of(' ');
    return end == std::string::npos ? std::string() : s.substr(begin, end - begin + 1);
}

// The numbers of a decimal or integer string ("0.5\0.5"); empty when any is not a number.
std::vector<double> numbers(const gdcm::DataSet& ds, uint16_t group, uint16_t element) {
    const std::string s = text(ds, group, element);
    std::vector<double> out;
    size_t from = 0;
    while (from <= s.size() && !s.empty()) {
        size_t end = s.find('\\', from);
        if (end == std::string::npos) end = s.size();
        const char* b = s.data() + from;
        const char* e = s.data() + end;
        while (b < e && *b == ' ') ++b;
        while (e > b && e[-1] == ' ') --e;
        if (b < e && *b == '+') ++b;
        double v = 0;
        const auto r = std::from_chars(b, e, v);
        if (b == e || r.ec != std::errc() || r.ptr != e || !std::isfinite(v)) return {};
        out.push_back(v);
        from = end + 1;
    }
    return out;
}

// An unsigned short (GDCM holds them in the machine's order); -1 when absent.
int ushort(const gdcm::DataSet& ds, uint16_t group, uint16_t element) {
    const gdcm::ByteValue* v = valueOf(ds, group, element);
    if (!v || !v->GetPointer() || v->GetLength() < 2) return -1;
    uint16_t u;
    std::memcpy(&u, v->GetPointer(), 2);
    return u;
}

// Item `index` (0-based) of a sequence, or null. GDCM may parse a sequence stored as bytes
// (implicit VR, UN) into a new object: keep holds it while the item is used.
const gdcm::DataSet* item(const gdcm::DataSet& ds, uint16_t group, uint16_t element, Keep& keep, size_t index = 0) {
    const gdcm::Tag tag(group, element);
    if (!ds.FindDataElement(tag)) return nullptr;
    gdcm::SmartPointer<gdcm::SequenceOfItems> sq = ds.GetDataElement(tag).GetValueAsSQ();
    if (!sq || index >= sq->GetNumberOfItems()) return nullptr;
    keep.push_back(sq);
    return &sq->GetItem(index + 1).GetNestedDataSet();
}

// Where an enhanced multi-frame file keeps a value of frame `frame`: in the frame's own
// functional group, else in the shared one, else (older files) in the data set itself.
struct Frames {
    const gdcm::DataSet& ds;
    Keep& keep;
    const gdcm::DataSet* shared;
    const gdcm::DataSet* perFrame(int frame) const { return item(ds, 0x5200, 0x9230, keep, size_t(frame)); }
    Frames(const gdcm::DataSet& d, Keep& k) : ds(d), keep(k), shared(item(d, 0x5200, 0x9229, keep)) {}
    std::vector<double> numbers(int frame, uint16_t sg, uint16_t se, uint16_t group, uint16_t element) const {
        for (const gdcm::DataSet* g : {perFrame(frame), shared})
            if (const gdcm::DataSet* m = g ? item(*g, sg, se, keep) : nullptr) {
                std::vector<double> v = formats::numbers(*m, group, element);
                if (!v.empty()) return v;
            }
        return formats::numbers(ds, group, element);
    }
    std::vector<double> ownNumbers(int frame, uint16_t sg, uint16_t se, uint16_t group, uint16_t element) const {
        const gdcm::DataSet* g = perFrame(frame);
        const gdcm::DataSet* m = g ? item(*g, sg, se, keep) : nullptr;
        return m ? formats::numbers(*m, group, element) : std::vector<double>();
    }
};

// ---- What a file is ----

struct Syntax {
    const char* uid;
    const char* name;
    bool decodes;  // by Debian's GDCM
};
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

// What an object without pixel data is, by its modality or SOP class; empty when not known.
std::string objectKind(const std::string& modality, const std::string& sopClass) {
    static const std::pair<const char*, const char*> byModality[] = {
        {"SR", "structured report"}, {"RTPLAN", "radiotherapy plan"}, {"RTSTRUCT", "radiotherapy structure set"},
        {"RTRECORD", "radiotherapy treatment record"}, {"PR", "presentation state"}, {"KO", "key object selection"},
        {"ECG", "waveform"}, {"HD", "waveform"}, {"AU", "waveform"}, {"DOC", "document"}, {"REG", "registration"},
        {"FID", "fiducials object"}, {"PLAN", "plan"}};
    for (const auto& m : byModality)
        if (modality == m.first) return m.second;
    static const std::pair<const char*, const char*> byClass[] = {
        {"1.2.840.10008.1.3.10", "DICOMDIR index"},       {"1.2.840.10008.5.1.4.1.1.88.", "structured report"},
        {"1.2.840.10008.5.1.4.1.1.481.5", "radiotherapy plan"}, {"1.2.840.10008.5.1.4.1.1.481.3", "radiotherapy structure set"},
        {"1.2.840.10008.5.1.4.1.1.9.", "waveform"},        {"1.2.840.10008.5.1.4.1.1.11.", "presentation state"},
        {"1.2.840.10008.5.1.4.1.1.104.", "document"}};
    for (const auto& c : byClass)
        if (sopClass.rfind(c.first, 0) == 0) return c.second;
    return {};
}

std::string article(const std::string& noun) {
    return std::strchr("aeiou", noun[0]) ? "an " + noun : "a " + noun;
}

int64_t fileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? int64_t(st.st_size) : -1;
}

// The pixel data element as its own header (tag and length) says, read from the file:
// GDCM stops reading just after that header, at `valueAt`.
struct PixelElement {
    bool found = false, encapsulated = false;
    uint64_t length = 0;   // bytes the element says it holds
    uint64_t present = 0;  // bytes after its header up to the end of the file
};
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

// ---- The file's structure, checked before GDCM parses it ----
//
// Debian's GDCM is built with its assertions on, and some damaged files (cut inside the
// file meta group, items without their tags, lengths past the end) abort in them. So the
// element structure is walked here first, headers only: every length must fit in what
// holds it, every sequence and fragment list must end as it should.

// A deflated data set read forward, as the walker reads it: the bytes from `at` on are
// inflated as they are asked for, and what lies behind the last read is let go, so a
// data set of any size is walked in a few kilobytes.
class Inflated {
public:
    Inflated(std::FILE* f, uint64_t from) : f_(f), from_(from) {
        if (inflateInit2(&z_, -MAX_WBITS) == Z_OK) ok_ = std::fseek(f_, long(from_), SEEK_SET) == 0;
    }
    ~Inflated() { inflateEnd(&z_); }
    Inflated(const Inflated&) = delete;
    Inflated& operator=(const Inflated&) = delete;

    // The size of the whole inflated data set; -1 when it cannot be inflated to its end or
    // is larger than `most` bytes. Leaves the stream ready to be read from its start.
    int64_t measure(uint64_t most) {
        int64_t total = -1;
        while (ok_ && more() && uint64_t(start_ + window_.size()) <= most) start_ += window_.size(), window_.clear();
        if (ok_ && ended_ && start_ + window_.size() <= most) total = int64_t(start_ + window_.size());
        window_.clear(), start_ = 0, ended_ = false, z_.avail_in = 0;
        ok_ = ok_ && inflateReset(&z_) == Z_OK && std::fseek(f_, long(from_), SEEK_SET) == 0;
        return ok_ ? total : -1;
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
    std::FILE* f_;
    uint64_t from_;
    z_stream z_ = {};
    bool ok_ = false, ended_ = false;
    unsigned char in_[16384];
    std::vector<unsigned char> window_;  // inflated bytes from start_ on
    uint64_t start_ = 0;

    static constexpr size_t kChunk = 65536;

    // Inflates up to a chunk more onto the window; false at the end or on damaged data.
    bool more() {
        if (!ok_ || ended_) return false;
        const size_t had = window_.size();
        window_.resize(had + kChunk);
        z_.next_out = window_.data() + had;
        z_.avail_out = kChunk;
        while (z_.avail_out > 0 && !ended_) {
            if (z_.avail_in == 0) {
                z_.avail_in = uInt(std::fread(in_, 1, sizeof in_, f_));
                z_.next_in = in_;
                if (z_.avail_in == 0) break;  // the file ends before the stream
            }
            const int r = inflate(&z_, Z_NO_FLUSH);
            if (r == Z_STREAM_END) ended_ = true;
            else if (r != Z_OK) {
                ok_ = false;
                break;
            }
        }
        window_.resize(had + (kChunk - z_.avail_out));
        return window_.size() > had;
    }
};

class Walker {
public:
    explicit Walker(const std::string& path) : f_(path), size_(fileSize(path)) {}

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
                inflated_ = std::make_unique<Inflated>(f_.f, pos);
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
    File f_;
    int64_t size_;
    std::string why_;
    std::unique_ptr<Inflated> inflated_;

    bool read(uint64_t at, unsigned char* to, size_t n) {
        if (at + n > uint64_t(size_)) return false;
        if (inflated_) return inflated_->read(at, to, n);
        return std::fseek(f_.f, long(at), SEEK_SET) == 0 && std::fread(to, 1, n, f_.f) == n;
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

std::string dims(int w, int h) { return std::to_string(w) + " x " + std::to_string(h); }

bool headerOf(const std::string& path, FileInfo& info, std::string& reason, Session& session) {
    const TraceCapture& trace = session.trace;
    const int64_t size = fileSize(path);
    if (size < 0) return reason = "does not exist or is not a file", false;
    Walker walker(path);
    reason = walker.problem();
    if (!reason.empty()) return false;
    gdcm::Reader& r = session.reader;
    r.SetFileName(path.c_str());
    if (!r.ReadUpToTag(kPixelData, session.pixelTag)) return reason = trace.with("is a damaged or truncated DICOM file"), false;
    const gdcm::File& file = r.GetFile();
    const gdcm::DataSet& ds = file.GetDataSet();
    info.modality = text(ds, 0x0008, 0x0060);
    info.seriesUid = text(ds, 0x0020, 0x000e);
    info.seriesDescription = text(ds, 0x0008, 0x103e);

    std::string tsUid = text(file.GetHeader(), 0x0002, 0x0010);
    const gdcm::TransferSyntax ts = file.GetHeader().GetDataSetTransferSyntax();
    if (tsUid.empty() && ts.IsValid()) tsUid = ts.GetString();
    const Syntax* syntax = nullptr;
    for (const Syntax& s : kSyntaxes)
        if (tsUid == s.uid) syntax = &s;

    // Where the pixel data are, and whether they are all there.
    const bool deflated = ts == gdcm::TransferSyntax::DeflatedExplicitVRLittleEndian;
    const size_t at = r.GetStreamCurrentPosition();
    PixelElement pixels;
    if (at != size_t(-1) && at < size_t(size)) {
        if (deflated) pixels = walker.pixels;  // positions are in the inflated data
        else pixels = pixelElement(path, at, ts == gdcm::TransferSyntax::ExplicitVRBigEndian, ts.IsImplicit());
    }
    if (!pixels.found) {
        const std::string kind = objectKind(info.modality, text(ds, 0x0008, 0x0016));
        reason = kind.empty() ? "is a DICOM file without pixel data" : "is " + article("DICOM " + kind) + ", not an image";
        return false;
    }
    if (!syntax || !syntax->decodes) {
        reason = "is stored as " + (syntax ? std::string(syntax->name) + " (" + tsUid + ")" : "transfer syntax " + tsUid) +
                 ", which cannot be decoded";
        return false;
    }

    const int width = ushort(ds, 0x0028, 0x0011), height = ushort(ds, 0x0028, 0x0010);
    const int samples = ushort(ds, 0x0028, 0x0002) < 0 ? 1 : ushort(ds, 0x0028, 0x0002);
    const int bits = ushort(ds, 0x0028, 0x0100), stored = ushort(ds, 0x0028, 0x0101);
    const bool isSigned = ushort(ds, 0x0028, 0x0103) == 1;
    const std::string photometric = text(ds, 0x0028, 0x0004);
    const std::vector<double> frameCount = numbers(ds, 0x0028, 0x0008);
    const double frames = frameCount.empty() ? 1 : frameCount[0];
    if (width <= 0 || height <= 0) return reason = "is a DICOM image of " + dims(std::max(width, 0), std::max(height, 0)) + " pixels", false;
    if (bits != 8 && bits != 16 && bits != 32)
        return reason = "has " + std::to_string(std::max(bits, 0)) + "-bit DICOM samples, which are not supported", false;
    if (stored > bits) return reason = "has more bits stored than allocated", false;
    const bool grey = photometric == "MONOCHROME1" || photometric == "MONOCHROME2";
    const bool ybr = photometric == "YBR_FULL" || photometric == "YBR_FULL_422";
    const bool rgb = photometric == "RGB" || photometric == "YBR_RCT" || photometric == "YBR_ICT";
    if (!(grey && samples == 1) && !((rgb || ybr) && samples == 3))
        return reason = "has " + std::to_string(samples) + " samples per pixel as \"" + photometric +
                        "\", which is not supported (grey or RGB colour)", false;
    if (ybr && bits != 8) return reason = "has " + std::to_string(bits) + "-bit YBR colour, which is not supported", false;
    if (frames < 1 || frames != std::floor(frames)) return reason = "has no frames", false;

    // Every frame needs its bytes in the file (compressed: at least a fragment's header).
    const uint64_t frameBytes = uint64_t(width) * uint64_t(height) * uint64_t(samples) * uint64_t(bits / 8);
    const double needed = ts.IsEncapsulated()                ? frames * 8
                          : photometric == "YBR_FULL_422" ? frames * double(frameBytes) * 2 / 3  // two samples a pixel
                                                          : frames * double(frameBytes);
    if ((pixels.encapsulated ? double(pixels.present) < needed
                                          : pixels.length > pixels.present || double(pixels.length) < needed))
        return reason = "is truncated: its " + dims(width, height) + " pixels in " + std::to_string(int64_t(frames)) +
                        (frames == 1 ? " frame" : " frames") + " do not fit in what the file holds", false;

    Samples kind = Samples::Unsigned8;
    if (bits == 8) kind = isSigned ? Samples::Signed8 : Samples::Unsigned8;
    if (bits == 16) kind = isSigned ? Samples::Signed16 : Samples::Unsigned16;
    if (bits == 32) kind = isSigned ? Samples::Signed32 : Samples::Unsigned32;

    // Geometry and values; an enhanced file keeps them in functional groups.
    const Frames fg(ds, session.keep);
    if (const std::vector<double> o = fg.numbers(0, 0x0020, 0x9116, 0x0020, 0x0037); o.size() == 6) {
        info.hasOrientation = true;
        std::copy(o.begin(), o.end(), info.orientation);
    }
    if (const std::vector<double> s = fg.numbers(0, 0x0028, 0x9110, 0x0028, 0x0030); s.size() == 2 && s[0] > 0 && s[1] > 0) {
        info.voxelSize[0] = s[1];  // PixelSpacing is row spacing, then column spacing
        info.voxelSize[1] = s[0];
        info.unit = "mm";
    }
    if (const std::vector<double> v = fg.numbers(0, 0x0028, 0x9110, 0x0018, 0x0088); !v.empty() && v[0] > 0)
        info.spacingBetweenSlices = v[0];
    if (const std::vector<double> v = fg.numbers(0, 0x0028, 0x9110, 0x0018, 0x0050); !v.empty() && v[0] > 0)
        info.sliceThickness = v[0];
    if (const std::vector<double> v = numbers(ds, 0x0020, 0x0013); !v.empty() && v[0] == std::floor(v[0]) &&
                                                                     std::fabs(v[0]) < 2e9)
        info.hasInstanceNumber = true, info.instanceNumber = int(v[0]);
    info.frameOffsets = numbers(ds, 0x3004, 0x000c);
    const std::vector<double> centre = fg.numbers(0, 0x0028, 0x9132, 0x0028, 0x1050),
                              width_ = fg.numbers(0, 0x0028, 0x9132, 0x0028, 0x1051);
    if (!centre.empty() && !width_.empty() && width_[0] > 0)
        info.hasWindow = true, info.windowCentre = centre[0], info.windowWidth = width_[0];
    const std::string rescaleType = text(ds, 0x0028, 0x1054);
    if (!rescaleType.empty() && rescaleType != "US") info.valueUnit = rescaleType;
    else if (info.modality == "CT") info.valueUnit = "HU";
    // A dose grid's values are its stored ones times DoseGridScaling, in DoseUnits.
    const std::vector<double> doseScale = numbers(ds, 0x3004, 0x000e);
    const std::string doseUnits = text(ds, 0x3004, 0x0002);
    if (!doseScale.empty() && doseUnits == "GY") info.valueUnit = "Gy";

    info.pages.reserve(size_t(frames));
    for (int f = 0; f < int(frames); ++f) {
        PageInfo pg;
        pg.width = width, pg.height = height, pg.bits = bits, pg.samples = kind, pg.offset = uint64_t(f);
        if (grey) {
            const std::vector<double> slope = fg.numbers(f, 0x0028, 0x9145, 0x0028, 0x1053),
                                      intercept = fg.numbers(f, 0x0028, 0x9145, 0x0028, 0x1052);
            if (!slope.empty() && slope[0] != 0) pg.slope = slope[0];
            if (!doseScale.empty() && doseScale[0] > 0) pg.slope = doseScale[0];
            if (!intercept.empty()) pg.intercept = intercept[0];
            pg.invert = photometric == "MONOCHROME1";
        }
        // Beyond the first frame only a frame's own group places it (a dose grid's frames
        // are placed by GridFrameOffsetVector from the first).
        const std::vector<double> p = f == 0 ? fg.numbers(f, 0x0020, 0x9113, 0x0020, 0x0032)
                                             : fg.ownNumbers(f, 0x0020, 0x9113, 0x0020, 0x0032);
        if (p.size() == 3) {
            pg.hasPosition = true;
            std::copy(p.begin(), p.end(), pg.position);
        }
        info.pages.push_back(pg);
    }
    // GDCM holds the file's data set and the frames it decodes at once; a page is copied out.
    const double all = frames * double(frameBytes);
    const double held = deflated ? double(walker.inflatedSize) : double(size);
    info.decodeBytes = int64_t(std::min(9e18, std::max(held, all) + all + double(frameBytes) * 2 + (1 << 20)));
    return true;
}

bool dicomHeader(const std::string& path, FileInfo& info, std::string& reason) {
    bool ok = false;
    if (guarded(reason, [&](Session& s) { ok = headerOf(path, info, reason, s); })) return ok;
    info.pages.clear();
    return false;
}

// ---- Decoding ----

// All frames of one file as GDCM gives them, in RGB when colour, interleaved.
struct Decoded {
    std::vector<char> bytes;
    int channels = 1;
    std::string warning;
};

// YBR_FULL to RGB as the standard gives it, rounded to nearest and clamped.
void ybrToRgb(std::vector<char>& bytes) {
    auto clamp = [](double v) { return char(static_cast<unsigned char>(std::min(255.0, std::max(0.0, std::floor(v + 0.5))))); };
    for (size_t i = 0; i + 2 < bytes.size(); i += 3) {
        const double y = static_cast<unsigned char>(bytes[i]), cb = static_cast<unsigned char>(bytes[i + 1]) - 128.0,
                     cr = static_cast<unsigned char>(bytes[i + 2]) - 128.0;
        bytes[i] = clamp(y + 1.402 * cr);
        bytes[i + 1] = clamp(y - 0.344136 * cb - 0.714136 * cr);
        bytes[i + 2] = clamp(y + 1.772 * cb);
    }
}

// Whether lossy JPEG data are in YCbCr, which GDCM hands on unconverted: as the stream's
// JFIF or Adobe marker or component ids (R, G, B or 1, 2, 3) say, else as the file says (`ybr`).
bool jpegIsYCbCr(const gdcm::Image& image, bool ybr) {
    const gdcm::SequenceOfFragments* frags = image.GetDataElement().GetSequenceOfFragments();
    if (!frags || frags->GetNumberOfFragments() == 0) return ybr;
    const gdcm::ByteValue* bv = frags->GetFragment(0).GetByteValue();
    if (!bv || !bv->GetPointer()) return ybr;
    const auto* d = reinterpret_cast<const unsigned char*>(bv->GetPointer());
    const size_t n = bv->GetLength();
    bool jfif = false, adobe = false;
    int transform = 1;
    for (size_t i = 2; i + 4 <= n;) {
        if (d[i] != 0xff) return ybr;  // not a marker where one belongs
        const unsigned m = d[i + 1];
        if (m == 0xff) { ++i; continue; }
        const size_t len = size_t(d[i + 2]) << 8 | d[i + 3];
        const unsigned char* p = d + i + 4;
        const size_t have = std::min(len < 2 ? 0 : len - 2, n - (i + 4));
        if (m == 0xe0 && have >= 5 && std::memcmp(p, "JFIF\0", 5) == 0) jfif = true;
        if (m == 0xee && have >= 12 && std::memcmp(p, "Adobe", 5) == 0) adobe = true, transform = p[11];
        if (m >= 0xc0 && m <= 0xcf && m != 0xc4 && m != 0xc8 && m != 0xcc) {
            if (jfif) return true;
            if (adobe) return transform != 0;
            if (have < 6 + 3 * 3 || p[5] != 3) return ybr;
            if (p[6] == 'R' && p[9] == 'G' && p[12] == 'B') return false;
            if (p[6] == 1 && p[9] == 2 && p[12] == 3) return true;
            return ybr;
        }
        i += 2 + len;
    }
    return ybr;
}

bool isJpeg(const gdcm::TransferSyntax& ts) {
    using TS = gdcm::TransferSyntax;
    return ts == TS::JPEGBaselineProcess1 || ts == TS::JPEGExtendedProcess2_4 || ts == TS::JPEGLosslessProcess14 ||
           ts == TS::JPEGLosslessProcess14_1;
}

// Whether every JPEG fragment that starts a frame has a frame header GDCM can take: a
// precision of 2 to 16 bits, 1 or 3 components (GDCM's codec crashes on others) and the
// file's own width, height and samples (GDCM's codec refuses others, but leaks as it does).
bool jpegFrameFits(const gdcm::Image& image, int width, int height, int samples) {
    const gdcm::SequenceOfFragments* frags = image.GetDataElement().GetSequenceOfFragments();
    if (!frags) return false;
    for (size_t f = 0; f < frags->GetNumberOfFragments(); ++f) {
        const gdcm::ByteValue* bv = frags->GetFragment(f).GetByteValue();
        if (!bv || !bv->GetPointer() || bv->GetLength() < 4) continue;
        const auto* d = reinterpret_cast<const unsigned char*>(bv->GetPointer());
        const size_t n = bv->GetLength();
        if (d[0] != 0xff || d[1] != 0xd8) continue;  // not the start of a frame
        for (size_t i = 2; i + 4 <= n;) {
            if (d[i] != 0xff) return false;
            const unsigned m = d[i + 1];
            if (m == 0xff) { ++i; continue; }
            const size_t len = size_t(d[i + 2]) << 8 | d[i + 3];
            if (m >= 0xc0 && m <= 0xcf && m != 0xc4 && m != 0xc8 && m != 0xcc) {
                if (i + 10 > n) return false;
                const unsigned precision = d[i + 4], components = d[i + 9];
                const int rows = d[i + 5] << 8 | d[i + 6], columns = d[i + 7] << 8 | d[i + 8];
                if (precision < 2 || precision > 16 || (components != 1 && components != 3)) return false;
                if (rows != height || columns != width || int(components) != samples) return false;
                break;
            }
            i += 2 + len;
        }
    }
    return true;
}

bool isJpeg2000(const gdcm::TransferSyntax& ts) {
    using TS = gdcm::TransferSyntax;
    return ts == TS::JPEG2000Lossless || ts == TS::JPEG2000 || ts == TS::JPEG2000Part2Lossless || ts == TS::JPEG2000Part2;
}

// Whether every JPEG 2000 frame describes the image the file does: the codestream's size
// (SIZ) of width x height, one component a sample, none subsampled, none deeper than the
// bits allocated. GDCM sizes its buffer by the file and writes the codestream's image
// into it, past its end when they differ.
bool jpeg2000FrameFits(const gdcm::Image& image, int width, int height, int samples, int bits) {
    const gdcm::SequenceOfFragments* frags = image.GetDataElement().GetSequenceOfFragments();
    if (!frags || frags->GetNumberOfFragments() == 0) return false;
    auto u16 = [](const unsigned char* p) { return unsigned(p[0]) << 8 | p[1]; };
    auto u32 = [](const unsigned char* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; };
    for (size_t f = 0; f < frags->GetNumberOfFragments(); ++f) {
        const gdcm::ByteValue* bv = frags->GetFragment(f).GetByteValue();
        const auto* d = bv && bv->GetPointer() ? reinterpret_cast<const unsigned char*>(bv->GetPointer()) : nullptr;
        size_t n = d ? size_t(bv->GetLength()) : 0;
        // A JP2 file holds its codestream in the box "jp2c"; a bare codestream starts with SOC.
        static const unsigned char jp2[12] = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0d, 0x0a, 0x87, 0x0a};
        if (n >= 12 && std::memcmp(d, jp2, 12) == 0) {
            size_t at = 0;
            while (at + 8 <= n && std::memcmp(d + at + 4, "jp2c", 4) != 0) {
                const uint32_t box = u32(d + at);
                if (box < 8 || box > n - at) return false;
                at += box;
            }
            if (at + 8 > n) return false;
            d += at + 8, n -= at + 8;
        } else if (n < 2 || d[0] != 0xff || d[1] != 0x4f) {
            if (f == 0) return false;  // the first fragment starts a frame
            continue;                  // the rest of a frame
        }
        // SOC, then SIZ: Lsiz Rsiz Xsiz Ysiz XOsiz YOsiz XTsiz YTsiz XTOsiz YTOsiz Csiz, and
        // per component Ssiz XRsiz YRsiz.
        if (n < 4 + 38 || u16(d) != 0xff4f || u16(d + 2) != 0xff51) return false;
        const unsigned char* siz = d + 4;
        const unsigned components = u16(siz + 36);
        if (n < 4 + 38 + 3 * size_t(components) || int(components) != samples) return false;
        if (int64_t(u32(siz + 4)) - int64_t(u32(siz + 12)) != width || int64_t(u32(siz + 8)) - int64_t(u32(siz + 16)) != height)
            return false;
        for (unsigned c = 0; c < components; ++c) {
            const unsigned char* comp = siz + 38 + 3 * c;
            if ((comp[0] & 0x7f) + 1 > bits || comp[1] != 1 || comp[2] != 1) return false;
        }
    }
    return true;
}

// RLE frames decoded here rather than by GDCM, whose codec reads past damaged data. One
// fragment a frame: a header of 16 little-endian words (the number of segments, then
// where each starts), then one PackBits segment per byte of each sample, most significant
// byte first. Frames go into `to` with their samples interleaved, in the machine's order.
bool decodeRle(const gdcm::Image& image, int width, int height, int samples, int bytes, size_t frames, char* to) {
    const gdcm::SequenceOfFragments* frags = image.GetDataElement().GetSequenceOfFragments();
    if (!frags || frags->GetNumberOfFragments() != frames) return false;
    const size_t pixels = size_t(width) * size_t(height);
    const int segments = samples * bytes;
    std::vector<unsigned char> plane(pixels);
    auto u32 = [](const unsigned char* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; };
    for (size_t f = 0; f < frames; ++f) {
        const gdcm::ByteValue* bv = frags->GetFragment(f).GetByteValue();
        if (!bv || !bv->GetPointer() || bv->GetLength() < 64) return false;
        const auto* d = reinterpret_cast<const unsigned char*>(bv->GetPointer());
        const size_t n = bv->GetLength();
        if (u32(d) != uint32_t(segments)) return false;
        for (int sg = 0; sg < segments; ++sg) {
            const size_t begin = u32(d + 4 + 4 * sg), end = sg + 1 < segments ? u32(d + 8 + 4 * sg) : n;
            if (begin < 64 || begin > end || end > n) return false;
            size_t at = begin, made = 0;
            while (made < pixels && at < end) {
                const int c = static_cast<int8_t>(d[at++]);
                if (c >= 0) {  // c + 1 bytes as they are
                    const size_t run = std::min({size_t(c) + 1, end - at, pixels - made});
                    std::memcpy(plane.data() + made, d + at, run);
                    at += size_t(c) + 1, made += run;
                } else if (c != -128 && at < end) {  // the next byte 1 - c times
                    const size_t run = std::min(size_t(1 - c), pixels - made);
                    std::memset(plane.data() + made, d[at++], run);
                    made += run;
                }
            }
            if (made < pixels) return false;
            // Segment sg is byte (sg % bytes) of sample (sg / bytes), the most significant first.
            const int sample = sg / bytes, byte = bytes - 1 - sg % bytes;
            char* frame = to + f * pixels * size_t(samples * bytes);
            for (size_t p = 0; p < pixels; ++p) frame[(p * size_t(samples) + size_t(sample)) * size_t(bytes) + size_t(byte)] = char(plane[p]);
        }
    }
    return true;
}

bool decodeAll(const std::string& path, const FileInfo& info, Decoded& out, std::string& reason, Session& session) {
    const TraceCapture& trace = session.trace;
    gdcm::Reader& r = session.reader;
    r.SetFileName(path.c_str());
    if (!r.Read()) return reason = trace.with("is a damaged or truncated DICOM file"), false;
    const gdcm::DataSet& ds = r.GetFile().GetDataSet();
    if (!ds.FindDataElement(kPixelData)) return reason = "is a DICOM file without pixel data", false;
    const PageInfo& first = info.pages.front();
    // The image is described from the elements the header checked, not by GDCM's image
    // reader, whose assertions abort on some damaged elements; GDCM then decodes it.
    gdcm::Image& image = session.image;
    image.SetNumberOfDimensions(info.pages.size() > 1 ? 3 : 2);
    image.SetDimension(0, unsigned(first.width));
    image.SetDimension(1, unsigned(first.height));
    if (info.pages.size() > 1) image.SetDimension(2, unsigned(info.pages.size()));
    const int samplesPerPixel = std::max(1, ushort(ds, 0x0028, 0x0002));
    const int storedBits = ushort(ds, 0x0028, 0x0101) > 0 && ushort(ds, 0x0028, 0x0101) <= first.bits ? ushort(ds, 0x0028, 0x0101) : first.bits;
    const int highBit = ushort(ds, 0x0028, 0x0102) >= 0 && ushort(ds, 0x0028, 0x0102) < storedBits ? ushort(ds, 0x0028, 0x0102) : storedBits - 1;
    image.SetPixelFormat(gdcm::PixelFormat(uint16_t(samplesPerPixel), uint16_t(first.bits), uint16_t(storedBits),
                                           uint16_t(highBit), ushort(ds, 0x0028, 0x0103) == 1 ? 1 : 0));
    image.SetPhotometricInterpretation(gdcm::PhotometricInterpretation::GetPIType(text(ds, 0x0028, 0x0004).c_str()));
    if (samplesPerPixel == 3) image.SetPlanarConfiguration(ushort(ds, 0x0028, 0x0006) == 1 ? 1 : 0);
    image.SetTransferSyntax(r.GetFile().GetHeader().GetDataSetTransferSyntax());
    image.SetDataElement(ds.GetDataElement(kPixelData));
    const size_t sampleBytes = size_t(first.bits / 8);
    const size_t frame = size_t(first.width) * size_t(first.height) * sampleBytes;
    const int channels = int(image.GetPixelFormat().GetSamplesPerPixel());
    const unsigned long length = image.GetBufferLength();
    if (image.GetPixelFormat().GetBitsAllocated() != unsigned(first.bits) || (channels != 1 && channels != 3) ||
        length != frame * size_t(channels) * info.pages.size())
        return reason = "is a DICOM file whose pixel data do not match its header", false;
    try {
        out.bytes.resize(length);
    } catch (const std::bad_alloc&) {
        return reason = kNoMemory, false;
    }
    if (isJpeg(image.GetTransferSyntax()) && !jpegFrameFits(image, first.width, first.height, samplesPerPixel))
        return reason = "has damaged JPEG data (a frame header of the wrong size or depth)", false;
    if (isJpeg2000(image.GetTransferSyntax()) &&
        !jpeg2000FrameFits(image, first.width, first.height, samplesPerPixel, first.bits))
        return reason = "has damaged JPEG 2000 data (an image of another size or depth than the file's)", false;
    const bool rle = image.GetTransferSyntax() == gdcm::TransferSyntax::RLELossless;
    if (rle) {
        if (!decodeRle(image, first.width, first.height, channels, int(sampleBytes), info.pages.size(), out.bytes.data()))
            return reason = "has damaged RLE data", false;
    } else if (!image.GetBuffer(out.bytes.data())) {
        return reason = trace.with("has pixel data that cannot be decoded"), false;
    }
    out.channels = channels;
    if (channels == 3 && !rle && image.GetPlanarConfiguration() == 1) {  // RRR...GGG...BBB... per frame
        std::vector<char> planes(frame * 3);
        for (size_t f = 0; f < info.pages.size(); ++f) {
            char* at = out.bytes.data() + f * frame * 3;
            std::copy(at, at + frame * 3, planes.begin());
            for (size_t p = 0; p < frame / sampleBytes; ++p)
                for (size_t c = 0; c < 3; ++c)
                    std::memcpy(at + (p * 3 + c) * sampleBytes, planes.data() + (c * frame) + p * sampleBytes, sampleBytes);
        }
    }
    const gdcm::PhotometricInterpretation pi = image.GetPhotometricInterpretation();
    const gdcm::TransferSyntax ts = image.GetTransferSyntax();
    const bool lossyJpeg =
        ts == gdcm::TransferSyntax::JPEGBaselineProcess1 || ts == gdcm::TransferSyntax::JPEGExtendedProcess2_4;
    const bool ybr = pi == gdcm::PhotometricInterpretation::YBR_FULL || pi == gdcm::PhotometricInterpretation::YBR_FULL_422;
    if (channels == 3 && first.bits == 8 && (lossyJpeg ? jpegIsYCbCr(image, ybr) : ybr)) ybrToRgb(out.bytes);
    out.warning = trace.words();
    return true;
}

// The frames of the multi-frame file decoded last, shared by the threads that copy its
// pages out, so that a file is decoded once and not once per frame. Dropped once every
// page has been taken (a second pass over the file decodes it again).
struct FrameCache {
    std::mutex lock;
    std::string path;
    int64_t size = -1;
    struct timespec modified = {0, 0};
    std::shared_ptr<const Decoded> frames;
    size_t taken = 0;
};
FrameCache cache;

bool sameFile(const std::string& path, const FrameCache& c, int64_t& size, struct timespec& modified) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    size = st.st_size, modified = st.st_mtim;
    return c.frames && c.path == path && c.size == size && c.modified.tv_sec == modified.tv_sec &&
           c.modified.tv_nsec == modified.tv_nsec;
}

bool dicomDecode(const std::string& path, const FileInfo& info, int page, Page& out, std::string& reason) {
    if (page < 0 || size_t(page) >= info.pages.size()) return reason = "has no such frame", false;
    std::shared_ptr<const Decoded> frames;
    if (info.pages.size() == 1) {
        auto d = std::make_shared<Decoded>();
        bool ok = false;
        if (!guarded(reason, [&](Session& s) { ok = decodeAll(path, info, *d, reason, s); }) || !ok) return false;
        frames = d;
    } else {
        std::lock_guard<std::mutex> hold(cache.lock);
        int64_t size = -1;
        struct timespec modified = {0, 0};
        if (!sameFile(path, cache, size, modified)) {
            cache.frames.reset();
            auto d = std::make_shared<Decoded>();
            bool ok = false;
            if (!guarded(reason, [&](Session& s) { ok = decodeAll(path, info, *d, reason, s); }) || !ok) return false;
            cache.frames = d, cache.path = path, cache.size = size, cache.modified = modified, cache.taken = 0;
        }
        frames = cache.frames;
        if (++cache.taken >= info.pages.size()) cache.frames.reset();
    }
    const PageInfo& pg = info.pages[size_t(page)];
    const size_t n = size_t(pg.width) * size_t(pg.height) * size_t(frames->channels);
    const char* from = frames->bytes.data() + size_t(page) * n * size_t(pg.bits / 8);
    out = Page();
    out.width = pg.width, out.height = pg.height, out.channels = frames->channels, out.bits = pg.bits;
    out.samples = pg.samples;
    out.warning = frames->warning;
    try {
        if (pg.bits == 8) out.s8.assign(reinterpret_cast<const uint8_t*>(from), reinterpret_cast<const uint8_t*>(from) + n);
        if (pg.bits == 16) out.s16.resize(n), std::memcpy(out.s16.data(), from, n * 2);
        if (pg.bits == 32) out.s32.resize(n), std::memcpy(out.s32.data(), from, n * 4);
    } catch (const std::bad_alloc&) {
        return reason = kNoMemory, false;
    }
    return true;
}

bool dicomRecognise(const std::string& path, const unsigned char* head, size_t size) {
    const size_t slash = path.find_last_of('/');
    std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    if (name == "DICOMDIR") return false;  // the index of a folder, not a slice
    if (size >= 132 && std::memcmp(head + 128, "DICM", 4) == 0) return true;
    // Without the preamble: a data set starting with an element of group 0002 (explicit VR,
    // little endian, as the file meta group always is) or 0008, in either byte order, with
    // a plausible element number and an even length.
    if (size < 8) return false;
    const auto vr = [&] { return std::isupper(head[4]) && std::isupper(head[5]); };
    const unsigned le = head[0] | head[1] << 8, be = head[0] << 8 | head[1];
    if (le == 0x0002 && head[3] == 0 && head[2] < 0x20) return vr() && head[6] % 2 == 0;
    if (le == 0x0008 && head[3] == 0 && head[2] < 0x20) return vr() ? head[6] % 2 == 0 : head[4] % 2 == 0 && head[7] == 0;
    return be == 0x0008 && head[2] == 0 && head[3] < 0x20 && vr() && head[7] % 2 == 0;
}

}  // namespace

extern const Reader dicom = {"DICOM", dicomRecognise, dicomHeader, dicomDecode, "a DICOM file", false, arrangeSeries};

}  // namespace formats

// glibc's assertion handler, taken over for the guard above: outside guarded() it does
// what glibc's does (the message, then abort).
extern "C" void __assert_fail(const char* assertion, const char* file, unsigned int line, const char* function) noexcept {
    if (formats::assertJump) {
        const char* base = std::strrchr(file, '/');
        formats::failedAssertion = std::string(base ? base + 1 : file) + ":" + std::to_string(line) + ": " + assertion;
        siglongjmp(*formats::assertJump, 1);
    }
    std::fprintf(stderr, "%s:%u: %s: Assertion `%s' failed.\n", file, line, function, assertion);
    std::abort();
}
