// Huge pages read in bands at a reduced size: the volume, lost lines and words of their
// whole pages, and the memory planned for them.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "filebytes.h"
#include "parallel.h"
#include "stackio.h"
#include "testutil.h"
#include "voxelmap.h"

namespace {

using filebytes::TiffPage;

// A stack planned at 1/k and built with its pages whole, or read in bands.
struct Built {
    voxelmap map;
    stackio::Outcome o;
};
void buildReduced(const std::string& file, int k, bool inBands, Built& b) {
    stackio::Plan plan;
    std::string problem;
    ASSERT_TRUE(stackio::plan({file}, plan, problem, -1, {}, k)) << problem;
    ASSERT_GT(plan.bandBytes, 0);
    plan.inBands = inBands;
    b.o = stackio::build(plan, b.map, [](int) { return true; });
}

}  // namespace

// Huge pages read in bands give the volume their whole pages give, byte for byte: random
// samples of each kind, in strips (not a multiple of the factor), tiles, planes, turned
// rows, CMYK through the RGBA reader, and strips that cannot be read (the same lines lost).
TEST(Reduce, BandsAsWholePages) {
    testutil::TempDir dir;
    struct Case {
        const char* name;
        int w, h, pages, k, samples, bits, rowsPerStrip, tile;
        uint16_t sampleFormat = 0, orientation = 0, extra = 2;
        bool planes = false;
        int photometric = -1;
        bool damaged = false;
        bool mixed = false;  // every other page RGB
    };
    const Case cases[] = {
        {"grey 8", 37, 29, 5, 2, 1, 8, 3, 0},
        {"RGB 8 tiled", 33, 21, 7, 4, 3, 8, 0, 16},
        {"RGBA 8", 19, 23, 9, 8, 4, 8, 5, 0},
        {"grey 16", 41, 17, 6, 2, 1, 16, 7, 0},
        {"RGBA 16 premultiplied, tiled", 29, 30, 4, 4, 4, 16, 0, 16, 0, 0, 1},
        {"grey + alpha signed 16", 21, 13, 3, 2, 2, 16, 2, 0, 2},
        {"float grey", 23, 19, 5, 2, 1, 32, 4, 0, 3},
        {"grey 32 unsigned", 9, 7, 3, 2, 1, 32, 2, 0, 1},
        {"grey 32 signed, small values", 13, 11, 5, 8, 1, 32, 3, 0, 2},
        {"RGB 8 in planes", 25, 22, 4, 2, 3, 8, 4, 0, 0, 0, 2, true},
        {"grey 8 right to left", 31, 9, 4, 2, 1, 8, 2, 0, 0, 2},
        {"grey 16 upside down (whole)", 15, 11, 3, 2, 1, 16, 3, 0, 0, 3},
        {"CMYK 8", 17, 14, 4, 2, 4, 8, 3, 0, 0, 0, 2, false, 5},
        {"grey 8 damaged", 27, 26, 5, 2, 1, 8, 4, 0, 0, 0, 2, false, -1, true},
        {"grey 16 damaged", 27, 26, 5, 4, 1, 16, 3, 0, 0, 0, 2, false, -1, true},
        {"grey 16 reduced 32 times (sums past 32 bits)", 70, 40, 33, 32, 1, 16, 5, 0},
        {"grey 16 signed", 23, 15, 4, 2, 1, 16, 3, 0, 2},
        {"grey 8 signed, reduced 3 times", 25, 14, 5, 3, 1, 8, 4, 0, 2},
        {"grey 8 and RGB 8 pages", 21, 18, 6, 2, 1, 8, 4, 0, 0, 0, 2, false, -1, false, true},
    };
    std::mt19937 rng(11);
    const int64_t target = formats::bandTargetBytes();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<TiffPage> pages;
        for (int n = 0; n < c.pages; ++n) {
            const int samples = c.mixed && n % 2 == 1 ? 3 : c.samples;
            TiffPage pg{c.w, c.h, samples, c.bits, {}};
            pg.rowsPerStrip = c.rowsPerStrip, pg.tile = c.tile, pg.sampleFormat = c.sampleFormat;
            pg.orientation = c.orientation, pg.extra = c.extra, pg.planes = c.planes, pg.photometric = c.photometric;
            const size_t count = size_t(c.w) * c.h * samples;
            for (size_t i = 0; i < count; ++i) {
                if (c.bits == 32 && c.sampleFormat == 3) {  // finite floats of either sign
                    const float v = float(int(rng() % 200001) - 100000) / 64.0f;
                    uint32_t u;
                    std::memcpy(&u, &v, 4);
                    pg.data32.push_back(u);
                } else if (c.bits == 32) {  // any, or sums that fit in 32 bits (either sign)
                    pg.data32.push_back(c.sampleFormat == 1 ? uint32_t(rng()) : uint32_t(int32_t(rng() % 2001) - 1000));
                } else {
                    pg.data.push_back(uint16_t(rng() % (c.bits == 8 ? 256 : 65536)));
                }
            }
            if (c.damaged && n % 2 == 1) {  // a strip claimed empty, another cut short
                const uint32_t row = uint32_t(c.w) * (c.bits / 8);
                for (int y0 = 0; y0 < c.h; y0 += c.rowsPerStrip)
                    pg.stripBytes.push_back(row * uint32_t(std::min(c.rowsPerStrip, c.h - y0)));
                pg.stripBytes[1] = 0, pg.stripBytes[3] = row + 3;
            }
            pages.push_back(pg);
        }
        const std::string file = dir.file(std::string(c.name) + ".tif");
        testutil::writeBytes(file, filebytes::tiff(pages));
        // Bands of 3 rows where strips are gathered.
        formats::bandTargetBytes() = int64_t(3) * c.w * c.samples * (c.bits / 8);
        for (const int workers : {1, 3}) {
            workerOverride() = workers;
            Built whole, banded;
            buildReduced(file, c.k, false, whole);
            buildReduced(file, c.k, true, banded);
            ASSERT_EQ(banded.o.problem, whole.o.problem);
            ASSERT_TRUE(whole.o.problem.empty()) << whole.o.problem;
            EXPECT_EQ(banded.o.warnings, whole.o.warnings);
            EXPECT_EQ(banded.o.wideLo, whole.o.wideLo);
            EXPECT_EQ(banded.o.wideHi, whole.o.wideHi);
            ASSERT_GT(whole.map.width, 0);
            EXPECT_TRUE(testutil::sameMap(banded.map, whole.map));
            if (c.damaged) {
                EXPECT_FALSE(whole.o.warnings.empty());
            }
        }
    }
    workerOverride() = 0;
    formats::bandTargetBytes() = target;
}

