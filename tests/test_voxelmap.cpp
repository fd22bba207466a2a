// voxel, voxelLerp and voxelmap: placement, lookups, interpolation, copying and image layers.
#include <gtest/gtest.h>
#include <wx/image.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <future>
#include <limits>
#include <random>
#include <vector>

#include "testutil.h"
#include "voxelmap.h"

namespace {

using RGBA = std::array<int, 4>;
RGBA rgba(voxel v) { return {v.r, v.g, v.b, v.a}; }

// Every voxel of the test volume differs in every channel from its neighbours, and red
// is not linear in i (so extrapolating from the wrong pair of neighbours shows).
voxel pattern(int i, int j, int k) {
    return voxel(17 * i + 3 * i * i + 5 * j + 60 * k + 1, 250 - 31 * i - 9 * j - 40 * k, (i * j * 13 + k * 7) % 256,
                 255 - 10 * j - 20 * k - 3 * i);
}

// Width 5, height 4, depth 3: origin (-2.5, -2, 100), so the integer lookup's
// truncated origin is (-2, -2, 100) and voxel (i, j, k) sits at (i - 2, j - 2, k + 100).
void patternMap(voxelmap& map) { testutil::fillMap(map, 5, 4, 3, pattern); }

voxel imagePixel(int x, int y) { return voxel(40 * x + 1, 50 * y + 2, 7 * x + 3 * y, x == 0 ? 0 : 100 + 10 * y); }

}  // namespace

// --- voxel and voxelLerp -------------------------------------------------------------

TEST(Voxel, DefaultIsTransparentBlackAndBytesAreRGBA) {
    EXPECT_EQ(rgba(voxel()), (RGBA{0, 0, 0, 0}));
    const voxel v(1, 2, 3, 4);
    unsigned char bytes[4];
    std::memcpy(bytes, &v, 4);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[1], 2);
    EXPECT_EQ(bytes[2], 3);
    EXPECT_EQ(bytes[3], 4);
}

TEST(Voxel, LerpEndsAndHalfway) {
    const voxel a(10, 200, 0, 255), b(250, 3, 77, 0);
    EXPECT_EQ(rgba(voxelLerp(a, b, 0.0f)), rgba(a));
    EXPECT_EQ(rgba(voxelLerp(a, b, 1.0f)), rgba(b));
    EXPECT_EQ(rgba(voxelLerp(voxel(0, 0, 0, 0), voxel(255, 255, 255, 255), 0.5f)), (RGBA{127, 127, 127, 127}));
    // Each channel on its own: 10 + 240 / 2, 200 - 197 / 2 = 101.5, 77 / 2 = 38.5, 255 - 127.5.
    EXPECT_EQ(rgba(voxelLerp(a, b, 0.5f)), (RGBA{130, 101, 38, 127}));
}

TEST(Voxel, LerpTruncatesTheExactProductOfTheFloatT) {
    // 0.3f is 0.30000001192...: 10 - 10 * 0.3f = 6.99999988 truncates to 6. Rounding
    // the sum to float first would give 7.0 and so 7.
    EXPECT_EQ(rgba(voxelLerp(voxel(10, 0, 0, 0), voxel(0, 10, 0, 0), 0.3f)), (RGBA{6, 3, 0, 0}));
    // Toward zero, not to the nearest: 1 + 0.99 = 1.99 gives 1, and 200 - 100 * 0.99f
    // (0.99f is 0.99000000954...) = 100.99999905 gives 100.
    EXPECT_EQ(rgba(voxelLerp(voxel(1, 200, 0, 0), voxel(2, 100, 0, 0), 0.99f)), (RGBA{1, 100, 0, 0}));
    // The blend is exact in extended precision even for a tiny t: 200 - 4.4e-16 lies
    // below 200 and truncates to 199 (a sum rounded to double would say 200).
    EXPECT_EQ(rgba(voxelLerp(voxel(200, 0, 0, 0), voxel(199, 0, 0, 0), 4.4e-16f)), (RGBA{199, 0, 0, 0}));
}

