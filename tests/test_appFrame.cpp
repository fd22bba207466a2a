// The main window as a user meets it, the two views and the colour read-out.
#include <gtest/gtest.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/testing.h>

#include <string>
#include <vector>

#include "appFrame.h"
#include "testutil.h"
#include "voxelmap.h"

// The tests below start and end with the program as it starts: a fresh window, no volume.
using MainWindow = testutil::AppTest;
using ColourPicking = testutil::AppTest;
using Views = testutil::AppTest;

namespace {

using testutil::frame;
using testutil::MessageCapture;
using testutil::shown;

struct MenuEntry {
    int id;  // wxID_SEPARATOR for a separator
    const char* label;
    bool enabled;
};

void expectMenu(wxMenu* menu, const std::vector<MenuEntry>& expected) {
    ASSERT_NE(menu, nullptr);
    const wxMenuItemList& items = menu->GetMenuItems();
    ASSERT_EQ(items.size(), expected.size());
    size_t n = 0;
    for (const wxMenuItem* item : items) {
        const MenuEntry& e = expected[n++];
        SCOPED_TRACE(e.label);
        if (e.id == wxID_SEPARATOR) {
            EXPECT_TRUE(item->IsSeparator());
            continue;
        }
        EXPECT_EQ(item->GetId(), e.id);
        EXPECT_EQ(item->GetItemLabel(), wxString(e.label));
        // The check items: AA Lookups, Scale Bar, Scale Bar in Saved Images and Maximum
        // Intensity Projection start off, Preview While Moving on.
        const bool check = e.id == ID_AASLICE || e.id == ID_SCALEBAR || e.id == ID_SCALEBARINSAVES ||
                           e.id == ID_MIP || e.id == ID_PREVIEW;
        EXPECT_EQ(item->GetKind(), check ? wxITEM_CHECK : wxITEM_NORMAL);
        if (item->IsCheckable()) {
            EXPECT_EQ(item->IsChecked(), e.id == ID_PREVIEW);
        }
        EXPECT_EQ(item->IsEnabled(), e.enabled);
    }
}

// A pointer movement over view, as the toolkit delivers it.
void move(wxWindow* view, int x, int y, bool leftDown = false) {
    wxMouseEvent ev(wxEVT_MOTION);
    ev.m_x = x;
    ev.m_y = y;
    ev.m_leftDown = leftDown;
    ev.SetEventObject(view);
    ev.SetId(view->GetId());
    view->GetEventHandler()->ProcessEvent(ev);
}

wxString status(int field) { return frame()->GetStatusBar()->GetStatusText(field); }

// A loaded w x h volume whose slice image has pixel (x, y) = (x, y, 7) + offset in red.
void fakeVolume(int w, int h) {
    testutil::fillMap(*myVoxmap, w, h, 1, [](int, int, int) { return voxel(1, 2, 3, 255); });
    screenImage = testutil::makeImage(w, h, [](int x, int y) { return voxel(x, y, 7, 255); }, false);
}

// Repaints the whole window the way the toolkit does after an exposure.
void repaint(wxWindow* window) {
    window->Refresh();
    window->Update();
    testutil::pump();
}

bool allBlack(const wxImage& img, int x0, int y0, int x1, int y1) {
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            if (img.GetRed(x, y) || img.GetGreen(x, y) || img.GetBlue(x, y)) return false;
    return true;
}

wxImage placeholder(const char* name) {
    wxImage img;
    EXPECT_TRUE(img.LoadFile(wxString(SLABWRIGHT_SOURCE_DIR) + "/images/" + name, wxBITMAP_TYPE_PNG))
        << "placeholder picture images/" << name << " is missing";
    return img;
}

}  // namespace

// ---- The window at start ----

