// The main window's slicer and camera spin controls and the Settings menu, driven
// with the events the toolkit sends.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/numdlg.h>
#include <wx/spinctrl.h>
#include <wx/testing.h>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "appFrame.h"
#include "camera.h"
#include "slicer.h"
#include "testutil.h"
#include "voxelmap.h"

// The tests below start and end with the program as it starts: a fresh window, no volume.
using CameraControls = testutil::AppTest;
using SlicerControls = testutil::AppTest;
using Settings = testutil::AppTest;

namespace {

using testutil::directSlice;
using testutil::gradedVolume;
using testutil::menu;
using testutil::NumberAnswer;
using testutil::sameRGB;
using testutil::spin;

// What the camera, as it is now, marches into a fresh image.
wxImage directMarch() {
    camera c = *cam;
    wxImage img(c.resolution, c.resolution);
    c.march(myVoxmap, img);
    return img;
}

// An image no computation produces, to see whether a handler recomputed it.
wxImage marker(int w, int h) {
    return testutil::makeImage(w, h, [](int x, int y) { return voxel(1, 2 + x % 7, 3 + y % 5, 255); }, false);
}

void expectAt(const Vector& want, const Vector& got, double tol) {
    EXPECT_NEAR(want.x(), got.x(), tol);
    EXPECT_NEAR(want.y(), got.y(), tol);
    EXPECT_NEAR(want.z(), got.z(), tol);
}

void expectSame(const slicer& want, const slicer& got) {
    const Vector w[4] = {want.patch->P00, want.patch->P01, want.patch->P10, want.patch->P11};
    const Vector g[4] = {got.patch->P00, got.patch->P01, got.patch->P10, got.patch->P11};
    for (int c = 0; c < 4; ++c) expectAt(w[c], g[c], 0);
}

// The three number prompts of the Settings menu.
using Prompt = testutil::NumberPrompt;
const Prompt kResolution{"Ray Marcher Resolution ", "r: ", "Resolution", 50, 1, 1000};
const Prompt kStep{"Ray Step Length (x10)", "l: ", "Step Length", 20, 1, 100};
const Prompt kScale{"Scale viewport image by: ", "s: ", "Scale", 2, 1, 5};

}  // namespace

// ---- Camera controls ----

TEST_F(CameraControls, YawAndPitchSwingTheEyeAboutTheTarget) {
    AppFrame* f = gradedVolume(16, 8, 24);
    const Vector target(0, 0, 112);  // depth 24: lookAt z = 24 / 2 + 100
    const double d = 312;            // rest distance from the eye to the target
    const double tol = 1e-3;         // single-precision sines and cosines

    spin(f->spinYaw, 90);
    expectAt(target + Vector(d, 0, 0), cam->eye, tol);
    EXPECT_TRUE(sameRGB(directMarch(), viewportImage));

    spin(f->spinYaw, 0);
    spin(f->spinPitch, 90);
    expectAt(target + Vector(0, -d, 0), cam->eye, tol);
    EXPECT_TRUE(sameRGB(directMarch(), viewportImage));

    spin(f->spinYaw, 90);  // the pitch acts first: the yaw then turns about the eye's own line
    expectAt(target + Vector(0, -d, 0), cam->eye, tol);

    spin(f->spinPitch, 0);
    spin(f->spinYaw, 360);
    expectAt(cam->home, cam->eye, tol);

    // The controls are absolute: back at 0 the eye is exactly at rest again.
    spin(f->spinYaw, 0);
    expectAt(Vector(0, 0, -200), cam->eye, 0);
    EXPECT_TRUE(sameRGB(directMarch(), viewportImage));
}

