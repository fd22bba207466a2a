// The volume filters (keying, blur, edges), their kernels and their menu commands.
#include <gtest/gtest.h>
#include <wx/numdlg.h>
#include <wx/testing.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <vector>

#include "appFrame.h"
#include "camera.h"
#include "slicer.h"
#include "plain_kernels.h"
#include "testutil.h"
#include "voxelmap.h"

// The tests below start and end with the program as it starts: a fresh window, no volume.
using FilterCommands = testutil::AppTest;

namespace {

using testutil::at;
using testutil::menu;
using Answer = testutil::NumberAnswer;  // an answer below 0 cancels
const testutil::NumberPrompt kRange{"Colour Range", "R: ", "Range", 50, 1, 1000};
const testutil::NumberPrompt kFalloff{"Falloff", "F: ", "Range", 50, 1, 1000};
const testutil::NumberPrompt kPremultiply{"Premultiply", "Pre: ", "1 or 0", 1, 0, 1};
const testutil::NumberPrompt kRadius{"Blur Radius (1-3) ", "r: ", "Radius", 1, 1, 3};

void uniform(voxelmap& m, int w, int h, int d, voxel v) {
    testutil::fillMap(m, w, h, d, [v](int, int, int) { return v; });
}

// A single-voxel volume filtered by key(); returns the result.
voxel keyed(voxel v, voxel keyColour, int range, int falloff, int premultiply) {
    voxelmap m;
    uniform(m, 1, 1, 1, v);
    key(&m, keyColour, range, falloff, premultiply);
    return at(m, 0, 0, 0);
}

// A volume as a load leaves it: plane across the first layer, camera at its start.
AppFrame* loadedApp(int w, int h, int d, voxel v) {
    return testutil::asLoaded(w, h, d, [v](int, int, int) { return v; });
}

// Both views show the filtered volume: the slice re-evaluated, the 3D image marched
// at the camera's resolution and then stretched to 200 x 200.
void expectViewsRefreshed() {
    wxImage slice(screenImage.GetWidth(), screenImage.GetHeight());
    theslicer->evaluateSlice(myVoxmap, slice);
    EXPECT_TRUE(testutil::sameRGB(slice, screenImage));
    ASSERT_EQ(viewportImage.GetWidth(), 200);
    ASSERT_EQ(viewportImage.GetHeight(), 200);
    wxImage view(cam->resolution, cam->resolution);
    cam->march(myVoxmap, view);
    view.Rescale(200, 200);
    EXPECT_TRUE(testutil::sameRGB(view, viewportImage));
}

}  // namespace

// The tables' sums are what the blur divides by and what the edge filter's 12 stands for:
// Blur.AHoleShowsEveryKernelEntry and FastFilters.EdgesAtTheThresholdAgreeWithPlain see them.
TEST(Kernels, TablesAndWeights) {
    EXPECT_EQ(weight(0, 0, 0, 1, KERNEL_BLUR1), 1.0f);
    EXPECT_EQ(weight(0, 0, 0, 2, KERNEL_BLUR2), 1.0f);
    EXPECT_EQ(weight(0, 0, 0, 3, KERNEL_BLUR3), 1.0f);
    EXPECT_EQ(weight(-1, -1, -1, 1, KERNEL_BLUR1), 0.125f);
    EXPECT_EQ(weight(3, -3, 2, 3, KERNEL_BLUR3), 0.125f);
    // Sobel entries by (dx, dy, dz): X varies along dz, Y along dy, Z along dx.
    EXPECT_EQ(weight(-1, 0, -1, 1, KERNEL_SOBELX), -2.0f);
    EXPECT_EQ(weight(1, 1, 1, 1, KERNEL_SOBELX), 1.0f);
    EXPECT_EQ(weight(1, -1, 0, 1, KERNEL_SOBELY), 2.0f);
    EXPECT_EQ(weight(-1, 1, 1, 1, KERNEL_SOBELY), -1.0f);
    EXPECT_EQ(weight(-1, 1, 0, 1, KERNEL_SOBELZ), 2.0f);
    EXPECT_EQ(weight(1, -1, 1, 1, KERNEL_SOBELZ), -1.0f);
    EXPECT_EQ(weight(0, 1, 0, 1, KERNEL_SOBELZ), 0.0f);
    // The 2D kernel ignores k.
    EXPECT_EQ(weight(1, -1, 77, 1, KERNEL_SOBEL2DX), -1.0f);
    EXPECT_EQ(weight(0, 1, -5, 1, KERNEL_SOBEL2DX), 2.0f);
    // Outside the cube or an unknown code: no entry, weight 0.
    EXPECT_EQ(weight(2, 0, 0, 1, KERNEL_BLUR1), 0.0f);
    EXPECT_EQ(weight(0, 0, -4, 3, KERNEL_BLUR3), 0.0f);
    EXPECT_EQ(weight(0, 0, 0, 1, 999), 0.0f);
}

