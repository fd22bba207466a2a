// The main window: its globals, construction, handlers and refresh steps, and the
// volume filters with their tables. In order below:
//   globals, event table, construction (menus, controls, layout, shortcuts);
//   the views' paint and colour picking (drawing itself: views.cpp);
//   refresh steps (slice, march, overlay, merged control changes);
//   window size, the controls' state after a load, mouse orbit and wheel;
//   loading a stack (file reading: stackio.cpp); view and settings controls;
//   the filters: kernel tables, key/blur/edges over the kernels module, the commands and Undo.
// Saving and the batch render are in saving.cpp.
#include "appFrame.h"

#include <wx/accel.h>
#include <wx/bitmap.h>
#include <wx/dcclient.h>
#include <wx/display.h>
#include <wx/file.h>
#include <wx/filename.h>
#include <wx/filedlg.h>
#include <wx/log.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/msgout.h>
#include <wx/numdlg.h>
#include <wx/panel.h>
#include <wx/progdlg.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <initializer_list>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "camera.h"
#include "kernels.h"
#include "matrix.h"
#include "parallel.h"
#include "render.h"
#include "slicer.h"
#include "stackio.h"
#include "stackwrite.h"
#include "views.h"
#include "voxelmap.h"

// ---- Globals ----

namespace {
voxelmap theVoxmap;  // the storage behind myVoxmap, alive for the whole process

}
voxelmap* const myVoxmap = &theVoxmap;
std::unique_ptr<slicer> theslicer;
std::unique_ptr<camera> cam;
wxImage screenImage;
wxImage viewportImage;

bool volumeReady() { return myVoxmap->loaded && theslicer && cam; }

// ---- Event table ----

// clang-format off
wxBEGIN_EVENT_TABLE(AppFrame, wxFrame)
    EVT_MENU(ID_LOAD, AppFrame::OnLoad)
    EVT_MENU(ID_SAVE, AppFrame::OnSave)
    EVT_MENU(ID_SAVEVOLUME, AppFrame::OnSaveVolume)
    EVT_MENU(ID_RENDER, AppFrame::OnRender)
    EVT_MENU(ID_ABOUT, AppFrame::OnAbout)
    EVT_MENU(ID_EXIT, AppFrame::OnExit)
    EVT_MENU(ID_BLUR, AppFrame::OnBlur)
    EVT_MENU(ID_EDGES, AppFrame::OnEdges)
    EVT_MENU(ID_KEY, AppFrame::OnKey)
    EVT_MENU(ID_UNDO, AppFrame::OnUndo)
    EVT_MENU(ID_RAYRES, AppFrame::OnRayRes)
    EVT_MENU(ID_RAYSTEP, AppFrame::OnRayStep)
    EVT_MENU(ID_VPSCALE, AppFrame::OnVPScale)
    EVT_MENU(ID_AASLICE, AppFrame::OnAASlice)
    EVT_SPINCTRL(ID_TX, AppFrame::OnSpinCtrl)
    EVT_SPINCTRL(ID_TY, AppFrame::OnSpinCtrl)
    EVT_SPINCTRL(ID_TZ, AppFrame::OnSpinCtrl)
    EVT_SPINCTRL(ID_RX, AppFrame::OnSpinCtrl)
    EVT_SPINCTRL(ID_RY, AppFrame::OnSpinCtrl)
    EVT_SPINCTRL(ID_RZ, AppFrame::OnSpinCtrl)
    EVT_SPINCTRL(ID_SX, AppFrame::OnSpinCtrl)
    EVT_SPINCTRL(ID_SY, AppFrame::OnSpinCtrl)
    EVT_SPINCTRL(ID_SZ, AppFrame::OnSpinCtrl)
    EVT_SPINCTRL(ID_YAW, AppFrame::OnSpinCam)
    EVT_SPINCTRL(ID_PITCH, AppFrame::OnSpinCam)
    EVT_SPINCTRL(ID_DEPTH, AppFrame::OnSpinCam)
    EVT_SPINCTRL(ID_TRUCK, AppFrame::OnSpinCam)
    EVT_SPINCTRL(ID_ZOOM, AppFrame::OnSpinCam)
wxEND_EVENT_TABLE()
// clang-format on

// ---- Main window ----

namespace {
namespace shell {

// A spin control of the control panel with arrow keys, created at 0 and then set; at
// least 50 x 20, and as big as the toolkit needs to show its digits and buttons.
wxSpinCtrl* makeSpin(wxWindow* parent, int id, int min, int max, int value) {
    auto* spin = new wxSpinCtrl(parent, id, wxEmptyString, wxDefaultPosition, wxSize(50, 20), wxSP_ARROW_KEYS, min,
                                max, 0);  // owned by parent
    spin->SetValue(value);
    sizeAtLeast(spin, wxSize(50, 20));
    return spin;
}

wxStaticText* makeLabel(wxWindow* parent, const wxString& text, const wxSize& size = wxDefaultSize) {
    return new wxStaticText(parent, wxID_ANY, text, wxDefaultPosition, size, wxST_NO_AUTORESIZE);  // owned by parent
}

// One horizontal row of a control box, left to right.
wxBoxSizer* makeRow(std::initializer_list<wxWindow*> items) {
    auto* row = new wxBoxSizer(wxHORIZONTAL);
    for (wxWindow* item : items) row->Add(item, 0, wxTOP, 0);
    return row;
}

}  // namespace shell
}  // namespace