TEST_F(CameraControls, TruckZoomAndDepthReadTheWholeGroup) {
    AppFrame* f = gradedVolume(16, 8, 24);
    spin(f->spinTruck, 50);
    expectAt(Vector(0, 0, -150), cam->eye, 0);
    spin(f->spinTruck, 400);  // further than the target: the eye ends up behind it
    expectAt(Vector(0, 0, 200), cam->eye, 0);

    spin(f->spinZoom, 150);
    EXPECT_EQ(150 * 0.01, cam->zoom);
    EXPECT_DOUBLE_EQ(1.5, cam->zoom);
    EXPECT_EQ(1.0, cam->opacity);
    expectAt(Vector(0, 0, 200), cam->eye, 0);  // truck still applied

    spin(f->spinTruck, 0);
    spin(f->spinDepth, 0);
    EXPECT_EQ(0.0, cam->opacity);
    EXPECT_DOUBLE_EQ(1.5, cam->zoom);
    const wxImage black(cam->resolution, cam->resolution);
    EXPECT_TRUE(sameRGB(black, viewportImage));  // nothing is opaque any more

    // Any camera control re-applies all five values, whatever the camera held.
    cam->zoom = 7;
    cam->opacity = 0.25;
    spin(f->spinDepth, 40);
    EXPECT_DOUBLE_EQ(1.5, cam->zoom);
    EXPECT_EQ(40 * 0.01, cam->opacity);
    EXPECT_TRUE(sameRGB(directMarch(), viewportImage));
}

TEST_F(CameraControls, RemarchAtTheCameraResolution) {
    AppFrame* f = gradedVolume(16, 8, 24);
    cam->resolution = 30;
    viewportImage = marker(200, 200);  // as a filter leaves it
    spin(f->spinYaw, 20);
    EXPECT_EQ(wxSize(30, 30), viewportImage.GetSize());
    EXPECT_TRUE(sameRGB(directMarch(), viewportImage));
}

// Changes that arrive before the views are refreshed are drawn once, with the latest
// values; a change during a march stops it for the newer one; a cancelled march
// keeps the picture, the camera and the controls that made them.
TEST_F(CameraControls, ChangesMergeAndALongMarchCanBeStopped) {
    AppFrame* f = gradedVolume(16, 8, 24);
    int marches = 0;  // marches that ran to their last row
    std::function<bool(int, int)> onRow = [](int, int) { return true; };
    f->marchProgressHook = [&](int done, int total) {
        if (done == total) ++marches;
        return onRow(done, total);
    };
    auto changeOnly = [](wxSpinCtrl* c, int v) {  // the event, without letting its refresh run yet
        c->SetValue(v);
        wxSpinEvent ev(wxEVT_SPINCTRL, c->GetId());
        ev.SetEventObject(c);
        c->ProcessWindowEvent(ev);
    };
    auto eyeFor = [&](int yaw) {
        spin(f->spinYaw, yaw);
        return cam->eye;
    };
    const Vector eye30 = eyeFor(30), eye40 = eyeFor(40), eye10 = eyeFor(10);
    const wxImage picture10 = viewportImage;

    marches = 0;
    for (int yaw : {20, 25, 30}) changeOnly(f->spinYaw, yaw);
    for (int tx : {1, 2, 3}) changeOnly(f->spinTX, tx);
    wxTheApp->ProcessPendingEvents();
    EXPECT_EQ(1, marches);
    expectAt(eye30, cam->eye, 0);
    EXPECT_TRUE(sameRGB(directMarch(), viewportImage));
    EXPECT_TRUE(sameRGB(directSlice(Vector(3, 0, 0), 0, 0, 0, 100, 100, 100), screenImage));

    // Yaw 40 arrives while the march for 35 runs: that one stops, 40 is drawn.
    marches = 0;
    bool changed = false;  // once only (replacing onRow from inside itself would free the running lambda)
    onRow = [&](int, int) {
        if (!changed) {
            changed = true;
            changeOnly(f->spinYaw, 40);
        }
        return true;
    };
    spin(f->spinYaw, 35);
    EXPECT_EQ(1, marches);
    expectAt(eye40, cam->eye, 0);
    EXPECT_TRUE(sameRGB(directMarch(), viewportImage));

    spin(f->spinYaw, 10);
    onRow = [](int, int) { return false; };  // Cancel
    for (auto [control, value] : {std::pair{f->spinYaw, 70}, {f->spinZoom, 150}}) {
        spin(control, value);
        expectAt(eye10, cam->eye, 0);
        EXPECT_EQ(2.0, cam->zoom);
        EXPECT_EQ(10, f->spinYaw->GetValue());
        EXPECT_EQ(200, f->spinZoom->GetValue());
        EXPECT_TRUE(sameRGB(picture10, viewportImage));
    }
    wxTEST_DIALOG(menu(f, ID_RAYRES), NumberAnswer(kResolution, 90));
    EXPECT_EQ(50, cam->resolution);
    EXPECT_TRUE(sameRGB(picture10, viewportImage));
    f->marchProgressHook = nullptr;
}

