// The fast filters against the straightforward ones: byte-identical on random
// volumes of awkward sizes, for any number of threads.
#include <gtest/gtest.h>


#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "appFrame.h"
#include "camera.h"
#include "cpu.h"
#include "kernels.h"
#include "slicer.h"
#include "parallel.h"
#include "plain_kernels.h"
#include "testutil.h"
#include "voxelmap.h"

namespace {

struct Size {
    int w, h, d;
};
// Wide and thin ones too: the filters work in bands of rows (of one row at 3 threads
// on {1, 9, 2}), so a band may start or end anywhere, or hold the only row.
const Size kSizes[] = {{5, 4, 3},  {1, 1, 1},  {7, 6, 1},  {1, 9, 2}, {13, 11, 9},
                       {16, 16, 16}, {3, 20, 8}, {1, 37, 2}, {45, 1, 3}, {2, 23, 4}};

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


using Filter = void (*)(voxelmap*);
struct NamedFilter {
    const char* name;
    Filter fast, slow;
};
const NamedFilter kFilters[] = {
    {"key", [](voxelmap* m) { key(m, voxel(90, 20, 200, 0), 60, 40, 1); },
     [](voxelmap* m) { plain::key(m, voxel(90, 20, 200, 0), 60, 40, 1); }},
    {"blur 3", [](voxelmap* m) { blur(m, 3); }, [](voxelmap* m) { plain::blur(m, 3); }},
    {"edges", [](voxelmap* m) { edges(m); }, [](voxelmap* m) { plain::edges(m); }},
};

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

// A random camera around, inside or at the centre of a volume of size s (pose 0, 4, ...:
// the eye exactly at the target, a zero view direction).
camera randomCamera(std::mt19937& rng, Size s, int pose) {
    camera c;
    c.resolution = 1 + static_cast<int>(rng() % 40);
    c.stepLength = 0.1 * (1 + rng() % 30);
    c.zoom = uniform(rng, -1, 4);
    c.opacity = (rng() % 101) * 0.01;
    c.lookAt = Vector(uniform(rng, -5, 5), uniform(rng, -5, 5), 100 + uniform(rng, -5, s.d + 5));
    const int where = pose % 4;
    if (where == 0) c.eye = c.lookAt;
    else if (where == 1) c.eye = Vector(uniform(rng, -1, 1), uniform(rng, -1, 1), 100 + s.d / 2.0);
    else c.eye = Vector(uniform(rng, -300, 300), uniform(rng, -300, 300), uniform(rng, -300, 500));
    return c;
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

// The fast edge filter compares the integer sum of squared responses with 128^2 x 144; the
// plain one divides each response by 12 first. At exact ties both must say "no edge", one
// step above both "edge". x^2 + y^2 + z^2 = 1536^2 has, up to order and sign, only the
// solutions (1536, 0, 0) and (1024, 1024, 512): 4 divides the sum nine times, so 512
// divides each term. Each is set up around the centre of a 3 x 3 x 3 volume from the
// neighbours' table entries (by offset: (0, 0, 1) adds 2 to X, (0, -1, 0) 2 to Y,
// (-1, 0, 0) 2 to Z, (0, -1, 1) 1 to X and Y, (-1, -1, 1) 1 to each, (-1, 0, 1) 2 to X and
// 1 to Z, (-1, -1, 0) 2 to Y and Z). Red sits on the tie; green and blue nudge the first
// neighbour by +1 and -1 (a response 2 above and below).
TEST(FastFilters, EdgesAtTheThresholdAgreeWithPlain) {
    struct Neighbour {
        int dx, dy, dz, value;
    };
    using Neighbours = std::vector<Neighbour>;
    // A face of 128 at offset[axis] = side, its centre first: a response of 12 x 128 = 1536.
    auto face = [](int axis, int side) {
        Neighbours n;
        for (int u : {0, -1, 1})
            for (int v : {0, -1, 1}) {
                int d[3];
                d[axis] = side;
                d[(axis + 1) % 3] = u;
                d[(axis + 2) % 3] = v;
                n.push_back({d[0], d[1], d[2], 128});
            }
        return n;
    };
    const struct Case {
        const char* responses;
        Neighbours at;
    } cases[] = {
        {"(1024, 1024, 512)", {{0, 0, 1, 128}, {0, -1, 0, 193}, {0, -1, 1, 255}, {-1, -1, 1, 255}, {-1, 0, 1, 129}, {-1, -1, 0, 64}}},
        {"(1024, 512, 1024)", {{0, 0, 1, 129}, {-1, 0, 0, 129}, {0, -1, 1, 1}, {-1, -1, 1, 255}, {-1, 0, 1, 255}, {-1, -1, 0, 128}}},
        {"(512, 1024, 1024)", {{0, 0, 1, 127}, {0, -1, 0, 129}, {-1, 0, 0, 129}, {0, -1, 1, 1}, {-1, -1, 1, 255}, {-1, 0, 1, 1}, {-1, -1, 0, 255}}},
        {"(1536, 0, 0)", face(2, 1)},
        {"(0, 1536, 0)", face(1, -1)},
        {"(0, 0, 1536)", face(0, -1)},
    };
    for (const Case& c : cases) {
        voxelmap original;
        testutil::fillMap(original, 3, 3, 3, [](int, int, int) { return voxel(); });
        for (size_t n = 0; n < c.at.size(); ++n) {
            const Neighbour& e = c.at[n];
            const int nudge = n == 0 ? 1 : 0;
            original.voxels[original.index(1 + e.dx, 1 + e.dy, 1 + e.dz)] =
                voxel(e.value, e.value + nudge, e.value - nudge, 0);
        }
        voxelmap fast, slow;
        fast.copyMap(&original);
        slow.copyMap(&original);
        edges(&fast);
        plain::edges(&slow);
        EXPECT_EQ(testutil::at(fast, 1, 1, 1), voxel(1, 250, 1, 1)) << "responses " << c.responses;
        EXPECT_EQ(testutil::at(slow, 1, 1, 1), voxel(1, 250, 1, 1)) << "plain, responses " << c.responses;
    }
}

// Beyond the volume and its result a filter holds a bounded amount of scratch memory,
// also when a layer is large (whole-layer buffers per thread needed 80 bytes a voxel).
TEST(FilterMemory, ScratchStaysWithinTheBoundOnAWideThinVolume) {
#ifdef SLABWRIGHT_ASAN
    GTEST_SKIP() << "the sanitizer's own memory hides the filters'";
#endif
    voxelmap m;
    testutil::randomMap(m, 2048, 512, 3, 5);
    const long long arrayBytes = m.numVoxels * 4;
    for (const NamedFilter& f : kFilters) {
        f.fast(&m);  // the first dialog of the process loads the toolkit's resources
        const long long grown = testutil::peakOf([&] { f.fast(&m); }, false);  // its dialog needs the display
        if (grown < 0) GTEST_SKIP() << "cannot reset the peak resident size";
        const long long extra = grown - arrayBytes;
        EXPECT_LE(extra, 16LL << 20) << f.name << ": " << extra / 1048576.0 << " MiB beyond two arrays";
    }
}

// A scratch allocation or thread start that fails: the filter either runs on fewer
// threads, with the same bytes, or reports once and leaves the volume unchanged.
TEST(FilterFailures, MissingMemoryOrThreadsNeverAbort) {
    voxelmap original;
    awkwardMap(original, {9, 16, 5}, 41);
    // Allocations: key 1 (its ramp); blur 1 (its table) + 3 per thread; edges 11 per thread.
    struct Case {
        int filter, allocations;
        bool reported;
    } const cases[] = {{0, 0, true}, {1, 0, true}, {1, 1, true},  {1, 3, true},
                       {1, 4, false}, {2, 0, true}, {2, 10, true}, {2, 11, false}};
    workerOverride() = 2;
    for (const Case& c : cases) {
        const NamedFilter& f = kFilters[c.filter];
        voxelmap expected, got;
        expected.copyMap(&original);
        if (!c.reported) f.slow(&expected);
        got.copyMap(&original);
        kernels::scratchAllocationsLeft() = c.allocations;
        wxString message;
        if (c.reported) {
            wxTEST_DIALOG(f.fast(&got), testutil::MessageCapture(&message));
            EXPECT_TRUE(message.Contains("not enough memory to filter")) << message;
            EXPECT_TRUE(message.Contains("; the volume is unchanged")) << message;
        } else {
            f.fast(&got);
        }
        kernels::scratchAllocationsLeft() = -1;
        EXPECT_TRUE(testutil::sameMap(got, expected)) << f.name << " with " << c.allocations << " allocations";
    }
    // No thread can be started, then one: the calling thread does what is left.
    for (int starts : {0, 1}) {
        stopPool();
        threadStartsLeft() = starts;
        workerOverride() = 3;
        for (const NamedFilter& f : kFilters) {
            voxelmap expected, got;
            expected.copyMap(&original);
            f.slow(&expected);
            got.copyMap(&original);
            f.fast(&got);
            EXPECT_TRUE(testutil::sameMap(got, expected)) << f.name << " with " << starts << " thread starts";
        }
        EXPECT_EQ(poolThreads(), starts);
    }
    threadStartsLeft() = -1;
    workerOverride() = 0;
}

// The pool: every band exactly once for any thread count, also for a job started
// from inside a band; a band's exception reaches the caller after the others end.
TEST(ThreadPool, RunsEveryBandOnceAndPassesOnExceptions) {
    for (int threads : {1, 2, 3, 7}) {
        workerOverride() = threads;
        std::vector<std::atomic<int>> seen(1000);
        parallelBands(50, [&](int b0, int b1) {
            for (int b = b0; b < b1; ++b)
                parallelBands(20, [&](int i0, int i1) {
                    for (int i = i0; i < i1; ++i) seen[b * 20 + i].fetch_add(1);
                });
        });
        for (const auto& s : seen) ASSERT_EQ(s.load(), 1) << threads << " threads";
        std::atomic<int> ran{0};
        EXPECT_THROW(parallelBands(9, [&](int b0, int b1) {
            ran += b1 - b0;
            if (b0 == 0) throw std::runtime_error("band 0");
        }), std::runtime_error);
        EXPECT_EQ(ran.load(), 9);
    }
    workerOverride() = 0;
}

// The progress goes up to the depth, never back, and is told at most every 50 ms or so.
TEST(FilterProgress, RisesToTheDepthAtMostEvery50ms) {
    voxelmap m;
    testutil::randomMap(m, 300, 200, 60, 8);
    std::vector<voxel> out(static_cast<size_t>(m.numVoxels));
    std::vector<int> told;
    const auto t0 = std::chrono::steady_clock::now();
    const kernels::Outcome o = kernels::blurVolume(m, out.data(), 3, 43.75, [&](int n) { told.push_back(n); });
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_TRUE(o.done);
    ASSERT_FALSE(told.empty());
    EXPECT_EQ(told.back(), m.depth);
    EXPECT_TRUE(std::is_sorted(told.begin(), told.end()));
    EXPECT_GE(told.front(), 1);
    EXPECT_LE(told.size(), 2 + ms / kernels::kProgressIntervalMs);
}

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
        for (int pose = 0; pose < 12; ++pose) {
            // The last poses on voxels that are not cubes.
            m.setVoxelSize(pose < 8 ? Vector(1, 1, 1) : pose % 2 ? Vector(0.7, 0.7, 2.5) : Vector(0.4, 1.3, 0.25));
            camera plainCam = randomCamera(rng, s, pose);
            camera fastCam = plainCam;
            wxImage expected(plainCam.resolution, plainCam.resolution);
            plain::march(plainCam, &m, expected);
            for (int threads : {1, 2, 3}) {
                workerOverride() = threads;
                wxImage got(fastCam.resolution, fastCam.resolution);
                fastCam.march(&m, got);
                EXPECT_TRUE(testutil::sameRGB(got, expected)) << "size " << s.w << "x" << s.h << "x" << s.d << " pose " << pose
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
            EXPECT_TRUE(testutil::sameRGB(banded, expected));
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
        for (int pose = 0; pose < 18; ++pose) {
            // The last poses on voxels that are not cubes: longer in z, or shorter in z and longer in y.
            m.setVoxelSize(pose < 12 ? Vector(1, 1, 1) : pose % 4 < 2 ? Vector(0.7, 0.7, 2.5) : Vector(0.4, 1.3, 0.25));
            const int h = m.planeHeight();
            slicer sl(m.origin, s.w, h);
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
            wxImage expected(s.w, h);
            plain::evaluateSlice(sl, &m, expected);
            for (bool scalar : {false, true}) {
                vectorUnitsOff() = scalar;
                for (int threads : {1, 2, 3}) {
                    workerOverride() = threads;
                    wxImage got(s.w, h);
                    sl.evaluateSlice(&m, got);
                    EXPECT_TRUE(testutil::sameRGB(got, expected)) << "size " << s.w << "x" << s.h << "x" << s.d << " pose "
                                                          << pose << " threads " << threads << " scalar " << scalar;
                }
            }
            vectorUnitsOff() = false;
            workerOverride() = 0;
        }
    }
}

// Maximum-intensity projection on random poses of cloudy and sparse volumes (whole
// transparent blocks skipped), cubes or not: the same pixels as the plain per-ray loop
// on 1, 2 and 3 threads; opacity leaves it alone. The marches of one volume share what
// they learn of its blocks, as a preview's frames do.
TEST(FastMarch, MaximumMatchesPlainOnRandomPoses) {
    std::mt19937 rng(31);
    const Size sizes[] = {{1, 1, 1}, {17, 13, 11}, {24, 24, 24}, {41, 35, 19}, {67, 9, 33}};
    unsigned seed = 900;
    long lit = 0;
    for (const Size s : sizes) for (int kind : {0, 1, 2}) {
        voxelmap m;
        if (kind == 1)
            sparseMap(m, s, seed++);
        else
            cloudyMap(m, s, seed++);
        // Kind 2: dimmer behind the middle (and brighter in one channel each way), so that
        // rays come to blocks that cannot raise their maximum.
        for (int64_t n = kind == 2 ? m.numVoxels / 2 : m.numVoxels; n < m.numVoxels; ++n) {
            voxel& v = m.voxels.get()[n];
            v = voxel(v.r / 3, v.g / (n % 2 ? 1 : 4), v.b / 2, v.a);
        }
        const std::shared_ptr<BlockCache> cache = makeBlockCache();
        for (int pose = 0; pose < 8; ++pose) {
            m.setVoxelSize(pose < 6 ? Vector(1, 1, 1) : Vector(0.7, 0.7, 2.5));
            camera plainCam = randomCamera(rng, s, pose);
            plainCam.blend = Blend::Maximum;
            camera fastCam = plainCam;
            fastCam.blockCache = cache;
            wxImage expected(plainCam.resolution, plainCam.resolution);
            plain::march(plainCam, &m, expected);
            for (int threads : {1, 2, 3}) {
                workerOverride() = threads;
                wxImage got(fastCam.resolution, fastCam.resolution);
                fastCam.opacity = threads == 3 ? 0.0 : plainCam.opacity;
                fastCam.march(&m, got);
                EXPECT_TRUE(testutil::sameRGB(got, expected)) << "size " << s.w << "x" << s.h << "x" << s.d
                                                              << " pose " << pose << " threads " << threads;
            }
            workerOverride() = 0;
            lit += std::count_if(expected.GetData(), expected.GetData() + 3 * plainCam.resolution * plainCam.resolution,
                                 [](unsigned char c) { return c > 200; });
        }
    }
    EXPECT_GT(lit, 500);  // bright maxima were found, not only black
}

// Runs of additions taken at once are bit for bit the additions in turn: random positions
// and steps, and the awkward ones (binade edges, zero, ties that round by parity, tiny
// binades near zero, steps too small to move a coordinate, infinities).
TEST(FastMarch, RepeatedAdditionsAreTheAdditionsInTurn) {
    struct Case {
        double p[3], s[3];
        int n;
        bool whole;  // all n taken at once
    };
    std::vector<Case> cases = {
        {{100.3, -70.2, 150.1}, {0.31, -0.52, 0.8}, 40, true},  // a march's run through a block
        {{-3.7, 2.9, 130}, {0.004, -0.003, 1.0}, 100, true},
        {{64 - 0x1p-46, 100, -100}, {0x1p-47, 0.3, -0.3}, 50, false},   // a unit below a binade's top
        {{64, -64, 0.75}, {-0.25, 0.25, 0.01}, 1000, false},            // at binade edges, and near zero
        {{65, 1, 2}, {1 + 0x1p-47, 0, -0.0}, 100, false},               // a tie: rounds by parity
        {{1e-20, 5, 5}, {0.1, 0.1, 0.1}, 100, false},                   // a tiny binade
        {{0.0, 5, 5}, {0.1, 0.1, 0.1}, 100, false},
        {{300, 300, 300}, {1e-14, -1e-14, 3e-14}, 1 << 20, false},      // steps below the grid
        {{300, 200, 100}, {0.7, 1.0, 0.5}, 1 << 20, false},
        {{INFINITY, 1, 1}, {1, 1, 1}, 10, false},
    };
    std::mt19937 rng(8);
    for (int i = 0; i < 4000; ++i) {
        Case c{};
        for (int a = 0; a < 3; ++a) {
            c.p[a] = uniform(rng, -600, 600) * (i % 4 == 0 ? 1e-3 : 1);
            c.s[a] = uniform(rng, -3, 3) * (i % 3 == 0 ? 1e-6 : 1);
        }
        c.n = 1 + static_cast<int>(rng() % 3000);
        cases.push_back(c);
    }
    int whole = 0;
    for (const Case& c : cases) {
        double q[3] = {0, 0, 0};
        const int k = addRepeated(c.p, c.s, c.n, q);
        ASSERT_GE(k, 0);
        ASSERT_LE(k, c.n);
        whole += k == c.n;
        if (c.whole) {
            EXPECT_EQ(k, c.n) << c.p[0] << " " << c.p[1] << " " << c.p[2];
        }
        double e[3] = {c.p[0], c.p[1], c.p[2]};
        for (int step = 0; step < k; ++step)
            for (int a = 0; a < 3; ++a) e[a] += c.s[a];
        if (k > 0) {
            EXPECT_EQ(0, std::memcmp(e, q, sizeof q)) << c.p[0] << " " << c.p[1] << " " << c.p[2] << " by " << c.s[0]
                                                      << " " << c.s[1] << " " << c.s[2] << " k " << k;
        }
    }
    EXPECT_GT(whole, 1000);  // runs that stay within the binades are taken whole, not refused
}

// Opacities outside [0, 1], where weighted channels leave the bytes' range or are NaN: the
// fast march (its table of alpha steps, its conversions) agrees with the plain one.
TEST(FastMarch, OpacityWithoutMeaningMatchesPlain) {
    voxelmap m;
    cloudyMap(m, {24, 20, 16}, 77);
    std::mt19937 rng(5);
    long lit = 0;
    for (double opacity : {-0.5, 3.0, 1e17, 1e19, -1e19, double(NAN), double(INFINITY)}) {
        camera plainCam = randomCamera(rng, {24, 20, 16}, 1);  // the eye inside the volume
        plainCam.resolution = 24;
        plainCam.opacity = opacity;
        camera fastCam = plainCam;
        wxImage expected(24, 24), got(24, 24);
        plain::march(plainCam, &m, expected);
        fastCam.march(&m, got);
        EXPECT_TRUE(testutil::sameRGB(got, expected)) << "opacity " << opacity;
        lit += std::count_if(expected.GetData(), expected.GetData() + 24 * 24 * 3, [](unsigned char c) { return c; });
    }
    EXPECT_GT(lit, 1000);
}

// One block cache through marches of both blends, of other volumes, with few rays (blocks
// looked at as rays meet them) and many (all at once): each picture is the plain march's.
TEST(FastMarch, OneBlockCacheAcrossBlendsAndVolumes) {
    voxelmap a, b, c;
    sparseMap(a, {24, 24, 24}, 61);
    cloudyMap(b, {24, 24, 24}, 62);  // the same size, visible where a is empty
    cloudyMap(c, {17, 13, 11}, 63);
    struct Step {
        voxelmap* map;
        Blend blend;
        int resolution;  // 4: fewer rays than blocks; 40: more
    };
    const Step steps[] = {{&a, Blend::Composite, 4}, {&a, Blend::Maximum, 40}, {&a, Blend::Composite, 40},
                          {&a, Blend::Maximum, 4},   {&b, Blend::Maximum, 4},  {&b, Blend::Maximum, 40},
                          {&b, Blend::Composite, 40}, {&c, Blend::Maximum, 40}, {&a, Blend::Composite, 12}};
    const std::shared_ptr<BlockCache> cache = makeBlockCache();
    long lit = 0;
    for (const Step& st : steps) {
        camera plainCam;
        plainCam.startFor(*st.map);
        plainCam.orbit(static_cast<int>(&st - steps) * 25, 10, 170);  // near, the volume filling the view
        plainCam.stepLength = 0.7;
        plainCam.resolution = st.resolution;
        plainCam.blend = st.blend;
        camera fastCam = plainCam;
        fastCam.blockCache = cache;
        wxImage expected(st.resolution, st.resolution), got(st.resolution, st.resolution);
        plain::march(plainCam, st.map, expected);
        fastCam.march(st.map, got);
        EXPECT_TRUE(testutil::sameRGB(got, expected)) << "step " << (&st - steps);
        lit += std::count_if(expected.GetData(), expected.GetData() + 3 * st.resolution * st.resolution,
                             [](unsigned char v) { return v != 0; });
    }
    EXPECT_GT(lit, 100);
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
