// The NIfTI reader: volumes written here field by field (every sample kind, both versions,
// both byte orders, one file or a pair, compressed or not, hostile headers) and the real
// files Debian's python3-nibabel ships as test data.
#include <gtest/gtest.h>
#include <zlib.h>


#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "filebytes.h"
#include "formats/format.h"
#include "formats/inflate.h"
#include "stackio.h"
#include "testutil.h"
#include "voxelmap.h"

// Last: its DT_ names are macros, and the system's folder listing has some of the same.
#include <nifti2_io.h>

namespace {

using formats::FileInfo;
using formats::Page;
using formats::Samples;

// A volume to write: the header fields a test sets, and its samples' bytes in little-endian
// order (swapped on writing when bigEndian).
struct Synth {
    int version = 1;
    bool bigEndian = false;
    std::vector<int64_t> dims = {3, 2, 4};
    int datatype = DT_INT16;
    int sampleBytes = 2;
    std::string samples;
    double slope = 0, inter = 0;
    double pixdim[4] = {1, 1, 1, 1};  // qfac, then x, y, z
    int units = NIFTI_UNITS_MM;
    std::optional<double> voxOffset;  // none: right after the header (one file) or 0 (a pair)
    int sformCode = 0, qformCode = 0;
    double srow[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
    double quatern[3] = {0, 0, 0};
    std::string magic;  // NIfTI-1's four bytes instead of its own (an Analyze header's)
};

template <class F, class V>
void set(F& field, V v) {
    field = static_cast<F>(v);
}
template <class H>
void fill(const Synth& s, bool pair, H& h) {
    set(h.dim[0], s.dims.size());
    for (size_t i = 0; i < 7; ++i) set(h.dim[i + 1], i < s.dims.size() ? s.dims[i] : 1);
    set(h.datatype, s.datatype);
    set(h.bitpix, 8 * s.sampleBytes);
    for (int i = 0; i < 4; ++i) set(h.pixdim[i], s.pixdim[i]);
    set(h.vox_offset, s.voxOffset ? *s.voxOffset : pair ? 0 : s.version == 1 ? 352 : 544);
    set(h.scl_slope, s.slope), set(h.scl_inter, s.inter);
    set(h.xyzt_units, s.units);
    set(h.sform_code, s.sformCode), set(h.qform_code, s.qformCode);
    set(h.quatern_b, s.quatern[0]), set(h.quatern_c, s.quatern[1]), set(h.quatern_d, s.quatern[2]);
    for (int c = 0; c < 4; ++c) set(h.srow_x[c], s.srow[0][c]), set(h.srow_y[c], s.srow[1][c]), set(h.srow_z[c], s.srow[2][c]);
}

// The header, its four extension bytes when it stands before the data, and the samples.
std::string bytesOf(const Synth& s, bool pair, bool withSamples = true) {
    std::string out;
    if (s.version == 1) {
        nifti_1_header h{};
        h.sizeof_hdr = 348;
        fill(s, pair, h);
        std::memcpy(h.magic, pair ? "ni1" : "n+1", 4);
        if (!s.magic.empty()) std::memcpy(h.magic, s.magic.data(), 4);
        if (s.bigEndian) nifti_swap_as_nifti1(&h);
        out.assign(reinterpret_cast<const char*>(&h), sizeof h);
    } else {
        nifti_2_header h{};
        h.sizeof_hdr = 540;
        fill(s, pair, h);
        std::memcpy(h.magic, pair ? "ni2\0\r\n\032\n" : "n+2\0\r\n\032\n", 8);
        if (s.bigEndian) nifti_swap_as_nifti2(&h);
        out.assign(reinterpret_cast<const char*>(&h), sizeof h);
    }
    if (!pair) out += std::string(4, '\0');
    if (pair || !withSamples) return out;
    std::string data = s.samples;
    if (s.bigEndian)
        for (size_t i = 0; i + s.sampleBytes <= data.size(); i += s.sampleBytes)
            std::reverse(data.begin() + i, data.begin() + i + s.sampleBytes);
    return out + data;
}
std::string swappedSamples(const Synth& s) {
    Synth only = s;
    only.version = 1;
    return bytesOf(only, false).substr(352);
}

void writeGz(const std::string& path, const std::string& bytes) {
    gzFile g = gzopen(path.c_str(), "wb");
    ASSERT_TRUE(g);
    gzwrite(g, bytes.data(), unsigned(bytes.size()));
    gzclose(g);
}
enum class Container { Nii, NiiGz, Pair, PairGz };
// Writes s as dir/name + the container's extensions; returns the path to open.
std::string write(const testutil::TempDir& dir, const std::string& name, const Synth& s, Container c) {
    const std::string base = dir.file(name);
    switch (c) {
        case Container::Nii: testutil::writeBytes(base + ".nii", bytesOf(s, false)); return base + ".nii";
        case Container::NiiGz: writeGz(base + ".nii.gz", bytesOf(s, false)); return base + ".nii.gz";
        case Container::Pair:
            testutil::writeBytes(base + ".hdr", bytesOf(s, true));
            testutil::writeBytes(base + ".img", swappedSamples(s));
            return base + ".hdr";
        case Container::PairGz:
            writeGz(base + ".hdr.gz", bytesOf(s, true));
            writeGz(base + ".img.gz", swappedSamples(s));
            return base + ".hdr.gz";
    }
    return {};
}

bool recognised(const std::string& path) {
    const std::string head = testutil::readBytes(path).substr(0, formats::kHeadBytes);
    return formats::nifti.recognise(path, reinterpret_cast<const unsigned char*>(head.data()), head.size());
}
// Sample i of a decoded page as its bits.
uint64_t bitsAt(const Page& p, size_t i) {
    switch (p.bits) {
        case 8: return p.s8.at(i);
        case 16: return p.s16.at(i);
        case 32: return p.s32.at(i);
        default: return p.s64.at(i);
    }
}
// Sample i of a decoded grey page as a number.
double valueAt(const Page& p, size_t i) {
    const uint64_t b = bitsAt(p, i);
    float f;
    double d;
    switch (p.samples) {
        case Samples::Signed8: return int8_t(b);
        case Samples::Signed16: return int16_t(b);
        case Samples::Signed32: return int32_t(b);
        case Samples::Signed64: return double(int64_t(b));
        case Samples::Float32: return std::memcpy(&f, &b, 4), f;  // little-endian host
        case Samples::Float64: return std::memcpy(&d, &b, 8), d;
        default: return double(b);
    }
}

// Reads the header and decodes every page, last first (a compressed file starts again).
::testing::AssertionResult readAll(const std::string& path, FileInfo& info, std::vector<Page>& pages) {
    std::string reason;
    if (!formats::nifti.header(path, info, reason)) return ::testing::AssertionFailure() << "header: " << reason;
    pages.assign(info.pages.size(), Page());
    for (int k = int(pages.size()) - 1; k >= 0; --k)
        if (!formats::nifti.decode(path, info, k, pages[k], reason))
            return ::testing::AssertionFailure() << "page " << k << ": " << reason;
    return ::testing::AssertionSuccess();
}

// A pattern that fills every bit of a 64-bit sample; narrower kinds keep its low bytes.
uint64_t pattern(size_t n) { return (0x0123456789abcdefULL * (n + 1)) ^ (uint64_t(n) << 59); }

TEST(NiftiRead, EverySampleKindInEveryContainer) {
    struct Kind {
        int datatype, bytes, channels;
        Samples kind;
    };
    const Kind kinds[] = {
        {DT_UINT8, 1, 1, Samples::Unsigned8},    {DT_INT8, 1, 1, Samples::Signed8},
        {DT_UINT16, 2, 1, Samples::Unsigned16},  {DT_INT16, 2, 1, Samples::Signed16},
        {DT_UINT32, 4, 1, Samples::Unsigned32},  {DT_INT32, 4, 1, Samples::Signed32},
        {DT_FLOAT32, 4, 1, Samples::Float32},    {DT_UINT64, 8, 1, Samples::Unsigned64},
        {DT_INT64, 8, 1, Samples::Signed64},     {DT_FLOAT64, 8, 1, Samples::Float64},
        {DT_RGB24, 1, 3, Samples::Unsigned8},    {DT_RGBA32, 1, 4, Samples::Unsigned8},
    };
    struct Variant {
        int version;
        bool bigEndian;
        Container container;
    };
    const Variant variants[] = {{1, false, Container::Nii}, {2, true, Container::Nii}, {1, true, Container::NiiGz},
                                {2, false, Container::NiiGz}, {2, false, Container::Pair}, {1, true, Container::PairGz}};
    testutil::TempDir dir;
    int file = 0;
    for (const Kind& kd : kinds)
        for (const Variant& va : variants) {
            Synth s;
            s.version = va.version, s.bigEndian = va.bigEndian;
            s.dims = {3, 2, 4, 2};  // two volumes: the second must not be read
            s.datatype = kd.datatype, s.sampleBytes = kd.bytes;
            const size_t perVolume = 3 * 2 * 4 * size_t(kd.channels);
            for (size_t n = 0; n < 2 * perVolume; ++n) {
                const uint64_t v = pattern(n);
                s.samples.append(reinterpret_cast<const char*>(&v), kd.bytes);
            }
            const std::string path = write(dir, "v" + std::to_string(file++), s, va.container);
            SCOPED_TRACE(path + " of datatype " + std::to_string(kd.datatype));
            EXPECT_TRUE(recognised(path));
            FileInfo info;
            std::vector<Page> pages;
            ASSERT_TRUE(readAll(path, info, pages));
            ASSERT_EQ(info.pages.size(), 4u);
            EXPECT_EQ(info.notes, std::vector<std::string>{"holds 2 volumes; the first is shown"});
            for (size_t k = 0; k < 4; ++k) {
                const formats::PageInfo& pi = info.pages[k];
                EXPECT_EQ(pi.width, 3);
                EXPECT_EQ(pi.height, 2);
                EXPECT_EQ(pi.samples, kd.kind);
                EXPECT_EQ(pi.bits, 8 * kd.bytes);
                EXPECT_FALSE(pi.wide() && kd.kind == Samples::Unsigned8);
                const Page& p = pages[k];
                ASSERT_EQ(p.channels, kd.channels);
                ASSERT_EQ(p.samples, kd.kind);
                const uint64_t mask = kd.bytes == 8 ? ~0ULL : (1ULL << (8 * kd.bytes)) - 1;
                size_t wrong = 0;
                for (size_t i = 0; i < perVolume / 4; ++i) wrong += bitsAt(p, i) != (pattern(k * perVolume / 4 + i) & mask);
                EXPECT_EQ(wrong, 0u) << "page " << k;
            }
            EXPECT_LT(info.pages[0].offset, info.pages[1].offset);
        }
}

TEST(NiftiRead, WhatTheHeaderSays) {
    const double nan = std::nan(""), inf = INFINITY;
    struct Case {
        const char* what;
        std::function<void(Synth&)> set;
        double slope, intercept;
        double size[3];
        const char* unit;
        const char* orientation;
        std::vector<std::string> notes;
    };
    const std::vector<Case> cases = {
        {"scaled", [](Synth& s) { s.slope = 2, s.inter = -5; }, 2, -5, {1, 1, 1}, "mm", "", {}},
        {"slope 0 means none", [](Synth& s) { s.slope = 0, s.inter = 7; }, 1, 0, {1, 1, 1}, "mm", "", {}},
        {"slope NaN", [&](Synth& s) { s.slope = nan, s.inter = 7; }, 1, 0, {1, 1, 1}, "mm", "", {}},
        {"slope infinite", [&](Synth& s) { s.slope = inf; }, 1, 0, {1, 1, 1}, "mm", "", {}},
        {"intercept NaN", [&](Synth& s) { s.slope = 0.5, s.inter = nan; }, 0.5, 0, {1, 1, 1}, "mm", "", {}},
        {"colour is not scaled",
         [](Synth& s) { s.datatype = DT_RGB24, s.sampleBytes = 1, s.samples.assign(72, 'x'), s.slope = 2; }, 1, 0,
         {1, 1, 1}, "mm", "", {}},
        {"micrometres", [](Synth& s) { s.units = NIFTI_UNITS_MICRON | NIFTI_UNITS_SEC, s.pixdim[1] = 0.5, s.pixdim[2] = 0.25, s.pixdim[3] = 3; },
         1, 0, {0.5, 0.25, 3}, "\xc2\xb5m", "", {}},
        {"metres, sizes not given", [&](Synth& s) { s.units = NIFTI_UNITS_METER, s.pixdim[1] = -1, s.pixdim[2] = nan, s.pixdim[3] = 0; },
         1, 0, {0, 0, 0}, "m", "", {}},
        {"no unit", [](Synth& s) { s.units = 0, s.pixdim[3] = 2.5; }, 1, 0, {1, 1, 2.5}, "", "", {}},
        {"sform", [](Synth& s) { s.sformCode = 1, s.srow[0][0] = -2; }, 1, 0, {1, 1, 1}, "mm", "LAS", {}},
        {"qform turned half round z", [](Synth& s) { s.qformCode = 1, s.quatern[2] = 1; }, 1, 0, {1, 1, 1}, "mm", "LPS", {}},
        {"qform with qfac -1", [](Synth& s) { s.qformCode = 1, s.pixdim[0] = -1; }, 1, 0, {1, 1, 1}, "mm", "RAI", {}},
        {"sform all zero", [](Synth& s) { s.sformCode = 1, s.srow[0][0] = s.srow[1][1] = s.srow[2][2] = 0; }, 1, 0,
         {1, 1, 1}, "mm", "", {"has a patient orientation (sform) that is ignored: it gives no direction for an axis."}},
        {"sform before qform",
         [](Synth& s) { s.sformCode = 2, s.qformCode = 1, s.quatern[2] = 1, s.srow[1][1] = -1, s.srow[1][2] = 0; }, 1, 0,
         {1, 1, 1}, "mm", "RPS", {"has a qform and an sform that give different orientations; the sform is used."}},
        {"five dimensions, only the first volume in the file", [](Synth& s) { s.dims = {3, 2, 4, 3, 4}; }, 1, 0,
         {1, 1, 1}, "mm", "", {"holds 12 volumes; the first is shown"}},
    };
    testutil::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Synth s;
        s.samples.assign(48, '\1');
        c.set(s);
        for (const int version : {1, 2}) {
            s.version = version;
            FileInfo info;
            std::vector<Page> pages;
            ASSERT_TRUE(readAll(write(dir, "h" + std::to_string(version), s, Container::Nii), info, pages));
            EXPECT_EQ(info.pages[2].slope, c.slope);
            EXPECT_EQ(info.pages[2].intercept, c.intercept);
            for (int i = 0; i < 3; ++i)  // NIfTI-1 holds single precision
                EXPECT_EQ(info.voxelSize[i], version == 1 ? double(float(c.size[i])) : c.size[i]);
            EXPECT_EQ(info.unit, c.unit);
            EXPECT_EQ(info.description, c.orientation);
            EXPECT_EQ(info.notes, c.notes);
        }
    }
}

TEST(NiftiRead, HostileHeadersAreRefusedQuietlyAndEarly) {
    struct Case {
        const char* what;
        std::function<void(Synth&)> set;
        const char* says;
        Container container = Container::Nii;
        size_t cutTo = 0;  // > 0: the file ends there
        bool noImage = false;  // a pair's .img is removed
        const char* gzipOf = nullptr;  // a .nii.gz of these bytes instead
    };
    const std::vector<Case> cases = {
        {"no dimensions", [](Synth& s) { s.dims = {}; }, "damaged NIfTI header: 0 dimensions"},
        {"nine dimensions", [](Synth& s) { s.dims.assign(9, 1); }, "damaged NIfTI header: 9 dimensions"},
        {"a zero size", [](Synth& s) { s.dims = {3, 0, 4}; }, "its size 3 x 0 x 4 is not a volume's"},
        {"a negative size", [](Synth& s) { s.dims = {-5, 2, 4}; }, "its size -5 x 2 x 4 is not a volume's"},
        {"sizes beyond any file", [](Synth& s) { s.version = 2, s.dims = {int64_t(1) << 40, 1 << 20, 1 << 20}; },
         "is not a volume's"},
        {"a million and more slices", [](Synth& s) { s.version = 2, s.dims = {1, 1, 5000000}; },
         "has 5000000 slices, more than a volume can hold"},
        {"data offset past the end", [](Synth& s) { s.voxOffset = 1e6; }, "its data start at byte 1000000, but it is 400 bytes long"},
        {"data offset not a number", [](Synth& s) { s.voxOffset = std::nan(""); }, "its data offset is not a place in a file"},
        {"data offset negative", [](Synth& s) { s.version = 2, s.voxOffset = -544; }, "its data offset is not a place in a file"},
        {"data cut short", [](Synth& s) { s.dims = {3, 2, 5}; }, "is truncated: it is 400 bytes long, but its 3 x 2 x 5 samples need more"},
        {"a 4D file cut short in its first volume", [](Synth& s) { s.dims = {3, 2, 5, 2}; },
         "it is 400 bytes long, but its first volume's 3 x 2 x 5 samples need more"},
        {"an image file cut short", [](Synth& s) { s.dims = {3, 2, 5}; }, "its image file is 48 bytes long", Container::Pair},
        {"a header without its image file", [](Synth&) {}, "without its image file", Container::Pair, 0, true},
        {"a header cut short", [](Synth& s) { s.version = 2; }, "its NIfTI header is incomplete", Container::Nii, 300},
        {"compressed: not NIfTI inside", [](Synth&) {}, "is not a NIfTI file", Container::NiiGz, 0, false, "no header"},
        {"compressed: a header far beyond its data", [](Synth& s) { s.dims = {1000, 1000, 1000}; },
         "compressed bytes cannot hold its 1000 x 1000 x 1000 samples", Container::NiiGz},
        {"complex samples", [](Synth& s) { s.datatype = DT_COMPLEX64; }, "has complex 64-bit samples, which cannot be read"},
        {"128-bit floats", [](Synth& s) { s.datatype = DT_FLOAT128; }, "has 128-bit floating-point samples"},
        {"an unknown datatype", [](Synth& s) { s.datatype = 17; }, "unknown kind (NIfTI datatype 17)"},
        {"an Analyze 7.5 pair", [](Synth& s) { s.magic.assign(4, '\0'); }, "Analyze 7.5 header, which is not supported",
         Container::Pair},
    };
#ifdef SLABWRIGHT_ASAN
    const int64_t kPeakLimit = int64_t(256) << 20;  // freed blocks wait in the sanitizer's quarantine
#else
    const int64_t kPeakLimit = int64_t(16) << 20;
#endif
    testutil::TempDir dir;
    int file = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Synth s;
        s.samples.assign(48, '\2');
        c.set(s);
        const std::string name = "bad" + std::to_string(file++);
        const std::string path = write(dir, name, s, c.container);
        if (c.gzipOf) writeGz(path, c.gzipOf);
        if (c.cutTo) testutil::writeBytes(path, testutil::readBytes(path).substr(0, c.cutTo));
        if (c.noImage) std::filesystem::remove(dir.file(name + ".img"));
        EXPECT_TRUE(recognised(path));
        const int64_t grown = testutil::peakOf([&] {
            ::testing::internal::CaptureStderr();
            FileInfo info;
            std::string reason;
            const bool read = formats::nifti.header(path, info, reason);
            const std::string printed = ::testing::internal::GetCapturedStderr();
            EXPECT_FALSE(read);
            EXPECT_NE(reason.find(c.says), std::string::npos) << reason;
            EXPECT_EQ(printed, "");
        });
        EXPECT_LT(grown, kPeakLimit);
    }
}