// The blend takes a fast path in double; it must agree with the blend summed in
// extended precision everywhere, tiny and exact-integer cases included.
TEST(Voxel, LerpAgreesWithTheExtendedPrecisionBlend) {
    auto extended = [](unsigned char a, unsigned char b, float t) {
        const long double v = a + (static_cast<long double>(b) - a) * static_cast<long double>(t);
        return static_cast<unsigned char>(static_cast<long long>(v));
    };
    std::mt19937 rng(5);
    for (int n = 0; n < 400000; ++n) {
        const unsigned u = rng(), v = rng();
        const voxel a(u & 255, (u >> 8) & 255, (u >> 16) & 255, u >> 24);
        const voxel b(v & 255, (v >> 8) & 255, (v >> 16) & 255, v >> 24);
        float t;
        switch (n % 4) {
            case 0: t = static_cast<float>(rng() % 1000001) / 1000000.0f; break;  // ordinary fractions
            case 1: t = std::ldexp(1.0f, -static_cast<int>(rng() % 150)); break;  // powers of two down to denormals
            case 2: t = static_cast<float>(rng() % 256) / 256.0f; break;           // sums that land on whole numbers
            default: t = std::nextafter(static_cast<float>(rng() % 257) / 256.0f, 0.0f); break;  // just below them
        }
        const voxel got = voxelLerp(a, b, t);
        ASSERT_EQ(got.r, extended(a.r, b.r, t)) << int(a.r) << " -> " << int(b.r) << " at " << t;
        ASSERT_EQ(got.g, extended(a.g, b.g, t)) << int(a.g) << " -> " << int(b.g) << " at " << t;
        ASSERT_EQ(got.b, extended(a.b, b.b, t)) << int(a.b) << " -> " << int(b.b) << " at " << t;
        ASSERT_EQ(got.a, extended(a.a, b.a, t)) << int(a.a) << " -> " << int(b.a) << " at " << t;
    }
}

// --- placement and lookups ------------------------------------------------------------

TEST(VoxelMap, StandardPlacementOfA5x4x3Map) {
    voxelmap map;
    EXPECT_FALSE(map.loaded);
    patternMap(map);
    EXPECT_TRUE(map.loaded);
    EXPECT_EQ(map.numVoxels, 60);
    EXPECT_EQ(map.origin.x(), -2.5);
    EXPECT_EQ(map.origin.y(), -2.0);
    EXPECT_EQ(map.origin.z(), 100.0);
}

TEST(VoxelMap, IntegerLookupSubtractsTheTruncatedOrigin) {
    voxelmap map;
    patternMap(map);
    // x from -2 to 2, y from -2 to 1, z from 100 to 102.
    for (int z = 100; z <= 102; ++z)
        for (int y = -2; y <= 1; ++y)
            for (int x = -2; x <= 2; ++x)
                ASSERT_EQ(rgba(map.getVoxel(x, y, z)), rgba(pattern(x + 2, y + 2, z - 100))) << x << " " << y << " " << z;
    const RGBA none{0, 0, 0, 0};
    EXPECT_EQ(rgba(map.getVoxel(3, 0, 100)), none);
    EXPECT_EQ(rgba(map.getVoxel(-3, 0, 100)), none);
    EXPECT_EQ(rgba(map.getVoxel(0, -3, 100)), none);
    EXPECT_EQ(rgba(map.getVoxel(0, 2, 100)), none);
    EXPECT_EQ(rgba(map.getVoxel(0, 0, 103)), none);
    EXPECT_EQ(rgba(map.getVoxel(0, 0, 99)), none);
    EXPECT_EQ(rgba(map.getVoxel(INT_MIN, INT_MAX, INT_MIN)), none);
    // Element layout: x fastest, then y, then z.
    EXPECT_EQ(rgba(map.voxels[2 * 20 + 3 * 5 + 4]), rgba(map.getVoxel(2, 1, 102)));
}