TEST(Kernels, SmoothstepAndLerp) {
    EXPECT_EQ(smoothstep(50, 100, 49.99f), 0.0f);
    EXPECT_EQ(smoothstep(50, 100, 50), 0.0f);
    EXPECT_EQ(smoothstep(50, 100, 75), 0.5f);
    EXPECT_EQ(smoothstep(0, 1, 0.25f), 0.15625f);
    EXPECT_EQ(smoothstep(50, 100, 100), 1.0f);
    EXPECT_EQ(smoothstep(50, 100, 400), 1.0f);
    EXPECT_EQ(smoothstep(7, 7, 7), 1.0f);  // equal edges: a step, no division
    EXPECT_EQ(lerp(0, 255, 0.5f), 127);
    EXPECT_EQ(lerp(200, 100, 0.5f), 150);
    EXPECT_EQ(lerp(10, 20, 0.0f), 10);
    EXPECT_EQ(lerp(10, 20, 1.0f), 20);
}

TEST(Key, RampAndPremultiply) {
    const voxel black(0, 0, 0, 0);
    EXPECT_EQ(keyed({75, 0, 0, 255}, black, 50, 50, 1), voxel(37, 0, 0, 127));
    EXPECT_EQ(keyed({75, 0, 0, 255}, black, 50, 50, 0), voxel(75, 0, 0, 127));
    // The key colour's alpha takes no part.
    EXPECT_EQ(keyed({75, 0, 0, 255}, voxel(0, 0, 0, 255), 50, 50, 1), voxel(37, 0, 0, 127));
    EXPECT_EQ(keyed({30, 60, 90, 200}, voxel(30, 60, 90, 0), 50, 50, 1), voxel(0, 0, 0, 0));
    EXPECT_EQ(keyed({30, 60, 90, 200}, voxel(30, 60, 90, 0), 50, 50, 0), voxel(30, 60, 90, 0));
    EXPECT_EQ(keyed({50, 0, 0, 255}, black, 50, 50, 0), voxel(50, 0, 0, 0));   // distance = range
    EXPECT_EQ(keyed({100, 0, 0, 200}, black, 50, 50, 1), voxel(100, 0, 0, 200));  // = range + falloff
    EXPECT_EQ(keyed({200, 200, 200, 0}, black, 50, 50, 0), voxel(200, 200, 200, 0));
    // Distance over all three channels: (60, 30, 60) gives 90, t = 0.8, f = 0.896.
    EXPECT_EQ(keyed({70, 50, 90, 200}, voxel(10, 20, 30, 0), 50, 50, 1), voxel(62, 44, 80, 179));
    // Any premultiply value but 0 scales the colour.
    EXPECT_EQ(keyed({70, 50, 90, 200}, voxel(10, 20, 30, 0), 50, 50, -1), voxel(62, 44, 80, 179));
}

TEST(Key, WholeVolume) {
    voxelmap m;
    testutil::randomMap(m, 5, 4, 3, 7);
    voxelmap original;
    original.copyMap(&m);
    key(&m, voxel(0, 0, 0, 0), 1000, 50, 0);
    EXPECT_EQ(m.width, 5);
    EXPECT_EQ(m.origin.x(), -2.5);
    for (int64_t n = 0; n < m.numVoxels; ++n) {
        const voxel o = original.voxels[n];
        ASSERT_EQ(m.voxels[n], voxel(o.r, o.g, o.b, 0)) << n;
    }
    // Keying twice compounds: 255 -> 127 -> 63.
    uniform(m, 3, 2, 2, voxel(75, 0, 0, 255));
    key(&m, voxel(), 50, 50, 0);
    key(&m, voxel(), 50, 50, 0);
    EXPECT_EQ(at(m, 2, 1, 1), voxel(75, 0, 0, 63));
    // An empty map is left alone.
    voxelmap empty;
    key(&empty, voxel(), 50, 50, 1);
    EXPECT_FALSE(empty.loaded);
}