AppFrame::AppFrame(const wxString& title, const wxPoint& pos, const wxSize& size)
    : wxFrame(nullptr, wxID_ANY, title, pos, size, wxDEFAULT_FRAME_STYLE) {
    keyColour = voxel(0, 0, 0, 0);

    // Menus; the commands that need a volume stay disabled until the first load.
    menuBar = new wxMenuBar;
    fileMenu = new wxMenu;
    effectsMenu = new wxMenu;
    settingsMenu = new wxMenu;
    fileMenu->Append(ID_LOAD, "&Load");
    fileMenu->Append(ID_SAVE, "&Save");
    fileMenu->Append(ID_SAVEVOLUME, "Save &Volume");
    fileMenu->AppendSeparator();
    fileMenu->Append(ID_RENDER, "Batch &Render");
    fileMenu->AppendSeparator();
    fileMenu->Append(ID_ABOUT, "&About");
    fileMenu->Append(ID_EXIT, "E&xit");
    fileMenu->Enable(ID_SAVE, false);
    fileMenu->Enable(ID_RENDER, false);
    fileMenu->Enable(ID_SAVEVOLUME, false);
    effectsMenu->Append(ID_BLUR, "&Blur");
    effectsMenu->Append(ID_EDGES, "Find &Edges");
    effectsMenu->Append(ID_KEY, "&Key");
    effectsMenu->Enable(ID_BLUR, false);
    effectsMenu->Enable(ID_EDGES, false);
    effectsMenu->Enable(ID_KEY, false);
    effectsMenu->AppendSeparator();
    effectsMenu->Append(ID_UNDO, "&Undo");
    effectsMenu->Enable(ID_UNDO, false);  // until a filter has something to take back
    settingsMenu->Append(ID_RAYRES, "&Ray Marcher Res");
    settingsMenu->Append(ID_RAYSTEP, "Ray &Step Length");
    settingsMenu->AppendSeparator();
    settingsMenu->Append(ID_VPSCALE, "&Viewport Scaling");
    settingsMenu->AppendCheckItem(ID_AASLICE, "&AA Lookups");  // checked while on
    settingsMenu->Enable(ID_RAYRES, false);
    settingsMenu->Enable(ID_RAYSTEP, false);
    settingsMenu->Enable(ID_AASLICE, false);
    menuBar->Append(fileMenu, "&File");
    menuBar->Append(effectsMenu, "&Effects");
    menuBar->Append(settingsMenu, "&Settings");
    SetMenuBar(menuBar);

    // Panels and the two views (all owned by the window tree).
    mainPanel = new wxPanel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER);
    controlPanel = new wxPanel(mainPanel, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxSTATIC_BORDER);
    view3D = new wxWindow(mainPanel, ID_VIEW3D, wxDefaultPosition, wxSize(200, 200), wxSTATIC_BORDER);
    sliceView = new wxWindow(mainPanel, ID_SLICEVIEW, wxDefaultPosition, wxDefaultSize, wxSTATIC_BORDER);

    // Controls, in keyboard navigation order.
    slicerBox = new wxStaticBox(controlPanel, wxID_ANY, "Slicer controls");
    labelT = shell::makeLabel(controlPanel, "T:");
    labelR = shell::makeLabel(controlPanel, "R:");
    labelS = shell::makeLabel(controlPanel, "S:");
    spinTX = shell::makeSpin(controlPanel, ID_TX, -1000, 1000, 0);
    spinTY = shell::makeSpin(controlPanel, ID_TY, -1000, 1000, 0);
    spinTZ = shell::makeSpin(controlPanel, ID_TZ, -1000, 1000, 0);
    spinRX = shell::makeSpin(controlPanel, ID_RX, -1000, 1000, 0);
    spinRY = shell::makeSpin(controlPanel, ID_RY, -1000, 1000, 0);
    spinRZ = shell::makeSpin(controlPanel, ID_RZ, -1000, 1000, 0);
    spinSZ = shell::makeSpin(controlPanel, ID_SZ, -1000, 1000, 100);
    spinSX = shell::makeSpin(controlPanel, ID_SX, -1000, 1000, 100);
    spinSY = shell::makeSpin(controlPanel, ID_SY, -1000, 1000, 100);
    cameraBox = new wxStaticBox(controlPanel, wxID_ANY, "Camera controls");
    const wxSize labelSize(100, 15);
    labelYaw = shell::makeLabel(controlPanel, "Yaw: ", labelSize);
    labelPitch = shell::makeLabel(controlPanel, "Pitch: ", labelSize);
    labelDepth = shell::makeLabel(controlPanel, "Depth: ", labelSize);
    labelTruck = shell::makeLabel(controlPanel, "Truck: ", labelSize);
    labelZoom = shell::makeLabel(controlPanel, "Zoom: ", labelSize);
    spinYaw = shell::makeSpin(controlPanel, ID_YAW, -1080, 1080, 0);
    spinPitch = shell::makeSpin(controlPanel, ID_PITCH, -1080, 1080, 0);
    spinDepth = shell::makeSpin(controlPanel, ID_DEPTH, 0, 100, 100);
    spinTruck = shell::makeSpin(controlPanel, ID_TRUCK, -1000, 1000, 0);
    spinZoom = shell::makeSpin(controlPanel, ID_ZOOM, -1000, 1000, 200);
    // Focus moves along the rows as they are shown, not in the order of creation.
    spinSX->MoveAfterInTabOrder(spinRZ);
    spinSY->MoveAfterInTabOrder(spinSX);
    spinTruck->MoveAfterInTabOrder(spinPitch);
    spinZoom->MoveAfterInTabOrder(spinTruck);

    // Layout: 3D view | controls | slice view; the views share the spare width.
    auto* mainSizer = new wxBoxSizer(wxHORIZONTAL);
    mainSizer->Add(view3D, 1, wxEXPAND | wxALL, 5);
    mainSizer->Add(controlPanel, 0, wxEXPAND | wxALL, 0);
    mainSizer->Add(sliceView, 1, wxEXPAND | wxALL, 5);

    auto* slicerSizer = new wxStaticBoxSizer(slicerBox, wxVERTICAL);
    slicerSizer->Add(shell::makeRow({labelT, spinTX, spinTY, spinTZ}), 0, wxTOP, 0);
    slicerSizer->Add(shell::makeRow({labelR, spinRX, spinRY, spinRZ}), 0, wxTOP, 0);
    slicerSizer->Add(shell::makeRow({labelS, spinSX, spinSY, spinSZ}), 0, wxTOP, 0);

    auto* cameraSizer = new wxStaticBoxSizer(cameraBox, wxVERTICAL);
    cameraSizer->Add(shell::makeRow({labelYaw, spinYaw}), 0, wxTOP, 0);
    cameraSizer->Add(shell::makeRow({labelPitch, spinPitch}), 0, wxTOP, 0);
    cameraSizer->Add(shell::makeRow({labelTruck, spinTruck}), 0, wxTOP, 0);
    cameraSizer->Add(shell::makeRow({labelZoom, spinZoom}), 0, wxTOP, 0);
    cameraSizer->Add(shell::makeRow({labelDepth, spinDepth}), 0, wxTOP, 0);

    auto* controlSizer = new wxBoxSizer(wxVERTICAL);
    controlSizer->Add(slicerSizer, 0, wxTOP, 0);
    controlSizer->Add(cameraSizer, 0, wxTOP, 0);

    mainPanel->SetAutoLayout(true);
    mainPanel->SetSizer(mainSizer);  // the panels own their sizers
    controlPanel->SetAutoLayout(true);
    controlPanel->SetSizer(controlSizer);

    // The views' paint and motion come to the frame.
    view3D->Bind(wxEVT_PAINT, &AppFrame::OnPaint, this);
    view3D->Bind(wxEVT_MOTION, &AppFrame::OnMotion, this);
    sliceView->Bind(wxEVT_PAINT, &AppFrame::OnPaint, this);
    sliceView->Bind(wxEVT_MOTION, &AppFrame::OnMotion, this);
    // Files or a folder dropped onto the window load as a stack.
    DragAcceptFiles(true);
    Bind(wxEVT_DROP_FILES, &AppFrame::OnDropFiles, this);
    // Mouse orbit and zoom in the 3D view, the wheel over the slice view.
    view3D->Bind(wxEVT_RIGHT_DOWN, &AppFrame::OnRightDown, this);
    view3D->Bind(wxEVT_RIGHT_UP, &AppFrame::OnRightUp, this);
    view3D->Bind(wxEVT_MOUSE_CAPTURE_LOST, &AppFrame::OnCaptureLost, this);
    view3D->Bind(wxEVT_MOUSEWHEEL, &AppFrame::OnWheel, this);
    sliceView->Bind(wxEVT_MOUSEWHEEL, &AppFrame::OnWheel, this);

    CreateStatusBar(2, wxSTB_DEFAULT_STYLE, 0);
    vpScale = 2;

    // At least the size given, and never so small that a control is cut or squeezed
    // (GTK warns about every control laid out below its minimum).
    const wxSize least = mainPanel->GetBestSize();
    SetMinClientSize(least);
    wxSize client = GetClientSize();
    client.IncTo(least);
    SetClientSize(client);

    // Shortcuts through a table, so the menu texts stay as they are.
    wxAcceleratorEntry shortcuts[] = {
        wxAcceleratorEntry(wxACCEL_CTRL, 'O', ID_LOAD), wxAcceleratorEntry(wxACCEL_CTRL, 'S', ID_SAVE),
        wxAcceleratorEntry(wxACCEL_CTRL, 'Q', ID_EXIT), wxAcceleratorEntry(wxACCEL_CTRL, 'Z', ID_UNDO)};
    SetAcceleratorTable(wxAcceleratorTable(static_cast<int>(std::size(shortcuts)), shortcuts));
}