TEST(VoxelMap, PointLookupTruncatesTheRelativePosition) {
    voxelmap map;
    patternMap(map);
    const RGBA none{0, 0, 0, 0};
    EXPECT_EQ(rgba(map.getVoxel(Vector(-2.7, 0, 100))), rgba(pattern(0, 2, 0)));  // relative -0.2: index 0
    EXPECT_EQ(rgba(map.getVoxel(Vector(-3.6, 0, 100))), none);                    // relative -1.1
    EXPECT_EQ(rgba(map.getVoxel(Vector(-3.5, 0, 100))), none);                    // relative -1.0
    EXPECT_EQ(rgba(map.getVoxel(Vector(2.49, 0, 100))), rgba(pattern(4, 2, 0)));  // relative 4.99
    EXPECT_EQ(rgba(map.getVoxel(Vector(2.5, 0, 100))), none);                     // relative 5
    EXPECT_EQ(rgba(map.getVoxel(Vector(0, -2.9, 100))), rgba(pattern(2, 0, 0)));
    EXPECT_EQ(rgba(map.getVoxel(Vector(0, 1.99, 100))), rgba(pattern(2, 3, 0)));
    EXPECT_EQ(rgba(map.getVoxel(Vector(0, 2.0, 100))), none);
    EXPECT_EQ(rgba(map.getVoxel(Vector(0, 0, 99.5))), rgba(pattern(2, 2, 0)));
    EXPECT_EQ(rgba(map.getVoxel(Vector(0, 0, 102.999))), rgba(pattern(2, 2, 2)));
    EXPECT_EQ(rgba(map.getVoxel(Vector(0, 0, 103))), none);
    // Points far away, or not numbers at all, are simply outside.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(rgba(map.getVoxel(Vector(1e300, 0, 100))), none);
    EXPECT_EQ(rgba(map.getVoxel(Vector(0, -1e19, 100))), none);
    EXPECT_EQ(rgba(map.getVoxel(Vector(0, 0, nan))), none);
}

TEST(VoxelMap, SetVoxelWritesWhereTheIntegerLookupReads) {
    voxelmap map;
    patternMap(map);
    map.setVoxel(-2, -2, 100, 1, 2, 3, 4);
    map.setVoxel(2, 1, 102, voxel(9, 8, 7, 6));
    map.setVoxel(0, -1, 101, voxel(5, 5, 5, 5));
    EXPECT_EQ(rgba(map.voxels[0]), (RGBA{1, 2, 3, 4}));
    EXPECT_EQ(rgba(map.voxels[59]), (RGBA{9, 8, 7, 6}));
    EXPECT_EQ(rgba(map.voxels[20 + 5 + 2]), (RGBA{5, 5, 5, 5}));
    EXPECT_EQ(rgba(map.getVoxel(0, -1, 101)), (RGBA{5, 5, 5, 5}));
    EXPECT_EQ(rgba(map.voxels[1]), rgba(pattern(1, 0, 0)));  // neighbours untouched
}

TEST(VoxelMap, ZeroSizedMapHasNothingInside) {
    voxelmap map;
    ASSERT_TRUE(map.allocate(0, 4, 3));
    // Relative x -0.5 truncates to index 0, which a zero width does not have.
    EXPECT_EQ(rgba(map.getVoxel(Vector(-0.5, 0, 100))), (RGBA{0, 0, 0, 0}));
    EXPECT_EQ(rgba(map.getVoxel(0, 0, 100)), (RGBA{0, 0, 0, 0}));
}

TEST(VoxelMap, IndicesAre64Bit) {
    voxelmap map;  // fields only: no array is needed to compute an index
    map.width = 2048;
    map.height = 2048;
    map.depth = 520;
    const int64_t last = map.index(2047, 2047, 519);
    EXPECT_EQ(last, int64_t{2181038079});  // 2048 * 2048 * 520 - 1
    EXPECT_GT(last, int64_t{1} << 31);
}

TEST(VoxelMap, AllocateRefusesCountsBeyond64Bits) {
    voxelmap map;
    EXPECT_FALSE(map.allocate(INT_MAX, INT_MAX, INT_MAX));
    EXPECT_FALSE(map.loaded);
    EXPECT_FALSE(map.allocate(-1, 2, 2));
    EXPECT_FALSE(map.loaded);
}