TEST(Blur, RadiusOneOnUniformVolumes) {
    voxelmap m;
    uniform(m, 5, 5, 5, voxel(255, 255, 255, 255));
    blur(&m, 1);
    EXPECT_EQ(at(m, 2, 2, 2), voxel(255, 255, 255, 255));
    EXPECT_EQ(at(m, 2, 2, 0), voxel(187, 187, 187, 187));  // face: 18 kernel voxels inside
    EXPECT_EQ(at(m, 4, 2, 2), voxel(187, 187, 187, 187));
    EXPECT_EQ(at(m, 0, 4, 2), voxel(142, 142, 142, 142));  // edge: 12
    EXPECT_EQ(at(m, 4, 0, 4), voxel(112, 112, 112, 112));  // corner: 8
    // A single layer is blurred against transparent layers above and below: 9 inside.
    uniform(m, 4, 4, 1, voxel(255, 255, 255, 255));
    blur(&m, 1);
    EXPECT_EQ(at(m, 1, 2, 0), voxel(120, 120, 120, 120));
    // Channels are blurred independently.
    uniform(m, 3, 3, 3, voxel(40, 80, 0, 200));
    blur(&m, 1);
    EXPECT_EQ(at(m, 1, 1, 1), voxel(40, 80, 0, 200));
    EXPECT_EQ(at(m, 0, 0, 0), voxel(17, 35, 0, 88));  // x 1.875 / 4.25
}

TEST(Blur, LargerRadiiUseTheirOwnKernels) {
    const voxel white(255, 255, 255, 255);
    voxelmap m;
    uniform(m, 5, 5, 5, white);
    blur(&m, 2);
    EXPECT_EQ(at(m, 2, 2, 2), white);
    EXPECT_EQ(at(m, 2, 2, 0).a, 158);  // 75 inside: 10.25 / 16.5
    EXPECT_EQ(at(m, 0, 0, 0).a, 65);   // 27 inside: 4.25 / 16.5
    uniform(m, 7, 7, 7, white);
    blur(&m, 3);
    EXPECT_EQ(at(m, 3, 3, 3), white);
    EXPECT_EQ(at(m, 3, 3, 0).a, 147);  // 196 inside: 25.375 / 43.75
    EXPECT_EQ(at(m, 6, 6, 6).a, 51);   // 64 inside: 8.875 / 43.75
    uniform(m, 5, 5, 5, white);
    blur(&m, 3);
    EXPECT_EQ(at(m, 2, 2, 2).a, 96);  // thinner than 7: 125 inside, 16.5 / 43.75
}

// Every entry of each blur table and its sum, seen through the filter: a volume of 255 with
// one transparent black voxel. Around it each voxel lacks exactly the entry at its offset
// from the hole: 1 (the centre) at the hole, 1/8 within the radius, nothing beyond. With
// sums 4.25, 16.5 and 43.75 (1 + 1/8 for each of the other 26, 124 and 342 entries):
// 255 x 3.25 / 4.25 = 195, 255 x 4.125 / 4.25 = 247.5, and so on.
TEST(Blur, AHoleShowsEveryKernelEntry) {
    struct Case {
        int radius;
        unsigned char atHole, near;
    } const cases[] = {{1, 195, 247}, {2, 239, 253}, {3, 249, 254}};
    for (const Case& c : cases) {
        const int r = c.radius, n = 4 * r + 3, hole = 2 * r + 1;  // voxels within r + 1 of the hole see no border
        voxelmap original;
        testutil::fillMap(original, n, n, n, [hole](int i, int j, int k) {
            return i == hole && j == hole && k == hole ? voxel() : voxel(255, 255, 255, 255);
        });
        for (bool fast : {true, false}) {
            voxelmap m;
            m.copyMap(&original);
            fast ? blur(&m, r) : plain::blur(&m, r);
            for (int k = r; k <= 3 * r + 2; ++k)
                for (int j = r; j <= 3 * r + 2; ++j)
                    for (int i = r; i <= 3 * r + 2; ++i) {
                        const int d = std::max({std::abs(i - hole), std::abs(j - hole), std::abs(k - hole)});
                        const unsigned char v = d == 0 ? c.atHole : d <= r ? c.near : 255;
                        ASSERT_EQ(at(m, i, j, k), voxel(v, v, v, v))
                            << (fast ? "blur" : "plain blur") << " radius " << r << " at " << i << "," << j << "," << k;
                    }
        }
    }
}