AppFrame::~AppFrame() {
    // The views outlive this part of the frame while the window tree is torn down:
    // no paint or motion of theirs may reach the half-destroyed frame.
    view3D->Unbind(wxEVT_PAINT, &AppFrame::OnPaint, this);
    view3D->Unbind(wxEVT_MOTION, &AppFrame::OnMotion, this);
    sliceView->Unbind(wxEVT_PAINT, &AppFrame::OnPaint, this);
    sliceView->Unbind(wxEVT_MOTION, &AppFrame::OnMotion, this);
    view3D->Unbind(wxEVT_RIGHT_DOWN, &AppFrame::OnRightDown, this);
    view3D->Unbind(wxEVT_RIGHT_UP, &AppFrame::OnRightUp, this);
    view3D->Unbind(wxEVT_MOUSE_CAPTURE_LOST, &AppFrame::OnCaptureLost, this);
    view3D->Unbind(wxEVT_MOUSEWHEEL, &AppFrame::OnWheel, this);
    sliceView->Unbind(wxEVT_MOUSEWHEEL, &AppFrame::OnWheel, this);
    if (view3D->HasCapture()) view3D->ReleaseMouse();
}

void AppFrame::OnAbout(wxCommandEvent&) {
    wxMessageBox("Slabwright v1.0.\n\nBuilds, filters and slices RGBA voxel volumes from image stacks.", "About...",
                 wxOK | wxCENTRE, nullptr);
}

void AppFrame::OnExit(wxCommandEvent&) { Close(true); }

// ---- Viewport display and colour picking (the drawing itself is in views) ----

namespace {
// The image a view shows: the slice in the slice view, the 3D image in the other.
const wxImage& imageOf(const AppFrame& frame, const wxWindow* view) {
    return view == frame.sliceView ? screenImage : viewportImage;
}
}  // namespace

void AppFrame::redraw(wxWindow* window, wxImage image) {
    if (!window) return;
    wxClientDC dc(window);
    display::showScaled(dc, std::move(image), display::shownSize(*myVoxmap, vpScale));
}

void AppFrame::clearViews() {
    for (wxWindow* view : {view3D, sliceView}) {
        if (!view) continue;
        wxClientDC dc(view);
        dc.SetBackground(wxBrush(wxColour(0, 0, 0)));
        dc.Clear();
    }
}

namespace {
namespace refresh {
void overlay(const AppFrame& f);
}  // namespace refresh
}  // namespace

void AppFrame::OnPaint(wxPaintEvent& event) {
    if (!myVoxmap->loaded) {
        static bool reported3D = false;
        static bool reported2D = false;
        display::readPlaceholder(viewportImage, display::kPlaceholder3D, reported3D);
        display::readPlaceholder(screenImage, display::kPlaceholder2D, reported2D);
    }
    // Both views are repainted whichever asked: the slice view first, then the 3D view.
    // Only the window being painted takes a paint DC. The other one is drawn through a
    // client DC once this paint is over: GTK drops what a client DC draws during a paint.
    // The plane's outline goes over the 3D view each time: a repaint would erase it for good.
    const wxObject* const painted = event.GetEventObject();
    for (wxWindow* view : {sliceView, view3D}) {
        if (view == painted) {
            {
                wxPaintDC dc(view);
                display::showView(dc, imageOf(*this, view), *myVoxmap, vpScale);
            }
            if (view == view3D) CallAfter([this] { if (volumeReady()) refresh::overlay(*this); });
        } else {
            CallAfter([this, view] {
                {
                    wxClientDC dc(view);
                    display::showView(dc, imageOf(*this, view), *myVoxmap, vpScale);
                }
                if (view == view3D && volumeReady()) refresh::overlay(*this);
            });
        }
    }
}

void AppFrame::OnMotion(wxMouseEvent& event) {
    const wxPoint pos = event.GetPosition();
    if (orbiting && event.GetEventObject() == view3D) orbitTo(pos);
    int w = 100;
    int h = 100;
    if (myVoxmap->loaded) {
        const wxSize shown = display::shownSize(*myVoxmap, vpScale);
        w = shown.x;
        h = shown.y;
    }
    // The last displayed column and row, and everything beyond, are ignored.
    if (pos.x >= w - 1 || pos.y >= h - 1) return;
    const int scale = vpScale > 0 ? vpScale : 1;
    const int px = pos.x / scale;
    const int py = pos.y / scale;

    // The colour always comes from the slice image, over either view; outside it, black.
    unsigned char r = 0, g = 0, b = 0;
    if (screenImage.IsOk() && px >= 0 && py >= 0 && px < screenImage.GetWidth() && py < screenImage.GetHeight()) {
        r = screenImage.GetRed(px, py);
        g = screenImage.GetGreen(px, py);
        b = screenImage.GetBlue(px, py);
    }
    const wxString rgb = wxString::Format("R:%d   G:%d   B:%d", r, g, b);
    SetStatusText(rgb, 1);
    if (event.LeftIsDown()) {
        SetStatusText("Key Colour " + rgb, 0);
        keyColour = voxel(r, g, b, 0);
    }
}

// ---- Refresh steps: how handlers bring the views up to date ----

