// The camera: its frame, the ray marcher, the box test, the projection and the
// outline of the slicing plane drawn onto a window.
#include <gtest/gtest.h>
#include <wx/bitmap.h>
#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/window.h>

#include <cmath>
#include <limits>
#include <memory>

#include "camera.h"
#include "slicer.h"
#include "testutil.h"
#include "voxelmap.h"

namespace {

using testutil::pixel;

using testutil::expectExact;

// The camera as a load places it: eye (0, 0, -200) looking at the volume's centre.
camera loadedCamera(const voxelmap& map) {
    camera c;
    c.startFor(map.depth);
    return c;
}

const voxel kBlack(0, 0, 0, 255);

// With resolution 2 the ray of pixel (1, 1) runs through the centre of the image
// plane: from the eye straight along dir. A 1 x 1 x n column on the z axis, an eye on
// that axis and step length 1 then sample voxel k of the column exactly at z = 100 + k.
wxImage marchColumn(const std::vector<voxel>& column, double opacity = 1.0) {
    voxelmap map;
    testutil::fillMap(map, 1, 1, static_cast<int>(column.size()), [&](int, int, int k) { return column[k]; });
    camera c = loadedCamera(map);
    c.resolution = 2;
    c.stepLength = 1;
    c.opacity = opacity;
    wxImage img(2, 2, false);
    c.march(&map, img);
    // The other three rays leave the axis at a slant and miss the thin column.
    EXPECT_EQ(pixel(img, 0, 0), kBlack);
    EXPECT_EQ(pixel(img, 1, 0), kBlack);
    EXPECT_EQ(pixel(img, 0, 1), kBlack);
    return img;
}

// A shown top-level window with one black child of the given client size.
class OverlayWindow {
public:
    OverlayWindow(int w, int h) {
        frame_ = new wxFrame(nullptr, wxID_ANY, "overlay", wxPoint(0, 0), wxDefaultSize);  // owned by the toolkit
        view_ = new wxWindow(frame_, wxID_ANY, wxDefaultPosition, wxSize(w, h));
        view_->SetBackgroundColour(*wxBLACK);
        frame_->SetClientSize(w, h);
        frame_->Show();
        frame_->Raise();
        for (int i = 0; i < 5; ++i) testutil::pump();
    }
    ~OverlayWindow() {
        frame_->Destroy();
        testutil::pump();
    }
    OverlayWindow(const OverlayWindow&) = delete;
    OverlayWindow& operator=(const OverlayWindow&) = delete;

    wxWindow* view() const { return view_; }

    // What the window shows now.
    wxImage capture() const {
        const wxSize sz = view_->GetClientSize();
        wxBitmap bmp(sz.x, sz.y, 24);
        {
            wxClientDC src(view_);
            wxMemoryDC dst(bmp);
            dst.Blit(0, 0, sz.x, sz.y, &src, 0, 0);
            dst.SelectObject(wxNullBitmap);
        }
        return bmp.ConvertToImage();
    }

private:
    wxFrame* frame_;
    wxWindow* view_;
};

bool isOutlineGreen(const wxImage& img, int x, int y) {
    return img.GetRed(x, y) == 0 && img.GetGreen(x, y) == 230 && img.GetBlue(x, y) == 0;
}
bool isGreenish(const wxImage& img, int x, int y) {
    return img.GetGreen(x, y) > 100 && img.GetGreen(x, y) > img.GetRed(x, y) + 50 &&
           img.GetGreen(x, y) > img.GetBlue(x, y) + 50;
}
// Whether an outline-green pixel lies within one pixel of (x, y).
bool greenNear(const wxImage& img, int x, int y) {
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
            const int px = x + dx, py = y + dy;
            if (px >= 0 && py >= 0 && px < img.GetWidth() && py < img.GetHeight() && isOutlineGreen(img, px, py))
                return true;
        }
    return false;
}

}  // namespace

