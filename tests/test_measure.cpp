// Measuring over the slice view: the standard planes, the orientation letters, the ruler
// and the scale bar, driven as the user drives them.
#include <gtest/gtest.h>
#include <wx/menu.h>
#include <wx/spinctrl.h>
#include <wx/statusbr.h>

#include <cmath>

#include "appFrame.h"
#include "orientation.h"
#include "slicer.h"
#include "stackwrite.h"
#include "testutil.h"
#include "voxelmap.h"

using testutil::AppTest;

namespace {

using Measuring = AppTest;

wxString status(int field) { return testutil::frame()->GetStatusBar()->GetStatusText(field); }

// A 32 x 32 x 16 grey volume of 0.5 x 0.5 x 2 mm voxels (a plane at rest spans 32 x 32).
AppFrame* measuredVolume() {
    AppFrame* f = testutil::asLoaded(32, 32, 16, [](int, int, int) { return voxel(90, 90, 90, 255); });
    f->setVoxelSize(Vector(0.5, 0.5, 2), wxString::FromUTF8("mm"));
    f->updateMeasureMenus();
    return f;
}

// Gives the global volume these axes (columns x, y, z in LPS).
void giveAxes(AppFrame* f, Vector x, Vector y, Vector z) {
    const Vector c[3] = {x.normal(), y.normal(), z.normal()};
    for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 3; ++k) myVoxmap->axes[r][k] = c[k][r];
    myVoxmap->hasAxes = true;
    f->updateMeasureMenus();
}

// right x down of the plane in patient coordinates: the way the slice is seen.
Vector patientNormal() {
    const Vector right = orientation::toPatient(myVoxmap->axes, theslicer->patch->getP10() - theslicer->patch->getP00());
    const Vector down = orientation::toPatient(myVoxmap->axes, theslicer->patch->getP01() - theslicer->patch->getP00());
    return right.cross(down).normal();
}

// The ruler's ink (yellow) in the rectangle of a shown picture.
int inkIn(const wxImage& img, wxRect r) {
    r.Intersect(wxRect(0, 0, img.GetWidth(), img.GetHeight()));
    int n = 0;
    for (int y = r.y; y < r.GetBottom(); ++y)
        for (int x = r.x; x < r.GetRight(); ++x)
            n += img.GetRed(x, y) > 200 && img.GetGreen(x, y) > 180 && img.GetBlue(x, y) < 60;
    return n;
}

void mouse(AppFrame* f, wxEventType type, int x, int y, bool ctrl) {
    wxMouseEvent ev(type);
    ev.m_x = x, ev.m_y = y;
    ev.m_leftDown = type != wxEVT_LEFT_UP;
    ev.m_controlDown = ctrl;
    ev.SetEventObject(f->sliceView);
    f->sliceView->GetEventHandler()->ProcessEvent(ev);
}

// A key as the frame's hook sees it first; true when the frame took it.
bool key(AppFrame* f, int code) {
    wxKeyEvent ev(wxEVT_CHAR_HOOK);
    ev.m_keyCode = code;
    ev.SetEventObject(f);
    f->ProcessWindowEvent(ev);
    return !ev.GetSkipped();
}

}  // namespace