namespace {
namespace refresh {

// Gives image w x h RGB pixels: the old picture stretched, or black if it had none
// (a placeholder that could not be read).
void sizeImage(wxImage& image, int w, int h) {
    if (image.IsOk())
        image.Rescale(w, h);
    else
        image.Create(w, h);
    if (!image.IsOk()) return;
    // The computed views are plain RGB: a placeholder's transparency must not survive.
    if (image.HasAlpha()) image.ClearAlpha();
    image.SetMask(false);
}

// Slice refresh: the plane sampled into screenImage, shown in the slice view.
void slice(AppFrame& f) {
    if (screenImage.IsOk()) theslicer->evaluateSlice(myVoxmap, screenImage);
    f.redraw(f.sliceView, screenImage);
}

// viewportImage sized to the camera's resolution and marched.
void march() {
    sizeImage(viewportImage, cam->resolution, cam->resolution);
    if (viewportImage.IsOk()) cam->march(myVoxmap, viewportImage);
}

// 3D refresh: marched, then shown in the 3D view.
void view3D(AppFrame& f) {
    march();
    f.redraw(f.view3D, viewportImage);
}

// What a long march shows: nothing for half a second, then a progress dialog with a
// Cancel button (or the frame's stand-in for it). A newer camera change waiting also
// stops the march: its picture would be out of date when done.
class MarchWatch {
public:
    explicit MarchWatch(AppFrame& f) : frame_(f), start_(std::chrono::steady_clock::now()) {}
    bool cancelled() const { return cancelled_; }
    bool operator()(int done, int total) {
        if (frame_.cameraStale) return false;
        if (frame_.marchProgressHook) return keep(frame_.marchProgressHook(done, total));
        if (!dialog_) {
            if (std::chrono::steady_clock::now() - start_ < std::chrono::milliseconds(500)) return true;
            dialog_ = std::make_unique<wxProgressDialog>(
                "Please wait", "Marching rays", total, &frame_,
                wxPD_APP_MODAL | wxPD_AUTO_HIDE | wxPD_CAN_ABORT | wxPD_ELAPSED_TIME | wxPD_REMAINING_TIME);
        }
        return keep(dialog_->Update(std::min(done, total)));
    }

private:
    bool keep(bool goOn) {
        cancelled_ = !goOn;
        return goOn;
    }
    AppFrame& frame_;
    std::chrono::steady_clock::time_point start_;
    std::unique_ptr<wxProgressDialog> dialog_;
    bool cancelled_ = false;
};

// 3D refresh of a camera change, into a fresh picture that replaces viewportImage only
// when complete. Returns false when the march was cancelled or overtaken by a newer
// change: viewportImage then still shows the picture from before.
bool view3DOrKeep(AppFrame& f, bool& cancelled) {
    wxImage next(std::max(1, cam->resolution), std::max(1, cam->resolution), false);
    if (!next.IsOk()) {
        // No memory for a second picture: march in place, without Cancel.
        view3D(f);
        return true;
    }
    MarchWatch watch(f);
    const bool done = cam->march(myVoxmap, next, std::ref(watch));
    cancelled = watch.cancelled();
    if (!done) return false;
    viewportImage = next;
    f.redraw(f.view3D, viewportImage);
    return true;
}

// The plane's outline over the 3D view, at the size the view shows its image.
void overlay(const AppFrame& f) {
    const wxSize shown = display::shownSize(*myVoxmap, f.vpScale);
    cam->drawslicer3d(theslicer.get(), f.view3D, shown.x, shown.y);
}

// Whether a volume, its plane and its camera exist.

}  // namespace refresh
}  // namespace

// ---- What the window shows: its size, the controls' state, the mouse ----

void AppFrame::redrawViews() {
    if (!myVoxmap->loaded) return;  // before a load the next paint shows the placeholders
    redraw(sliceView, screenImage);
    redraw(view3D, viewportImage);
    if (volumeReady()) refresh::overlay(*this);
}

void AppFrame::fitViews() {
    const wxSize need = display::shownSize(*myVoxmap, vpScale);
    if (need.x <= 0 || need.y <= 0) return;
    // What the main panel needs: both views (with their borders and 5-pixel margins) at
    // the shown size beside the control panel. The panel fills the frame's client area.
    const wxSize border = view3D->GetSize() - view3D->GetClientSize();
    const wxSize controls = controlPanel->GetEffectiveMinSize();
    const int64_t panelW = 2 * (static_cast<int64_t>(need.x) + border.x + 10) + controls.x;
    const int64_t panelH = std::max<int64_t>(static_cast<int64_t>(need.y) + border.y + 10, controls.y);
    const wxSize chrome = GetSize() - GetClientSize();  // menu bar, status bar, frame edges
    const wxRect work = wxDisplay(this).GetClientArea();
    const wxSize now = GetSize();
    // Within the work area (all of it when the display is too small), never smaller than now.
    wxSize size(static_cast<int>(std::min<int64_t>(panelW + chrome.x, work.width)),
                static_cast<int>(std::min<int64_t>(panelH + chrome.y, work.height)));
    size.IncTo(now);
    if (size == now) return;
    // Moved back only as far as it takes to keep the grown window on the work area.
    wxPoint pos = GetPosition();
    pos.x = std::max(work.x, std::min(pos.x, work.x + work.width - size.x));
    pos.y = std::max(work.y, std::min(pos.y, work.y + work.height - size.y));
    SetSize(wxRect(pos, size));
}

void AppFrame::showLoadedState() {
    // The load made a fresh plane and camera at the start pose; the controls say so.
    const std::pair<wxSpinCtrl*, int> starts[] = {
        {spinTX, 0},     {spinTY, 0},      {spinTZ, 0},      {spinRX, 0},     {spinRY, 0},
        {spinRZ, 0},     {spinSX, 100},    {spinSY, 100},    {spinSZ, 100},   {spinYaw, 0},
        {spinPitch, 0},  {spinDepth, 100}, {spinTruck, 0},   {spinZoom, 200},
    };
    for (const auto& [control, value] : starts) control->SetValue(value);  // SetValue sends no event
    settingsMenu->Check(ID_AASLICE, theslicer && theslicer->aaLookups);
    SetStatusText(wxString::Format("%d x %d x %d voxels", myVoxmap->width, myVoxmap->height, myVoxmap->depth), 0);
    fitViews();
    redrawViews();
}

namespace {

// v brought into [lo, hi] by whole turns, which leave the camera where it was: an orbit
// can go on turning past the controls' limits.
int wrapTurns(int v, int lo, int hi) {
    while (v > hi) v -= 360;
    while (v < lo) v += 360;
    return v;
}

// A value change of one of the frame's spin controls, as the control itself reports it.
wxSpinEvent changeOf(wxSpinCtrl* control) {
    wxSpinEvent ev(wxEVT_SPINCTRL, control->GetId());
    ev.SetEventObject(control);
    ev.SetPosition(control->GetValue());
    return ev;
}

}  // namespace