// Arrays below and above the size taken with big pages: zero bytes throughout (a volume is
// transparent black), the big one on a 2 MiB boundary; sizes past what can be addressed refused.
TEST(VoxelMap, BigArraysAreZeroAlignedAndBounded) {
    for (const size_t n : {size_t(1000), size_t(40) << 20}) {
        BigArray<unsigned char> a = allocateBig<unsigned char>(n);
        ASSERT_TRUE(a) << n;
        EXPECT_TRUE(std::all_of(a.get(), a.get() + n, [](unsigned char b) { return b == 0; })) << n;
        if (n > (size_t(16) << 20)) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(a.get()) % (size_t(2) << 20), 0u);
        }
        a[n - 1] = 1;
    }
    EXPECT_FALSE(allocateBig<uint64_t>((SIZE_MAX >> 3) + 2));  // n * 8 would wrap to 8 bytes
    EXPECT_FALSE(allocateBig<unsigned char>(SIZE_MAX - 10));
}

// Making fresh memory ready ahead of its writer (on a thread of its own, from an unaligned
// start to an unaligned end) leaves every byte as written, before and while it runs.
TEST(VoxelMap, PrefaultKeepsWhatTheBlockHolds) {
    const size_t n = (size_t(24) << 20) + 12345;
    BigArray<unsigned char> a = allocateBig<unsigned char>(n);
    ASSERT_TRUE(a);
    std::vector<unsigned char> expected(n, 0);
    const auto write = [&](size_t from, size_t step) {
        for (size_t i = from; i < n; i += step) a[i] = expected[i] = static_cast<unsigned char>(i % 251 + 1);
    };
    write(0, 4093);
    std::future<void> later = prefaultLater(a.get() + 7, n - 100);
    write(1, 509);
    if (later.valid()) later.get();
    prefault(a.get(), n);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), a.get()));
}

// --- interpolated lookups ---------------------------------------------------------

TEST(VoxelMap, InterpolationAtWholeCoordinatesReturnsTheVoxel) {
    voxelmap map;
    patternMap(map);
    for (int z = 100; z <= 102; ++z)
        for (int y = -2; y <= 1; ++y)
            for (int x = -2; x <= 2; ++x) {
                ASSERT_EQ(rgba(map.getAAVoxel(Vector(x, y, z))), rgba(map.getVoxel(x, y, z)));
                ASSERT_EQ(rgba(map.getAAVoxelinPlane(Vector(x, y, z))), rgba(map.getVoxel(x, y, z)));
            }
}

TEST(VoxelMap, InterpolationFadesTowardTheOutside) {
    voxelmap map;
    testutil::fillMap(map, 5, 4, 3, [](int, int, int) { return voxel(255, 255, 255, 255); });
    // Halfway between the last voxel of a row (x = 2) and the outside: 127, not 128.
    EXPECT_EQ(rgba(map.getAAVoxel(Vector(2.5, 0, 101))), (RGBA{127, 127, 127, 127}));
    // A quarter of the way from the outside (y -3) to the first row (y -2): 63.75.
    EXPECT_EQ(rgba(map.getAAVoxel(Vector(0, -2.75, 101))), (RGBA{63, 63, 63, 63}));
    // Halfway between the last layer and the outside.
    EXPECT_EQ(rgba(map.getAAVoxel(Vector(0, 0, 102.5))), (RGBA{127, 127, 127, 127}));
}

TEST(VoxelMap, TrilinearBlendsInThreeTruncatedStages) {
    voxelmap map;
    patternMap(map);
    // x -1.75: floor -2, fx 0.25 (not trunc -1 with -0.75); y -1.5: fy 0.5; z0 100, fz 0.75.
    EXPECT_EQ(rgba(map.getAAVoxel(Vector(-1.75, -1.5, 100.75))), (RGBA{53, 207, 6, 234}));
    // Truncating only once at the end would give blue 90 here.
    EXPECT_EQ(rgba(map.getAAVoxel(Vector(0.25, 0.75, 101.5))), (RGBA{158, 95, 89, 190}));
    // Corner cell at the far x face and the last layer: five of the eight neighbours are outside.
    EXPECT_EQ(rgba(map.getAAVoxel(Vector(2.5, 1.25, 102.5))), (RGBA{47, 3, 31, 32}));
}

