// Every control at its limits, on the smallest volumes: the march and the slice always
// finish, the views keep their sizes, the outline stays drawable; and the indexing of a
// volume of more than 2^31 voxels.
#include <gtest/gtest.h>
#include <wx/numdlg.h>
#include <wx/spinctrl.h>
#include <wx/testing.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "appFrame.h"
#include "bilinear.h"
#include "camera.h"
#include "slicer.h"
#include "testutil.h"
#include "voxelmap.h"

// The tests below start and end with the program as it starts: a fresh window, no volume.
using Extremes = testutil::AppTest;

namespace {

using testutil::frame;
using testutil::shown;

// Loads a w x h x d stack of opaque, position-coloured PNG layers through the loader.
void loadLayers(const testutil::TempDir& dir, int w, int h, int d) {
    std::vector<wxImage> images;
    for (int k = 0; k < d; ++k)
        images.push_back(testutil::makeImage(
            w, h, [k](int x, int y) { return voxel(200 - 20 * x, 30 + 25 * y, 60 + 40 * k, 255); }, false));
    frame()->loadStack(
        testutil::toArray(testutil::writeStack(dir.path, images, "x" + std::to_string(w * 10000 + h * 100 + d))));
    ASSERT_TRUE(myVoxmap->loaded);
    ASSERT_EQ(myVoxmap->numVoxels, int64_t(w) * h * d);
}

// A spin change as the user makes it; the value must lie in the control's range.
void spin(wxSpinCtrl* c, int value) { testutil::spin(c, value, /*mustFit=*/true); }

// Answers the number prompt of a Settings menu command with n.
void setting(int id, long n) { wxTEST_DIALOG(testutil::menu(frame(), id), testutil::NumberAnswer(n)); }

bool allBlack(const wxImage& img) {
    const unsigned char* p = img.GetData();
    for (int64_t n = 0; n < 3 * int64_t(img.GetWidth()) * img.GetHeight(); ++n)
        if (p[n] != 0) return false;
    return true;
}

bool oneColour(const wxImage& img) {
    const unsigned char* p = img.GetData();
    for (int64_t n = 3; n < 3 * int64_t(img.GetWidth()) * img.GetHeight(); ++n)
        if (p[n] != p[n % 3]) return false;
    return true;
}

// The views as a user relies on them, and every plane corner projects to a pixel within
// the outline's safe range (or to the centre when it has no projection).
void expectViews(int resolution) {
    EXPECT_EQ(viewportImage.GetSize(), wxSize(resolution, resolution));
    EXPECT_EQ(screenImage.GetSize(), wxSize(myVoxmap->width, myVoxmap->height));
    const BilinearPatch& p = *theslicer->patch;
    for (const Vector& corner : {p.P00, p.P01, p.P10, p.P11}) {
        int x = 0, y = 0;
        cam->project(corner, &x, &y, myVoxmap->width * 2, myVoxmap->height * 2);
        EXPECT_LE(std::abs(x), 1000000);
        EXPECT_LE(std::abs(y), 1000000);
    }
}

// Whether the window shows image stretched to target, as far as the window reaches.
// Over the 3D view the plane's outline (green lines, white-filled corner circles, their
// edges smoothed) is drawn too: pixels within 3 of its pure colours are passed over.
::testing::AssertionResult showsStretched(wxWindow* window, const wxImage& image, wxSize target) {
    const wxImage seen = shown(window);
    const wxImage want = image.Scale(target.x, target.y, wxIMAGE_QUALITY_NORMAL);
    const int w = std::min(seen.GetWidth(), target.x), h = std::min(seen.GetHeight(), target.y);
    if (w < 2 || h < 2) return ::testing::AssertionFailure() << "the window is too small to tell";
    const bool outlined = window == frame()->view3D;
    auto nearOutline = [&](int x, int y) {
        for (int v = std::max(0, y - 3); v <= std::min(h - 1, y + 3); ++v)
            for (int u = std::max(0, x - 3); u <= std::min(w - 1, x + 3); ++u) {
                const voxel p = testutil::pixel(seen, u, v);
                if (p == voxel(0, 230, 0, 255) || p == voxel(255, 255, 255, 255)) return true;
            }
        return false;
    };
    int passed = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (testutil::pixel(seen, x, y) == testutil::pixel(want, x, y)) continue;
            if (outlined && nearOutline(x, y)) {
                ++passed;
                continue;
            }
            return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") differs";
        }
    if (passed > 8 * (w + h) + 200) return ::testing::AssertionFailure() << passed << " pixels passed over";
    return ::testing::AssertionSuccess();
}