TEST_F(MainWindow, MenusAtStart) {
    AppFrame* f = frame();
    wxMenuBar* bar = f->GetMenuBar();
    ASSERT_EQ(bar, f->menuBar);
    ASSERT_EQ(bar->GetMenuCount(), 4u);
    EXPECT_EQ(bar->GetMenuLabel(0), "&File");
    EXPECT_EQ(bar->GetMenuLabel(1), "&Effects");
    EXPECT_EQ(bar->GetMenuLabel(2), "&Settings");
    EXPECT_EQ(bar->GetMenu(0), f->fileMenu);
    EXPECT_EQ(bar->GetMenu(1), f->effectsMenu);
    EXPECT_EQ(bar->GetMenu(2), f->settingsMenu);
    EXPECT_EQ(bar->GetMenuLabel(3), "&View");
    EXPECT_EQ(bar->GetMenu(3), f->viewMenu);

    // "..." where a dialog follows, the shortcut after a tab.
    expectMenu(f->fileMenu, {{ID_LOAD, "&Load...\tCtrl+O", true},
                             {ID_LOADFOLDER, "Load &Folder...\tCtrl+Shift+O", true},
                             {ID_LOADREGION, "Load &Region...", true},
                             {ID_SAVE, "&Save...\tCtrl+S", false},
                             {ID_SAVEVOLUME, "Save &Volume...", false},
                             {wxID_SEPARATOR, "separator after Save Volume", false},
                             {ID_RENDER, "Batch &Render...", false},
                             {wxID_SEPARATOR, "separator after Batch Render", false},
                             {ID_ABOUT, "&About", true},
                             {ID_EXIT, "E&xit\tCtrl+Q", true}});
    expectMenu(f->effectsMenu, {{ID_BLUR, "&Blur...", false},
                                {ID_EDGES, "Find &Edges", false},
                                {ID_KEY, "&Key...", false},
                                {wxID_SEPARATOR, "separator after Key", false},
                                {ID_UNDO, "&Undo\tCtrl+Z", false}});
    expectMenu(f->settingsMenu, {{ID_RAYRES, "&Ray Marcher Res...", false},
                                 {ID_RAYSTEP, "Ray &Step Length...", false},
                                 {wxID_SEPARATOR, "separator after Ray Step Length", false},
                                 {ID_VPSCALE, "&Viewport Scaling...", true},
                                 {ID_FITVIEWS, "&Fit Views\tCtrl+0", true},
                                 {ID_AASLICE, "&AA Lookups", false},
                                 {ID_VOXELSIZE, "Voxel Size...", false},
                                 {wxID_SEPARATOR, "separator after Voxel Size", false},
                                 {ID_WINDOW, "Window/Level...", false},
                                 {wxID_SEPARATOR, "separator after Window/Level", false},
                                 {ID_OPACITY, "Opacity...", false},
                                 {ID_MIP, "Maximum Intensity Projection", false},
                                 {ID_PREVIEW, "Preview While Moving", false},
                                 {wxID_SEPARATOR, "separator after Preview While Moving", false},
                                 {ID_SCALEBAR, "Scale &Bar", true},
                                 {ID_SCALEBARINSAVES, "Scale Bar in Saved Images", true}});
    expectMenu(f->viewMenu, {{ID_AXIAL, "&Axial", false},
                             {ID_CORONAL, "&Coronal", false},
                             {ID_SAGITTAL, "Sa&gittal", false},
                             {wxID_SEPARATOR, "separator after Sagittal", false},
                             {ID_PLANEXY, "&XY", false},
                             {ID_PLANEXZ, "X&Z", false},
                             {ID_PLANEYZ, "&YZ", false}});
}