// Slices of a compressed file are inflated once in all, whatever the order and the threads
// asking; a stream that ends early is refused; data beyond what the header gives are not read.
TEST(NiftiRead, CompressedSlicesInflateOnce) {
    testutil::TempDir dir;
    Synth s;
    s.datatype = DT_INT16, s.sampleBytes = 2;
    s.dims = {128, 128, 96};
    for (int k = 0; k < 96; ++k)
        for (int j = 0; j < 128; ++j)
            for (int i = 0; i < 128; ++i) {
                const uint16_t v = uint16_t((i * 7 + j * 13 + k * 31 + i * j) & 0x7fff);
                s.samples.append(reinterpret_cast<const char*>(&v), 2);
            }
    const std::string path = write(dir, "big", s, Container::NiiGz);
    FileInfo info;
    std::string reason;
    ASSERT_TRUE(formats::nifti.header(path, info, reason)) << reason;
    auto expectPage = [&](int k, const Page& p) {
        ASSERT_EQ(p.s16.size(), 128u * 128u);
        EXPECT_EQ(0, std::memcmp(p.s16.data(), s.samples.data() + size_t(k) * 128 * 128 * 2, p.s16.size() * 2)) << k;
    };
    using Clock = std::chrono::steady_clock;
    auto seconds = [](Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); };

    // The last slice alone inflates the whole file; every slice in turn should cost about as
    // much. Each run reads the header afresh, so that nothing inflated before is kept.
    double lastAlone = 1e9;
    for (int run = 0; run < 3; ++run) {
        Page p;
        ASSERT_TRUE(formats::nifti.header(path, info, reason)) << reason;
        const auto t0 = Clock::now();
        ASSERT_TRUE(formats::nifti.decode(path, info, 95, p, reason)) << reason;
        lastAlone = std::min(lastAlone, seconds(t0));
        expectPage(95, p);
    }
    ASSERT_TRUE(formats::nifti.header(path, info, reason)) << reason;
    const auto t0 = Clock::now();
    for (int k = 0; k < 96; ++k) {
        Page p;
        ASSERT_TRUE(formats::nifti.decode(path, info, k, p, reason)) << reason;
        expectPage(k, p);
    }
    const double all = seconds(t0);
    std::printf("[ inflate  ] last slice alone %.4f s, all 96 in turn %.4f s\n", lastAlone, all);
    EXPECT_LT(all, 4 * lastAlone + 0.05) << "slices are inflated from the start again";

    // Four threads taking the next slice as each comes free, as the loader's workers do.
    ASSERT_TRUE(formats::nifti.header(path, info, reason)) << reason;
    std::vector<Page> pages(96);
    std::atomic<int> next{0};
    std::vector<std::thread> workers;
    const auto t1 = Clock::now();
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&] {
            std::string why;
            for (int k = next++; k < 96; k = next++)
                if (!formats::nifti.decode(path, info, k, pages[k], why)) return;
        });
    for (std::thread& w : workers) w.join();
    std::printf("[ inflate  ] all 96 on four threads %.4f s\n", seconds(t1));
    for (int k = 0; k < 96; ++k) expectPage(k, pages[k]);

    // Cut short: the slices before the cut decode, a later one is refused.
    const std::string whole = testutil::readBytes(path);
    const std::string cut = dir.file("cut.nii.gz");
    testutil::writeBytes(cut, whole.substr(0, whole.size() * 2 / 3));
    ASSERT_TRUE(formats::nifti.header(cut, info, reason)) << reason;
    Page p;
    ASSERT_TRUE(formats::nifti.decode(cut, info, 10, p, reason)) << reason;
    expectPage(10, p);
    EXPECT_FALSE(formats::nifti.decode(cut, info, 95, p, reason));
    EXPECT_EQ(reason, "is truncated: its compressed data end before its samples do");
}