TEST(CameraFrame, FreshLoadLooksAlongZWithRowZeroAtMinusY) {
    voxelmap map;
    testutil::fillMap(map, 64, 64, 1, [](int i, int j, int) {
        if (j < 32) return i < 32 ? voxel(255, 0, 0, 255) : voxel(0, 255, 0, 255);
        return i < 32 ? voxel(0, 0, 255, 255) : voxel(255, 255, 0, 255);
    });
    camera c = loadedCamera(map);
    wxImage img(50, 50, false);
    c.march(&map, img);
    expectExact(c.dir, 0, 0, 1);
    expectExact(c.right, 1, 0, 0);
    expectExact(c.up, 0, -1, 0);

    // Pixel (x, y) looks through (2x/50 - 1, 2y/50 - 1, -198), i.e. at z = 100 through
    // (150 (2x/50 - 1), 150 (2y/50 - 1)): pixel 22 is at -18, pixel 28 at +18.
    EXPECT_EQ(pixel(img, 22, 22), voxel(255, 0, 0, 255));    // -x, -y: first image row, left
    EXPECT_EQ(pixel(img, 28, 22), voxel(0, 255, 0, 255));    // +x, -y
    EXPECT_EQ(pixel(img, 22, 28), voxel(0, 0, 255, 255));    // -x, +y
    EXPECT_EQ(pixel(img, 28, 28), voxel(255, 255, 0, 255));  // +x, +y
    // Pixel 19 looks at -36, beyond the volume's -32; pixel 0 at -150.
    EXPECT_EQ(pixel(img, 19, 25), kBlack);
    EXPECT_EQ(pixel(img, 0, 0), kBlack);
}

TEST(CameraFrame, ViewAlongYCollapsesThePictureOntoTheCentralRay) {
    // right = (0, 1, 0) x dir vanishes: every ray goes through the image plane's centre.
    voxelmap map;
    testutil::fillMap(map, 4, 4, 4, [](int i, int j, int k) { return voxel(60 * i, 60 * j, 60 * k, 255); });
    camera c;
    c.eye = Vector(0.5, -100, 101.5);
    c.lookAt = Vector(0.5, 0, 101.5);
    c.resolution = 3;
    wxImage img(3, 3, false);
    c.march(&map, img);
    expectExact(c.right, 0, 0, 0);
    expectExact(c.up, 0, 0, 0);
    // The central ray enters at y = -2: voxel (2, 0, 1).
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(pixel(img, x, y), voxel(120, 0, 60, 255));
}

TEST(CameraMarch, CompositesFrontToBackWithTruncatedProducts) {
    // Voxels (101, 255, 0, 51): the green channel takes the same increments as the
    // accumulated alpha, trunc(255 w), so it shows the alpha the march reached.
    const voxel v(101, 255, 0, 51);
    // w = 0.2: (20, 51).
    EXPECT_EQ(pixel(marchColumn({v}), 1, 1), voxel(20, 51, 0, 255));
    // w = 0.2 (1 - 51/255) = 0.16: (20 + 16, 51 + 40).
    EXPECT_EQ(pixel(marchColumn({v, v}), 1, 1), voxel(36, 91, 0, 255));
    // w = 0.2 (1 - 91/255) = 0.1286...: (36 + 12, 91 + 32).
    EXPECT_EQ(pixel(marchColumn({v, v, v}), 1, 1), voxel(48, 123, 0, 255));
    // Transparent voxels in front add nothing.
    EXPECT_EQ(pixel(marchColumn({voxel(255, 255, 255, 0), v}), 1, 1), voxel(20, 51, 0, 255));
}