TEST(VoxelMap, PlaneLookupUsesOneLayerOnly) {
    voxelmap map;
    patternMap(map);
    // The two layer blends of the first trilinear point above.
    EXPECT_EQ(rgba(map.getAAVoxelinPlane(Vector(-1.75, -1.5, 100))), (RGBA{8, 237, 1, 249}));
    EXPECT_EQ(rgba(map.getAAVoxelinPlane(Vector(-1.75, -1.5, 100.9))), (RGBA{8, 237, 1, 249}));
    EXPECT_EQ(rgba(map.getAAVoxelinPlane(Vector(-1.75, -1.5, 101))), (RGBA{68, 197, 8, 229}));
}

TEST(VoxelMap, InterpolationFarAwayIsTransparentBlack) {
    voxelmap map;
    patternMap(map);
    const RGBA none{0, 0, 0, 0};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(rgba(map.getAAVoxel(Vector(3e9, 0, 100))), none);
    EXPECT_EQ(rgba(map.getAAVoxel(Vector(0, -1e300, 100))), none);
    EXPECT_EQ(rgba(map.getAAVoxel(Vector(0, 0, nan))), none);
    EXPECT_EQ(rgba(map.getAAVoxelinPlane(Vector(nan, 0, 100))), none);
    EXPECT_EQ(rgba(map.getAAVoxelinPlane(Vector(0, 0, -1e20))), none);
}

// --- getRGB and copyMap -----------------------------------------------------------

TEST(VoxelMap, GetRGBPacksOneLayerAndFallsBackToLayerZero) {
    voxelmap map;
    testutil::fillMap(map, 2, 2, 2, [](int i, int j, int k) {
        const int n = k * 4 + j * 2 + i;
        return voxel(10 * n, 10 * n + 1, 10 * n + 2, 99);
    });
    const unsigned char layer1[12] = {40, 41, 42, 50, 51, 52, 60, 61, 62, 70, 71, 72};
    const unsigned char layer0[12] = {0, 1, 2, 10, 11, 12, 20, 21, 22, 30, 31, 32};
    unsigned char* b = map.getRGB(1);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(std::memcmp(b, layer1, 12), 0);
    std::free(b);
    for (int layer : {0, 2, -1, 1000}) {
        b = map.getRGB(layer);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(std::memcmp(b, layer0, 12), 0) << "layer " << layer;
        std::free(b);
    }
}

TEST(VoxelMap, GetRGBOfAMapWithoutLayersIsBlack) {
    voxelmap map;
    ASSERT_TRUE(map.allocate(2, 2, 0));
    unsigned char* b = map.getRGB(0);
    ASSERT_NE(b, nullptr);
    const unsigned char zeros[12] = {};
    EXPECT_EQ(std::memcmp(b, zeros, 12), 0);
    std::free(b);
}

TEST(VoxelMap, CopyMapCopiesEveryVoxelAndRecomputesTheOrigin) {
    voxelmap source;
    testutil::randomMap(source, 5, 4, 3, 1234);
    source.origin = Vector(7, -8, 9);
    source.voxelSize = Vector(0.5, 0.25, 2);
    source.unit = "µm";
    voxelmap copy;
    testutil::fillMap(copy, 7, 7, 7, [](int, int, int) { return voxel(1, 1, 1, 1); });  // replaced
    EXPECT_EQ(copy.copyMap(&source), &copy);
    EXPECT_TRUE(copy.loaded);
    EXPECT_EQ(copy.width, 5);
    EXPECT_EQ(copy.height, 4);
    EXPECT_EQ(copy.depth, 3);
    EXPECT_EQ(copy.numVoxels, 60);
    EXPECT_EQ(copy.origin.x(), -2.5);
    EXPECT_EQ(copy.origin.y(), -1.0);  // four rows of half a unit
    EXPECT_EQ(copy.origin.z(), 100.0);
    testutil::expectExact(copy.voxelSize, 0.5, 0.25, 2);
    EXPECT_EQ(copy.unit, "µm");
    for (int64_t n = 0; n < 60; ++n) ASSERT_EQ(rgba(copy.voxels[n]), rgba(source.voxels[n])) << n;
    // A deep copy: the arrays are separate.
    EXPECT_NE(copy.voxels.get(), source.voxels.get());
    const voxel before = copy.voxels[17];
    source.voxels[17] = voxel(static_cast<unsigned char>(before.r + 1), before.g, before.b, before.a);
    EXPECT_EQ(rgba(copy.voxels[17]), rgba(before));
}

