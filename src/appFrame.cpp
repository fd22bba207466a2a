// The main window: the event table, construction (menus, controls, layout, shortcuts), and
// the view and settings controls (the spin handlers; their one merged refresh is in
// view3d.cpp). Elsewhere, as AppFrame members: the refresh steps (refresh.cpp), the views'
// paint (painting.cpp), loading a stack (loading.cpp), saving and the batch render
// (saving.cpp), the mouse over the views (mouse.cpp), the filter commands and Undo
// (filtering.cpp), the window over the original samples (windowing.cpp), the window's size
// and the views' scale (fitting.cpp), the voxel size (voxelsizing.cpp), the status bar
// (statusbar.cpp), the standard planes, ruler and scale bar (measuring.cpp), the 3D view's
// blend, opacity and preview with the refresh loop of the controls (view3d.cpp). The
// program's globals are defined in globals.cpp; the volume's history is a VolumeHistory.
#include "appFrame.h"

#include <wx/accel.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/numdlg.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/statbox.h>
#include <wx/stattext.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <utility>

#include "camera.h"
#include "render.h"  // sizeAtLeast
#include "slicer.h"
#include "views.h"
#include "voxelmap.h"

namespace {

// -- Building the window --

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

}  // namespace

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
    EVT_MENU(ID_FITVIEWS, AppFrame::OnFitViews)
    EVT_MENU(ID_LOADFOLDER, AppFrame::OnLoadFolder)
    EVT_MENU(ID_LOADREGION, AppFrame::OnLoadRegion)
    EVT_MENU(ID_AASLICE, AppFrame::OnAASlice)
    EVT_MENU(ID_VOXELSIZE, AppFrame::OnVoxelSize)
    EVT_MENU(ID_WINDOW, AppFrame::OnWindow)
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