// The three patient planes face the axis they name on an axial, a sagittal and an oblique
// acquisition; the volume planes need no axes; without axes the patient planes are off.
TEST_F(Measuring, StandardPlanesFaceTheAxisTheyName) {
    AppFrame* f = measuredVolume();
    for (int id : {ID_AXIAL, ID_CORONAL, ID_SAGITTAL}) EXPECT_FALSE(f->viewMenu->IsEnabled(id));
    for (int id : {ID_PLANEXY, ID_PLANEXZ, ID_PLANEYZ}) EXPECT_TRUE(f->viewMenu->IsEnabled(id));
    testutil::spin(f->spinTZ, 5);
    testutil::spin(f->spinSX, 150);
    f->setStandardPlane(0);  // refused: no axes
    EXPECT_EQ(f->spinRX->GetValue(), 0);
    const struct {
        int plane;
        Vector normal;  // in the volume's own axes
    } volumePlanes[] = {{3, {0, 0, 1}}, {4, {0, -1, 0}}, {5, {1, 0, 0}}, {3, {0, 0, 1}}};
    for (const auto& p : volumePlanes) {
        f->setStandardPlane(p.plane);
        EXPECT_NEAR(patientNormal().dot(p.normal), 1, 1e-4) << p.plane;
        EXPECT_EQ(f->spinTZ->GetValue(), 5);  // translation and scale stay
        EXPECT_EQ(f->spinSX->GetValue(), 150);
    }
    testutil::spin(f->spinSX, 100);

    const Vector ox = Vector(0.9, 0.3, 0.1).normal();
    const Vector oy = (Vector(-0.2, 0.8, 0.4) - ox * Vector(-0.2, 0.8, 0.4).dot(ox)).normal();
    const struct {
        Vector x, y, z;
    } acquisitions[] = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
                        {{0, 1, 0}, {0, 0, -1}, {-1, 0, 0}},
                        {ox, oy, ox.cross(oy)},
                        {{1, 0, 0}, {0, -1, 0}, {0, 0, 1}}};  // left-handed: a NIfTI stored LAS
    // right x down, the way the slice is seen: from the feet (S), the front (P), the left (R).
    const Vector named[3] = {{0, 0, 1}, {0, 1, 0}, {-1, 0, 0}};
    for (const auto& a : acquisitions) {
        giveAxes(f, a.x, a.y, a.z);
        for (int plane = 0; plane < 3; ++plane) {
            EXPECT_TRUE(f->viewMenu->IsEnabled(ID_AXIAL + plane));
            f->setStandardPlane(plane);
            EXPECT_GT(patientNormal().dot(named[plane]), std::cos(M_PI / 180)) << plane << " on " << a.x;
        }
    }
    // The letters an axial slice shows: R on the left edge, L on the right.
    giveAxes(f, {1, 0, 0}, {0, 1, 0}, {0, 0, 1});
    f->setStandardPlane(0);
    const wxImage shown = testutil::shown(f->sliceView);
    EXPECT_GT(inkIn(shown, wxRect(0, 24, 16, 16)), 0) << "a letter at the left edge";
    EXPECT_GT(inkIn(shown, wxRect(24, 44, 16, 20)), 0) << "a letter at the bottom edge";
    myVoxmap->hasAxes = false;
    f->redrawViews();
    EXPECT_EQ(inkIn(testutil::shown(f->sliceView), wxRect(0, 0, 64, 64)), 0) << "no letters without axes";
}

// Keys 1 to 3 choose a patient plane from the views; typed into a control they are the
// control's.
TEST_F(Measuring, KeysChooseThePlaneUnlessTyping) {
    AppFrame* f = measuredVolume();
    giveAxes(f, {1, 0, 0}, {0, 1, 0}, {0, 0, 1});
    f->sliceView->SetFocus();
    testutil::pump();
    if (wxWindow::FindFocus() != f->sliceView) GTEST_SKIP() << "the display gives no focus";
    EXPECT_TRUE(key(f, '3'));
    EXPECT_NEAR(patientNormal().dot(Vector(-1, 0, 0)), 1, 1e-4);
    f->spinTX->SetFocus();
    testutil::pump();
    EXPECT_FALSE(key(f, '1')) << "a digit typed into a spin control stays there";
    EXPECT_NEAR(patientNormal().dot(Vector(-1, 0, 0)), 1, 1e-4);
}

// Lengths in mm measured in the volume's space: non-cubic voxels, a tilted plane and a
// scaled plane, against the voxel steps times the voxel size.
TEST_F(Measuring, RulerLengthsInTheVolumesSpace) {
    const struct {
        const char* what;
        int rx, ry, sx;
        double di, dj, dk;  // the voxel steps between the ends, by hand
    } cases[] = {
        // From view (10, 10) to (50, 40) at scale 2: slice pixels (5, 5) to (25, 20).
        {"at rest", 0, 0, 100, 20, 15, 0},
        {"XZ plane", -90, 0, 100, 20, 0, 15 / 4.0},  // slice rows along z: 4 world units a layer
        {"tilted", 0, 30, 100, 20 * std::cos(M_PI / 6), 15, 20 * std::sin(M_PI / 6) / 4},
        {"scaled", 0, 0, 200, 40, 15, 0},
    };
    AppFrame* f = measuredVolume();
    for (const auto& c : cases) {
        testutil::spin(f->spinRX, c.rx);
        testutil::spin(f->spinRY, c.ry);
        testutil::spin(f->spinSX, c.sx);
        const double expected = std::sqrt(std::pow(c.di * 0.5, 2) + std::pow(c.dj * 0.5, 2) + std::pow(c.dk * 2, 2));
        EXPECT_NEAR(f->measure(wxPoint(10, 10), wxPoint(50, 40)), expected, 1e-4) << c.what;
        EXPECT_EQ(status(0), wxString::FromUTF8(orientation::lengthText(expected, "mm"))) << c.what;
    }
    // Without a unit: voxels along x.
    f->setVoxelSize(Vector(1, 1, 1), "");
    testutil::spin(f->spinSX, 100);
    EXPECT_NEAR(f->measure(wxPoint(0, 0), wxPoint(0, 40)), 20, 1e-9);
    EXPECT_EQ(status(0), "20.0 voxels");
}