TEST_F(CameraControls, IgnoredBeforeAnyLoad) {
    AppFrame* f = testutil::frame();
    spin(f->spinYaw, 90);
    spin(f->spinZoom, 150);
    spin(f->spinTX, 10);
    EXPECT_EQ(nullptr, cam);
    EXPECT_EQ(nullptr, theslicer);
    // A camera and plane left over without a loaded volume are not touched either.
    cam = std::make_unique<camera>();
    theslicer = std::make_unique<slicer>(Vector(0, 0, 100), 4, 4);
    spin(f->spinYaw, 45);
    spin(f->spinTZ, 5);
    expectAt(Vector(0, 0, 0), cam->eye, 0);
    EXPECT_EQ(2.0, cam->zoom);
    EXPECT_EQ(100, theslicer->patch->P00.z());
}

// ---- Slicer controls ----

TEST_F(SlicerControls, TranslationRunsAgainstTY) {
    AppFrame* f = gradedVolume(16, 8, 24);
    spin(f->spinTY, 10);
    // Plane 16 x 8 at rest about (0, 0, 100), moved by (0, -10, 0).
    expectAt(Vector(-8, -14, 100), theslicer->patch->P00, 0);
    expectAt(Vector(-8, -6, 100), theslicer->patch->P01, 0);
    expectAt(Vector(8, -14, 100), theslicer->patch->P10, 0);
    expectAt(Vector(8, -6, 100), theslicer->patch->P11, 0);
    EXPECT_TRUE(sameRGB(directSlice(Vector(0, -10, 0), 0, 0, 0, 100, 100, 100), screenImage));

    spin(f->spinTX, 3);
    spin(f->spinTZ, 6);
    expectAt(Vector(-5, -14, 106), theslicer->patch->P00, 0);
    EXPECT_TRUE(sameRGB(directSlice(Vector(3, -10, 6), 0, 0, 0, 100, 100, 100), screenImage));
}

TEST_F(SlicerControls, EveryChangeReappliesTheWholePose) {
    AppFrame* f = gradedVolume(16, 8, 24);
    spin(f->spinSX, 50);
    spin(f->spinTZ, 6);  // a new translation alone would drop the scale
    spin(f->spinRX, 30);
    slicer want(myVoxmap->origin, 16, 8);
    want.setP(Vector(0, 0, 6));
    want.setR(30, 0, 0);
    want.setS(50, 100, 100);
    expectSame(want, *theslicer);
    EXPECT_TRUE(sameRGB(directSlice(Vector(0, 0, 6), 30, 0, 0, 50, 100, 100), screenImage));

    // The plane is re-posed from the controls whatever was done to it in between.
    theslicer->setP(Vector(40, 40, 40));
    spin(f->spinSZ, 100);
    expectSame(want, *theslicer);
}

TEST_F(SlicerControls, ThreeDImageIsNotRemarched) {
    AppFrame* f = gradedVolume(16, 8, 24);
    viewportImage = marker(50, 50);
    spin(f->spinRZ, 15);
    EXPECT_TRUE(sameRGB(marker(50, 50), viewportImage));
}

// ---- Settings menu ----