AppFrame::AppFrame(const wxString& title, const wxPoint& pos, const wxSize& size)
    : wxFrame(nullptr, wxID_ANY, title, pos, size, wxDEFAULT_FRAME_STYLE) {
    keyColour = voxel(0, 0, 0, 0);

    // Menus; the commands that need a volume stay disabled until the first load.
    menuBar = new wxMenuBar;
    fileMenu = new wxMenu;
    effectsMenu = new wxMenu;
    settingsMenu = new wxMenu;
    fileMenu->Append(ID_LOAD, "&Load...\tCtrl+O");
    fileMenu->Append(ID_LOADFOLDER, "Load &Folder...\tCtrl+Shift+O");
    fileMenu->Append(ID_LOADREGION, "Load &Region...");
    fileMenu->Append(ID_SAVE, "&Save...\tCtrl+S");
    fileMenu->Append(ID_SAVEVOLUME, "Save &Volume...");
    fileMenu->AppendSeparator();
    fileMenu->Append(ID_RENDER, "Batch &Render...");
    fileMenu->AppendSeparator();
    fileMenu->Append(ID_ABOUT, "&About");
    fileMenu->Append(ID_EXIT, "E&xit\tCtrl+Q");
    fileMenu->Enable(ID_SAVE, false);
    fileMenu->Enable(ID_RENDER, false);
    fileMenu->Enable(ID_SAVEVOLUME, false);
    effectsMenu->Append(ID_BLUR, "&Blur...");
    effectsMenu->Append(ID_EDGES, "Find &Edges");
    effectsMenu->Append(ID_KEY, "&Key...");
    effectsMenu->Enable(ID_BLUR, false);
    effectsMenu->Enable(ID_EDGES, false);
    effectsMenu->Enable(ID_KEY, false);
    effectsMenu->AppendSeparator();
    effectsMenu->Append(ID_UNDO, "&Undo\tCtrl+Z");
    effectsMenu->Enable(ID_UNDO, false);  // until a filter has something to take back
    settingsMenu->Append(ID_RAYRES, "&Ray Marcher Res...");
    settingsMenu->Append(ID_RAYSTEP, "Ray &Step Length...");
    settingsMenu->AppendSeparator();
    settingsMenu->Append(ID_VPSCALE, "&Viewport Scaling...");
    settingsMenu->Append(ID_FITVIEWS, "&Fit Views\tCtrl+0");
    settingsMenu->AppendCheckItem(ID_AASLICE, "&AA Lookups");  // checked while on
    settingsMenu->Append(ID_VOXELSIZE, "Voxel Size...");
    settingsMenu->Enable(ID_VOXELSIZE, false);
    settingsMenu->AppendSeparator();
    settingsMenu->Append(ID_WINDOW, "Window/Level...");
    settingsMenu->Enable(ID_WINDOW, false);  // until a load keeps wide or calibrated samples
    settingsMenu->Enable(ID_RAYRES, false);
    settingsMenu->Enable(ID_RAYSTEP, false);
    settingsMenu->Enable(ID_AASLICE, false);
    addViewSettings();  // opacity, blend, preview
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
    labelT = makeLabel(controlPanel, "T:");
    labelR = makeLabel(controlPanel, "R:");
    labelS = makeLabel(controlPanel, "S:");
    spinTX = makeSpin(controlPanel, ID_TX, -1000, 1000, 0);
    spinTY = makeSpin(controlPanel, ID_TY, -1000, 1000, 0);
    spinTZ = makeSpin(controlPanel, ID_TZ, -1000, 1000, 0);
    spinRX = makeSpin(controlPanel, ID_RX, -1000, 1000, 0);
    spinRY = makeSpin(controlPanel, ID_RY, -1000, 1000, 0);
    spinRZ = makeSpin(controlPanel, ID_RZ, -1000, 1000, 0);
    spinSZ = makeSpin(controlPanel, ID_SZ, -1000, 1000, 100);
    spinSX = makeSpin(controlPanel, ID_SX, -1000, 1000, 100);
    spinSY = makeSpin(controlPanel, ID_SY, -1000, 1000, 100);
    cameraBox = new wxStaticBox(controlPanel, wxID_ANY, "Camera controls");
    const wxSize labelSize(100, 15);
    labelYaw = makeLabel(controlPanel, "Yaw: ", labelSize);
    labelPitch = makeLabel(controlPanel, "Pitch: ", labelSize);
    labelDepth = makeLabel(controlPanel, "Depth: ", labelSize);
    labelTruck = makeLabel(controlPanel, "Truck: ", labelSize);
    labelZoom = makeLabel(controlPanel, "Zoom: ", labelSize);
    spinYaw = makeSpin(controlPanel, ID_YAW, -1080, 1080, 0);
    spinPitch = makeSpin(controlPanel, ID_PITCH, -1080, 1080, 0);
    spinDepth = makeSpin(controlPanel, ID_DEPTH, 0, 100, 100);
    spinTruck = makeSpin(controlPanel, ID_TRUCK, -1000, 1000, 0);
    spinZoom = makeSpin(controlPanel, ID_ZOOM, -1000, 1000, 200);
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
    slicerSizer->Add(makeRow({labelT, spinTX, spinTY, spinTZ}), 0, wxTOP, 0);
    slicerSizer->Add(makeRow({labelR, spinRX, spinRY, spinRZ}), 0, wxTOP, 0);
    slicerSizer->Add(makeRow({labelS, spinSX, spinSY, spinSZ}), 0, wxTOP, 0);

    auto* cameraSizer = new wxStaticBoxSizer(cameraBox, wxVERTICAL);
    cameraSizer->Add(makeRow({labelYaw, spinYaw}), 0, wxTOP, 0);
    cameraSizer->Add(makeRow({labelPitch, spinPitch}), 0, wxTOP, 0);
    cameraSizer->Add(makeRow({labelTruck, spinTruck}), 0, wxTOP, 0);
    cameraSizer->Add(makeRow({labelZoom, spinZoom}), 0, wxTOP, 0);
    cameraSizer->Add(makeRow({labelDepth, spinDepth}), 0, wxTOP, 0);

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

    CreateStatusBar(2, wxSTB_DEFAULT_STYLE & ~wxSTB_SHOW_TIPS, 0);  // the whole text is its tooltip
    vpScale = 2;

    // At least the size given, and never so small that a control is cut or squeezed
    // (GTK warns about every control laid out below its minimum).
    const wxSize least = mainPanel->GetBestSize();
    SetMinClientSize(least);
    wxSize client = GetClientSize();
    client.IncTo(least);
    SetClientSize(client);

    // Shortcuts through a table as well as in the menu texts, so that they work wherever the
    // focus is, also where the toolkit does not take a menu's shortcut from its text.
    wxAcceleratorEntry shortcuts[] = {
        wxAcceleratorEntry(wxACCEL_CTRL, 'O', ID_LOAD), wxAcceleratorEntry(wxACCEL_CTRL, 'S', ID_SAVE),
        wxAcceleratorEntry(wxACCEL_CTRL, 'Q', ID_EXIT), wxAcceleratorEntry(wxACCEL_CTRL, 'Z', ID_UNDO),
        wxAcceleratorEntry(wxACCEL_CTRL | wxACCEL_SHIFT, 'O', ID_LOADFOLDER),
        wxAcceleratorEntry(wxACCEL_CTRL, '0', ID_FITVIEWS)};
    SetAcceleratorTable(wxAcceleratorTable(static_cast<int>(std::size(shortcuts)), shortcuts));
    buildMeasureTools();
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
    unbindMeasureTools();
    sliceView->Unbind(wxEVT_MOUSEWHEEL, &AppFrame::OnWheel, this);
    if (view3D->HasCapture()) view3D->ReleaseMouse();
}