void AppFrame::orbitTo(const wxPoint& pos) {
    const int dx = pos.x - orbitFrom.x;
    const int dy = pos.y - orbitFrom.y;
    orbitFrom = pos;
    if (!volumeReady() || (dx == 0 && dy == 0)) return;
    // One degree per pixel; then the same path as a change of the camera controls.
    spinYaw->SetValue(wrapTurns(spinYaw->GetValue() + dx, spinYaw->GetMin(), spinYaw->GetMax()));
    spinPitch->SetValue(wrapTurns(spinPitch->GetValue() + dy, spinPitch->GetMin(), spinPitch->GetMax()));
    wxSpinEvent ev = changeOf(dx != 0 ? spinYaw : spinPitch);
    OnSpinCam(ev);
}

void AppFrame::OnRightDown(wxMouseEvent& event) {
    event.Skip();
    if (!volumeReady()) return;
    orbiting = true;
    orbitFrom = event.GetPosition();
    if (!view3D->HasCapture()) view3D->CaptureMouse();  // the drag goes on outside the view
}

void AppFrame::OnRightUp(wxMouseEvent& event) {
    event.Skip();
    orbiting = false;
    if (view3D->HasCapture()) view3D->ReleaseMouse();
}

void AppFrame::OnCaptureLost(wxMouseCaptureLostEvent&) { orbiting = false; }

void AppFrame::OnWheel(wxMouseEvent& event) {
    if (!volumeReady() || event.GetWheelAxis() != wxMOUSE_WHEEL_VERTICAL) {
        event.Skip();
        return;
    }
    // Whole notches; what a fine-grained wheel turns less than one is kept for the next turn.
    const int perNotch = event.GetWheelDelta() > 0 ? event.GetWheelDelta() : 120;
    wheelRest += event.GetWheelRotation();
    const int notches = wheelRest / perNotch;
    wheelRest -= notches * perNotch;
    if (notches == 0) return;
    // Zoom by 10 a notch in the 3D view, the plane one unit along z over the slice view;
    // then the same path as a change of that control.
    const bool in3D = event.GetEventObject() == view3D;
    wxSpinCtrl* const control = in3D ? spinZoom : spinTZ;
    const int before = control->GetValue();
    const int64_t wanted = before + static_cast<int64_t>(notches) * (in3D ? 10 : 1);
    control->SetValue(static_cast<int>(std::clamp<int64_t>(wanted, control->GetMin(), control->GetMax())));
    if (control->GetValue() == before) return;  // at the end of its range
    wxSpinEvent ev = changeOf(control);
    if (in3D)
        OnSpinCam(ev);
    else
        OnSpinCtrl(ev);
}

// ---- Loading a stack ----

namespace {
namespace loading {

// The Load dialog's filter: GTK matches patterns case-sensitively, so each letter is a class.
const char* const kWildcard =
    "Image Files (*.png;*.jpg;*.jpeg;*.tif;*.tiff)|"
    "*.[pP][nN][gG];*.[jJ][pP][gG];*.[jJ][pP][eE][gG];*.[tT][iI][fF];*.[tT][iI][fF][fF]|"
    "All files (*)|*";

}  // namespace loading
}  // namespace

void AppFrame::OnLoad(wxCommandEvent&) {
    wxFileDialog dialog(this, "Load Images", lastLoadDir, wxEmptyString, loading::kWildcard,
                        wxFD_OPEN | wxFD_MULTIPLE);
    if (dialog.ShowModal() != wxID_OK) return;
    lastLoadDir = dialog.GetDirectory();
    wxArrayString paths;
    dialog.GetPaths(paths);
    loadStack(paths);
}

void AppFrame::OnDropFiles(wxDropFilesEvent& event) {
    wxArrayString paths;
    for (int i = 0; i < event.GetNumberOfFiles(); ++i) paths.Add(event.GetFiles()[i]);
    loadStack(paths);
}

void AppFrame::loadStack(const wxArrayString& paths) {
    if (paths.empty() || paths.size() > static_cast<size_t>(INT_MAX)) return;
    auto refuse = [this](const wxString& problem) {
        const wxString outcome =
            myVoxmap->loaded ? "The stack was not loaded; the current volume is unchanged." : "The stack was not loaded.";
        wxMessageBox(problem + "\n\n" + outcome, "Load Images", wxOK | wxICON_ERROR, this);
    };

    // Headers first: sizes, pages and memory are checked before any pixel is decoded.
    std::vector<std::string> given, files;
    for (const wxString& p : paths) given.push_back(p.utf8_string());
    std::string problem;
    stackio::Plan plan;
    if (!stackio::expandPaths(given, files, problem) || !stackio::plan(files, plan, problem)) {
        refuse(wxString::FromUTF8(problem));
        return;
    }

    // The stack is built beside the current volume and takes its place only once every
    // file has been read and the views are made: a bad or cancelled stack leaves volume,
    // camera, plane, menus and views as they were.
    voxelmap fresh;
    std::optional<wxProgressDialog> progress;
    progress.emplace("Please wait", "Building Voxmap", plan.layers, nullptr, kProgressStyle | wxPD_CAN_ABORT);
    const stackio::Outcome outcome =
        stackio::build(plan, fresh, [&progress](int layer) { return progress->Update(layer, wxEmptyString); });
    if (outcome.cancelled) return;
    if (!outcome.problem.empty()) {
        progress.reset();  // gone before the message comes up
        refuse(wxString::FromUTF8(outcome.problem));
        return;
    }
    auto freshCam = std::make_unique<camera>();
    // Fresh pictures: the slice and the march write every pixel, so the old ones need
    // not be stretched to the new size first.
    wxImage screen(fresh.width, fresh.height, false), viewport(freshCam->resolution, freshCam->resolution, false);
    if (!screen.IsOk() || !viewport.IsOk()) {
        progress.reset();
        refuse(wxString::Format("There is not enough memory for the views of a %d x %d x %d volume.", fresh.width,
                                fresh.height, fresh.depth));
        return;
    }
    myVoxmap->takeVolume(fresh);
    screenImage = screen;
    viewportImage = viewport;
    stackFiles.clear();
    for (const std::string& f : files) stackFiles.Add(wxString::FromUTF8(f));
    undoLevels.clear();  // what Undo kept belongs to the volume just replaced
    effectsMenu->Enable(ID_UNDO, false);

    fileMenu->Enable(ID_SAVE, true);
    fileMenu->Enable(ID_SAVEVOLUME, true);
    fileMenu->Enable(ID_RENDER, true);
    effectsMenu->Enable(ID_BLUR, true);
    effectsMenu->Enable(ID_EDGES, true);
    effectsMenu->Enable(ID_KEY, true);
    settingsMenu->Enable(ID_RAYRES, true);
    settingsMenu->Enable(ID_RAYSTEP, true);
    settingsMenu->Enable(ID_AASLICE, true);

    // A fresh camera in front of the volume, looking at its centre on the z axis.
    cam = std::move(freshCam);
    // Changes to the old camera and plane that are still waiting do not apply to the new ones.
    shownCameraControls.reset();
    sliceStale = cameraStale = false;
    cam->startFor(myVoxmap->depth);
    refresh::view3D(*this);

    // A fresh plane across the first layer.
    theslicer = std::make_unique<slicer>(myVoxmap->origin, myVoxmap->width, myVoxmap->height);
    refresh::slice(*this);
    progress.reset();
    showLoadedState();

    if (outcome.mapped16) SetStatusText(wxString::Format("16-bit samples %u..%u mapped to 0..255", outcome.lo, outcome.hi), 0);
    if (!outcome.warnings.empty()) {
        wxString list;
        for (const std::string& w : outcome.warnings) list += wxString::FromUTF8(w) + "\n";
        wxMessageBox("The stack was loaded, but these files decoded only with the decoder's warnings; their layers "
                     "may hold filled-in data:\n\n" + list,
                     "Load Images", wxOK | wxICON_WARNING, this);
    }
}

