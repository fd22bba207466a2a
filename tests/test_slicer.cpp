// The slicing plane: its corners under translation, rotation and scaling, and the
// slice image sampled from a volume.
#include <gtest/gtest.h>
#include <wx/image.h>

#include "slicer.h"
#include "testutil.h"
#include "voxelmap.h"

namespace {

using testutil::pixel;

// Within single-precision rounding of the rotation's sines and cosines.
constexpr double kTol = 1e-5;

void expectNear(const Vector& v, double x, double y, double z) { testutil::expectNear(v, x, y, z, kTol); }
using testutil::expectExact;

// Corner offsets from the centre, in the order P00, P01, P10, P11.
struct Offsets {
    Vector c[4];
};
Offsets offsets(const slicer& s) {
    const BilinearPatch& p = *s.patch;
    return {{p.P00 - s.centre, p.P01 - s.centre, p.P10 - s.centre, p.P11 - s.centre}};
}
// The base offsets (a, b, 0) of an 8 x 6 plane, in corner order.
const double kA[4] = {-4, -4, 4, 4};
const double kB[4] = {-3, 3, -3, 3};

// A voxel that tells its own indices; alpha varies and includes 0.
voxel coded(int i, int j, int k) {
    return voxel(static_cast<unsigned char>(20 * i + 5), static_cast<unsigned char>(30 * j + 7),
                 static_cast<unsigned char>(15 * k + 3), (i + j + k) % 3 == 0 ? 0 : 255);
}
voxel shown(const voxel& v) { return voxel(v.r, v.g, v.b, 255); }

wxImage blankImage(int w, int h, unsigned char r, unsigned char g, unsigned char b) {
    wxImage img(w, h, false);
    img.SetRGB(wxRect(0, 0, w, h), r, g, b);
    return img;
}

}  // namespace

TEST(Slicer, ConstructionPlacesThePlaneAcrossTheFirstLayer) {
    // Only z of the given point is used: the plane is centred on x = y = 0.
    const slicer s(Vector(-4, -3, 100), 8, 6);
    expectExact(s.centre, 0, 0, 100);
    EXPECT_FALSE(s.aaLookups);
    EXPECT_EQ(s.width, 8);
    EXPECT_EQ(s.height, 6);
    expectExact(s.baseP00, -4, -3, 100);
    expectExact(s.baseP01, -4, 3, 100);
    expectExact(s.baseP10, 4, -3, 100);
    expectExact(s.baseP11, 4, 3, 100);
    expectExact(s.patch->P00, -4, -3, 100);
    expectExact(s.patch->P11, 4, 3, 100);

    // Odd sizes: integer halves, so width 5 spans x from -2 to 2.
    const slicer odd(Vector(-2.5, -1.5, 37), 5, 3);
    expectExact(odd.baseP00, -2, -1, 37);
    expectExact(odd.baseP11, 2, 1, 37);
}

TEST(Slicer, NeutralSettingsLeaveTheCornersAtRest) {
    slicer s(Vector(0, 0, 100), 8, 6);
    s.setP(Vector(0, 0, 0));
    s.setR(0, 0, 0);
    s.setS(100, 100, 100);
    expectExact(s.patch->P00, -4, -3, 100);
    expectExact(s.patch->P01, -4, 3, 100);
    expectExact(s.patch->P10, 4, -3, 100);
    expectExact(s.patch->P11, 4, 3, 100);
}

TEST(Slicer, TranslationMovesAlongTheWorldAxes) {
    slicer s(Vector(0, 0, 100), 8, 6);
    s.setP(Vector(1.5, -2, 10));
    expectExact(s.patch->P00, -2.5, -5, 110);
    expectExact(s.patch->P11, 5.5, 1, 110);
    // The translation is replaced, not added to.
    s.setP(Vector(0, 0, 3));
    expectExact(s.patch->P00, -4, -3, 103);
    // The translation is not rotated: the rotated plane stays centred on centre + t.
    s.setR(0, 0, 90);
    const Offsets o = offsets(s);
    for (int k = 0; k < 4; ++k) expectNear(o.c[k], kB[k], -kA[k], 3);
}

TEST(Slicer, SingleAxisRotations) {
    slicer s(Vector(0, 0, 100), 8, 6);
    // About z: (a, b, 0) -> (b, -a, 0).
    s.setR(0, 0, 90);
    Offsets o = offsets(s);
    for (int k = 0; k < 4; ++k) expectNear(o.c[k], kB[k], -kA[k], 0);
    // About x: (a, b, 0) -> (a, 0, -b).
    s.setR(90, 0, 0);
    o = offsets(s);
    for (int k = 0; k < 4; ++k) expectNear(o.c[k], kA[k], 0, -kB[k]);
    // About y: (a, b, 0) -> (0, b, a).
    s.setR(0, 90, 0);
    o = offsets(s);
    for (int k = 0; k < 4; ++k) expectNear(o.c[k], 0, kB[k], kA[k]);
    // A new setR starts from the identity again.
    s.setR(0, 0, 0);
    expectExact(s.patch->P00, -4, -3, 100);
}