TEST(CameraMarch, StopsOnceTheAlphaReaches250) {
    const voxel green(0, 255, 0, 255);
    // An opaque first voxel: w = 1, the pixel is its colour.
    EXPECT_EQ(pixel(marchColumn({voxel(200, 100, 50, 255), green}), 1, 1), voxel(200, 100, 50, 255));
    // Alpha 250 after the first sample: the march ends; trunc(100 * 250/255) = 98.
    EXPECT_EQ(pixel(marchColumn({voxel(100, 0, 0, 250), green}), 1, 1), voxel(98, 0, 0, 255));
    // Alpha 249: one more sample, w = 6/255, adds trunc(255 w) = 6 green.
    EXPECT_EQ(pixel(marchColumn({voxel(100, 0, 0, 249), green}), 1, 1), voxel(97, 6, 0, 255));
}

TEST(CameraMarch, OpacityScalesEverySample) {
    // opacity 0.5 on an opaque voxel: w = 0.5, then alpha 127 leaves room for the next one,
    // whose w = (1 - 127/255) 0.5 = 0.2509...: 255 w = 64.
    EXPECT_EQ(pixel(marchColumn({voxel(200, 100, 51, 255), voxel(0, 255, 0, 255)}, 0.5), 1, 1),
              voxel(100, 50 + 64, 25, 255));

    // Opacity 0: black whatever the volume holds.
    voxelmap map;
    testutil::randomMap(map, 16, 16, 8, 7);
    camera c = loadedCamera(map);
    c.resolution = 20;
    c.zoom = 40;  // the volume fills the picture
    wxImage img(20, 20, false);
    c.march(&map, img);
    int lit = 0;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x) lit += pixel(img, x, y) != kBlack;
    EXPECT_GT(lit, 350);  // the same view with opacity 1 shows the volume
    c.opacity = 0;
    c.march(&map, img);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x) EXPECT_EQ(pixel(img, x, y), kBlack);
}

TEST(CameraMarch, SamplingStartsAtTheEntryPoint) {
    // Eye 300.5 units before the one-voxel column: stepping from the eye would sample
    // z = 99.5 and 100.5, both in voxel 0 (relative -0.5 truncates to 0), and composite it
    // twice, (36, 91); from the entry point z = 100 it is sampled once.
    voxelmap map;
    testutil::fillMap(map, 1, 1, 1, [](int, int, int) { return voxel(101, 255, 0, 51); });
    camera c;
    c.eye = Vector(0, 0, -200.5);
    c.lookAt = Vector(0, 0, 100);
    c.resolution = 2;
    c.stepLength = 1;
    wxImage img(2, 2, false);
    c.march(&map, img);
    EXPECT_EQ(pixel(img, 1, 1), voxel(20, 51, 0, 255));
}

TEST(CameraMarch, EyeInsideTheBoxSamplesFromTheEye) {
    // Layers 0 and 1 (behind the eye) blue, layer 2 red, the rest green.
    voxelmap map;
    testutil::fillMap(map, 3, 3, 10, [](int, int, int k) {
        if (k < 2) return voxel(0, 0, 255, 255);
        return k == 2 ? voxel(200, 0, 0, 255) : voxel(0, 200, 0, 255);
    });
    camera c;
    c.eye = Vector(0, 0, 102.5);
    c.lookAt = Vector(0, 0, 200);
    c.resolution = 2;
    c.stepLength = 1;
    wxImage img(2, 2, false);
    c.march(&map, img);
    EXPECT_EQ(pixel(img, 1, 1), voxel(200, 0, 0, 255));
    // Looking back, the first sample is still the eye's own voxel.
    c.lookAt = Vector(0, 0, 0);
    c.march(&map, img);
    EXPECT_EQ(pixel(img, 1, 1), voxel(200, 0, 0, 255));
}