// The readers' inflater against zlib's gzread, which the NIfTI reader used before it: the
// same bytes, and a read fails (gzread: -1) exactly where gzread's does, so that a damaged
// file is refused for what it was refused for.
TEST(NiftiRead, InflaterReadsGzipAsGzreadDoes) {
    testutil::TempDir dir;
    std::string data;
    for (uint32_t i = 0, x = 1; i < 300000; ++i) x = x * 1103515245u + 12345u, data += char((x >> 16) % 7 + i / 1000 % 3);
    const auto gzipped = [&](const std::string& raw) {
        const std::string path = dir.file("member.gz");
        gzFile g = gzopen(path.c_str(), "wb");
        gzwrite(g, raw.data(), unsigned(raw.size()));
        gzclose(g);
        return testutil::readBytes(path);
    };
    const std::string whole = gzipped(data), second = gzipped(data.substr(0, 20000));
    std::string flipped[4] = {whole, whole, whole, whole};
    const size_t at[4] = {30, whole.size() / 3, whole.size() - 12, whole.size() - 3};  // inside, and in the trailer
    for (int k = 0; k < 4; ++k) flipped[k][at[k]] = char(flipped[k][at[k]] ^ 0x5a);
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"sound", whole},           {"cut short", whole.substr(0, whole.size() / 2)}, {"two members", whole + second},
        {"trailing bytes", whole + "xyz"}, {"damaged early", flipped[0]}, {"damaged inside", flipped[1]},
        {"damaged check", flipped[2]},     {"damaged length", flipped[3]}};
    const std::vector<std::vector<size_t>> patterns = {{100, 5000, 16384, 70000, 300000, 540, 20000}, {1000}};
    for (const auto& [what, bytes] : cases)
        for (const std::vector<size_t>& steps : patterns) {
            SCOPED_TRACE(std::string(what) + (steps.size() > 1 ? ", mixed reads" : ", small reads"));
            const std::string path = dir.file("case.gz");
            testutil::writeBytes(path, bytes);
            gzFile g = gzopen(path.c_str(), "rb");
            formats::ForwardInflater in(path, 0, formats::ForwardInflater::Wrap::Gzip);
            ASSERT_TRUE(g && in.ok());
            for (size_t call = 0; call < 1000; ++call) {
                const size_t n = steps[call % steps.size()];
                std::string a(n, '\0'), b(n, '\0');
                const int r = gzread(g, a.data(), unsigned(n));
                const size_t got = in.read(reinterpret_cast<unsigned char*>(b.data()), n);
                const int mine = in.damage().empty() ? int(got) : -1;
                ASSERT_EQ(mine, r) << "call " << call;
                if (r <= 0) break;
                ASSERT_EQ(b.substr(0, got), a.substr(0, size_t(r))) << "call " << call;
            }
            gzclose(g);
        }
}