TEST(Slicer, RotationsComposeZThenYThenX) {
    slicer s(Vector(0, 0, 100), 8, 6);
    // y acts before x: (a, b, 0) -> (0, b, a) -> (0, a, -b). The other order gives (b, 0, a).
    s.setR(90, 90, 0);
    Offsets o = offsets(s);
    for (int k = 0; k < 4; ++k) expectNear(o.c[k], 0, kA[k], -kB[k]);
    // z acts before y: (a, b, 0) -> (b, -a, 0) -> (0, -a, b).
    s.setR(0, 90, 90);
    o = offsets(s);
    for (int k = 0; k < 4; ++k) expectNear(o.c[k], 0, -kA[k], kB[k]);
}

TEST(Slicer, ScalingLastsOnlyUntilTheNextSetPOrSetR) {
    slicer s(Vector(0, 0, 100), 8, 6);
    s.setP(Vector(0, 0, 0));
    s.setR(0, 0, 0);
    s.setS(50, 50, 100);
    expectExact(s.patch->P00, -2, -1.5, 100);
    expectExact(s.patch->P01, -2, 1.5, 100);
    expectExact(s.patch->P10, 2, -1.5, 100);
    expectExact(s.patch->P11, 2, 1.5, 100);
    EXPECT_EQ(s.scaling.m[0], 1.0f);  // identity again after the call

    s.setP(Vector(0, 0, 0));
    expectExact(s.patch->P00, -4, -3, 100);
    s.setS(200, 100, 100);
    expectExact(s.patch->P10, 8, -3, 100);
    s.setR(0, 0, 0);
    expectExact(s.patch->P10, 4, -3, 100);
    // Negative percentages mirror, 0 % flattens.
    s.setS(-100, 0, 100);
    expectExact(s.patch->P00, 4, 0, 100);
}

TEST(Slicer, ScalingFollowsTheRotationAndPrecedesTheTranslation) {
    slicer s(Vector(0, 0, 100), 8, 6);
    s.setP(Vector(10, 0, 0));
    s.setR(0, 0, 90);
    s.setS(50, 100, 100);
    // (a, b, 0) -> rotated (b, -a, 0) -> scaled along world x (b / 2, -a, 0) -> + (10, 0, 0).
    const Offsets o = offsets(s);
    for (int k = 0; k < 4; ++k) expectNear(o.c[k], kB[k] / 2 + 10, -kA[k], 0);
}

TEST(SlicerEvaluate, PlaneAtRestShowsTheFirstLayer) {
    voxelmap map;
    testutil::fillMap(map, 8, 4, 12, coded);
    slicer s(map.origin, map.width, map.height);
    wxImage img(8, 4, false);
    s.evaluateSlice(&map, img);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 8; ++j) EXPECT_EQ(pixel(img, j, i), shown(coded(j, i, 0))) << j << "," << i;

    s.setP(Vector(0, 0, 10));
    s.setR(0, 0, 0);
    s.setS(100, 100, 100);
    s.evaluateSlice(&map, img);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 8; ++j) EXPECT_EQ(pixel(img, j, i), shown(coded(j, i, 10))) << j << "," << i;

    // Moved out of the volume: every lookup is outside, every pixel black.
    s.setP(Vector(0, 0, -50));
    s.evaluateSlice(&map, img);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 8; ++j) EXPECT_EQ(pixel(img, j, i), voxel(0, 0, 0, 255));
}

TEST(SlicerEvaluate, OddWidthRepeatsAColumn) {
    // Width 5: the plane spans x from -2 to 2 (origin -2.5) but the image keeps 5 columns,
    // u = j / 5, so the samples fall at relative x 0.5, 1.3, 2.1, 2.9, 3.7.
    voxelmap map;
    testutil::fillMap(map, 5, 4, 1, [](int i, int j, int) { return voxel(40 * i + 10, 50 * j + 1, 0, 255); });
    slicer s(map.origin, map.width, map.height);
    wxImage img(5, 4, false);
    s.evaluateSlice(&map, img);
    const int columns[5] = {0, 1, 2, 2, 3};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 5; ++j) EXPECT_EQ(pixel(img, j, i), voxel(40 * columns[j] + 10, 50 * i + 1, 0, 255));
}

TEST(SlicerEvaluate, AlphaNeverReachesTheImage) {
    voxelmap map;
    testutil::fillMap(map, 2, 2, 1, [](int i, int, int) {
        return i == 0 ? voxel(200, 10, 10, 0) : voxel(30, 40, 50, 1);
    });
    slicer s(map.origin, 2, 2);
    wxImage img = blankImage(2, 2, 255, 255, 255);
    s.evaluateSlice(&map, img);
    EXPECT_FALSE(img.HasAlpha());
    EXPECT_EQ(pixel(img, 0, 0), voxel(200, 10, 10, 255));
    EXPECT_EQ(pixel(img, 1, 1), voxel(30, 40, 50, 255));
    s.aaLookups = true;
    s.evaluateSlice(&map, img);
    EXPECT_EQ(pixel(img, 0, 0), voxel(200, 10, 10, 255));
}