TEST(CameraMarch, ZeroRaysGiveBlackPixelsAndEnd) {
    voxelmap map;
    testutil::fillMap(map, 4, 4, 4, [](int, int, int) { return voxel(255, 255, 255, 255); });
    camera c;
    c.resolution = 2;
    wxImage img(2, 2, false);

    // Eye exactly at lookAt, inside the box: dir, right and up are zero, so is every ray.
    c.eye = Vector(0, 0, 102);
    c.lookAt = c.eye;
    c.march(&map, img);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) EXPECT_EQ(pixel(img, x, y), kBlack);

    // Zoom 0: the image plane's centre is the eye, so the central ray of an even
    // resolution is zero; the other rays run sideways through the white volume.
    c.lookAt = Vector(0, 0, 200);
    c.zoom = 0;
    c.march(&map, img);
    EXPECT_EQ(pixel(img, 1, 1), kBlack);
    EXPECT_EQ(pixel(img, 0, 0), voxel(255, 255, 255, 255));
    EXPECT_EQ(pixel(img, 1, 0), voxel(255, 255, 255, 255));

    // A step length of 0 never moves the sample point: black as well.
    c.zoom = 2;
    c.stepLength = 0;
    c.march(&map, img);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) EXPECT_EQ(pixel(img, x, y), kBlack);
}

TEST(CameraMarch, WritesOnlyTheSquareThatFitsTheImage) {
    voxelmap map;
    testutil::fillMap(map, 1, 1, 1, [](int, int, int) { return voxel(10, 20, 30, 255); });
    camera c = loadedCamera(map);
    c.resolution = 2;
    c.stepLength = 1;

    wxImage small(2, 1, false);  // row 1, with the hit, does not fit
    c.march(&map, small);
    EXPECT_EQ(pixel(small, 1, 0), kBlack);

    wxImage large(4, 3, false);
    large.SetRGB(wxRect(0, 0, 4, 3), 1, 2, 3);
    c.march(&map, large);
    EXPECT_EQ(pixel(large, 1, 1), voxel(10, 20, 30, 255));
    EXPECT_EQ(pixel(large, 0, 0), kBlack);
    EXPECT_EQ(pixel(large, 2, 0), voxel(1, 2, 3, 255));
    EXPECT_EQ(pixel(large, 3, 2), voxel(1, 2, 3, 255));
    EXPECT_EQ(pixel(large, 0, 2), voxel(1, 2, 3, 255));

    wxImage none;
    c.march(&map, none);
    EXPECT_FALSE(none.IsOk());
    expectExact(c.dir, 0, 0, 1);  // the frame is still computed
}

TEST(CameraMarch, ACleanedOutMapShowsBlack) {
    // clear() drops the array but leaves the dimensions: nothing may be read through them.
    voxelmap map;
    testutil::fillMap(map, 1, 1, 1, [](int, int, int) { return voxel(10, 20, 30, 255); });
    camera c = loadedCamera(map);
    c.resolution = 2;
    c.stepLength = 1;
    map.clear();
    wxImage img(2, 2, false);
    img.SetRGB(wxRect(0, 0, 2, 2), 1, 2, 3);
    c.march(&map, img);
    EXPECT_EQ(pixel(img, 1, 1), kBlack);
}

TEST(CameraRayHitsCube, EntryPointOnTheFaceReachedLast) {
    const Vector boxMin(-2, -2, 100), boxMax(2, 2, 104);
    camera c;
    Vector hit(9, 9, 9);
    // Slanted: the x plane is reached at t = 80, the z plane at t = 100: entry through z.
    c.eye = Vector(-12, 0, 0);
    ASSERT_TRUE(c.rayHitsCube(boxMin, boxMax, Vector(0.125, 0, 1), &hit));
    expectExact(hit, 0.5, 0, 100);
    // Through the x face: x plane at t = 144, z plane at t = 142.
    c.eye = Vector(-20, 0, -42);
    ASSERT_TRUE(c.rayHitsCube(boxMin, boxMax, Vector(0.125, 0, 1), &hit));
    expectExact(hit, -2, 0, 102);
    // Both planes at t = 144: the ray enters through the edge where they meet.
    c.eye = Vector(-20, 0, -44);
    ASSERT_TRUE(c.rayHitsCube(boxMin, boxMax, Vector(0.125, 0, 1), &hit));
    expectExact(hit, -2, 0, 100);
    // From above the far corner, entering through the max faces.
    c.eye = Vector(10, 10, 112);
    ASSERT_TRUE(c.rayHitsCube(boxMin, boxMax, Vector(-1, -1, -1), &hit));
    expectExact(hit, 2, 2, 104);
}