struct Shape {
    int w, h, d;
};
const Shape kShapes[] = {{1, 1, 1}, {1, 9, 1}, {9, 1, 1}, {1, 1, 7}, {6, 5, 4}};

}  // namespace

// The tests below run once per shape, each from a fresh program.
class ExtremeShapes : public Extremes, public testing::WithParamInterface<Shape> {};
INSTANTIATE_TEST_SUITE_P(Extremes, ExtremeShapes, testing::ValuesIn(kShapes),
                         [](const testing::TestParamInfo<Shape>& p) {
                             return std::to_string(p.param.w) + "x" + std::to_string(p.param.h) + "x" +
                                    std::to_string(p.param.d);
                         });

// ---- Camera ----

TEST_P(ExtremeShapes, CameraAtEveryLimitFinishes) {
    const Shape s = GetParam();
    testutil::TempDir dir;
    AppFrame* f = frame();
    loadLayers(dir, s.w, s.h, s.d);
    if (HasFatalFailure()) return;
    for (int zoom : {0, -1, -1000, 1, 1000, 200}) {
        SCOPED_TRACE(testing::Message() << "zoom " << zoom);
        spin(f->spinZoom, zoom);
        EXPECT_EQ(cam->zoom, zoom * 0.01);
        expectViews(50);
    }
    for (int yaw : {-1080, -90, 90, 180, 1080}) {
        for (int pitch : {-1080, -90, 90, 270, 1080}) {
            SCOPED_TRACE(testing::Message() << "yaw " << yaw << ", pitch " << pitch);
            spin(f->spinYaw, yaw);
            spin(f->spinPitch, pitch);
            expectViews(50);
        }
    }
    spin(f->spinYaw, 0);
    spin(f->spinPitch, 0);
    // Truck from one end to the other: through the volume, through the target, beyond.
    const int through = 200 + s.d / 2 + 100;  // puts the eye exactly on the target
    for (int truck : {-1000, 250, through - 1, through, through + 1, 1000}) {
        SCOPED_TRACE(testing::Message() << "truck " << truck);
        spin(f->spinTruck, truck);
        EXPECT_EQ(cam->eye.z(), -200.0 + truck);
        expectViews(50);
        if (truck == through) {  // the view direction is zero: the march must still end
            EXPECT_EQ(cam->eye.x(), cam->lookAt.x());
            EXPECT_EQ(cam->eye.y(), cam->lookAt.y());
            EXPECT_EQ(cam->eye.z(), cam->lookAt.z());
        }
    }
    // Opacity 0 shows nothing; at full opacity from in front the volume shows.
    spin(f->spinTruck, 0);
    spin(f->spinDepth, 0);
    EXPECT_TRUE(allBlack(viewportImage));
    spin(f->spinDepth, 100);
    EXPECT_FALSE(allBlack(viewportImage));
}

TEST_F(Extremes, RaySettingsAtTheirLimitsFinish) {
    testutil::TempDir dir;
    AppFrame* f = frame();
    loadLayers(dir, 1, 9, 1);
    if (HasFatalFailure()) return;
    spin(f->spinTruck, 200);  // close to the volume, so it fills part of the view
    for (auto [resolution, step] : {std::pair{1, 1}, {1000, 1}, {1000, 100}, {2, 100}, {50, 20}}) {
        SCOPED_TRACE(testing::Message() << "resolution " << resolution << ", step " << step);
        setting(ID_RAYRES, resolution);
        setting(ID_RAYSTEP, step);
        EXPECT_EQ(cam->resolution, resolution);
        EXPECT_EQ(cam->stepLength, step * 0.1);
        expectViews(resolution);
        if (resolution >= 50) {
            EXPECT_FALSE(allBlack(viewportImage)) << "the volume is in view";
        }
    }
    for (int scale : {1, 5}) {
        setting(ID_VPSCALE, scale);
        EXPECT_EQ(f->vpScale, scale);
        spin(f->spinRX, 45);  // an outline drawn at this scale
        expectViews(50);
    }
}

TEST_F(Extremes, AWideVolumeAtTheLargestViewScale) {
    testutil::TempDir dir;
    AppFrame* f = frame();
    // Shown 35000 pixels wide at scale 5: more than a bitmap of the display server may hold.
    loadLayers(dir, 7000, 2, 1);
    if (HasFatalFailure()) return;
    setting(ID_VPSCALE, 5);
    spin(f->spinRZ, 0);
    spin(f->spinYaw, 30);
    f->view3D->Refresh();
    f->sliceView->Refresh();
    testutil::pump();
    expectViews(50);
    // What the slice view shows, read back: its top-left corner is the first voxel, 5 x 5.
    const wxImage seen = shown(f->sliceView);
    ASSERT_GT(seen.GetWidth(), 6);
    ASSERT_GT(seen.GetHeight(), 6);
    const voxel first = myVoxmap->voxels[0];
    EXPECT_EQ(testutil::pixel(seen, 4, 4), voxel(first.r, first.g, first.b, 255));
    EXPECT_EQ(testutil::pixel(seen, 5, 4), testutil::pixel(screenImage, 1, 0));
}