// ---- View and settings controls ----


// Both spin handlers only note what became stale; one posted step then draws it with
// the controls' values of that moment, however many changes arrived before it ran.
void AppFrame::OnSpinCtrl(wxSpinEvent&) {
    if (!volumeReady() || !spinTX) return;
    sliceStale = true;
    if (!refreshPosted && !refreshing) {
        refreshPosted = true;
        CallAfter([this] { refreshStale(); });
    }
}

void AppFrame::OnSpinCam(wxSpinEvent&) {
    if (!volumeReady() || !spinYaw) return;
    cameraStale = true;
    if (!refreshPosted && !refreshing) {
        refreshPosted = true;
        CallAfter([this] { refreshStale(); });
    }
}

void AppFrame::refreshStale() {
    refreshPosted = false;
    if (refreshing) return;
    refreshing = true;
    while ((sliceStale || cameraStale) && volumeReady() && spinTX && spinYaw) {
        if (sliceStale) {
            sliceStale = false;
            // Every change re-applies the whole pose. The y translation runs against the control.
            theslicer->pose(Vector(spinTX->GetValue(), -spinTY->GetValue(), spinTZ->GetValue()),
                            static_cast<float>(spinRX->GetValue()), static_cast<float>(spinRY->GetValue()),
                            static_cast<float>(spinRZ->GetValue()), static_cast<float>(spinSX->GetValue()),
                            static_cast<float>(spinSY->GetValue()), static_cast<float>(spinSZ->GetValue()));
            refresh::slice(*this);
            if (!cameraStale) {
                redraw(view3D, viewportImage);  // the camera did not move: no march, just wipe the old outline
                refresh::overlay(*this);
            }
        }
        if (cameraStale) {
            cameraStale = false;
            const std::array<int, 5> controls = {spinYaw->GetValue(), spinPitch->GetValue(), spinTruck->GetValue(),
                                                 spinZoom->GetValue(), spinDepth->GetValue()};
            const camera before = *cam;
            cam->zoom = controls[3] * 0.01;
            cam->opacity = controls[4] * 0.01;
            // The eye is placed from its rest position every time.
            cam->orbit(controls[0], controls[1], controls[2]);

            bool cancelled = false;
            if (refresh::view3DOrKeep(*this, cancelled)) {
                shownCameraControls = controls;
                refresh::overlay(*this);
            } else if (cancelled) {
                // The picture stays, and so do the camera and the controls that made it.
                *cam = before;
                if (shownCameraControls) {
                    wxSpinCtrl* const spins[5] = {spinYaw, spinPitch, spinTruck, spinZoom, spinDepth};
                    for (int k = 0; k < 5; ++k) spins[k]->SetValue((*shownCameraControls)[k]);
                }
                cameraStale = false;
                redraw(view3D, viewportImage);
                refresh::overlay(*this);
            }
            // Otherwise a newer change stopped it: the loop marches again with it.
        }
    }
    refreshing = false;
}

void AppFrame::OnAASlice(wxCommandEvent&) {
    if (!volumeReady()) return;
    theslicer->aaLookups = !theslicer->aaLookups;
    settingsMenu->Check(ID_AASLICE, theslicer->aaLookups);
    refresh::slice(*this);
}

void AppFrame::OnVPScale(wxCommandEvent&) {
    const long n =
        wxGetNumberFromUser("Scale viewport image by: ", "s: ", "Scale", std::clamp(vpScale, 1, 5), 1, 5, this);
    if (n <= 0) return;
    vpScale = static_cast<int>(n);
    if (!myVoxmap->loaded) {
        clearViews();  // no volume size to scale to: black until the next paint
        return;
    }
    fitViews();
    redrawViews();
}

void AppFrame::OnRayStep(wxCommandEvent&) {
    if (!volumeReady()) return;
    // The prompt offers the current length (held in tenths' units times 0.1).
    const long now = std::clamp(std::lround(cam->stepLength * 10), 1L, 100L);
    const long n = wxGetNumberFromUser("Ray Step Length (x10)", "l: ", "Step Length", now, 1, 100, this);
    if (n <= 0) return;
    const camera before = *cam;
    cam->stepLength = n * 0.1;
    bool cancelled = false;
    if (!refresh::view3DOrKeep(*this, cancelled)) *cam = before;  // cancelled: as it was
}

void AppFrame::OnRayRes(wxCommandEvent&) {
    if (!volumeReady()) return;
    const long n = wxGetNumberFromUser("Ray Marcher Resolution ", "r: ", "Resolution",
                                       std::clamp(cam->resolution, 1, 1000), 1, 1000, this);
    if (n <= 0) return;
    const camera before = *cam;
    cam->resolution = static_cast<int>(n);
    bool cancelled = false;
    if (!refresh::view3DOrKeep(*this, cancelled)) *cam = before;  // cancelled: as it was
}

// ==== Volume filters: everything below this line belongs to the filters ====

// ---- Kernel tables: cubes of side N, stored with the first index slowest ----

namespace {
constexpr float E = 0.125f;  // every blur neighbour weighs 1/8 of the centre
}  // namespace

// 3 x 3 x 3, one 3 x 3 slab per line; the centre is entry 13.
constexpr float blur1[27] = {
    E, E, E,  E, E,    E,  E, E, E,
    E, E, E,  E, 1.0f, E,  E, E, E,
    E, E, E,  E, E,    E,  E, E, E,
};