TEST(CameraRayHitsCube, MissesAndInside) {
    const Vector boxMin(-2, -2, 100), boxMax(2, 2, 104);
    camera c;
    Vector hit;
    // The box behind the eye.
    c.eye = Vector(0, 0, 0);
    EXPECT_FALSE(c.rayHitsCube(boxMin, boxMax, Vector(0, 0, -1), &hit));
    // Passing beside the box: at the z plane x = 50.
    EXPECT_FALSE(c.rayHitsCube(boxMin, boxMax, Vector(0.5, 0, 1), &hit));
    // Parallel to the x faces, outside their slab: misses.
    c.eye = Vector(5, 0, 0);
    EXPECT_FALSE(c.rayHitsCube(boxMin, boxMax, Vector(0, 0, 1), &hit));
    // Parallel, inside the slab: enters through z.
    c.eye = Vector(1, 0, 0);
    ASSERT_TRUE(c.rayHitsCube(boxMin, boxMax, Vector(0, 0, 1), &hit));
    expectExact(hit, 1, 0, 100);
    // The eye inside (faces included): the hit is the eye, whatever the direction.
    c.eye = Vector(-2, 1.5, 103);
    ASSERT_TRUE(c.rayHitsCube(boxMin, boxMax, Vector(0, 0, 0), &hit));
    expectExact(hit, -2, 1.5, 103);
}

TEST(CameraVectorLerp, BlendsFromAToB) {
    const Vector a(1, 2, 4), b(3, -2, 8);
    expectExact(vectorLerp(a, b, 0), 1, 2, 4);
    expectExact(vectorLerp(a, b, 1), 3, -2, 8);
    expectExact(vectorLerp(a, b, 0.25), 1.5, 1, 5);
    expectExact(vectorLerp(a, b, 2), 5, -6, 12);  // not clamped
}

TEST(CameraProject, CornersOfAFreshLoad) {
    // A 64 x 48 volume: P00 = (-32, -24, 100) at depth 300, sx = 2 (-32) / 300, sy = 2 (-24) / 300.
    voxelmap map;
    testutil::fillMap(map, 64, 48, 1, [](int, int, int) { return voxel(); });
    camera c = loadedCamera(map);
    wxImage img(c.resolution, c.resolution, false);
    c.march(&map, img);
    const slicer s(map.origin, map.width, map.height);
    int x = -1, y = -1;
    // trunc(128 (0.5 - 32/300)) = trunc(50.35), trunc(96 (0.5 - 24/300)) = trunc(40.32).
    c.project(s.patch->getP00(), &x, &y, 128, 96);
    EXPECT_EQ(x, 50);
    EXPECT_EQ(y, 40);
    // P11: trunc(128 * 0.6067) = 77, trunc(96 * 0.58) = 55.
    c.project(s.patch->getP11(), &x, &y, 128, 96);
    EXPECT_EQ(x, 77);
    EXPECT_EQ(y, 55);
}

