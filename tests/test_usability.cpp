// What a person meets at the window: controls at a size that shows them, focus along
// the rows, views that fit, controls that show the real state, mouse and keys, an
// outline that stays.
#include <fcntl.h>
#include <unistd.h>
#include <wx/accel.h>
#include <wx/app.h>
#include <wx/dirdlg.h>
#include <wx/display.h>
#include <wx/filedlg.h>
#include <wx/menu.h>
#include <wx/panel.h>
#include <wx/spinctrl.h>
#include <wx/statusbr.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "appFrame.h"
#include "camera.h"
#include "render.h"
#include "slicer.h"
#include "testutil.h"
#include "voxelmap.h"

// The tests below start and end with the program as it starts: a fresh window, no volume.
using Usability = testutil::AppTest;

namespace {

using testutil::frame;
using testutil::NumberAnswer;
using testutil::pump;
using testutil::shown;
using testutil::spin;

// Everything written to standard error (where GTK's warnings go) while it is open.
class StderrCapture {
public:
    StderrCapture() {
        fflush(stderr);
        const int fd = open(dir_.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        saved_ = dup(2);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    std::string text() {
        restore();
        return testutil::readBytes(dir_.file("stderr"));
    }

private:
    void restore() {
        if (saved_ < 0) return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    testutil::TempDir dir_;
    int saved_ = -1;
};

// A w x h x d stack of graded layers written to dir and loaded as the user would.
void loadStack(const testutil::TempDir& dir, int w, int h, int d, const std::string& name = "layer") {
    std::vector<wxImage> layers;
    for (int k = 0; k < d; ++k)
        layers.push_back(testutil::makeImage(w, h, [k](int i, int j) { return testutil::graded(i % 17, j % 8, k); },
                                             false));
    frame()->loadStack(testutil::toArray(testutil::writeStack(dir.path, layers, name)));
    pump();
}

// Whether view shows the whole of image stretched by scale (as the toolkit stretches it).
::testing::AssertionResult showsWhole(wxWindow* view, const wxImage& image, int scale) {
    const wxImage seen = shown(view);
    const int w = image.GetWidth() * scale, h = image.GetHeight() * scale;
    if (seen.GetWidth() < w || seen.GetHeight() < h)
        return ::testing::AssertionFailure() << "view " << seen.GetWidth() << " x " << seen.GetHeight();
    const wxImage want = image.Scale(w, h, wxIMAGE_QUALITY_NORMAL);
    for (int y = 0; y < h; y += 3)
        for (int x = 0; x < w; x += 3)
            if (testutil::pixel(seen, x, y) != testutil::pixel(want, x, y))
                return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") differs";
    return ::testing::AssertionSuccess();
}

// How many pixels of the 3D view have the outline's green.
int outlinePixels(AppFrame* f) {
    const wxImage seen = shown(f->view3D);
    int n = 0;
    for (int y = 0; y < seen.GetHeight(); ++y)
        for (int x = 0; x < seen.GetWidth(); ++x) n += testutil::pixel(seen, x, y) == voxel(0, 230, 0, 255);
    return n;
}

void mouse(wxWindow* view, wxEventType type, int x, int y, bool rightDown, int wheel = 0) {
    wxMouseEvent ev(type);
    ev.m_x = x;
    ev.m_y = y;
    ev.m_rightDown = rightDown;
    ev.m_wheelRotation = wheel;
    ev.m_wheelDelta = 120;
    ev.m_wheelAxis = wxMOUSE_WHEEL_VERTICAL;
    ev.SetEventObject(view);
    ev.SetId(view->GetId());
    view->GetEventHandler()->ProcessEvent(ev);
    wxTheApp->ProcessPendingEvents();  // the refresh the handler posted
}

std::vector<wxSpinCtrl*> mainSpins(AppFrame* f) {
    return {f->spinTX, f->spinTY,  f->spinTZ,    f->spinRX,    f->spinRY,   f->spinRZ,    f->spinSX,
            f->spinSY, f->spinSZ, f->spinYaw, f->spinPitch, f->spinTruck, f->spinZoom, f->spinDepth};
}

}  // namespace

TEST_F(Usability, SpinControlsShowTheirButtonsWithoutToolkitWarnings) {
    testutil::TempDir dir;
    StderrCapture capture;
    fputs("capture-probe\n", stderr);
    AppFrame* f = frame();
    loadStack(dir, 40, 30, 3);
    for (wxSpinCtrl* c : {f->spinTZ, f->spinRX, f->spinSY, f->spinYaw, f->spinZoom}) spin(c, c->GetValue() + 5);
    RenderDlg dlg("Animation", wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxDIALOG_NO_PARENT);
    dlg.Show();
    pump();
    const std::string text = capture.text();
    EXPECT_NE(std::string::npos, text.find("capture-probe")) << "standard error was not captured";
    EXPECT_EQ(std::string::npos, text.find("Gtk-")) << text.substr(0, 2000);
    EXPECT_EQ(std::string::npos, text.find("GLib")) << text.substr(0, 2000);

    // Every control at least the size the toolkit asks for, never below the given size.
    std::vector<std::pair<wxSpinCtrl*, wxSize>> spins;
    for (wxSpinCtrl* c : mainSpins(f)) spins.push_back({c, wxSize(50, 20)});
    spins.push_back({dlg.spFrames, wxSize(75, 22)});
    for (int r = 0; r < 9; ++r) {
        spins.push_back({dlg.startCtrls[r], wxSize(60, 22)});
        spins.push_back({dlg.endCtrls[r], wxSize(60, 22)});
    }
    ASSERT_EQ(spins.size(), 33u);
    for (const auto& [c, least] : spins) {
        const wxSize size = c->GetSize(), best = c->GetBestSize();
        EXPECT_TRUE(size.x >= best.x && size.y >= best.y && size.x >= least.x && size.y >= least.y)
            << c->GetId() << ": " << size.x << " x " << size.y << ", best " << best.x << " x " << best.y;
    }
    dlg.Hide();
}

TEST_F(Usability, WindowGrowsSoBothViewsShowTheWholeVolume) {
    testutil::TempDir dir;
    AppFrame* f = frame();
    const wxRect work = wxDisplay(f).GetClientArea();
    ASSERT_GE(work.width, 1600) << "run on a 1600 x 1200 display";
    loadStack(dir, 256, 256, 2);
    EXPECT_TRUE(showsWhole(f->sliceView, screenImage, 2));
    EXPECT_GE(f->view3D->GetClientSize().x, 512);  // its picture is under the outline
    EXPECT_GE(f->view3D->GetClientSize().y, 512);
    EXPECT_TRUE(work.Contains(f->GetRect()));

    // A smaller scale never shrinks the window; one too big for the display fills its work area.
    const wxSize grown = f->GetSize();
    wxTEST_DIALOG(testutil::menu(f, ID_VPSCALE), NumberAnswer(1));
    pump();
    EXPECT_EQ(f->GetSize(), grown);
    wxTEST_DIALOG(testutil::menu(f, ID_VPSCALE), NumberAnswer(5));
    pump();
    EXPECT_EQ(f->GetRect(), work);
}

// Fit Views: the largest whole scale at which both views fit the work area (beyond 5 for a
// small volume); a load of a volume under 128 x 128 fits once and says so.
TEST_F(Usability, FitViewsScalesToTheScreen) {
    AppFrame* f = frame();
    const wxRect work = wxDisplay(f).GetClientArea();
    struct Case {
        int w, h;
        int least, most;  // the scale expected on a 1600 x 1200 display lies between
    };
    for (const Case& c : {Case{16, 16, 20, 60}, Case{64, 48, 6, 15}, Case{512, 512, 1, 1}}) {
        SCOPED_TRACE(testutil::toArray({std::to_string(c.w) + " x " + std::to_string(c.h)})[0]);
        f = testutil::gradedVolume(c.w, c.h, 3, /*march=*/false);  // a fresh window
        f->SetSize(wxSize(200, 200));  // fitting grows the window from any size
        testutil::menu(f, ID_FITVIEWS);
        pump();
        const int s = f->vpScale;
        EXPECT_TRUE(s >= c.least && s <= c.most) << s;
        EXPECT_TRUE(showsWhole(f->sliceView, screenImage, s));
        EXPECT_GE(f->view3D->GetClientSize().x, c.w * s);
        EXPECT_TRUE(work.Contains(f->GetRect()));
        // One more and the views no longer fit, however far the window grows.
        f->vpScale = s + 1;
        f->fitViews();
        pump();
        EXPECT_TRUE(f->sliceView->GetClientSize().x < c.w * (s + 1) || f->sliceView->GetClientSize().y < c.h * (s + 1));
    }
    testutil::TempDir dir;
    f->vpScale = 2;
    loadStack(dir, 24, 16, 2, "small");
    EXPECT_GT(f->vpScale, 5);
    EXPECT_TRUE(f->GetStatusBar()->GetStatusText(1).Contains("to fit the screen"));
    const int fitted = f->vpScale;
    wxTEST_DIALOG(testutil::menu(f, ID_VPSCALE), NumberAnswer(3));
    loadStack(dir, 200, 100, 2, "large");  // not small: the user's scale stays
    EXPECT_EQ(3, f->vpScale);
    EXPECT_NE(3, fitted);
}

TEST_F(Usability, ControlsShowTheStateAfterASecondLoad) {
    testutil::TempDir dir;
    AppFrame* f = frame();
    loadStack(dir, 24, 16, 6, "a");
    EXPECT_EQ(f->GetStatusBar()->GetStatusText(0), "24 x 16 x 6 voxels");
    for (wxSpinCtrl* c : mainSpins(f)) spin(c, c->GetValue() == 0 ? 12 : 50);
    testutil::menu(f, ID_AASLICE);
    EXPECT_TRUE(f->settingsMenu->IsChecked(ID_AASLICE));
    // Each prompt offers the value in use: the start value (the scale as the load fitted it
    // to this small volume, within the prompt's range), then the one entered.
    const testutil::NumberPrompt prompts[] = {{"Ray Marcher Resolution ", "r: ", "Resolution", 50, 1, 1000},
                                              {"Ray Step Length (x10)", "l: ", "Step Length", 20, 1, 100},
                                              {"Scale viewport image by: ", "s: ", "Scale", std::min(f->vpScale, 5), 1, 5}};
    const int ids[] = {ID_RAYRES, ID_RAYSTEP, ID_VPSCALE};
    for (int n = 0; n < 3; ++n) {
        testutil::NumberPrompt p = prompts[n];
        wxTEST_DIALOG(testutil::menu(f, ids[n]), NumberAnswer(p, 3));
        p.value = 3;
        wxTEST_DIALOG(testutil::menu(f, ids[n]), NumberAnswer::Cancel(p));
    }

    loadStack(dir, 32, 20, 4, "b");
    const int starts[] = {0, 0, 0, 0, 0, 0, 100, 100, 100, 0, 0, 0, 200, 100};
    size_t n = 0;
    for (wxSpinCtrl* c : mainSpins(f)) EXPECT_EQ(c->GetValue(), starts[n++]) << "control " << c->GetId();
    EXPECT_FALSE(f->settingsMenu->IsChecked(ID_AASLICE));
    EXPECT_FALSE(theslicer->aaLookups);
    EXPECT_EQ(f->GetStatusBar()->GetStatusText(0), "32 x 20 x 4 voxels");
    EXPECT_TRUE(testutil::sameRGB(screenImage, testutil::directSlice(Vector(0, 0, 0), 0, 0, 0, 100, 100, 100)));
    for (int i = 0; i < 32; i += 5) EXPECT_EQ(testutil::pixel(screenImage, i, 3).b, 0) << "layer 0";
    // A slicer control now moves from the start pose, not from the first volume's.
    spin(f->spinTZ, 1);
    EXPECT_TRUE(testutil::sameRGB(screenImage, testutil::directSlice(Vector(0, 0, 1), 0, 0, 0, 100, 100, 100)));
}

TEST_F(Usability, MouseOrbitAndWheelGiveThePictureOfTheSpins) {
    AppFrame* f = testutil::gradedVolume(20, 16, 10);
    // Right-drag 30 right and 10 up: yaw +30, pitch -10, one step per motion.
    mouse(f->view3D, wxEVT_RIGHT_DOWN, 40, 40, true);
    mouse(f->view3D, wxEVT_MOTION, 55, 35, true);
    mouse(f->view3D, wxEVT_MOTION, 70, 30, true);
    mouse(f->view3D, wxEVT_RIGHT_UP, 70, 30, false);
    mouse(f->view3D, wxEVT_MOTION, 90, 90, false);  // the drag is over
    EXPECT_EQ(f->spinYaw->GetValue(), 30);
    EXPECT_EQ(f->spinPitch->GetValue(), -10);
    const wxImage dragged = viewportImage.Copy();
    const Vector eye = cam->eye;
    const wxImage seenDragged = shown(f->view3D);
    spin(f->spinYaw, 0);
    spin(f->spinPitch, 0);
    spin(f->spinYaw, 30);
    spin(f->spinPitch, -10);
    EXPECT_TRUE(testutil::sameRGB(dragged, viewportImage));
    testutil::expectExact(cam->eye, eye.x(), eye.y(), eye.z());
    EXPECT_TRUE(testutil::sameRGB(seenDragged, shown(f->view3D)));

    // The wheel: 10 zoom a notch in the 3D view (half notches add up), within the range.
    struct Turn {
        int rotation, zoom;
    };
    for (const Turn t : {Turn{240, 220}, Turn{-120, 210}, Turn{60, 210}, Turn{60, 220}}) {
        mouse(f->view3D, wxEVT_MOUSEWHEEL, 10, 10, false, t.rotation);
        EXPECT_EQ(f->spinZoom->GetValue(), t.zoom) << t.rotation;
    }
    EXPECT_DOUBLE_EQ(cam->zoom, 2.2);
    const wxImage zoomed = viewportImage.Copy();
    spin(f->spinZoom, 200);
    spin(f->spinZoom, 220);
    EXPECT_TRUE(testutil::sameRGB(zoomed, viewportImage));
    spin(f->spinZoom, 995);
    mouse(f->view3D, wxEVT_MOUSEWHEEL, 10, 10, false, 360);
    EXPECT_EQ(f->spinZoom->GetValue(), 1000);

    // Over the slice view the wheel moves the plane along z; left-drag still picks.
    mouse(f->sliceView, wxEVT_MOUSEWHEEL, 10, 10, false, 240);
    EXPECT_EQ(f->spinTZ->GetValue(), 2);
    EXPECT_TRUE(testutil::sameRGB(screenImage, testutil::directSlice(Vector(0, 0, 2), 0, 0, 0, 100, 100, 100)));
    wxMouseEvent pick(wxEVT_MOTION);
    pick.m_x = pick.m_y = 6;
    pick.m_leftDown = true;
    pick.SetEventObject(f->view3D);
    f->view3D->GetEventHandler()->ProcessEvent(pick);
    const voxel p = testutil::pixel(screenImage, 3, 3);
    EXPECT_EQ(f->keyColour, voxel(p.r, p.g, p.b, 0));
}

TEST_F(Usability, KeysAndTheLoadDialogsFolder) {
    AppFrame* f = frame();
    const wxAcceleratorTable* table = f->GetAcceleratorTable();
    ASSERT_TRUE(table && table->IsOk());
    const struct {
        int key;
        int id;
        bool shift;
    } keys[] = {{'O', ID_LOAD, false}, {'S', ID_SAVE, false},       {'Q', ID_EXIT, false},
                {'Z', ID_UNDO, false}, {'O', ID_LOADFOLDER, true}, {'0', ID_FITVIEWS, false}};
    for (const auto& [key, id, shift] : keys) {
        wxKeyEvent ev(wxEVT_KEY_DOWN);
        ev.m_keyCode = key;
        ev.m_controlDown = true;
        ev.m_shiftDown = shift;
        EXPECT_EQ(table->GetCommand(ev), id) << "Ctrl+" << key;
    }

    // The second Load opens where the first one chose its files.
    class ChooseFiles : public wxExpectModalBase<wxFileDialog, ChooseFiles> {
    public:
        ChooseFiles(wxString* openedIn, const wxString& path) : openedIn_(openedIn), path_(path) {}

    protected:
        int OnInvoked(wxFileDialog* dlg) const override {
            *openedIn_ = dlg->GetDirectory();
            dlg->SetPath(path_);
            return wxID_OK;
        }

    private:
        wxString* openedIn_;
        wxString path_;
    };
    testutil::TempDir dir;
    const std::string file = testutil::writeStack(dir.path, {wxImage(4, 4)})[0];
    wxString first, second;
    wxTEST_DIALOG(testutil::menu(f, ID_LOAD), ChooseFiles(&first, file));
    wxTEST_DIALOG(testutil::menu(f, ID_LOAD), ChooseFiles(&second, file));
    EXPECT_EQ(first, "");
    EXPECT_EQ(second, wxString::FromUTF8(dir.path));
}

// Load Folder opens the toolkit's folder dialog (a DICOM series' files have no extension
// the Load dialog could list; GTK's dialog gives no folder under the test hook, so it is
// cancelled here); the title names what is open.
TEST_F(Usability, LoadFolderAndTheTitle) {
    AppFrame* f = frame();
    const std::string samples = SLABWRIGHT_SOURCE_DIR "/samples/";
    class CancelFolder : public wxExpectModalBase<wxDirDialog, CancelFolder> {
    protected:
        int OnInvoked(wxDirDialog* dlg) const override {
            EXPECT_EQ("Load Folder", dlg->GetMessage());
            EXPECT_TRUE(dlg->HasFlag(wxDD_DIR_MUST_EXIST));
            return wxID_CANCEL;
        }
    };
    EXPECT_EQ("Slabwright", f->GetTitle());
    wxTEST_DIALOG(testutil::menu(f, ID_LOADFOLDER), CancelFolder());
    EXPECT_FALSE(myVoxmap->loaded);
    const struct {
        std::vector<std::string> paths;
        const char* title;
    } loads[] = {
        {{samples + "scan/ct"}, "Slabwright - ct"},
        {{samples + "scan/ct/"}, "Slabwright - ct"},
        {{samples + "nifti/head-128x96x24.nii.gz"}, "Slabwright - head-128x96x24.nii.gz"},
        {{samples + "layer00.png", samples + "layer01.png", samples + "layer02.png"}, "Slabwright - layer00.png and 2 more"},
    };
    for (const auto& l : loads) {
        f->loadStack(testutil::toArray(l.paths));
        EXPECT_EQ(wxString(l.title), f->GetTitle());
    }
}

TEST_F(Usability, OutlineStaysAndARenderLeavesBothViewsWhole) {
    testutil::TempDir dir;
    AppFrame* f = frame();
    loadStack(dir, 64, 48, 8);
    EXPECT_GT(outlinePixels(f), 40) << "after the load";
    testutil::settle();  // the new window's last paint would bring the outline back
    f->redraw(f->view3D, viewportImage);  // the picture alone, as a window passing over leaves it
    EXPECT_EQ(outlinePixels(f), 0);
    f->view3D->Refresh();
    f->view3D->Update();
    EXPECT_GT(outlinePixels(f), 40) << "after a repaint";
    wxTEST_DIALOG(testutil::menu(f, ID_BLUR), NumberAnswer(1));
    EXPECT_GT(outlinePixels(f), 40) << "after a filter";
    wxTEST_DIALOG(testutil::menu(f, ID_VPSCALE), NumberAnswer(3));
    EXPECT_GT(outlinePixels(f), 40) << "after Viewport Scaling";

    // A batch render ends with both views drawn whole: the slice view shows the last frame.
    const wxImage before = screenImage.Copy();
    auto fill = [&](RenderDlg& dlg) {
        dlg.frames = 1;
        dlg.tEnd[2] = 5;
        dlg.chooseSequenceFile(wxString::FromUTF8(dir.path), "f.png");
        dlg.doRender = true;
    };
    class Fill : public wxExpectModalBase<RenderDlg, Fill> {
    public:
        explicit Fill(std::function<void(RenderDlg&)> fill) : fill_(std::move(fill)) {}

    protected:
        int OnInvoked(RenderDlg* dlg) const override {
            fill_(*dlg);
            return wxID_OK;
        }

    private:
        std::function<void(RenderDlg&)> fill_;
    };
    wxTEST_DIALOG(testutil::menu(f, ID_RENDER), Fill(fill));
    ASSERT_FALSE(testutil::sameRGB(before, screenImage)) << "the last frame differs from the first";
    EXPECT_TRUE(showsWhole(f->sliceView, screenImage, 3));
    EXPECT_GT(outlinePixels(f), 40) << "after a batch render";
}