TEST(NiftiRead, DataBeyondTheHeadersSizeAreNotInflated) {
    // 2 slices of 4 x 4 bytes followed by a gigabyte of zeros in 1024 gzip members of 1 MiB.
    testutil::TempDir dir;
    Synth s;
    s.datatype = DT_UINT8, s.sampleBytes = 1, s.dims = {4, 4, 2};
    for (int n = 0; n < 32; ++n) s.samples += char(n * 7);
    const std::string path = dir.file("bomb.nii.gz");
    writeGz(path, bytesOf(s, false) + std::string(1 << 20, '\0'));
    writeGz(dir.file("zeros.gz"), std::string(1 << 20, '\0'));
    const std::string member = testutil::readBytes(dir.file("zeros.gz"));
    std::string bomb = testutil::readBytes(path);
    for (int m = 0; m < 1023; ++m) bomb += member;
    testutil::writeBytes(path, bomb);
    const int64_t grown = testutil::peakOf([&] {
        const auto t0 = std::chrono::steady_clock::now();
        FileInfo info;
        std::vector<Page> pages;
        ASSERT_TRUE(readAll(path, info, pages));
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 0.5);
        ASSERT_EQ(pages.size(), 2u);
        EXPECT_EQ(std::string(pages[1].s8.begin(), pages[1].s8.end()), s.samples.substr(16));
    });