TEST(VoxelMap, CopyMapOfAnEmptyMapIsEmpty) {
    voxelmap empty;
    voxelmap copy;
    patternMap(copy);
    EXPECT_EQ(copy.copyMap(&empty), &copy);
    EXPECT_FALSE(copy.loaded);
    // A map emptied after it held voxels keeps stale sizes but no array.
    voxelmap cleared;
    patternMap(cleared);
    cleared.clear();
    voxelmap copy2;
    copy2.copyMap(&cleared);
    EXPECT_FALSE(copy2.loaded);
}

// --- building layers from images -----------------------------------------------------

TEST(LoadImage, FirstImageFixesSizeAndOrigin) {
    voxelmap map;
    map.depth = 2;
    map.loadimage(testutil::makeImage(5, 3, imagePixel, true), 0);
    ASSERT_TRUE(map.loaded);
    EXPECT_EQ(map.width, 5);
    EXPECT_EQ(map.height, 3);
    EXPECT_EQ(map.depth, 2);
    EXPECT_EQ(map.numVoxels, 30);
    EXPECT_EQ(map.origin.x(), -2.5);
    EXPECT_EQ(map.origin.y(), -1.5);
    EXPECT_EQ(map.origin.z(), 100.0);
    // A later image does not change the size or the origin.
    map.loadimage(testutil::makeImage(4, 2, imagePixel, false), 1);
    EXPECT_EQ(map.width, 5);
    EXPECT_EQ(map.height, 3);
    EXPECT_EQ(map.origin.x(), -2.5);
}

TEST(LoadImage, PixelsGoToTheirLayerRowMajorWithAlpha) {
    voxelmap map;
    map.depth = 3;
    map.loadimage(testutil::makeImage(5, 3, imagePixel, true), 0);
    map.loadimage(testutil::makeImage(5, 3, [](int x, int y) { return voxel(x, y, 200, 0); }, false), 2);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            EXPECT_EQ(rgba(map.voxels[y * 5 + x]), rgba(imagePixel(x, y))) << x << " " << y;
            EXPECT_EQ(rgba(map.voxels[15 + y * 5 + x]), (RGBA{0, 0, 0, 0}));  // layer 1 not loaded
            // No alpha channel: opaque, whatever the pixel.
            EXPECT_EQ(rgba(map.voxels[30 + y * 5 + x]), (RGBA{x, y, 200, 255}));
        }
    // Layer 0 lies at world z 100, layer 2 at 102; the first column of layer 0 is transparent.
    EXPECT_EQ(rgba(map.getVoxel(-2, -1, 100)), rgba(imagePixel(0, 0)));
    EXPECT_EQ(map.getVoxel(-2, -1, 100).a, 0);
    EXPECT_EQ(rgba(map.getVoxel(2, 1, 102)), (RGBA{4, 2, 200, 255}));
}

TEST(LoadImage, MaskColourGivesNoTransparency) {
    wxImage img = testutil::makeImage(3, 2, [](int x, int) { return voxel(x == 1 ? 255 : 0, 0, 255, 0); }, false);
    img.SetMaskColour(255, 0, 255);
    ASSERT_TRUE(img.HasMask());
    voxelmap map;
    map.depth = 1;
    map.loadimage(img, 0);
    ASSERT_TRUE(map.loaded);
    EXPECT_EQ(rgba(map.voxels[1]), (RGBA{255, 0, 255, 255}));
    EXPECT_EQ(rgba(map.voxels[4]), (RGBA{255, 0, 255, 255}));
    EXPECT_EQ(rgba(map.voxels[0]), (RGBA{0, 0, 255, 255}));
}