void AppFrame::OnAbout(wxCommandEvent&) {
    wxMessageBox("Slabwright v1.0.\n\nBuilds, filters and slices RGBA voxel volumes from image stacks.", "About...",
                 wxOK | wxCENTRE, nullptr);
}

void AppFrame::OnExit(wxCommandEvent&) { Close(true); }

// ---- View and settings controls ----

// Both spin handlers only note what became stale; one posted step then draws it with
// the controls' values of that moment, however many changes arrived before it ran.
void AppFrame::OnSpinCtrl(wxSpinEvent&) {
    if (!volumeReady() || !spinTX) return;
    sliceStale = true;
    postRefresh();
}

void AppFrame::OnSpinCam(wxSpinEvent&) {
    if (!volumeReady() || !spinYaw) return;
    cameraStale = true;
    postRefresh();
}

void AppFrame::poseFromControls() {
    // Every change re-applies the whole pose. The y translation runs against the control.
    theslicer->pose(Vector(spinTX->GetValue(), -spinTY->GetValue(), spinTZ->GetValue()),
                    static_cast<float>(spinRX->GetValue()), static_cast<float>(spinRY->GetValue()),
                    static_cast<float>(spinRZ->GetValue()), static_cast<float>(spinSX->GetValue()),
                    static_cast<float>(spinSY->GetValue()), static_cast<float>(spinSZ->GetValue()));
}

void AppFrame::cameraFromControls() {
    cam->zoom = spinZoom->GetValue() * 0.01;
    cam->opacity = spinDepth->GetValue() * 0.01;
    // The eye is placed from its rest position every time.
    cam->orbit(spinYaw->GetValue(), spinPitch->GetValue(), spinTruck->GetValue());
}

void AppFrame::OnAASlice(wxCommandEvent&) {
    if (!volumeReady()) return;
    theslicer->aaLookups = !theslicer->aaLookups;
    settingsMenu->Check(ID_AASLICE, theslicer->aaLookups);
    refreshSlice();
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