#ifdef SLABWRIGHT_ASAN
    const int64_t kPeakLimit = int64_t(256) << 20;  // freed blocks wait in the sanitizer's quarantine
#else
    const int64_t kPeakLimit = int64_t(16) << 20;
#endif
    EXPECT_LT(grown, kPeakLimit);  // inflating it all would take a gigabyte
}

#ifndef SLABWRIGHT_ASAN
// What the loader reserves for one page's decoding covers what decoding it takes.
TEST(NiftiRead, DecodeBytesCoverTheDecoding) {
    testutil::TempDir dir;
    Synth s;
    s.datatype = DT_FLOAT64, s.sampleBytes = 8, s.dims = {1024, 1024, 2};
    s.samples.assign(size_t(8) << 21, '\0');
    for (const Container c : {Container::Nii, Container::NiiGz}) {
        const std::string path = write(dir, "wide", s, c);
        FileInfo info;
        std::string reason;
        ASSERT_TRUE(formats::nifti.header(path, info, reason)) << reason;
        const int64_t grown = testutil::peakOf([&] {
            Page p;
            ASSERT_TRUE(formats::nifti.decode(path, info, 1, p, reason)) << reason;
        });
        EXPECT_GE(grown, int64_t(7) << 20) << path;  // the page itself: 8 MiB
        EXPECT_LE(grown, info.decodeBytes) << path;
    }
}
#endif

