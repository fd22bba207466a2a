// The fast filters against the straightforward ones: byte-identical on random
// volumes of awkward sizes, for any number of threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "appFrame.h"
#include "camera.h"
#include "cpu.h"
#include "slicer.h"
#include "parallel.h"
#include "plain_kernels.h"
#include "testutil.h"
#include "voxelmap.h"

namespace {

struct Size {
    int w, h, d;
};
const Size kSizes[] = {{5, 4, 3}, {1, 1, 1}, {7, 6, 1}, {1, 9, 2}, {13, 11, 9}, {16, 16, 16}, {3, 20, 8}};

// A random volume with runs of equal voxels, so both uniform regions and edges occur.
void awkwardMap(voxelmap& m, Size s, unsigned seed) {
    std::mt19937 rng(seed);
    voxel current;
    testutil::fillMap(m, s.w, s.h, s.d, [&](int, int, int) {
        if (rng() % 4 == 0) {
            const unsigned v = rng();
            current = voxel(v & 255, (v >> 8) & 255, (v >> 16) & 255, (v >> 24) & 255);
        }
        return current;
    });
}

// Applies the same filter fast and plainly to copies of one volume, with several thread counts.
template <class Fast, class Plain>
void expectSameAsPlain(Fast fast, Plain slow, const char* what) {
    unsigned seed = 1;
    for (const Size s : kSizes) {
        voxelmap original;
        awkwardMap(original, s, seed++);
        voxelmap expected;
        expected.copyMap(&original);
        slow(&expected);
        for (int threads : {1, 2, 3, 8}) {
            workerOverride() = threads;
            voxelmap got;
            got.copyMap(&original);
            fast(&got);
            EXPECT_TRUE(testutil::sameMap(got, expected))
                << what << " differs on " << s.w << " x " << s.h << " x " << s.d << " with " << threads << " threads";
        }
        workerOverride() = 0;
    }
}

}  // namespace

TEST(FastFilters, BlurMatchesPlainForEveryRadius) {
    for (int radius : {1, 2, 3, 0, 7}) {
        expectSameAsPlain([&](voxelmap* m) { blur(m, radius); }, [&](voxelmap* m) { plain::blur(m, radius); },
                          "blur");
    }
}

TEST(FastFilters, EdgesMatchPlain) {
    expectSameAsPlain([](voxelmap* m) { edges(m); }, [](voxelmap* m) { plain::edges(m); }, "edges");
}

TEST(FastFilters, KeyMatchesPlain) {
    std::mt19937 rng(99);
    for (int trial = 0; trial < 6; ++trial) {
        const voxel k(rng() & 255, rng() & 255, rng() & 255, 0);
        const int range = 1 + static_cast<int>(rng() % 200), falloff = 1 + static_cast<int>(rng() % 200);
        const int pre = static_cast<int>(rng() % 2);
        expectSameAsPlain([&](voxelmap* m) { key(m, k, range, falloff, pre); },
                          [&](voxelmap* m) { plain::key(m, k, range, falloff, pre); }, "key");
    }
}

// The fast edge filter compares integer responses: sum of squares against
// 128^2 x 144. The plain filter divides each response by 12 in double and compares
// the sum of squares with 128^2. They agree unless some integer triple with exactly
// that sum of squares rounds above 128^2 after the division: check every one.
TEST(FastFilters, IntegerEdgeThresholdAgreesWithDividedSums) {
    const long long tie = 128LL * 128 * 144;
    int triples = 0;
    for (long long x = 0; x * x <= tie; ++x)
        for (long long y = 0; x * x + y * y <= tie; ++y) {
            const long long z2 = tie - x * x - y * y;
            const long long z = static_cast<long long>(std::llround(std::sqrt(static_cast<double>(z2))));
            if (z * z != z2) continue;
            ++triples;
            const double a = x / 12.0, b = y / 12.0, c = z / 12.0;
            // Every order of the three responses, as the sums are added left to right.
            const double orders[6] = {a * a + b * b + c * c, a * a + c * c + b * b, b * b + a * a + c * c,
                                      b * b + c * c + a * a, c * c + a * a + b * b, c * c + b * b + a * a};
            for (double m : orders) ASSERT_FALSE(m > 128.0 * 128.0) << x << " " << y << " " << z;
        }
    EXPECT_GT(triples, 0);  // the check did meet ties
}