TEST(CameraProject, AxisZoomAndMirroring) {
    camera c;
    c.eye = Vector(0, 0, -200);
    c.lookAt = Vector(0, 0, 100);
    voxelmap map;
    testutil::fillMap(map, 2, 2, 1, [](int, int, int) { return voxel(); });
    wxImage img(c.resolution, c.resolution, false);
    c.march(&map, img);
    int x = -1, y = -1;

    // On the axis: the centre, whatever the zoom (odd sizes truncate).
    for (double zoom : {2.0, 7.0, 0.5}) {
        c.zoom = zoom;
        c.project(Vector(0, 0, 150), &x, &y, 101, 77);
        EXPECT_EQ(x, 50);
        EXPECT_EQ(y, 38);
    }

    // (75, -37.5) at depth 300: zoom 1 gives (125, 87.5), 25 and 12.5 from the centre;
    // zoom 2 doubles that to 50 and 25.
    c.zoom = 1;
    c.project(Vector(75, -37.5, 100), &x, &y, 200, 200);
    EXPECT_EQ(x, 125);
    EXPECT_EQ(y, 87);
    c.zoom = 2;
    c.project(Vector(75, -37.5, 100), &x, &y, 200, 200);
    EXPECT_EQ(x, 150);
    EXPECT_EQ(y, 75);
    // The same offset 300 behind the eye projects through the centre to the other side.
    c.project(Vector(75, -37.5, -500), &x, &y, 200, 200);
    EXPECT_EQ(x, 50);
    EXPECT_EQ(y, 125);
}

TEST(CameraProject, PointsWithoutAProjectionAndHugeValuesStaySafe) {
    camera c;  // looking along +z from (0, 0, 0)
    int x = -1, y = -1;
    // Depth 0: the view's centre.
    c.project(Vector(40, 10, 0), &x, &y, 101, 77);
    EXPECT_EQ(x, 50);
    EXPECT_EQ(y, 38);
    c.project(Vector(0, 0, 0), &x, &y, 101, 77);
    EXPECT_EQ(x, 50);
    EXPECT_EQ(y, 38);
    // Undefined depth (NaN, or an infinite coordinate times a zero axis): the centre too.
    c.project(Vector(std::numeric_limits<double>::quiet_NaN(), 0, 5), &x, &y, 101, 77);
    EXPECT_EQ(x, 50);
    EXPECT_EQ(y, 38);
    c.project(Vector(std::numeric_limits<double>::infinity(), 0, 5), &x, &y, 101, 77);
    EXPECT_EQ(x, 50);
    EXPECT_EQ(y, 38);
    // Just in front of the eye, far off the axis: clamped to +-1000000.
    c.project(Vector(1e6, -1e6, 1e-9), &x, &y, 200, 200);
    EXPECT_EQ(x, 1000000);
    EXPECT_EQ(y, -1000000);
    // Just behind: mirrored, then clamped.
    c.project(Vector(1e6, -1e6, -1e-9), &x, &y, 200, 200);
    EXPECT_EQ(x, -1000000);
    EXPECT_EQ(y, 1000000);
    // Within the range nothing is clamped: 200 (0.5 * 2 * 4000 / 1 + 0.5) = 800100.
    c.project(Vector(4000, 0, 1), &x, &y, 200, 200);
    EXPECT_EQ(x, 800100);
    EXPECT_EQ(y, 100);
}

TEST(CameraOverlay, OutlineIsDrawnAlongTheProjectedCorners) {
    const int w = 190, h = 170;
    OverlayWindow win(w, h);
    ASSERT_EQ(win.view()->GetClientSize(), wxSize(w, h));

    // A 128 x 96 plane at rest, seen from the load position: the corners project to
    // x = trunc(190 (0.5 -+ 64/300)) = 54 and 135, y = trunc(170 (0.5 -+ 48/300)) = 57 and 112.
    voxelmap map;
    testutil::fillMap(map, 128, 96, 1, [](int, int, int) { return voxel(); });
    camera c = loadedCamera(map);
    wxImage img(c.resolution, c.resolution, false);
    c.march(&map, img);
    slicer s(map.origin, map.width, map.height);
    const int x0 = 54, x1 = 135, y0 = 57, y1 = 112;

    const wxImage before = win.capture();
    c.drawslicer3d(&s, win.view(), w, h);
    const wxImage after = win.capture();

    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) ASSERT_FALSE(isGreenish(before, x, y)) << x << "," << y;

    // Along every edge, away from the corner circles, the outline's green.
    for (int x = x0 + 4; x <= x1 - 4; ++x) {
        EXPECT_TRUE(greenNear(after, x, y0)) << x;
        EXPECT_TRUE(greenNear(after, x, y1)) << x;
    }
    for (int y = y0 + 4; y <= y1 - 4; ++y) {
        EXPECT_TRUE(greenNear(after, x0, y)) << y;
        EXPECT_TRUE(greenNear(after, x1, y)) << y;
    }
    // Nowhere else: no green more than 3 pixels from the rectangle's edges.
    auto nearEdge = [&](int x, int y) {
        const bool inX = x >= x0 - 3 && x <= x1 + 3, inY = y >= y0 - 3 && y <= y1 + 3;
        return (inX && (std::abs(y - y0) <= 3 || std::abs(y - y1) <= 3)) ||
               (inY && (std::abs(x - x0) <= 3 || std::abs(x - x1) <= 3));
    };
    int elsewhere = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (!nearEdge(x, y) && isGreenish(after, x, y)) ++elsewhere;
    EXPECT_EQ(elsewhere, 0);
}

