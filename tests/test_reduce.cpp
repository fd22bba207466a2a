// Stacks opened at a reduced size: block means against the full volume, the factor offered
// when a stack does not fit, and the memory a reduced load holds.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "appFrame.h"
#include "filebytes.h"
#include "stackio.h"
#include "testutil.h"
#include "voxelmap.h"

using ReduceLoad = testutil::AppTest;

namespace {

using namespace filebytes;

bool buildAt(const std::vector<std::string>& files, int k, voxelmap& map, std::string& problem) {
    stackio::Plan plan;
    if (!stackio::plan(files, plan, problem, -1, {}, k)) return false;
    const stackio::Outcome o = stackio::build(plan, map, [](int) { return true; });
    problem = o.problem;
    return problem.empty();
}

// The mean of a k x k x k block of the channel c of `at`, rounded as a reduced load rounds.
template <class At>
int64_t blockMean(int w, int h, int d, int k, int bi, int bj, int bk, At at) {
    int64_t sum = 0, n = 0;
    for (int z = bk * k; z < std::min(d, (bk + 1) * k); ++z)
        for (int y = bj * k; y < std::min(h, (bj + 1) * k); ++y)
            for (int x = bi * k; x < std::min(w, (bi + 1) * k); ++x) sum += at(x, y, z), ++n;
    return (sum + n / 2) / n;  // the sums here are never negative
}

}  // namespace

// 8-bit stacks: each reduced voxel is the rounded mean of its block of the full volume, per
// channel, alpha included, with fewer voxels at the faces. 16-bit ones: the stored samples
// are averaged first, then mapped by the range of the means.
TEST(Reduce, BlockMeansOfTheFullVolume) {
    testutil::TempDir dir;
    std::mt19937 rng(7);
    struct Case {
        int w, h, d, k;
        bool sixteen;
    };
    for (const Case c : {Case{7, 5, 5, 2, false}, Case{9, 9, 3, 4, false}, Case{7, 5, 5, 2, true}, Case{5, 3, 4, 16, true}}) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << "x" << c.d << " at 1/" << c.k << (c.sixteen ? " 16-bit" : ""));
        std::vector<std::string> files;
        std::vector<std::vector<unsigned>> grey(c.d);  // 16-bit samples, layer by layer
        for (int z = 0; z < c.d; ++z) {
            const std::string name = dir.file("l" + std::to_string(z) + (c.sixteen ? "w" : "") + ".png");
            if (c.sixteen) {
                for (int n = 0; n < c.w * c.h; ++n) grey[z].push_back(rng() % 65536);
                testutil::writeBytes(name, png(c.w, c.h, 16, 0, rowsOf(c.w, c.h, [&](int x, int y) {
                                                   return be16(grey[z][size_t(y) * c.w + x]);
                                               })));
            } else {
                testutil::makeImage(c.w, c.h, [&](int, int) {
                    return voxel(rng() % 256, rng() % 256, rng() % 256, rng() % 256);
                }, true).SaveFile(name, wxBITMAP_TYPE_PNG);
            }
            files.push_back(name);
        }
        voxelmap full, reduced;
        std::string problem;
        ASSERT_TRUE(buildAt(files, 1, full, problem)) << problem;
        ASSERT_TRUE(buildAt(files, c.k, reduced, problem)) << problem;
        const int rw = (c.w + c.k - 1) / c.k, rh = (c.h + c.k - 1) / c.k, rd = (c.d + c.k - 1) / c.k;
        ASSERT_EQ(reduced.width, rw);
        ASSERT_EQ(reduced.height, rh);
        ASSERT_EQ(reduced.depth, rd);
        // 16-bit: the means, their range, then the mapping.
        std::vector<int64_t> means = {0};
        if (c.sixteen) means.clear();
        for (int bk = 0; bk < rd && c.sixteen; ++bk)
            for (int bj = 0; bj < rh; ++bj)
                for (int bi = 0; bi < rw; ++bi)
                    means.push_back(blockMean(c.w, c.h, c.d, c.k, bi, bj, bk,
                                              [&](int x, int y, int z) { return int64_t(grey[z][size_t(y) * c.w + x]); }));
        const int64_t lo = *std::min_element(means.begin(), means.end()), hi = *std::max_element(means.begin(), means.end());
        int wrong = 0;
        for (int bk = 0, n = 0; bk < rd; ++bk)
            for (int bj = 0; bj < rh; ++bj)
                for (int bi = 0; bi < rw; ++bi, ++n) {
                    voxel want;
                    if (c.sixteen) {
                        const auto g = static_cast<unsigned char>(hi > lo ? (means[n] - lo) * 255 / (hi - lo) : means[n] / 257);
                        want = voxel(g, g, g, 255);
                    } else {
                        unsigned char ch[4];
                        for (int q = 0; q < 4; ++q)
                            ch[q] = static_cast<unsigned char>(blockMean(c.w, c.h, c.d, c.k, bi, bj, bk, [&](int x, int y, int z) {
                                const voxel v = testutil::at(full, x, y, z);
                                return int64_t(q == 0 ? v.r : q == 1 ? v.g : q == 2 ? v.b : v.a);
                            }));
                        want = voxel(ch[0], ch[1], ch[2], ch[3]);
                    }
                    wrong += testutil::at(reduced, bi, bj, bk) != want;
                }
        EXPECT_EQ(wrong, 0);
    }
}