// A real Ctrl + left drag draws the ruler and picks no colour; Escape, a second ruler and
// a move of the plane each take it away.
TEST_F(Measuring, RulerDrawnByDragAndCleared) {
    AppFrame* f = measuredVolume();
    const wxImage before = testutil::shown(f->sliceView);
    mouse(f, wxEVT_LEFT_DOWN, 4, 30, true);
    mouse(f, wxEVT_MOTION, 20, 30, true);
    mouse(f, wxEVT_MOTION, 44, 30, true);
    mouse(f, wxEVT_LEFT_UP, 44, 30, true);
    EXPECT_EQ(status(0), "10.0 mm");  // 20 slice pixels of 0.5 mm
    EXPECT_EQ(f->keyColour, voxel(0, 0, 0, 0)) << "the ruler picks no colour";
    EXPECT_FALSE(f->ruler.dragging);
    const wxRect line(8, 29, 30, 3);
    EXPECT_GT(inkIn(testutil::shown(f->sliceView), line), 20);
    EXPECT_EQ(inkIn(before, line), 0);

    EXPECT_TRUE(key(f, WXK_ESCAPE));
    EXPECT_EQ(inkIn(testutil::shown(f->sliceView), line), 0);
    EXPECT_EQ(status(0), "");
    EXPECT_FALSE(key(f, WXK_ESCAPE)) << "nothing to clear: Escape goes on";

    f->measure(wxPoint(4, 30), wxPoint(44, 30));
    f->measure(wxPoint(40, 4), wxPoint(40, 50));  // another ruler replaces it
    EXPECT_EQ(inkIn(testutil::shown(f->sliceView), wxRect(8, 29, 20, 3)), 0);
    testutil::spin(f->spinTZ, 1);
    testutil::settle();
    EXPECT_FALSE(f->ruler.shown) << "the plane moved";
    EXPECT_EQ(status(0), "");
    EXPECT_EQ(inkIn(testutil::shown(f->sliceView), wxRect(39, 10, 3, 30)), 0);

    // A plain left drag still picks the colour.
    mouse(f, wxEVT_LEFT_DOWN, 10, 10, false);
    mouse(f, wxEVT_MOTION, 12, 10, false);
    EXPECT_EQ(f->keyColour, voxel(90, 90, 90, 0));
    EXPECT_FALSE(f->ruler.shown);
}

// The bar shows in the view when asked; saved slices and frames carry it only when asked,
// and otherwise are the bytes they always were.
TEST_F(Measuring, ScaleBarOnScreenAndInSavesOnlyWhenAsked) {
    AppFrame* f = measuredVolume();  // 32 pixels of 0.5 mm: 16 mm wide, a bar of 5 mm
    const wxRect corner(0, 44, 64, 20);
    EXPECT_EQ(inkIn(testutil::shown(f->sliceView), corner), 0);
    testutil::menu(f, ID_SCALEBAR);
    EXPECT_TRUE(f->settingsMenu->IsChecked(ID_SCALEBAR));
    EXPECT_GT(inkIn(testutil::shown(f->sliceView), corner), 10);

    testutil::TempDir dir;
    wxString reason;
    ASSERT_TRUE(saveImage(screenImage, dir.file("plain.png"), reason));
    ASSERT_TRUE(f->saveSlice(dir.file("default.png")));
    EXPECT_EQ(testutil::readBytes(dir.file("default.png")), testutil::readBytes(dir.file("plain.png")));

    testutil::menu(f, ID_SCALEBARINSAVES);
    ASSERT_TRUE(f->saveSlice(dir.file("bar.png")));
    wxImage saved;
    ASSERT_TRUE(saved.LoadFile(dir.file("bar.png")));
    // 5 mm is 10 slice pixels, drawn 8 pixels from the lower right corner.
    EXPECT_GT(inkIn(saved, wxRect(14, 22, 10, 3)), 10);
    EXPECT_EQ(inkIn(saved, wxRect(0, 0, 32, 3)), 0) << "the bar and its label keep to the lower part";
}