TEST_F(MainWindow, SpinControlsStartValuesAndRanges) {
    AppFrame* f = frame();
    struct Spin {
        wxSpinCtrl* ctrl;
        int id, min, max, value;
        const char* name;
    };
    const std::vector<Spin> spins = {
        {f->spinTX, ID_TX, -1000, 1000, 0, "TX"},         {f->spinTY, ID_TY, -1000, 1000, 0, "TY"},
        {f->spinTZ, ID_TZ, -1000, 1000, 0, "TZ"},         {f->spinRX, ID_RX, -1000, 1000, 0, "RX"},
        {f->spinRY, ID_RY, -1000, 1000, 0, "RY"},         {f->spinRZ, ID_RZ, -1000, 1000, 0, "RZ"},
        {f->spinSX, ID_SX, -1000, 1000, 100, "SX"},       {f->spinSY, ID_SY, -1000, 1000, 100, "SY"},
        {f->spinSZ, ID_SZ, -1000, 1000, 100, "SZ"},       {f->spinYaw, ID_YAW, -1080, 1080, 0, "Yaw"},
        {f->spinPitch, ID_PITCH, -1080, 1080, 0, "Pitch"}, {f->spinDepth, ID_DEPTH, 0, 100, 100, "Depth"},
        {f->spinTruck, ID_TRUCK, -1000, 1000, 0, "Truck"}, {f->spinZoom, ID_ZOOM, -1000, 1000, 200, "Zoom"},
    };
    for (const Spin& s : spins) {
        SCOPED_TRACE(s.name);
        ASSERT_NE(s.ctrl, nullptr);
        EXPECT_EQ(s.ctrl->GetId(), s.id);
        EXPECT_EQ(s.ctrl->GetMin(), s.min);
        EXPECT_EQ(s.ctrl->GetMax(), s.max);
        EXPECT_EQ(s.ctrl->GetValue(), s.value);
        EXPECT_TRUE(s.ctrl->HasFlag(wxSP_ARROW_KEYS));
        // The control refuses values beyond its range.
        s.ctrl->SetValue(s.max + 1);
        EXPECT_EQ(s.ctrl->GetValue(), s.max);
        s.ctrl->SetValue(s.min - 1);
        EXPECT_EQ(s.ctrl->GetValue(), s.min);
        s.ctrl->SetValue(s.value);
    }
    EXPECT_EQ(f->vpScale, 2);
    EXPECT_EQ(f->keyColour, voxel(0, 0, 0, 0));
    ASSERT_NE(f->GetStatusBar(), nullptr);
    EXPECT_EQ(f->GetStatusBar()->GetFieldsCount(), 2);
}

TEST_F(MainWindow, ControlsInCreationOrderAndBoxRows) {
    AppFrame* f = frame();
    // Keyboard navigation follows the list of children: the order of creation with the
    // spin controls moved into the order of the rows they are shown in.
    const std::vector<wxWindow*> order = {f->slicerBox, f->labelT,     f->labelR,     f->labelS,     f->spinTX,
                                          f->spinTY,    f->spinTZ,     f->spinRX,     f->spinRY,     f->spinRZ,
                                          f->spinSX,    f->spinSY,     f->spinSZ,     f->cameraBox,  f->labelYaw,
                                          f->labelPitch, f->labelDepth, f->labelTruck, f->labelZoom, f->spinYaw,
                                          f->spinPitch, f->spinTruck,  f->spinZoom,   f->spinDepth};
    const wxWindowList& children = f->controlPanel->GetChildren();
    ASSERT_EQ(children.size(), order.size());
    size_t n = 0;
    for (wxWindow* child : children) EXPECT_EQ(child, order[n++]) << "child " << n - 1;

    EXPECT_EQ(f->slicerBox->GetLabel(), "Slicer controls");
    EXPECT_EQ(f->cameraBox->GetLabel(), "Camera controls");
    EXPECT_EQ(f->labelT->GetLabel(), "T:");
    EXPECT_EQ(f->labelR->GetLabel(), "R:");
    EXPECT_EQ(f->labelS->GetLabel(), "S:");
    EXPECT_EQ(f->labelYaw->GetLabel(), "Yaw: ");
    EXPECT_EQ(f->labelPitch->GetLabel(), "Pitch: ");
    EXPECT_EQ(f->labelDepth->GetLabel(), "Depth: ");
    EXPECT_EQ(f->labelTruck->GetLabel(), "Truck: ");
    EXPECT_EQ(f->labelZoom->GetLabel(), "Zoom: ");

    // Rows of a static box sizer, each as the list of its windows.
    auto rows = [](wxSizer* box) {
        std::vector<std::vector<wxWindow*>> out;
        for (wxSizerItem* row : box->GetChildren()) {
            std::vector<wxWindow*> windows;
            EXPECT_TRUE(row->IsSizer());
            if (!row->IsSizer()) continue;
            for (wxSizerItem* item : row->GetSizer()->GetChildren()) windows.push_back(item->GetWindow());
            out.push_back(windows);
        }
        return out;
    };
    wxSizer* controls = f->controlPanel->GetSizer();
    ASSERT_NE(controls, nullptr);
    ASSERT_EQ(controls->GetItemCount(), 2u);
    auto* slicerSizer = dynamic_cast<wxStaticBoxSizer*>(controls->GetItem(size_t(0))->GetSizer());
    auto* cameraSizer = dynamic_cast<wxStaticBoxSizer*>(controls->GetItem(size_t(1))->GetSizer());
    ASSERT_NE(slicerSizer, nullptr);
    ASSERT_NE(cameraSizer, nullptr);
    EXPECT_EQ(slicerSizer->GetStaticBox(), f->slicerBox);
    EXPECT_EQ(cameraSizer->GetStaticBox(), f->cameraBox);
    using Row = std::vector<wxWindow*>;
    EXPECT_EQ(rows(slicerSizer), (std::vector<Row>{{f->labelT, f->spinTX, f->spinTY, f->spinTZ},
                                                  {f->labelR, f->spinRX, f->spinRY, f->spinRZ},
                                                  {f->labelS, f->spinSX, f->spinSY, f->spinSZ}}));
    // Depth is the last row although its label was created third.
    EXPECT_EQ(rows(cameraSizer), (std::vector<Row>{{f->labelYaw, f->spinYaw},
                                                  {f->labelPitch, f->spinPitch},
                                                  {f->labelTruck, f->spinTruck},
                                                  {f->labelZoom, f->spinZoom},
                                                  {f->labelDepth, f->spinDepth}}));

    // 3D view | controls | slice view, the views sharing the spare width.
    wxSizer* main = f->mainPanel->GetSizer();
    ASSERT_NE(main, nullptr);
    ASSERT_EQ(main->GetItemCount(), 3u);
    EXPECT_EQ(main->GetItem(size_t(0))->GetWindow(), f->view3D);
    EXPECT_EQ(main->GetItem(size_t(1))->GetWindow(), f->controlPanel);
    EXPECT_EQ(main->GetItem(size_t(2))->GetWindow(), f->sliceView);
    EXPECT_EQ(main->GetItem(size_t(0))->GetProportion(), 1);
    EXPECT_EQ(main->GetItem(size_t(1))->GetProportion(), 0);
    EXPECT_EQ(main->GetItem(size_t(2))->GetProportion(), 1);
    EXPECT_EQ(f->view3D->GetId(), ID_VIEW3D);
    EXPECT_EQ(f->sliceView->GetId(), ID_SLICEVIEW);
    EXPECT_LT(f->view3D->GetPosition().x, f->controlPanel->GetPosition().x);
    EXPECT_LT(f->controlPanel->GetPosition().x, f->sliceView->GetPosition().x);
    EXPECT_NEAR(f->view3D->GetSize().x, f->sliceView->GetSize().x, 1);
    // The frame is at least the size it was given, and big enough for every control.
    EXPECT_GE(f->GetSize().x, 625);
    EXPECT_GE(f->GetSize().y, 290);
    EXPECT_GE(f->mainPanel->GetClientSize().x, main->GetMinSize().x);
    EXPECT_GE(f->mainPanel->GetClientSize().y, main->GetMinSize().y);
}