// The files nibabel's test data hold and the sample made of one, against what their own
// fields and samples say (as nibabel reads them; stored values, before scaling).
TEST(NiftiFiles, RealVolumes) {
    const std::string& data = testutil::kNibabelData;
    const std::string sample = SLABWRIGHT_SOURCE_DIR "/samples/nifti/head-128x96x24.nii.gz";
    struct Probe {
        int i, j, k;
        double value;
    };
    struct Case {
        const char* file;
        int width, height, slices;
        Samples kind;
        double size[3];
        const char* unit;
        const char* orientation;
        int volumes;
        double slope, intercept;
        double sum;  // of the first volume's stored samples (NaN left out)
        std::vector<Probe> probes;
    };
    const float z22 = 2.1999990940093994f;
    const std::vector<Case> cases = {
        {"the sample", 128, 96, 24, Samples::Signed16, {2, 2, z22}, "mm", "LAS", 1, 1, 0, 50994397,
         {{0, 0, 0, 0}, {127, 95, 23, 0}, {64, 32, 12, 408}}},
        {"anatomical.nii", 33, 41, 25, Samples::Signed16, {2, 2, 2}, "mm", "LAS", 1, 1, 0, 284166082,
         {{0, 0, 0, 10712}, {32, 40, 24, 2971}, {16, 13, 12, 7654}}},
        {"example4d.nii.gz", 128, 96, 24, Samples::Signed16, {2, 2, z22}, "mm", "LAS", 2, 1, 0, 50994397,
         {{0, 0, 0, 0}, {127, 95, 23, 0}, {64, 32, 12, 408}}},
        {"example_nifti2.nii.gz", 32, 20, 12, Samples::Signed16, {2, 2, 2.1999990940093994}, "mm", "LAS", 2, 1, 0,
         3461748, {{0, 0, 0, 424}, {31, 19, 11, 484}, {16, 6, 6, 348}}},
        {"functional.nii", 17, 21, 3, Samples::Signed16, {4, 4, 8}, "mm", "LAS", 20, 0.07540696859359741f,
         3100.76171875, 7463909, {{0, 0, 0, 11980}, {16, 20, 2, 558}, {8, 7, 1, 6193}}},
        {"reoriented_anat_moved.nii", 21, 26, 22, Samples::Float32, {4, 4, 4}, "mm", "RAS", 1, 1, 0,
         32739769.449157715, {{0, 0, 0, 0}, {10, 8, 11, 7819.78857421875}}},
        {"resampled_anat_moved.nii", 17, 21, 3, Samples::Float32, {4, 4, 8}, "mm", "LAS", 1, 1, 0, 7749957.09866333,
         {{8, 7, 1, 10330.642578125}}},
        {"standard.nii.gz", 4, 5, 7, Samples::Unsigned8, {1, 3, 2}, "", "RAS", 1, 1, 0, 7650,
         {{0, 0, 0, 0}, {3, 4, 6, 255}, {2, 1, 3, 255}}},
    };
    int skipped = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string path = c.file == std::string("the sample") ? sample : data + c.file;
        if (!std::filesystem::exists(path) && path != sample) {
            ++skipped;  // python3-nibabel is not installed
            continue;
        }
        EXPECT_TRUE(recognised(path));
        FileInfo info;
        std::vector<Page> pages;
        ASSERT_TRUE(readAll(path, info, pages));
        ASSERT_EQ(int(pages.size()), c.slices);
        EXPECT_EQ(info.pages[0].width, c.width);
        EXPECT_EQ(info.pages[0].height, c.height);
        EXPECT_EQ(info.pages[0].samples, c.kind);
        EXPECT_EQ(info.pages[0].slope, c.slope);
        EXPECT_EQ(info.pages[0].intercept, c.intercept);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(info.voxelSize[i], c.size[i]);
        EXPECT_EQ(info.unit, c.unit);
        EXPECT_EQ(info.description, c.orientation);
        EXPECT_EQ(info.notes.size(), c.volumes > 1 ? 1u : 0u);
        if (c.volumes > 1) {
            EXPECT_EQ(info.notes[0], "holds " + std::to_string(c.volumes) + " volumes; the first is shown");
        }
        double sum = 0;
        for (const Page& p : pages)
            for (size_t n = 0; n < size_t(p.width) * p.height; ++n)
                if (!std::isnan(valueAt(p, n))) sum += valueAt(p, n);
        EXPECT_NEAR(sum, c.sum, std::abs(c.sum) * 1e-12);
        for (const Probe& pr : c.probes) EXPECT_EQ(valueAt(pages[pr.k], size_t(pr.j) * c.width + pr.i), pr.value);
    }
    if (skipped) GTEST_SKIP() << skipped << " files of python3-nibabel's test data are not installed";
    // Its header alone: the .img is not there.
    FileInfo info;
    std::string reason;
    EXPECT_TRUE(recognised(data + "nifti2.hdr"));
    EXPECT_FALSE(formats::nifti.header(data + "nifti2.hdr", info, reason));
    EXPECT_EQ(reason, "is a NIfTI header without its image file (.img) beside it");
}