TEST_F(Settings, RayMarcherResolution) {
    AppFrame* f = gradedVolume(16, 8, 24);
    viewportImage = marker(50, 50);
    wxTEST_DIALOG(menu(f, ID_RAYRES), NumberAnswer::Cancel(kResolution));
    EXPECT_EQ(50, cam->resolution);
    EXPECT_TRUE(sameRGB(marker(50, 50), viewportImage));

    wxTEST_DIALOG(menu(f, ID_RAYRES), NumberAnswer(kResolution, 100));
    EXPECT_EQ(100, cam->resolution);
    EXPECT_EQ(wxSize(100, 100), viewportImage.GetSize());
    EXPECT_TRUE(sameRGB(directMarch(), viewportImage));

    // The dialog offers the current resolution, and a camera change keeps the new one.
    Prompt offered = kResolution;
    offered.value = 100;
    wxTEST_DIALOG(menu(f, ID_RAYRES), NumberAnswer(offered, 7));
    spin(f->spinYaw, 10);
    EXPECT_EQ(wxSize(7, 7), viewportImage.GetSize());
}

TEST_F(Settings, RayStepLength) {
    AppFrame* f = gradedVolume(16, 8, 24);
    wxTEST_DIALOG(menu(f, ID_RAYSTEP), NumberAnswer::Cancel(kStep));
    EXPECT_EQ(2.0, cam->stepLength);

    viewportImage = marker(200, 200);  // as a filter leaves it
    wxTEST_DIALOG(menu(f, ID_RAYSTEP), NumberAnswer(kStep, 5));
    EXPECT_EQ(5 * 0.1, cam->stepLength);
    EXPECT_EQ(wxSize(50, 50), viewportImage.GetSize());
    EXPECT_TRUE(sameRGB(directMarch(), viewportImage));
}

TEST_F(Settings, ViewportScaleRepaintsWithoutRecomputing) {
    AppFrame* f = gradedVolume(16, 8, 24);
    wxTEST_DIALOG(menu(f, ID_VPSCALE), NumberAnswer::Cancel(kScale));
    EXPECT_EQ(2, f->vpScale);

    viewportImage = marker(50, 50);
    screenImage = marker(16, 8);
    wxTEST_DIALOG(menu(f, ID_VPSCALE), NumberAnswer(kScale, 3));
    EXPECT_EQ(3, f->vpScale);
    EXPECT_TRUE(sameRGB(marker(50, 50), viewportImage));
    EXPECT_TRUE(sameRGB(marker(16, 8), screenImage));
}

TEST_F(Settings, ViewportScaleBeforeAnyLoadIsKept) {
    AppFrame* f = testutil::frame();
    wxTEST_DIALOG(menu(f, ID_VPSCALE), NumberAnswer(kScale, 4));
    EXPECT_EQ(4, f->vpScale);
    testutil::pump();  // the repaint that follows must cope with the empty volume
    EXPECT_EQ(4, f->vpScale);
}

TEST_F(Settings, AALookupsToggle) {
    AppFrame* f = gradedVolume(16, 8, 24);
    spin(f->spinRZ, 30);  // off the voxel grid, so the two lookups differ
    const wxImage nearest = screenImage.Copy();

    menu(f, ID_AASLICE);
    EXPECT_TRUE(theslicer->aaLookups);
    const wxImage blended = directSlice(Vector(0, 0, 0), 0, 0, 30, 100, 100, 100, true);
    EXPECT_TRUE(sameRGB(blended, screenImage));
    EXPECT_FALSE(sameRGB(nearest, blended));

    menu(f, ID_AASLICE);
    EXPECT_FALSE(theslicer->aaLookups);
    EXPECT_TRUE(sameRGB(nearest, screenImage));
}

TEST_F(Settings, VolumeSettingsDoNothingBeforeAnyLoad) {
    AppFrame* f = testutil::frame();
    // No prompt may come up (the test harness fails on any dialog) and nothing may break.
    menu(f, ID_RAYRES);
    menu(f, ID_RAYSTEP);
    menu(f, ID_AASLICE);
    EXPECT_EQ(nullptr, cam);
    EXPECT_EQ(nullptr, theslicer);
}