TEST_F(MainWindow, AboutShowsTheProgramName) {
    AppFrame* f = frame();
    wxString message, caption;
    long style = 0;
    wxTEST_DIALOG(testutil::menu(f, ID_ABOUT), MessageCapture(&message, &caption, &style));
    EXPECT_EQ(caption, "About...");
    EXPECT_TRUE(message.StartsWith("Slabwright v1.0.\n\n")) << message;
    EXPECT_GT(message.length(), wxString("Slabwright v1.0.\n\n").length()) << "a credit line follows";
    EXPECT_TRUE(style & wxOK);
    EXPECT_TRUE(style & wxCENTRE);
    EXPECT_TRUE(f->IsShown());
}

TEST_F(MainWindow, ExitClosesWithoutAllowingAVeto) {
    AppFrame* f = frame();
    int closes = 0;
    bool couldVeto = true;
    // Stands in for the default close handling, so the test keeps its window.
    auto onClose = [&](wxCloseEvent& e) {
        ++closes;
        couldVeto = e.CanVeto();
    };
    f->Bind(wxEVT_CLOSE_WINDOW, onClose);
    testutil::menu(f, ID_EXIT);
    f->Unbind(wxEVT_CLOSE_WINDOW, onClose);
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(couldVeto);
}

// ---- Colour read-out and key colour ----