// 5 x 5 x 5, one 5 x 5 slab per line; the centre is entry 62.
constexpr float blur2[125] = {
    E, E, E, E, E,  E, E, E, E, E,  E, E, E,    E, E,  E, E, E, E, E,  E, E, E, E, E,
    E, E, E, E, E,  E, E, E, E, E,  E, E, E,    E, E,  E, E, E, E, E,  E, E, E, E, E,
    E, E, E, E, E,  E, E, E, E, E,  E, E, 1.0f, E, E,  E, E, E, E, E,  E, E, E, E, E,
    E, E, E, E, E,  E, E, E, E, E,  E, E, E,    E, E,  E, E, E, E, E,  E, E, E, E, E,
    E, E, E, E, E,  E, E, E, E, E,  E, E, E,    E, E,  E, E, E, E, E,  E, E, E, E, E,
};

// 7 x 7 x 7, one 7 x 7 slab per paragraph (rows 0-3, then rows 4-6); the centre is entry 171.
constexpr float blur3[343] = {
    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E,    E, E, E,
    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,

    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E,    E, E, E,
    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,

    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E,    E, E, E,
    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,

    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, 1.0f, E, E, E,
    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,

    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E,    E, E, E,
    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,

    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E,    E, E, E,
    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,

    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E,    E, E, E,
    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,
};

// Sobel cubes, read as [dx + 1][dy + 1][dz + 1]: three 3 x 3 blocks for dx = -1, 0, +1,
// each with rows dy = -1, 0, +1 and columns dz = -1, 0, +1.
constexpr float sobelX[27] = {
    -1, 0, 1,
    -2, 0, 2,
    -1, 0, 1,

    -1, 0, 1,
    -2, 0, 2,
    -1, 0, 1,

    -1, 0, 1,
    -2, 0, 2,
    -1, 0, 1,
};
constexpr float sobelY[27] = {
     1,  2,  1,
     0,  0,  0,
    -1, -2, -1,

     1,  2,  1,
     0,  0,  0,
    -1, -2, -1,

     1,  2,  1,
     0,  0,  0,
    -1, -2, -1,
};
constexpr float sobelZ[27] = {
     1,  2,  1,
     1,  2,  1,
     1,  2,  1,

     0,  0,  0,
     0,  0,  0,
     0,  0,  0,

    -1, -2, -1,
    -1, -2, -1,
    -1, -2, -1,
};
// Two-dimensional 3 x 3, read as [i + 1][j + 1].
constexpr float sobel2dX[9] = {
    -1, 0, 1,
    -2, 0, 2,
    -1, 0, 1,
};

namespace {

template <std::size_t N>
constexpr float kernelSum(const float (&t)[N]) {
    float s = 0;
    for (std::size_t n = 0; n < N; ++n) s += t[n];
    return s;
}
template <std::size_t N>
constexpr int kernelCount(const float (&t)[N], float v) {
    int c = 0;
    for (std::size_t n = 0; n < N; ++n) c += t[n] == v ? 1 : 0;
    return c;
}
// A blur cube: 1 at the centre, 1/8 everywhere else.
template <std::size_t N>
constexpr bool isBlurKernel(const float (&t)[N]) {
    return t[N / 2] == 1.0f && kernelCount(t, 1.0f) == 1 && kernelCount(t, E) == static_cast<int>(N) - 1;
}

static_assert(isBlurKernel(blur1) && kernelSum(blur1) == 4.25f, "blur1");
static_assert(isBlurKernel(blur2) && kernelSum(blur2) == 16.5f, "blur2");
static_assert(isBlurKernel(blur3) && kernelSum(blur3) == 43.75f, "blur3");
static_assert(kernelSum(sobelX) == 0 && kernelSum(sobelY) == 0 && kernelSum(sobelZ) == 0, "Sobel cubes sum to 0");

// The table of a kernel code and its side; null for an unknown code.
struct KernelTable {
    const float* table;
    int side;
};
KernelTable kernelTable(int code) {
    switch (code) {
        case KERNEL_BLUR1: return {blur1, 3};
        case KERNEL_BLUR2: return {blur2, 5};
        case KERNEL_BLUR3: return {blur3, 7};
        case KERNEL_SOBELX: return {sobelX, 3};
        case KERNEL_SOBELY: return {sobelY, 3};
        case KERNEL_SOBELZ: return {sobelZ, 3};
        case KERNEL_SOBEL2DX: return {sobel2dX, 3};
        default: return {nullptr, 0};
    }
}

}  // namespace

float weight(int i, int j, int k, int offset, int kernel) {
    const KernelTable kn = kernelTable(kernel);
    // Shifted offsets outside the cube (or an unknown code) have no entry: weight 0.
    const auto inside = [&](int v) { return v >= -offset && v < kn.side - offset; };
    if (!kn.table || !inside(i) || !inside(j)) return 0.0f;
    if (kernel == KERNEL_SOBEL2DX) return kn.table[(i + offset) * 3 + (j + offset)];
    if (!inside(k)) return 0.0f;
    return kn.table[(i + offset) * kn.side * kn.side + (j + offset) * kn.side + (k + offset)];
}

float smoothstep(float edge0, float edge1, float x) {
    if (edge0 > x) return 0.0f;
    if (x >= edge1) return 1.0f;
    const float t = (x - edge0) / (edge1 - edge0);
    return t * t * (t * -2.0f + 3.0f);
}

unsigned char lerp(unsigned char a, unsigned char b, float t) {
    // An 8-bit difference times a float is exact in double.
    const double v = a + (static_cast<double>(b) - a) * static_cast<double>(t);
    if (!(v > -2147483648.0 && v < 2147483648.0)) return 0;  // t far outside [0, 1]: no meaningful byte
    return static_cast<unsigned char>(static_cast<int>(v));
}

// The filters read the unfiltered volume and write every voxel of a second array,
// which then replaces the volume's array; the loops are in the kernels module.
// A filter that cannot have its memory says so once and leaves the volume as it was.