namespace {

bool sameImage(const wxImage& a, const wxImage& b) {
    if (a.GetWidth() != b.GetWidth() || a.GetHeight() != b.GetHeight()) return false;
    return std::equal(a.GetData(), a.GetData() + 3 * a.GetWidth() * a.GetHeight(), b.GetData());
}

// A volume of mostly low alpha with some opaque voxels and empty runs, so rays
// composite many samples, stop early sometimes, and cross empty space.
void cloudyMap(voxelmap& m, Size s, unsigned seed) {
    std::mt19937 rng(seed);
    testutil::fillMap(m, s.w, s.h, s.d, [&](int, int, int) {
        const unsigned v = rng();
        const unsigned kind = v % 8;
        const unsigned char a = kind < 3 ? 0 : kind < 7 ? static_cast<unsigned char>(1 + (v >> 8) % 60) : 255;
        return voxel((v >> 16) & 255, (v >> 24) & 255, (v >> 4) & 255, a);
    });
}

double uniform(std::mt19937& rng, double lo, double hi) {
    return lo + (hi - lo) * (rng() / 4294967296.0);
}

// A volume that is empty but for a few small lumps: most blocks of the occupancy map
// are transparent, so rays skip through them.
void sparseMap(voxelmap& m, Size s, unsigned seed) {
    std::mt19937 rng(seed);
    testutil::fillMap(m, s.w, s.h, s.d, [&](int, int, int) { return voxel(); });
    for (int lump = 0; lump < 6; ++lump) {
        const int x0 = static_cast<int>(rng() % s.w), y0 = static_cast<int>(rng() % s.h),
                  z0 = static_cast<int>(rng() % s.d);
        for (int z = z0; z < std::min(s.d, z0 + 4); ++z)
            for (int y = y0; y < std::min(s.h, y0 + 3); ++y)
                for (int x = x0; x < std::min(s.w, x0 + 5); ++x)
                    m.setVoxel(static_cast<int>(m.origin.x()) + x, static_cast<int>(m.origin.y()) + y, 100 + z,
                               voxel(rng() & 255, rng() & 255, rng() & 255, 1 + rng() % 255));
    }
}

}  // namespace

// Random cameras around and inside random volumes, cloudy and sparse (where whole
// blocks are skipped): the fast march gives the same pixels, and leaves the same
// frame, for any number of threads.
TEST(FastMarch, MatchesPlainOnRandomPoses) {
    std::mt19937 rng(2024);
    const Size sizes[] = {{5, 4, 3}, {1, 1, 1}, {9, 7, 1}, {1, 12, 1}, {17, 13, 11}, {24, 24, 24},
                          {41, 35, 19}, {8, 16, 9}, {67, 9, 33}};
    unsigned seed = 100;
    long litSparse = 0;
    for (const Size s : sizes) for (bool sparse : {false, true}) {
        voxelmap m;
        if (sparse)
            sparseMap(m, s, seed++);
        else
            cloudyMap(m, s, seed++);
        for (int pose = 0; pose < 8; ++pose) {
            camera plainCam;
            plainCam.resolution = 1 + static_cast<int>(rng() % 40);
            plainCam.stepLength = 0.1 * (1 + rng() % 30);
            plainCam.zoom = uniform(rng, -1, 4);
            plainCam.opacity = (rng() % 101) * 0.01;
            plainCam.lookAt = Vector(uniform(rng, -5, 5), uniform(rng, -5, 5), 100 + uniform(rng, -5, s.d + 5));
            // Outside, inside, or exactly at the target (a zero view direction).
            const int where = pose % 4;
            if (where == 0) plainCam.eye = plainCam.lookAt;
            else if (where == 1) plainCam.eye = Vector(uniform(rng, -1, 1), uniform(rng, -1, 1), 100 + s.d / 2.0);
            else plainCam.eye = Vector(uniform(rng, -300, 300), uniform(rng, -300, 300), uniform(rng, -300, 500));
            camera fastCam = plainCam;
            wxImage expected(plainCam.resolution, plainCam.resolution);
            plain::march(plainCam, &m, expected);
            for (int threads : {1, 2, 3}) {
                workerOverride() = threads;
                wxImage got(fastCam.resolution, fastCam.resolution);
                fastCam.march(&m, got);
                EXPECT_TRUE(sameImage(got, expected)) << "size " << s.w << "x" << s.h << "x" << s.d << " pose " << pose
                                                      << " threads " << threads << " sparse " << sparse;
            }
            // In bands with a progress report: the same picture, the report ending at the last row.
            int reported = 0;
            wxImage banded(fastCam.resolution, fastCam.resolution);
            EXPECT_TRUE(fastCam.march(&m, banded, [&](int done, int total) {
                EXPECT_EQ(total, fastCam.resolution);
                reported = done;
                return true;
            }));
            EXPECT_EQ(reported, fastCam.resolution);
            EXPECT_TRUE(sameImage(banded, expected));
            if (sparse) litSparse += std::count_if(expected.GetData(), expected.GetData() + 3 * fastCam.resolution *
                                                   fastCam.resolution, [](unsigned char c) { return c != 0; });
            workerOverride() = 0;
            EXPECT_EQ(fastCam.right.x(), plainCam.right.x());
            EXPECT_EQ(fastCam.up.y(), plainCam.up.y());
        }
    }
    EXPECT_GT(litSparse, 500);  // the sparse volumes were seen, not only missed
}