TEST_F(ColourPicking, ReadOutAndDragPick) {
    AppFrame* f = frame();
    fakeVolume(64, 48);
    screenImage.SetRGB(6, 3, 12, 34, 56);

    move(f->sliceView, 12, 6);  // vpScale 2: pixel (6, 3)
    EXPECT_EQ(status(1), "R:12   G:34   B:56");
    EXPECT_EQ(status(0), "") << "a plain movement picks nothing";
    EXPECT_EQ(f->keyColour, voxel(0, 0, 0, 0));

    move(f->sliceView, 13, 7, true);  // same pixel, left button held
    EXPECT_EQ(status(0), "Key Colour R:12   G:34   B:56");
    EXPECT_EQ(status(1), "R:12   G:34   B:56");
    EXPECT_EQ(f->keyColour, voxel(12, 34, 56, 0));

    // Every movement of a drag picks again.
    move(f->sliceView, 40, 20, true);  // pixel (20, 10)
    EXPECT_EQ(status(0), "Key Colour R:20   G:10   B:7");
    EXPECT_EQ(f->keyColour, voxel(20, 10, 7, 0));
}

TEST_F(ColourPicking, DragOverThe3DViewReadsTheSliceImage) {
    AppFrame* f = frame();
    fakeVolume(64, 48);
    viewportImage = testutil::makeImage(50, 50, [](int, int) { return voxel(250, 250, 250, 255); }, false);
    move(f->view3D, 30, 18, true);
    EXPECT_EQ(status(1), "R:15   G:9   B:7");
    EXPECT_EQ(status(0), "Key Colour R:15   G:9   B:7");
    EXPECT_EQ(f->keyColour, voxel(15, 9, 7, 0));
}

TEST_F(ColourPicking, PressWithoutMovementPicksNothing) {
    AppFrame* f = frame();
    fakeVolume(64, 48);
    for (wxEventType type : {wxEVT_LEFT_DOWN, wxEVT_LEFT_UP}) {
        wxMouseEvent ev(type);
        ev.m_x = 12;
        ev.m_y = 6;
        ev.m_leftDown = type == wxEVT_LEFT_DOWN;
        ev.SetEventObject(f->sliceView);
        f->sliceView->GetEventHandler()->ProcessEvent(ev);
    }
    EXPECT_EQ(status(0), "");
    EXPECT_EQ(status(1), "");
    EXPECT_EQ(f->keyColour, voxel(0, 0, 0, 0));
}

TEST_F(ColourPicking, LastDisplayedColumnAndRowAreIgnored) {
    AppFrame* f = frame();
    fakeVolume(64, 48);  // shown at 128 x 96
    move(f->sliceView, 126, 10);
    EXPECT_EQ(status(1), "R:63   G:5   B:7");
    move(f->sliceView, 127, 20, true);
    EXPECT_EQ(status(1), "R:63   G:5   B:7") << "x = 127 is the last displayed column";
    EXPECT_EQ(status(0), "");
    move(f->sliceView, 300, 20);
    EXPECT_EQ(status(1), "R:63   G:5   B:7");
    move(f->sliceView, 8, 94);
    EXPECT_EQ(status(1), "R:4   G:47   B:7");
    move(f->sliceView, 8, 95, true);
    EXPECT_EQ(status(1), "R:4   G:47   B:7") << "y = 95 is the last displayed row";
    EXPECT_EQ(f->keyColour, voxel(0, 0, 0, 0));
}

TEST_F(ColourPicking, PositionsAreDividedByTheViewportScale) {
    AppFrame* f = frame();
    fakeVolume(64, 48);
    f->vpScale = 3;
    move(f->sliceView, 9, 4);
    EXPECT_EQ(status(1), "R:3   G:1   B:7");
    move(f->sliceView, 190, 142);  // W - 2, H - 2 of 192 x 144
    EXPECT_EQ(status(1), "R:63   G:47   B:7");
    f->vpScale = 2;
}

TEST_F(ColourPicking, PositionsOutsideTheSliceImageReadBlack) {
    AppFrame* f = frame();
    fakeVolume(64, 48);
    screenImage.SetRGB(0, 0, 90, 91, 92);
    move(f->sliceView, 12, 6);
    ASSERT_EQ(status(1), "R:6   G:3   B:7");
    // Dragged out of the view to the left and top: no toolkit assertion, black.
    move(f->sliceView, -5, -7, true);
    EXPECT_EQ(status(1), "R:0   G:0   B:0");
    EXPECT_EQ(status(0), "Key Colour R:0   G:0   B:0");
    EXPECT_EQ(f->keyColour, voxel(0, 0, 0, 0));
    move(f->sliceView, 20, -40);
    EXPECT_EQ(status(1), "R:0   G:0   B:0");
    // A slice image smaller than the shown area (the 3D image was not involved).
    screenImage = testutil::makeImage(10, 10, [](int, int) { return voxel(200, 200, 200, 255); }, false);
    move(f->view3D, 40, 40);
    EXPECT_EQ(status(1), "R:0   G:0   B:0");
    screenImage = wxImage();
    move(f->view3D, 4, 4);
    EXPECT_EQ(status(1), "R:0   G:0   B:0");
}

