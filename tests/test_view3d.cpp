// The 3D view's settings: the maximum-intensity projection from the menu and through
// setBlend, and the preview while the camera moves, replaced by the full march at rest.
#include <wx/menu.h>
#include <wx/spinctrl.h>

#include <chrono>
#include <cmath>
#include <string>

#include "appFrame.h"
#include "camera.h"
#include "plain_kernels.h"
#include "testutil.h"

namespace {

using View3D = testutil::AppTest;

// Graded voxels, every third one transparent: what lies behind shows through.
voxel seeThrough(int i, int j, int k) {
    voxel v = testutil::graded(i, j, k);
    v.a = (i + j + k) % 3 ? 255 : 0;
    return v;
}

// What the plain march of the current camera, in blend b, gives.
wxImage plainPicture(Blend b) {
    camera c = *cam;
    c.blend = b;
    wxImage expected(c.resolution, c.resolution);
    plain::march(c, myVoxmap, expected);
    return expected;
}

TEST_F(View3D, MaximumIntensityProjectionFromTheMenuAndThroughSetBlend) {
    AppFrame* f = testutil::asLoaded(17, 13, 15, seeThrough);
    f->resetOpacity();  // as a load leaves the menu
    testutil::menu(f, ID_MIP);
    EXPECT_TRUE(f->settingsMenu->IsChecked(ID_MIP));
    EXPECT_EQ(cam->blend, Blend::Maximum);
    const wxImage maximum = plainPicture(Blend::Maximum);
    EXPECT_TRUE(testutil::sameRGB(viewportImage, maximum));
    EXPECT_FALSE(testutil::sameRGB(maximum, plainPicture(Blend::Composite)));  // the blends differ here
    // A camera change and a depth of 0 keep the blend; depth does not scale it.
    testutil::spin(f->spinDepth, 0);
    testutil::spin(f->spinYaw, 25);
    EXPECT_TRUE(testutil::sameRGB(viewportImage, plainPicture(Blend::Maximum)));
    f->setBlend(Blend::Composite);
    EXPECT_FALSE(f->settingsMenu->IsChecked(ID_MIP));
    EXPECT_TRUE(testutil::sameRGB(viewportImage, plainPicture(Blend::Composite)));
}

// A burst of camera changes on a view the last frames say is slow: previews from fewer
// rays; once the changes stop (the rest timer, or the drag's end) the full march, byte for
// byte. With the preview off every change is marched in full.
TEST_F(View3D, PreviewWhileMovingThenTheFullMarchAtRest) {
    AppFrame* f = testutil::asLoaded(24, 20, 30, seeThrough);
    f->resetOpacity();
    cam->resolution = 64;
    f->refresh3D();
    const auto waitForRest = [&] {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (f->previewShown && std::chrono::steady_clock::now() < end) testutil::settle(2);
    };
    for (int way = 0; way < 3; ++way) {  // the rest timer, the drag's end, preview off
        if (way == 2) testutil::menu(f, ID_PREVIEW);
        testutil::spin(f->spinYaw, 10 * way + 5);
        f->secondsPerRay = 1e-4;  // a 64 x 64 march would take 0.4 s: 16 x 16 fits in 30 ms
        testutil::spin(f->spinYaw, 10 * way + 7);
        if (way == 2) {
            EXPECT_FALSE(f->previewShown);
            EXPECT_TRUE(testutil::sameRGB(viewportImage, plainPicture(Blend::Composite)));
            continue;
        }
        ASSERT_TRUE(f->previewShown) << way;
        EXPECT_EQ(f->previewDivisor, 4);
        EXPECT_EQ(viewportImage.GetWidth(), 64);
        const wxImage full = plainPicture(Blend::Composite);
        EXPECT_FALSE(testutil::sameRGB(viewportImage, full));  // 4 x 4 blocks of the 16 x 16 picture
        if (way == 1) {
            wxMouseEvent up(wxEVT_RIGHT_UP);
            up.SetEventObject(f->view3D);
            f->view3D->ProcessWindowEvent(up);
            testutil::pump();
        }
        waitForRest();
        EXPECT_FALSE(f->previewShown);
        EXPECT_TRUE(testutil::sameRGB(viewportImage, full)) << way;
    }
    EXPECT_FALSE(f->settingsMenu->IsChecked(ID_PREVIEW));
}

// Real scans loaded as a user loads them: the CT series through the CT presets and the
// NIfTI head (no unit) above its window; both blends as the plain march draws them, each
// picture from the volume the ramp made (some voxels see-through, some not).
TEST_F(View3D, RealScansThroughRampsInBothBlends) {
    struct Case {
        const char* path;
        double lo, hi;  // NaN: above the window
    } const cases[] = {{"samples/scan/ct", 200, 800},
                       {"samples/scan/ct", -600, -300},
                       {"samples/scan/ct", -100, 200},
                       {"samples/nifti/head-128x96x24.nii.gz", NAN, NAN}};
    for (const Case& c : cases) {
        AppFrame* f = testutil::frame();
        {
            testutil::MessageLog notes;  // whatever the load says about the files
            f->loadStack(testutil::toArray({std::string(SLABWRIGHT_SOURCE_DIR) + "/" + c.path}));
        }
        ASSERT_TRUE(volumeReady() && f->originals) << c.path;
        cam->resolution = 64;
        if (std::isnan(c.lo))
            f->setOpacityRamp(f->windowLo, f->windowHi);
        else
            f->setOpacityRamp(c.lo, c.hi);
        ASSERT_TRUE(f->opacityRamp.on) << c.path;
        int64_t clear = 0;
        for (int64_t n = 0; n < myVoxmap->numVoxels; ++n) clear += myVoxmap->voxels.get()[n].a == 0;
        EXPECT_TRUE(clear > 0 && clear < myVoxmap->numVoxels) << c.path << " " << c.lo;
        for (Blend b : {Blend::Maximum, Blend::Composite}) {
            f->setBlend(b);
            EXPECT_TRUE(testutil::sameRGB(viewportImage, plainPicture(b))) << c.path << " " << c.lo << " " << int(b);
        }
    }
}

}  // namespace