// Random plane poses, nearest and interpolated lookups, odd and even sizes (rows
// that are not a multiple of the four pixels the vector rows take at once), with the
// vector units and without. Some poses are shifted by exact halves: their blends hit
// whole numbers and need voxelLerp's extended precision.
TEST(FastSlice, MatchesPlainOnRandomPlanes) {
    std::mt19937 rng(77);
    const Size sizes[] = {{5, 4, 3}, {1, 1, 1}, {16, 8, 4}, {13, 11, 9}, {2, 2, 2}, {37, 29, 23}, {64, 3, 5}, {8, 8, 4}};
    unsigned seed = 500;
    for (const Size s : sizes) {
        voxelmap m;
        testutil::randomMap(m, s.w, s.h, s.d, seed++);
        for (int pose = 0; pose < 12; ++pose) {
            slicer sl(m.origin, s.w, s.h);
            sl.aaLookups = pose % 2 == 1;
            if (pose < 4) {
                // Within the volume: whole and half-voxel shifts (a whole -1 puts samples on
                // the edge of the lookup's range), at rest or slightly turned.
                const double shift = pose == 0 ? -1.0 : 0.5 * pose;
                sl.setP(Vector(shift, -0.5, s.d / 2.0 + 0.5 * pose));
                sl.setR(0, 0, pose < 2 ? 0.0f : 7.0f);
                sl.setS(100, 100, 100);
            } else if (pose == 5) {
                // Flattened onto x = 1e-17: blends by a fraction so small that the double
                // sum rounds back to a whole number; only the extended blend truncates right.
                sl.setP(Vector(1e-17, 0, 1.5));
                sl.setR(0, 0, 0);
                sl.setS(0, 100, 100);
            } else {
                sl.setP(Vector(uniform(rng, -3, 3), uniform(rng, -3, 3), uniform(rng, -1, s.d + 1)));
                sl.setR(static_cast<float>(uniform(rng, -200, 200)), static_cast<float>(uniform(rng, -200, 200)),
                        static_cast<float>(uniform(rng, -200, 200)));
                sl.setS(static_cast<float>(uniform(rng, -150, 250)), static_cast<float>(uniform(rng, -150, 250)),
                        static_cast<float>(uniform(rng, -150, 250)));
            }
            wxImage expected(s.w, s.h);
            plain::evaluateSlice(sl, &m, expected);
            for (bool scalar : {false, true}) {
                vectorUnitsOff() = scalar;
                for (int threads : {1, 2, 3}) {
                    workerOverride() = threads;
                    wxImage got(s.w, s.h);
                    sl.evaluateSlice(&m, got);
                    EXPECT_TRUE(sameImage(got, expected)) << "size " << s.w << "x" << s.h << "x" << s.d << " pose "
                                                          << pose << " threads " << threads << " scalar " << scalar;
                }
            }
            vectorUnitsOff() = false;
            workerOverride() = 0;
        }
    }
}

// The image written by the march must not share its pixels with a copy made before.
TEST(FastMarch, WritesOnlyItsOwnImage) {
    voxelmap m;
    testutil::fillMap(m, 4, 4, 4, [](int, int, int) { return voxel(200, 100, 50, 255); });
    camera c;
    c.eye = Vector(0, 0, -200);
    c.lookAt = Vector(0, 0, 102);
    c.resolution = 8;
    wxImage image(8, 8);
    image.SetRGB(wxRect(0, 0, 8, 8), 7, 7, 7);
    const wxImage before = image;  // shares the pixels until one of them is written
    c.march(&m, image);
    EXPECT_EQ(testutil::pixel(before, 4, 4), voxel(7, 7, 7, 255));
    EXPECT_EQ(testutil::pixel(image, 4, 4), voxel(200, 100, 50, 255));
}