TEST(SlicerEvaluate, InterpolatedLookupsBlendAHalfUnitShift) {
    voxelmap map;
    testutil::fillMap(map, 4, 4, 1, [](int i, int j, int) { return voxel(40 * i, 10 * j, 0, 255); });
    slicer s(map.origin, 4, 4);
    s.setP(Vector(0.5, 0, 0));
    s.setR(0, 0, 0);
    s.setS(100, 100, 100);
    wxImage img(4, 4, false);

    // Nearest: each sample at relative x j + 0.5 takes voxel column j.
    s.evaluateSlice(&map, img);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_EQ(pixel(img, j, i), voxel(40 * j, 10 * i, 0, 255));

    // Interpolated: halfway between columns j and j + 1; the last column blends with the
    // outside (transparent black): 120 / 2 = 60.
    s.aaLookups = true;
    s.evaluateSlice(&map, img);
    const int red[4] = {20, 60, 100, 60};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            const int g = j == 3 ? 5 * i : 10 * i;
            EXPECT_EQ(pixel(img, j, i), voxel(red[j], g, 0, 255)) << j << "," << i;
        }
}

TEST(SlicerEvaluate, OnePixelPlaneSamplesTheCentre) {
    voxelmap map;
    testutil::fillMap(map, 1, 1, 2, [](int, int, int k) { return voxel(9, 8, 7 + k, 255); });
    slicer s(map.origin, 1, 1);
    expectExact(s.patch->P00, 0, 0, 100);
    expectExact(s.patch->P11, 0, 0, 100);
    wxImage img(1, 1, false);
    s.evaluateSlice(&map, img);
    EXPECT_EQ(pixel(img, 0, 0), voxel(9, 8, 7, 255));
    s.setP(Vector(0, 0, 1));
    s.evaluateSlice(&map, img);
    EXPECT_EQ(pixel(img, 0, 0), voxel(9, 8, 8, 255));
}

TEST(SlicerEvaluate, WritesOnlyThePlaneAreaThatFitsTheImage) {
    voxelmap map;
    testutil::fillMap(map, 8, 4, 1, coded);
    slicer s(map.origin, 8, 4);

    // Smaller image: the fitting part is sampled as in a full-size image.
    wxImage small(3, 2, false);
    s.evaluateSlice(&map, small);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(pixel(small, j, i), shown(coded(j, i, 0)));

    // Larger image: pixels beyond the plane's width x height are left alone.
    wxImage large = blankImage(10, 6, 1, 2, 3);
    s.evaluateSlice(&map, large);
    EXPECT_EQ(pixel(large, 7, 3), shown(coded(7, 3, 0)));
    EXPECT_EQ(pixel(large, 8, 0), voxel(1, 2, 3, 255));
    EXPECT_EQ(pixel(large, 0, 4), voxel(1, 2, 3, 255));
    EXPECT_EQ(pixel(large, 9, 5), voxel(1, 2, 3, 255));

    // No image at all: nothing to write, and no toolkit assertion.
    wxImage none;
    s.evaluateSlice(&map, none);
    EXPECT_FALSE(none.IsOk());
}

TEST(SlicerEvaluate, ACleanedOutMapShowsBlack) {
    // clear() drops the array but leaves the dimensions: nothing may be read through them.
    voxelmap map;
    testutil::fillMap(map, 4, 4, 1, [](int, int, int) { return voxel(50, 60, 70, 255); });
    slicer s(map.origin, 4, 4);
    map.clear();
    wxImage img = blankImage(4, 4, 1, 2, 3);
    s.evaluateSlice(&map, img);
    EXPECT_EQ(pixel(img, 0, 0), voxel(0, 0, 0, 255));
    s.aaLookups = true;
    img = blankImage(4, 4, 1, 2, 3);
    s.evaluateSlice(&map, img);
    EXPECT_EQ(pixel(img, 3, 3), voxel(0, 0, 0, 255));
}

// The whole pose in one call: the scale, applied last, survives the translation and rotation.
TEST(Slicer, PoseTranslatesRotatesAndKeepsTheScale) {
    slicer s(Vector(-4, -3, 100), 8, 6);
    s.pose(Vector(1, 2, 3), 0, 0, 0, 200, 50, 100);
    expectExact(s.patch->P00, -8 + 1, -1.5 + 2, 103);
    expectExact(s.patch->P11, 8 + 1, 1.5 + 2, 103);
    // The same pose set step by step in another order loses the scale.
    slicer t(Vector(-4, -3, 100), 8, 6);
    t.setS(200, 50, 100);
    t.setP(Vector(1, 2, 3));
    t.setR(0, 0, 0);
    expectExact(t.patch->P00, -4 + 1, -3 + 2, 103);
}