// Whole loads without the window: the layers, voxel size and mapped bytes a plan and its
// build give, and the refusal of a NIfTI file among others.
TEST(NiftiLoad, ThroughPlanAndBuild) {
    testutil::TempDir dir;
    const std::string& data = testutil::kNibabelData;
    Synth rgb;  // 2 x 2 x 2 RGBA32 in a pair, opened by its .img
    rgb.datatype = DT_RGBA32, rgb.sampleBytes = 1, rgb.dims = {2, 2, 2}, rgb.pixdim[3] = 0.5;
    for (int n = 0; n < 32; ++n) rgb.samples += char(n * 8 + 1);
    write(dir, "rgba", rgb, Container::Pair);
    Synth scaled;  // int16 stored 0..23 on 3 x 2 x 4, values 10 - 2 stored
    scaled.slope = -2, scaled.inter = 10, scaled.units = NIFTI_UNITS_MICRON;
    for (int n = 0; n < 24; ++n) scaled.samples += std::string{char(n), '\0'};
    const std::string scaledPath = write(dir, "scaled", scaled, Container::NiiGz);
    const std::string png = dir.file("p.png");
    testutil::writeBytes(png, filebytes::png(3, 2, 8, 0, filebytes::rowsOf(3, 2, [](int, int) { return filebytes::bytes({7}); })));

    struct Probe {
        int i, j, k;
        voxel v;
    };
    struct Case {
        const char* what;
        std::vector<std::string> files;
        int width, height, depth;
        double size[3];
        const char* unit;
        const char* description;
        std::vector<std::string> notes;
        const char* mapping;
        std::vector<Probe> probes;
        const char* refusal = nullptr;  // a part of the whole message
    };
    const float z22 = 2.1999990940093994f;
    const std::vector<Case> cases = {
        // Stored 0..1162: 408 -> 408 * 255 / 1162 = 89.5 -> 89.
        {"the sample", {SLABWRIGHT_SOURCE_DIR "/samples/nifti/head-128x96x24.nii.gz"}, 128, 96, 24, {2, 2, z22}, "mm",
         "LAS", {}, "16-bit signed samples 0..1162 mapped to 0..255",
         {{0, 0, 0, voxel(0, 0, 0, 255)}, {64, 32, 12, voxel(89, 89, 89, 255)}}},
        // Values 10 - 2 s: -36..10; stored 5 is 0 -> 36 * 255 / 46 = 199.6 -> 199; stored 0 is 10 -> 255.
        {"scaled", {scaledPath}, 3, 2, 4, {1, 1, 1}, "\xc2\xb5m", "", {}, "16-bit signed samples -36..10 mapped to 0..255",
         {{2, 1, 0, voxel(199, 199, 199, 255)}, {0, 0, 0, voxel(255, 255, 255, 255)}, {2, 1, 3, voxel(0, 0, 0, 255)}}},
        {"named twice, loaded once", {scaledPath, scaledPath}, 3, 2, 4, {1, 1, 1}, "\xc2\xb5m", "", {},
         "16-bit signed samples -36..10 mapped to 0..255", {{2, 1, 3, voxel(0, 0, 0, 255)}}},
        {"RGBA by its .img", {dir.file("rgba.img")}, 2, 2, 2, {1, 1, 0.5}, "mm", "", {}, "",
         {{0, 0, 0, voxel(1, 9, 17, 25)}, {1, 1, 1, voxel(225, 233, 241, 249)}}},
        // Values 0.0754 s + 3100.76 of the first of 20 volumes: 762.54..5538.07; (0, 0, 0) is
        // 4004.14 -> 3241.60 * 255 / 4775.52 = 173.1 -> 173.
        {"functional.nii", {data + "functional.nii"}, 17, 21, 3, {4, 4, 8}, "mm", "LAS",
         {"\"" + data + "functional.nii\" holds 20 volumes; the first is shown"},
         "16-bit signed samples 762.542..5538.07 mapped to 0..255",
         {{0, 0, 0, voxel(173, 173, 173, 255)}}},
        // Unsigned 8-bit samples are copied; no unit said, sizes kept.
        {"standard.nii.gz", {data + "standard.nii.gz"}, 4, 5, 7, {1, 3, 2}, "", "RAS", {}, "",
         {{3, 4, 6, voxel(255, 255, 255, 255)}, {0, 0, 0, voxel(0, 0, 0, 255)}}},
        {"beside a PNG", {png, scaledPath}, 0, 0, 0, {}, "", "", {}, "", {},
         "is a NIfTI file, a whole volume: it is loaded by itself, not with"},
        {"its .hdr and its .img", {dir.file("rgba.hdr"), dir.file("rgba.img")}, 0, 0, 0, {}, "", "", {}, "", {},
         "is a NIfTI file, a whole volume"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!std::filesystem::exists(c.files.back())) continue;  // python3-nibabel is not installed
        stackio::Plan plan;
        std::string problem;
        const bool planned = stackio::plan(c.files, plan, problem);
        if (c.refusal) {
            EXPECT_FALSE(planned);
            EXPECT_NE(problem.find(c.refusal), std::string::npos) << problem;
            continue;
        }
        ASSERT_TRUE(planned) << problem;
        EXPECT_EQ(plan.layers, c.depth);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(plan.voxelSize[i], c.size[i]);
        EXPECT_EQ(plan.unit, c.unit);
        EXPECT_EQ(plan.description, c.description);
        EXPECT_EQ(plan.notes, c.notes);
        voxelmap map;
        const stackio::Outcome o = stackio::build(plan, map, [](int) { return true; });
        ASSERT_EQ(o.problem, "");
        EXPECT_EQ(stackio::mappingText(o), c.mapping);
        ASSERT_EQ(map.width, c.width);
        ASSERT_EQ(map.height, c.height);
        ASSERT_EQ(map.depth, c.depth);
        for (const Probe& p : c.probes)
            EXPECT_EQ(map.voxels.get()[map.index(p.i, p.j, p.k)], p.v) << p.i << ", " << p.j << ", " << p.k;
    }
}

}  // namespace