// Deflated strips, one of them garbled part way: read a strip at a time in bands, the garbled
// one is read again by rows, so the rows before the damage are kept as whole pages keep them.
TEST(Reduce, BandsOfDeflatedStrips) {
    testutil::TempDir dir;
    const std::string file = dir.file("deflated.tif");
    constexpr int W = 40, H = 30, kPages = 5, kRows = 6;
    TIFF* t = TIFFOpen(file.c_str(), "w");
    ASSERT_NE(t, nullptr);
    std::mt19937 rng(5);
    std::vector<uint16_t> row(W);
    for (int k = 0; k < kPages; ++k) {
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(W));
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(H));
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, uint32_t(kRows));
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        for (int y = 0; y < H; ++y) {
            for (uint16_t& v : row) v = uint16_t(rng());
            ASSERT_EQ(TIFFWriteScanline(t, row.data(), uint32_t(y), 0), 1);
        }
        ASSERT_TRUE(TIFFWriteDirectory(t));
    }
    TIFFClose(t);
    // The second half of strip 2 of page 3 garbled.
    t = TIFFOpen(file.c_str(), "r");
    ASSERT_TRUE(t && TIFFSetDirectory(t, 2));
    const uint64_t at = TIFFGetStrileOffset(t, 2), bytes = TIFFGetStrileByteCount(t, 2);
    TIFFClose(t);
    std::string data = testutil::readBytes(file);
    for (uint64_t i = at + bytes / 2; i < at + bytes; ++i) data[i] = char(rng());
    testutil::writeBytes(file, data);
    formats::bandTargetBytes() = int64_t(2) * kRows * W * 2;  // bands of two strips
    Built whole, banded;
    buildReduced(file, 2, false, whole);
    buildReduced(file, 2, true, banded);
    formats::bandTargetBytes() = int64_t(8) << 20;
    ASSERT_EQ(banded.o.problem, whole.o.problem);
    ASSERT_EQ(whole.o.warnings.size(), 1u);
    EXPECT_NE(whole.o.warnings[0].find("page 3 of 5: row"), std::string::npos) << whole.o.warnings[0];
    EXPECT_EQ(banded.o.warnings, whole.o.warnings);
    EXPECT_TRUE(testutil::sameMap(banded.map, whole.map));
}

// The memory a reduced load of huge pages is planned to hold beside its volume: a band a
// page and the reducer's ring, not the pages. 16 pages of 20000 x 20000 RGBA (headers
// only) at 1/2 fit in the volume and a tenth more, where whole pages would not.
TEST(Reduce, BandsPlannedSmall) {
    testutil::TempDir dir;
    const std::string file = dir.file("huge.tif");
    testutil::writeBytes(file, filebytes::tiff(std::vector<TiffPage>(16, TiffPage{20000, 20000, 4, 8, {1, 2, 3, 4}}), true));
    const int64_t volume = int64_t(10000) * 10000 * 8 * 4;
    stackio::Plan plan;
    std::string problem;
    ASSERT_TRUE(stackio::plan({file}, plan, problem, volume + volume / 10, {}, 2)) << problem;
    EXPECT_TRUE(plan.inBands);
    EXPECT_LE(stackio::decodingBytes(plan, 2), static_cast<unsigned __int128>(volume / 10));
    stackio::Plan whole = plan;
    whole.bandBytes = 0;
    EXPECT_GT(stackio::decodingBytes(whole, 2), static_cast<unsigned __int128>(volume / 10));
}