namespace {


// bytes: what could not be had (0: not known).
void reportNoMemory(int64_t bytes) {
    const wxString need =
        bytes > 0 ? wxString::Format(": another %lld bytes are needed", static_cast<long long>(bytes)) : wxString();
    wxMessageBox("There is not enough memory to filter this volume" + need + "; the volume is unchanged.",
                 "Slabwright", wxOK | wxICON_ERROR);
}

bool filterable(const voxelmap* map) { return map && map->loaded && map->numVoxels > 0 && map->voxels; }

// While a filter command runs: where the array a filter replaces goes for Undo (null: released).
std::deque<VoxelArray>* keptForUndo = nullptr;

// A filter's last step: its result takes the volume's place.
void swapInResult(voxelmap* map, VoxelArray result) {
    VoxelArray replaced = std::exchange(map->voxels, std::move(result));
    if (keptForUndo) keptForUndo->push_back(std::move(replaced));
}

// Runs a kernel from the unfiltered volume into a fresh array (every voxel of which it
// writes, so it is not copied from the volume first) behind the filters' progress
// dialog, and hands the array over when the kernel is done. The dialog moves on as the
// kernel tells, and ends at depth - 1.
template <class Kernel>
void filterVolume(voxelmap* map, const char* message, Kernel&& kernel) {
    const int64_t arrayBytes = map->numVoxels * static_cast<int64_t>(sizeof(voxel));
    VoxelArray out = allocateVoxels(map->numVoxels);
    if (!out) {
        reportNoMemory(arrayBytes);
        return;
    }
    kernels::Outcome outcome;
    try {
        wxProgressDialog progress("Please wait", message, map->depth, nullptr, kProgressStyle);
        outcome = kernel(out.get(), [&](int layersDone) { progress.Update(layersDone - 1, wxEmptyString); });
    } catch (const std::bad_alloc&) {
        outcome.done = false;  // the volume's array has not been touched
    } catch (const std::system_error&) {
        outcome.done = false;
    }
    if (!outcome.done) {
        reportNoMemory(outcome.scratchBytes);
        return;
    }
    swapInResult(map, std::move(out));
}

}  // namespace

void key(voxelmap* map, voxel keyColour, int range, int falloff, int premultiply) {
    if (!filterable(map)) return;
    const float edge0 = static_cast<float>(range);
    const float edge1 = static_cast<float>(static_cast<long long>(range) + falloff);
    const auto factor = [&](int d2) {
        return smoothstep(edge0, edge1, static_cast<float>(std::sqrt(static_cast<double>(d2))));
    };
    filterVolume(map, "Keying", [&](voxel* out, const kernels::Progress& progress) {
        return kernels::keyVolume(*map, out, keyColour, premultiply, factor, progress);
    });
}

void blur(voxelmap* map, int radius) {
    // The sum of the kernel's weights (4.25, 16.5, 43.75), exact in float.
    double normaliser = kernelSum(blur1);
    if (radius == 2) {
        normaliser = kernelSum(blur2);
    } else if (radius == 3) {
        normaliser = kernelSum(blur3);
    } else {
        radius = 1;  // any other radius is the 3 x 3 x 3 kernel
    }
    if (!filterable(map)) return;
    filterVolume(map, "Blurring can be slow", [&](voxel* out, const kernels::Progress& progress) {
        return kernels::blurVolume(*map, out, radius, normaliser, progress);
    });
}

void edges(voxelmap* map) {
    if (!filterable(map)) return;
    filterVolume(map, "Edge detecting can be SUPER slow.", [&](voxel* out, const kernels::Progress& progress) {
        return kernels::edgeVolume(*map, out, progress);
    });
}

// ---- The filter commands ----

namespace {

// After a filter: the slice re-evaluated, the volume re-marched and shown at 200 x 200.
void refreshAfterFilter(AppFrame& frame) {
    refresh::slice(frame);
    refresh::march();
    if (viewportImage.IsOk()) viewportImage.Rescale(200, 200);
    frame.redraw(frame.view3D, viewportImage);
    refresh::overlay(frame);
}

// What the system can still give, in bytes (MemAvailable); unknown: as good as unlimited.
int64_t availableMemory() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    int64_t kib = 0;
    std::string unit;
    while (meminfo >> key >> kib >> unit)
        if (key == "MemAvailable:") return kib * 1024;
    return INT64_MAX / 4;
}

// Runs a filter over the volume, keeping the array it replaces for Undo when memory allows.
void filterWithUndo(AppFrame& frame, const std::function<void()>& filter) {
    const bool keep = frame.makeRoomForUndo();
    const voxel* before = myVoxmap->voxels.get();
    keptForUndo = keep ? &frame.undoLevels : nullptr;
    filter();
    keptForUndo = nullptr;
    if (!keep && myVoxmap->voxels.get() != before) {
        frame.undoLevels.clear();  // an Undo now would skip this filter
        frame.SetStatusText("This filter cannot be undone: there is not enough memory to keep the volume from "
                            "before it.",
                            0);
    }
    frame.effectsMenu->Enable(ID_UNDO, !frame.undoLevels.empty());
    refreshAfterFilter(frame);
}

}  // namespace

bool AppFrame::makeRoomForUndo() {
    // At most ten levels, and each only while what stays free after the filter's result
    // is at least one more volume and a margin: Undo must not starve the next command.
    constexpr size_t kMaxLevels = 10;
    constexpr int64_t kMargin = int64_t{256} << 20;
    while (undoLevels.size() >= kMaxLevels) undoLevels.pop_front();
    const int64_t bytes = myVoxmap->numVoxels * static_cast<int64_t>(sizeof(voxel));
    int64_t available = memoryForUndo >= 0 ? memoryForUndo : availableMemory();
    const auto enough = [&] { return available - kMargin >= 2 * bytes; };
    while (!undoLevels.empty() && !enough()) {
        undoLevels.pop_front();
        available += bytes;  // the oldest level's array goes back to the system
    }
    return enough();
}

void AppFrame::undoFilter() {
    if (undoLevels.empty() || !volumeReady()) return;
    myVoxmap->voxels = std::move(undoLevels.back());  // the current array is released
    undoLevels.pop_back();
    effectsMenu->Enable(ID_UNDO, !undoLevels.empty());
    refreshAfterFilter(*this);
}

void AppFrame::OnUndo(wxCommandEvent&) { undoFilter(); }

void AppFrame::OnKey(wxCommandEvent&) {
    if (!volumeReady()) return;
    const long range = wxGetNumberFromUser("Colour Range", "R: ", "Range", 50, 1, 1000, this);
    if (range <= 0) return;
    const long falloff = wxGetNumberFromUser("Falloff", "F: ", "Range", 50, 1, 1000, this);
    const long premultiply = wxGetNumberFromUser("Premultiply", "Pre: ", "1 or 0", 1, 0, 1, this);
    if (falloff <= 0) return;
    // A cancelled premultiply prompt (-1) counts as "on", like any answer but 0.
    filterWithUndo(*this, [&] {
        key(myVoxmap, keyColour, static_cast<int>(range), static_cast<int>(falloff), premultiply != 0 ? 1 : 0);
    });
}

void AppFrame::OnBlur(wxCommandEvent&) {
    if (!volumeReady()) return;
    const long radius = wxGetNumberFromUser("Blur Radius (1-3) ", "r: ", "Radius", 1, 1, 3, this);
    if (radius <= 0) return;
    filterWithUndo(*this, [&] { blur(myVoxmap, static_cast<int>(radius)); });
}

void AppFrame::OnEdges(wxCommandEvent&) {
    if (!volumeReady()) return;
    filterWithUndo(*this, [&] { edges(myVoxmap); });
}