TEST(CameraOverlay, ACornerAtDepthZeroDrawsNoOutline) {
    const int w = 190, h = 170;
    OverlayWindow win(w, h);
    voxelmap map;
    testutil::fillMap(map, 64, 48, 1, [](int, int, int) { return voxel(); });
    slicer s(map.origin, map.width, map.height);
    camera c;
    c.lookAt = Vector(100, 0, 100);  // looking along +x, at the plane edge-on
    wxImage img(c.resolution, c.resolution, false);

    auto greenPixels = [&](const wxImage& im) {
        int n = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) n += isGreenish(im, x, y);
        return n;
    };

    // Eye 8 units before the plane's near edge: the outline collapses onto column
    // trunc(190 / 2) = 95 and crosses the whole window.
    c.eye = Vector(-40, 0, 100);
    c.march(&map, img);
    c.drawslicer3d(&s, win.view(), w, h);
    const wxImage drawn = win.capture();
    EXPECT_TRUE(greenNear(drawn, 95, 10));
    EXPECT_TRUE(greenNear(drawn, 95, 160));

    // Repaint, then put the eye level with the corners P00 and P01 (depth 0): nothing drawn.
    win.view()->Refresh();
    win.view()->Update();
    testutil::pump();
    const wxImage before = win.capture();
    ASSERT_EQ(greenPixels(before), 0);
    c.eye = Vector(-32, 0, 100);
    c.march(&map, img);
    c.drawslicer3d(&s, win.view(), w, h);
    EXPECT_EQ(greenPixels(win.capture()), 0);
}

// The start pose and the orbit, as a load and the camera controls place the eye.
TEST(CameraPose, StartForAVolumeAndOrbitAboutItsCentre) {
    camera c;
    c.startFor(5);  // depth / 2 truncates: the target is layer 2, z 102
    expectExact(c.eye, 0, 0, -200);
    expectExact(c.home, 0, 0, -200);
    expectExact(c.lookAt, 0, 0, 102);
    struct Case {
        int yaw, pitch, truck;
        double x, y, z;  // expected eye
    } cases[] = {
        {0, 0, 0, 0, 0, -200},      // at rest
        {0, 0, 50, 0, 0, -150},     // truck along the rest line of sight
        {90, 0, 0, 302, 0, 102},    // a quarter turn about y swings the eye to +x
        {0, 90, 0, 0, -302, 102},   // a quarter turn about x swings it to -y
        {360, 0, 0, 0, 0, -200},    // a whole turn brings it back
    };
    for (const Case& k : cases) {
        c.orbit(k.yaw, k.pitch, k.truck);
        SCOPED_TRACE(testing::Message() << "yaw " << k.yaw << " pitch " << k.pitch << " truck " << k.truck);
        testutil::expectNear(c.eye, k.x, k.y, k.z, 1e-3);
        // Only the eye moves: the target and the rest position stay.
        expectExact(c.lookAt, 0, 0, 102);
        expectExact(c.home, 0, 0, -200);
    }
}