// A folder holding one NIfTI volume (a file, or a pair by its header) stands for it; one of
// several volumes, or of no readable file, is refused naming what a folder may hold.
TEST(NiftiRead, AFolderOfOneVolumeStandsForIt) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, Container>> volumes;
        std::string expands;  // the one file, or in the problem
    };
    const Case cases[] = {
        {"one file", {{"head", Container::Nii}}, "head.nii"},
        {"one pair", {{"pair", Container::Pair}}, "pair.hdr"},
        {"two", {{"a", Container::NiiGz}, {"b", Container::Nii}}, "is a folder of 2 volumes"},
        {"none", {}, "DICOM files or a NIfTI volume (.nii, .nii.gz, or a .hdr with its .img)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testutil::TempDir dir;
        testutil::writeBytes(dir.file("notes.txt"), "not an image");
        Synth s;
        s.samples.assign(48, '\1');
        for (const auto& [name, container] : c.volumes) write(dir, name, s, container);
        std::vector<std::string> files;
        std::string problem;
        const bool ok = stackio::expandPaths({dir.path}, files, problem);
        EXPECT_EQ(c.volumes.size() == 1, ok) << problem;
        if (ok) {
            EXPECT_EQ(std::vector<std::string>{dir.file(c.expands)}, files);
        } else {
            EXPECT_NE(problem.find(c.expands), std::string::npos) << problem;
        }
    }
}