TEST_F(Extremes, ViewsLargerThanTheWindowShowTheirStretchedCorner) {
    testutil::TempDir dir;
    AppFrame* f = frame();
    // Odd sizes, so the 3D image is stretched by no whole factor: 50 to 1505 and 1015.
    loadLayers(dir, 301, 203, 2);
    if (HasFatalFailure()) return;
    setting(ID_VPSCALE, 5);
    const wxSize target(301 * 5, 203 * 5);
    EXPECT_TRUE(showsStretched(f->sliceView, screenImage, target));
    EXPECT_TRUE(showsStretched(f->view3D, viewportImage, target));
    setting(ID_RAYRES, 37);
    EXPECT_TRUE(showsStretched(f->view3D, viewportImage, target));
    setting(ID_VPSCALE, 1);  // 301 x 203: wider than the view, not as tall
    EXPECT_TRUE(showsStretched(f->sliceView, screenImage, wxSize(301, 203)));
    EXPECT_TRUE(showsStretched(f->view3D, viewportImage, wxSize(301, 203)));
}

TEST_F(Extremes, AVolumeTooBigToStretchWholeIsShownAtTheLargestScale) {
    // 5400 x 5400 at scale 5 is 27000 x 27000 pixels: more bytes than one toolkit image
    // may hold. The volume is set up directly (a PNG that size takes long to write).
    const int n = 5400;
    AppFrame* f = testutil::asLoaded(
        n, n, 1, [](int i, int j, int) { return voxel(i & 255, j & 255, 99, 255); });  // 3D image 50 x 50
    setting(ID_VPSCALE, 5);
    spin(f->spinRZ, 0);   // a slice refresh and the outline
    spin(f->spinYaw, 0);  // a 3D refresh
    // Each pixel shown comes from the slice pixel at a fifth of its position (the toolkit's
    // stretch may round that down by one).
    const wxImage seen = shown(f->sliceView);
    ASSERT_GT(seen.GetWidth(), 20);
    ASSERT_GT(seen.GetHeight(), 20);
    int wrong = 0;
    for (int y = 0; y < seen.GetHeight(); ++y)
        for (int x = 0; x < seen.GetWidth(); ++x) {
            bool found = false;
            for (int sy = std::max(0, y / 5 - 1); sy <= y / 5; ++sy)
                for (int sx = std::max(0, x / 5 - 1); sx <= x / 5; ++sx)
                    found = found || testutil::pixel(seen, x, y) == testutil::pixel(screenImage, sx, sy);
            wrong += !found;
        }
    EXPECT_EQ(wrong, 0);
}

// ---- Plane ----

TEST_P(ExtremeShapes, PlaneAtEveryLimitFinishes) {
    const Shape s = GetParam();
    testutil::TempDir dir;
    AppFrame* f = frame();
    loadLayers(dir, s.w, s.h, s.d);
    if (HasFatalFailure()) return;
    for (bool aa : {false, true}) {
        if (aa) {
            testutil::menu(f, ID_AASLICE);
            ASSERT_TRUE(theslicer->aaLookups);
        }
        for (int scale : {0, -1, -1000, 1, 1000}) {
            for (int rotation : {0, 1000, -1000, 90}) {
                SCOPED_TRACE(testing::Message() << "scale " << scale << ", rotation " << rotation << ", aa " << aa);
                for (wxSpinCtrl* c : {f->spinSX, f->spinSY, f->spinSZ}) spin(c, scale);
                for (wxSpinCtrl* c : {f->spinRX, f->spinRY, f->spinRZ}) spin(c, rotation);
                expectViews(50);
                // Scaled to nothing, the plane is its centre: every pixel shows one voxel.
                if (scale == 0) {
                    EXPECT_TRUE(oneColour(screenImage));
                }
            }
        }
        for (int t : {-1000, 1000, 0}) {
            for (wxSpinCtrl* c : {f->spinTX, f->spinTY, f->spinTZ}) spin(c, t);
            expectViews(50);
        }
    }
    // Scaled to nothing without rotation, the plane is its translated centre: a voxel
    // of the last layer (or its neighbour, as the point lies on their boundary), then
    // nothing once moved out of the volume.
    for (wxSpinCtrl* c : {f->spinRX, f->spinRY, f->spinRZ}) spin(c, 0);
    for (wxSpinCtrl* c : {f->spinSX, f->spinSY, f->spinSZ}) spin(c, 0);
    testutil::menu(f, ID_AASLICE);
    ASSERT_FALSE(theslicer->aaLookups);
    spin(f->spinTZ, s.d - 1);
    EXPECT_TRUE(oneColour(screenImage));
    EXPECT_FALSE(allBlack(screenImage));
    spin(f->spinTZ, s.d + 1);
    EXPECT_TRUE(allBlack(screenImage));
    spin(f->spinTZ, 0);
    spin(f->spinTX, 1000);
    EXPECT_TRUE(allBlack(screenImage));
}