TEST_F(ColourPicking, BeforeALoadTheSlicePlaceholderIsRead) {
    AppFrame* f = frame();
    const wxImage picture = placeholder("novoxmap2d.png");
    ASSERT_TRUE(picture.IsOk());
    ASSERT_GE(picture.GetWidth(), 50);
    ASSERT_GE(picture.GetHeight(), 50);
    repaint(f);
    ASSERT_TRUE(screenImage.IsOk()) << "the paint reads the placeholder into the slice image";

    move(f->sliceView, 10, 10);
    const voxel p = testutil::pixel(picture, 5, 5);
    EXPECT_EQ(status(1), wxString::Format("R:%d   G:%d   B:%d", p.r, p.g, p.b));
    const voxel q = testutil::pixel(picture, 49, 0);
    move(f->sliceView, 98, 1);  // the fixed 100 x 100 bounds
    EXPECT_EQ(status(1), wxString::Format("R:%d   G:%d   B:%d", q.r, q.g, q.b));
    move(f->sliceView, 10, 10);
    move(f->sliceView, 99, 1, true);
    move(f->sliceView, 1, 99, true);
    EXPECT_EQ(status(1), wxString::Format("R:%d   G:%d   B:%d", p.r, p.g, p.b));
    EXPECT_EQ(f->keyColour, voxel(0, 0, 0, 0));
}

// ---- The two views ----

TEST_F(Views, PlaceholdersBeforeALoad) {
    AppFrame* f = frame();
    const wxImage pic3d = placeholder("novoxmap3d.png");
    const wxImage pic2d = placeholder("novoxmap2d.png");
    ASSERT_TRUE(pic3d.IsOk() && pic2d.IsOk());
    repaint(f);
    ASSERT_TRUE(viewportImage.IsOk());
    ASSERT_TRUE(screenImage.IsOk());
    EXPECT_EQ(viewportImage.GetSize(), pic3d.GetSize());
    EXPECT_EQ(screenImage.GetSize(), pic2d.GetSize());
    // Shown unscaled at the top-left corner (compared where the pictures are opaque).
    const wxImage left = shown(f->view3D);
    const wxImage right = shown(f->sliceView);
    int compared = 0;
    for (int y = 0; y < 40; y += 3)
        for (int x = 0; x < 40; x += 3) {
            if (!pic3d.HasAlpha() || pic3d.GetAlpha(x, y) == 255) {
                EXPECT_EQ(testutil::pixel(left, x, y), testutil::pixel(pic3d, x, y)) << x << "," << y;
                ++compared;
            }
            if (!pic2d.HasAlpha() || pic2d.GetAlpha(x, y) == 255) {
                EXPECT_EQ(testutil::pixel(right, x, y), testutil::pixel(pic2d, x, y)) << x << "," << y;
                ++compared;
            }
        }
    EXPECT_GT(compared, 100);
}

TEST_F(Views, MissingPlaceholderShowsTheBackground) {
    AppFrame* f = frame();
    testutil::TempDir empty;
    const wxString before = wxGetCwd();
    ASSERT_TRUE(wxSetWorkingDirectory(empty.path));
    repaint(f);
    repaint(f);  // every paint reads again
    ASSERT_TRUE(wxSetWorkingDirectory(before));
    EXPECT_FALSE(viewportImage.IsOk());
    EXPECT_FALSE(screenImage.IsOk());
    // The colour read-out still works: black.
    move(f->sliceView, 10, 10);
    EXPECT_EQ(status(1), "R:0   G:0   B:0");
}