// Blur radius 1 worked out from array indices alone.
static voxelmap* directBlur(const voxelmap& src, voxelmap& out) {
    out.allocate(src.width, src.height, src.depth);
    for (int k = 0; k < src.depth; ++k)
        for (int j = 0; j < src.height; ++j)
            for (int i = 0; i < src.width; ++i) {
                double s[4] = {};
                for (int c = k - 1; c <= k + 1; ++c)
                    for (int b = j - 1; b <= j + 1; ++b)
                        for (int a = i - 1; a <= i + 1; ++a) {
                            if (a < 0 || b < 0 || c < 0 || a >= src.width || b >= src.height || c >= src.depth)
                                continue;
                            const double w = (a == i && b == j && c == k) ? 1.0 : 0.125;
                            const voxel v = at(src, a, b, c);
                            s[0] += v.r * w, s[1] += v.g * w, s[2] += v.b * w, s[3] += v.a * w;
                        }
                out.voxels[out.index(i, j, k)] = voxel(static_cast<unsigned char>(s[0] / 4.25),
                                                       static_cast<unsigned char>(s[1] / 4.25),
                                                       static_cast<unsigned char>(s[2] / 4.25),
                                                       static_cast<unsigned char>(s[3] / 4.25));
            }
    return &out;
}

TEST(Blur, EveryVoxelOfOddSizedVolumes) {
    for (const auto& size : std::vector<std::array<int, 3>>{{5, 4, 3}, {3, 5, 2}, {1, 1, 1}, {4, 4, 4}}) {
        voxelmap m, expected;
        testutil::randomMap(m, size[0], size[1], size[2], 11);
        directBlur(m, expected);
        blur(&m, 1);
        EXPECT_TRUE(testutil::sameMap(m, expected)) << size[0] << "x" << size[1] << "x" << size[2];
    }
    // A radius outside 1..3 means 1 (never a kernel loop beyond the 3 x 3 x 3 table).
    for (int radius : {0, -2, 4, 9}) {
        voxelmap m, expected;
        testutil::randomMap(m, 5, 4, 3, 5);
        directBlur(m, expected);
        blur(&m, radius);
        EXPECT_TRUE(testutil::sameMap(m, expected)) << "radius " << radius;
    }
}

TEST(Blur, MovedOriginStaysInsideTheVolume) {
    // Reads and writes go through the map's own origin, even one that is not the
    // standard (-w/2, -h/2, 100): the result is the same as at the standard origin.
    voxelmap m, expected;
    testutil::randomMap(m, 5, 3, 2, 3);
    directBlur(m, expected);
    m.origin = Vector(2.5, 1.5, -7.25);
    blur(&m, 1);
    m.origin = expected.origin;
    EXPECT_TRUE(testutil::sameMap(m, expected));
}

TEST(Edges, ThresholdedGradients) {
    voxelmap m;
    uniform(m, 5, 5, 5, voxel(200, 100, 0, 255));
    edges(&m);
    EXPECT_EQ(at(m, 2, 2, 2), voxel(1, 1, 1, 1));
    EXPECT_EQ(at(m, 2, 2, 0), voxel(250, 1, 1, 250));  // one face in each axis
    EXPECT_EQ(at(m, 2, 4, 2), voxel(250, 1, 1, 250));
    EXPECT_EQ(at(m, 0, 2, 2), voxel(250, 1, 1, 250));
    // 128 gives a magnitude of exactly 128: not above the threshold.
    uniform(m, 5, 5, 5, voxel(128, 129, 127, 255));
    edges(&m);
    EXPECT_EQ(at(m, 2, 2, 4), voxel(1, 250, 1, 250));
    // Transparent black for x < 3 beside opaque alpha for x >= 3: both sides of the
    // boundary respond, and so does the far face.
    testutil::fillMap(m, 6, 5, 5, [](int i, int, int) { return i < 3 ? voxel() : voxel(0, 0, 0, 255); });
    edges(&m);
    const int expectedAlpha[6] = {1, 1, 250, 250, 1, 250};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(at(m, i, 2, 2).a, expectedAlpha[i]) << "x index " << i;
    EXPECT_EQ(at(m, 2, 2, 2).r, 1);
}