// ---- A volume of more than 2^31 voxels ----

TEST(BigVolume, FarCornerOfA2048x2048x520StackIndexesIn64Bits) {
    voxelmap map;  // dimensions and origin only: indexing needs no array
    map.width = 2048;
    map.height = 2048;
    map.depth = 520;
    map.numVoxels = int64_t(2048) * 2048 * 520;
    map.origin = voxelmap::originFor(2048, 2048);
    const int64_t last = map.numVoxels - 1;
    ASSERT_GT(last, int64_t(INT32_MAX));
    // The far corner voxel (2047, 2047, 519) is at world (1023, 1023, 619), and contains
    // every point up to (1024, 1024, 620).
    EXPECT_EQ(map.indexOf(1023, 1023, 619), last);
    EXPECT_EQ(map.indexOf(Vector(1023, 1023, 619)), last);
    EXPECT_EQ(map.indexOf(Vector(1023.999, 1023.999, 619.999)), last);
    EXPECT_EQ(map.indexOf(Vector(-1023.5, 1023.5, 619.5)), last - 2047);    // first voxel of the last row
    EXPECT_EQ(map.indexOf(-1024, -1024, 619), int64_t(519) * 2048 * 2048);  // first voxel of the last layer
    // One step past the far corner, along each axis, is outside.
    EXPECT_EQ(map.indexOf(1024, 1023, 619), -1);
    EXPECT_EQ(map.indexOf(1023, 1024, 619), -1);
    EXPECT_EQ(map.indexOf(1023, 1023, 620), -1);
    EXPECT_EQ(map.indexOf(Vector(1024, 1023, 619)), -1);
    EXPECT_EQ(map.indexOf(Vector(1023, 1023, 620)), -1);
    EXPECT_EQ(map.indexOf(Vector(-1025, -1024, 100)), -1);
    EXPECT_EQ(map.indexOf(Vector(-1024.5, -1024, 100)), 0) << "relative -0.5 truncates to index 0";
    // Past 2^32 as well: 65536 x 65536 x 2.
    map.width = map.height = 65536;
    map.depth = 2;
    map.origin = voxelmap::originFor(65536, 65536);
    EXPECT_EQ(map.indexOf(32767, 32767, 101), (int64_t(1) << 33) - 1);
    EXPECT_EQ(map.indexOf(Vector(32767.5, 32767.5, 101.5)), (int64_t(1) << 33) - 1);
}

TEST(BigVolume, FarLayerOfA2048x2048x520VolumeIsReachedBySliceAndLookups) {
    voxelmap map;
    // 8.7 GB of address space; only the pages written and read are ever touched.
    if (!map.allocate(2048, 2048, 520)) GTEST_SKIP() << "no address space for a 2048 x 2048 x 520 volume here";
    const voxel mark(9, 8, 7, 255);
    map.voxels[map.numVoxels - 1] = mark;
    map.setVoxel(-1024, 1023, 619, voxel(1, 2, 3, 255));  // first voxel of the last row
    EXPECT_EQ(map.getVoxel(1023, 1023, 619), mark);
    EXPECT_EQ(map.getVoxel(Vector(1023.5, 1023.5, 619.5)), mark);
    EXPECT_EQ(map.getVoxel(Vector(-1023.9, 1023.2, 619.0)), voxel(1, 2, 3, 255));
    EXPECT_EQ(map.getVoxel(1023, 1023, 618), voxel());
    // The plane moved to the last layer shows both marks at their pixels.
    slicer s(map.origin, 2048, 2048);
    s.setP(Vector(0, 0, 519));
    wxImage img(2048, 2048);
    s.evaluateSlice(&map, img);
    EXPECT_EQ(testutil::pixel(img, 2047, 2047), mark);
    EXPECT_EQ(testutil::pixel(img, 0, 2047), voxel(1, 2, 3, 255));
    EXPECT_EQ(testutil::pixel(img, 1024, 1024), voxel(0, 0, 0, 255));
}