// A stack that does not fit is refused with the smallest factor at which it would: 3000
// pages of 10000 x 10000 (header only: every page shares one strip) with room for the
// volume at 1/8 (1250 x 1250 x 375 voxels) and the decoding beside it, not at 1/4.
TEST(Reduce, TheFactorOffered) {
    testutil::TempDir dir;
    const std::string file = dir.file("pages.tif");
    testutil::writeBytes(file, tiff(std::vector<TiffPage>(3000, TiffPage{10000, 10000, 1, 8, {1, 2, 3, 4}}), true));
    stackio::Plan plan;
    std::string problem;
    ASSERT_FALSE(stackio::plan({file}, plan, problem, 0));
    const int64_t decoding = plan.inFlight * plan.decodeBytes, slack = int64_t(100) << 20;
    struct Case {
        int64_t memory;
        int fitsAt;
    };
    for (const Case c : {Case{int64_t(1250) * 1250 * 375 * 4 + decoding + slack, 8},
                         Case{int64_t(625) * 625 * 188 * 4 + decoding + slack, 16},
                         Case{int64_t(625) * 625 * 188 * 4 / 2, 0}}) {  // (pages read in bands need far less than decoding)
        EXPECT_FALSE(stackio::plan({file}, plan, problem, c.memory));
        EXPECT_NE(problem.find("not enough memory for a 10000 x 10000 x 3000 volume"), std::string::npos) << problem;
        EXPECT_EQ(plan.fitsAt, c.fitsAt) << c.memory;
    }
    ASSERT_TRUE(stackio::plan({file}, plan, problem, int64_t(1250) * 1250 * 375 * 4 + decoding + slack, {}, 8)) << problem;
    EXPECT_EQ(plan.reducedLayers(), 375);
    EXPECT_EQ(plan.voxelSize[2], 8);
}

// The window offers the reduction and loads it on Yes: the voxels grow by the factor. Room
// for 9 x 9 x 8 voxels at 1/2 (400 bytes, sums 900) beside the decoding, not for 2592.
TEST_F(ReduceLoad, OfferedAndTaken) {
    testutil::TempDir dir;
    const std::vector<std::string> files = testutil::writeStack(
        dir.path, std::vector<wxImage>(8, testutil::makeImage(9, 9, [](int x, int y) { return voxel(x * 30, y * 20, 9, 255); }, false)));
    stackio::Plan plan;
    std::string problem;
    ASSERT_FALSE(stackio::plan(files, plan, problem, 0));
    testutil::frame()->memoryForLoad = plan.inFlight * plan.decodeBytes + 1400;
    for (const int answer : {wxID_NO, wxID_YES}) {
        wxString message;
        wxTEST_DIALOG(testutil::frame()->loadStack(testutil::toArray(files)),
                      testutil::MessageCapture(&message, nullptr, nullptr, answer));
        EXPECT_TRUE(message.Contains("Open at 1/2: 5 x 5 x 4 voxels")) << message;
        EXPECT_EQ(myVoxmap->loaded, answer == wxID_YES);
    }
    EXPECT_EQ(myVoxmap->width, 5);
    EXPECT_EQ(myVoxmap->voxelSize.z(), 2);
    EXPECT_EQ(testutil::at(4, 4, 3), voxel(240, 160, 9, 255));  // the edge block: one column and row
}

// A reduced load of a large blank stack holds the reduced volume and a few pages, never
// the full volume (1 GiB here; at 1/4, 16 MiB).
TEST(Reduce, PeakMemoryNearTheReducedVolume) {
    testutil::TempDir dir;
    std::vector<TiffPage> pages(64, TiffPage{2048, 2048, 1, 8, {}});
    pages[0].data.assign(size_t(2048) * 2048, 0);  // every page shares the first one's strip
    const std::string file = dir.file("blank.tif");
    testutil::writeBytes(file, tiff(pages, true));
    pages.clear();
    const int64_t grown = testutil::peakOf([&] {
        voxelmap map;
        std::string problem;
        ASSERT_TRUE(buildAt({file}, 4, map, problem)) << problem;
        ASSERT_EQ(map.depth, 16);
    });
    if (grown < 0) GTEST_SKIP() << "no peak memory to read";
    std::printf("[ reduced  ] 2048 x 2048 x 64 at 1/4: peak memory +%lld MiB\n", static_cast<long long>(grown >> 20));
#ifdef SLABWRIGHT_ASAN
    EXPECT_LT(grown, int64_t(512) << 20);  // freed pages wait in the sanitizer's quarantine
#else
    EXPECT_LT(grown, int64_t(160) << 20);
#endif
}