TEST(Edges, OnlyTwoLevels) {
    voxelmap m;
    testutil::randomMap(m, 7, 5, 4, 21);
    edges(&m);
    int high = 0;
    for (int64_t n = 0; n < m.numVoxels; ++n)
        for (unsigned char c : {m.voxels[n].r, m.voxels[n].g, m.voxels[n].b, m.voxels[n].a}) {
            ASSERT_TRUE(c == 1 || c == 250) << n;
            high += c == 250;
        }
    EXPECT_GT(high, 0);
}

// ---- The commands, driven through their prompts ----

TEST_F(FilterCommands, KeyPrompts) {
    const voxel start(75, 0, 0, 255);
    struct Case {
        long falloff;      // -1: cancelled
        long premultiply;  // -1: cancelled
        voxel result;
    } cases[] = {
        {50, 1, voxel(37, 0, 0, 127)},
        {50, 0, voxel(75, 0, 0, 127)},
        {50, -1, voxel(37, 0, 0, 127)},  // cancelled: premultiply on
        {-1, 0, start},                  // falloff cancelled: unchanged
    };
    for (const Case& c : cases) {
        AppFrame* f = loadedApp(6, 5, 3, start);
        f->keyColour = voxel(0, 0, 0, 0);
        wxTEST_DIALOG(menu(f, ID_KEY), Answer(kRange, 50), Answer(kFalloff, c.falloff),
                      Answer(kPremultiply, c.premultiply));
        EXPECT_EQ(at(*myVoxmap, 5, 4, 2), c.result);
        EXPECT_EQ(at(*myVoxmap, 0, 0, 0), c.result);
        if (c.result == start) {
            EXPECT_EQ(viewportImage.GetWidth(), 50);  // nothing refreshed
        } else {
            expectViewsRefreshed();
            EXPECT_EQ(testutil::pixel(screenImage, 3, 2), voxel(c.result.r, 0, 0, 255));
        }
    }
    // A cancelled range prompt ends the command after one dialog.
    AppFrame* f = loadedApp(6, 5, 3, start);
    wxTEST_DIALOG(menu(f, ID_KEY), Answer(kRange, -1));
    EXPECT_EQ(at(*myVoxmap, 0, 0, 0), start);
    EXPECT_EQ(viewportImage.GetWidth(), 50);
}

TEST_F(FilterCommands, BlurAndEdges) {
    AppFrame* f = loadedApp(5, 4, 3, voxel(255, 255, 255, 255));
    wxTEST_DIALOG(menu(f, ID_BLUR), Answer(kRadius, -1));
    EXPECT_EQ(at(*myVoxmap, 0, 0, 0), voxel(255, 255, 255, 255));
    EXPECT_EQ(viewportImage.GetWidth(), 50);

    wxTEST_DIALOG(menu(f, ID_BLUR), Answer(kRadius, 1));
    EXPECT_EQ(at(*myVoxmap, 0, 0, 0), voxel(112, 112, 112, 112));
    expectViewsRefreshed();
    EXPECT_EQ(testutil::pixel(screenImage, 0, 0), voxel(112, 112, 112, 255));

    f = loadedApp(5, 5, 5, voxel(200, 100, 0, 255));
    menu(f, ID_EDGES);  // no prompt
    EXPECT_EQ(at(*myVoxmap, 2, 2, 0), voxel(250, 1, 1, 250));
    expectViewsRefreshed();
    EXPECT_EQ(testutil::pixel(screenImage, 2, 2), voxel(250, 1, 1, 255));
}

TEST_F(FilterCommands, NothingWithoutAVolume) {
    AppFrame* f = testutil::frame();
    // No prompt appears (an unexpected dialog would fail the test) and nothing is computed:
    // the 3D image keeps the size it had (the placeholder's, or none) instead of 200 x 200.
    const wxSize before = viewportImage.IsOk() ? viewportImage.GetSize() : wxSize();
    for (int id : {ID_KEY, ID_BLUR, ID_EDGES}) menu(f, id);
    EXPECT_FALSE(myVoxmap->loaded);
    EXPECT_EQ(viewportImage.IsOk() ? viewportImage.GetSize() : wxSize(), before);
}