TEST(LoadImage, FailedImageIsIgnored) {
    voxelmap map;
    map.depth = 2;
    map.loadimage(wxImage(), 0);  // what a failed decode leaves
    EXPECT_FALSE(map.loaded);
    // The first good image then fixes the size.
    map.loadimage(testutil::makeImage(2, 2, imagePixel, true), 1);
    ASSERT_TRUE(map.loaded);
    EXPECT_EQ(map.width, 2);
    EXPECT_EQ(map.numVoxels, 8);
    map.loadimage(wxImage(), 0);
    for (int n = 0; n < 4; ++n) EXPECT_EQ(rgba(map.voxels[n]), (RGBA{0, 0, 0, 0}));
    EXPECT_EQ(rgba(map.voxels[4 + 3]), rgba(imagePixel(1, 1)));
}

TEST(LoadImage, SmallerLaterImageFillsOnlyItsOverlap) {
    voxelmap map;
    map.depth = 2;
    map.loadimage(testutil::makeImage(5, 3, imagePixel, true), 0);
    // 2 x 2 with exactly 12 bytes of RGB and 4 of alpha: nothing beyond them may be read.
    map.loadimage(testutil::makeImage(2, 2, [](int x, int y) { return voxel(x, y, 9, 50); }, true), 1);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            const RGBA want = (x < 2 && y < 2) ? RGBA{x, y, 9, 50} : RGBA{0, 0, 0, 0};
            EXPECT_EQ(rgba(map.voxels[15 + y * 5 + x]), want) << x << " " << y;
        }
    // Layer 0 keeps its pixels.
    EXPECT_EQ(rgba(map.voxels[14]), rgba(imagePixel(4, 2)));
}

TEST(LoadImage, LargerLaterImageIsCroppedWithItsOwnRowLength) {
    voxelmap map;
    map.depth = 2;
    map.loadimage(testutil::makeImage(3, 2, imagePixel, false), 0);
    map.loadimage(testutil::makeImage(7, 4, [](int x, int y) { return voxel(x, y, 1, 2); }, true), 1);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(rgba(map.voxels[6 + y * 3 + x]), (RGBA{x, y, 1, 2})) << x << " " << y;
}

TEST(LoadImage, LayerOutsideTheArrayIsIgnored) {
    voxelmap map;
    map.depth = 1;
    map.loadimage(testutil::makeImage(2, 2, imagePixel, true), 0);
    const wxImage white = testutil::makeImage(2, 2, [](int, int) { return voxel(255, 255, 255, 255); }, false);
    map.loadimage(white, 1);
    map.loadimage(white, -1);
    map.depth = 5;  // changed without a new array: still only one layer to write
    map.loadimage(white, 3);
    for (int n = 0; n < 4; ++n) EXPECT_EQ(rgba(map.voxels[n]), rgba(imagePixel(n % 2, n / 2)));
}

TEST(LoadImage, ReloadAfterClearTakesTheNewSize) {
    voxelmap map;
    map.depth = 2;
    map.loadimage(testutil::makeImage(5, 3, imagePixel, true), 0);
    map.clear();
    map.depth = 3;
    for (int k = 0; k < 3; ++k)
        map.loadimage(testutil::makeImage(4, 2, [k](int, int) { return voxel(k, 0, 0, 255); }, false), k);
    EXPECT_EQ(map.width, 4);
    EXPECT_EQ(map.height, 2);
    EXPECT_EQ(map.numVoxels, 24);
    EXPECT_EQ(map.origin.x(), -2.0);
    EXPECT_EQ(map.origin.y(), -1.0);
    EXPECT_EQ(map.getVoxel(0, 0, 102).r, 2);
}

// --- the pictures and the sample stack shipped with the program ------------------------