TEST_F(Views, LoadedVolumeIsShownAtItsSizeTimesTheScale) {
    AppFrame* f = frame();
    f->SetSize(wxSize(800, 400));  // room for 128 x 96 in both views
    testutil::pump();
    fakeVolume(64, 48);
    viewportImage = testutil::makeImage(50, 50, [](int x, int y) { return voxel(4 * x + 1, 4 * y + 1, 200, 255); }, false);
    repaint(f);
    ASSERT_GE(f->sliceView->GetClientSize().x, 140);
    ASSERT_GE(f->sliceView->GetClientSize().y, 110);

    const wxImage right = shown(f->sliceView);
    for (int y = 0; y < 96; y += 5)
        for (int x = 0; x < 128; x += 7)
            ASSERT_EQ(testutil::pixel(right, x, y), testutil::pixel(screenImage, x / 2, y / 2)) << x << "," << y;
    EXPECT_TRUE(allBlack(right, 128, 0, 140, 110)) << "black right of the picture";
    EXPECT_TRUE(allBlack(right, 0, 96, 140, 110)) << "black below the picture";

    // The 50 x 50 3D image is stretched to the same 128 x 96.
    const wxImage left = shown(f->view3D);
    const wxImage stretched = viewportImage.Scale(128, 96);
    for (int y = 0; y < 96; y += 5)
        for (int x = 0; x < 128; x += 7)
            ASSERT_EQ(testutil::pixel(left, x, y), testutil::pixel(stretched, x, y)) << x << "," << y;
    EXPECT_EQ(testutil::pixel(left, 127, 95), testutil::pixel(viewportImage, 49, 49));
    EXPECT_TRUE(allBlack(left, 128, 0, 140, 110));
    EXPECT_TRUE(allBlack(left, 0, 96, 140, 110));
    // redraw works on its own copy.
    EXPECT_EQ(viewportImage.GetSize(), wxSize(50, 50));
    EXPECT_EQ(screenImage.GetSize(), wxSize(64, 48));

    // vpScale 1 after a repaint: 64 x 48, black beyond.
    f->vpScale = 1;
    repaint(f);
    const wxImage small = shown(f->sliceView);
    EXPECT_EQ(testutil::pixel(small, 63, 47), testutil::pixel(screenImage, 63, 47));
    EXPECT_TRUE(allBlack(small, 64, 0, 140, 110));
    EXPECT_TRUE(allBlack(small, 0, 48, 140, 110));
    f->vpScale = 2;
}

TEST_F(Views, RepaintOfOneViewRedrawsBoth) {
    AppFrame* f = frame();
    fakeVolume(64, 48);
    viewportImage = testutil::makeImage(50, 50, [](int, int) { return voxel(0, 180, 0, 255); }, false);
    repaint(f);
    f->clearViews();
    ASSERT_TRUE(allBlack(shown(f->sliceView), 0, 0, 100, 90));
    repaint(f->view3D);
    const wxImage right = shown(f->sliceView);
    EXPECT_EQ(testutil::pixel(right, 20, 30), testutil::pixel(screenImage, 10, 15));
    EXPECT_EQ(testutil::pixel(shown(f->view3D), 20, 30), voxel(0, 180, 0, 255));
}

TEST_F(Views, WithoutAVolumeRedrawOnlyClears) {
    AppFrame* f = frame();
    repaint(f);  // placeholders, if present, or the background
    const wxImage picture = testutil::makeImage(30, 30, [](int, int) { return voxel(255, 255, 255, 255); }, false);
    f->redraw(f->sliceView, picture);
    f->redraw(f->view3D, picture);
    EXPECT_TRUE(allBlack(shown(f->sliceView), 0, 0, 100, 100));
    EXPECT_TRUE(allBlack(shown(f->view3D), 0, 0, 100, 100));

    // A volume too small to show anything at this scale.
    testutil::fillMap(*myVoxmap, 0, 5, 1, [](int, int, int) { return voxel(); });
    f->redraw(f->sliceView, picture);
    EXPECT_TRUE(allBlack(shown(f->sliceView), 0, 0, 100, 100));
}

TEST_F(Views, ClearViewsBlackensBoth) {
    AppFrame* f = frame();
    fakeVolume(64, 48);
    repaint(f);
    ASSERT_FALSE(allBlack(shown(f->sliceView), 0, 0, 100, 90));
    f->clearViews();
    EXPECT_TRUE(allBlack(shown(f->sliceView), 0, 0, 120, 120));
    EXPECT_TRUE(allBlack(shown(f->view3D), 0, 0, 120, 120));
}