TEST(Pictures, SampleStackLoadsAsRGBALayers) {
    voxelmap map;
    map.depth = 48;
    int transparent = 0, opaqueColoured = 0;
    for (int k = 0; k < 48; ++k) {
        const wxString name = wxString::Format("samples/layer%02d.png", k);
        wxImage img;
        ASSERT_TRUE(img.LoadFile(name, wxBITMAP_TYPE_ANY)) << name;
        ASSERT_TRUE(img.HasAlpha()) << name;
        map.loadimage(img, k);
    }
    ASSERT_TRUE(map.loaded);
    EXPECT_EQ(map.width, 64);
    EXPECT_EQ(map.height, 64);
    for (int64_t n = 0; n < 64 * 64; ++n) {  // layer 0: the green box is already there
        const voxel v = map.voxels[n];
        if (v.a == 0) ++transparent;
        if (v.a == 255 && v.g > 100 && v.g > v.r && v.g > v.b) ++opaqueColoured;
    }
    EXPECT_GT(transparent, 1000);
    EXPECT_GT(opaqueColoured, 100);
    // The middle of the stack cuts the red sphere; the blue torus comes later.
    const voxel sphere = map.getVoxel(20 - 32, 22 - 32, 100 + 24);
    EXPECT_EQ(sphere.a, 255);
    EXPECT_GT(sphere.r, 2 * sphere.g);
    const voxel torus = map.getVoxel(42 - 32 + 12, 46 - 32, 100 + 28);
    EXPECT_EQ(torus.a, 255);
    EXPECT_GT(torus.b, 2 * torus.r);
}

TEST(Pictures, PlaceholdersLoadAndDiffer) {
    wxImage pic3d, pic2d;
    ASSERT_TRUE(pic3d.LoadFile("./images/novoxmap3d.png", wxBITMAP_TYPE_ANY));
    ASSERT_TRUE(pic2d.LoadFile("./images/novoxmap2d.png", wxBITMAP_TYPE_ANY));
    ASSERT_EQ(pic3d.GetWidth(), 200);
    ASSERT_EQ(pic3d.GetHeight(), 200);
    ASSERT_EQ(pic2d.GetWidth(), 200);
    ASSERT_EQ(pic2d.GetHeight(), 200);
    // The central region is clearly not black: mostly blue in 3D, mostly green in 2D.
    long sum3[3] = {0, 0, 0}, sum2[3] = {0, 0, 0};
    for (int y = 70; y < 130; ++y)
        for (int x = 70; x < 130; ++x) {
            const voxel a = testutil::pixel(pic3d, x, y), b = testutil::pixel(pic2d, x, y);
            ASSERT_GT(a.r + a.g + a.b, 90) << x << " " << y;
            ASSERT_GT(b.r + b.g + b.b, 90) << x << " " << y;
            sum3[0] += a.r, sum3[1] += a.g, sum3[2] += a.b;
            sum2[0] += b.r, sum2[1] += b.g, sum2[2] += b.b;
        }
    EXPECT_GT(sum3[2], sum3[0]);
    EXPECT_GT(sum3[2], sum3[1]);
    EXPECT_GT(sum2[1], sum2[0]);
    EXPECT_GT(sum2[1], sum2[2]);
    // Neighbouring corner pixels differ, so a read-out at (5, 5) and (10, 10) can be told apart.
    EXPECT_NE(rgba(testutil::pixel(pic2d, 5, 5)), rgba(testutil::pixel(pic2d, 10, 10)));
}

// Taking another map's volume moves the array itself and empties the other map.
TEST(VoxelMap, TakeVolumeMovesTheArrayAndEmptiesTheSource) {
    voxelmap into, from;
    testutil::fillMap(into, 2, 2, 2, [](int, int, int) { return voxel(1, 2, 3, 4); });
    testutil::fillMap(from, 5, 4, 3, [](int i, int j, int k) { return voxel(i, j, k, 255); });
    from.voxelSize = Vector(0.7, 0.7, 2.5);
    from.unit = "mm";
    const voxel* array = from.voxels.get();
    into.takeVolume(from);
    EXPECT_TRUE(into.loaded);
    EXPECT_EQ(into.voxels.get(), array);
    EXPECT_EQ(into.width, 5);
    EXPECT_EQ(into.height, 4);
    EXPECT_EQ(into.depth, 3);
    EXPECT_EQ(into.numVoxels, 60);
    testutil::expectExact(into.origin, -2.5, -2, voxelmap::worldZ);
    testutil::expectExact(into.voxelSize, 0.7, 0.7, 2.5);
    EXPECT_EQ(into.unit, "mm");
    EXPECT_EQ(into.getVoxel(Vector(1.5, 1, 102)).b, 2);  // voxel (4, 3, 2)
    EXPECT_FALSE(from.loaded);
    EXPECT_EQ(from.voxels, nullptr);
}
