#include "appFrame.h"

#include <wx/dcclient.h>
#include <wx/filedlg.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/numdlg.h>
#include <wx/panel.h>
#include <wx/progdlg.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>

#include "camera.h"
#include "render.h"
#include "slicer.h"
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

// ---- Event table ----

// clang-format off
wxBEGIN_EVENT_TABLE(AppFrame, wxFrame)
    EVT_MENU(ID_LOAD, AppFrame::OnLoad)
    EVT_MENU(ID_SAVE, AppFrame::OnSave)
    EVT_MENU(ID_RENDER, AppFrame::OnRender)
    EVT_MENU(ID_ABOUT, AppFrame::OnAbout)
    EVT_MENU(ID_EXIT, AppFrame::OnExit)
    EVT_MENU(ID_BLUR, AppFrame::OnBlur)
    EVT_MENU(ID_EDGES, AppFrame::OnEdges)
    EVT_MENU(ID_KEY, AppFrame::OnKey)
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

AppFrame::AppFrame(const wxString& title, const wxPoint& pos, const wxSize& size)
    : wxFrame(nullptr, wxID_ANY, title, pos, size, wxDEFAULT_FRAME_STYLE) {}

AppFrame::~AppFrame() {}

void AppFrame::OnAbout(wxCommandEvent&) {}
void AppFrame::OnExit(wxCommandEvent&) { Close(true); }

// ---- Viewport display and colour picking ----

void AppFrame::redraw(wxWindow*, wxImage) {}
void AppFrame::OnPaint(wxPaintEvent&) {}
void AppFrame::OnMotion(wxMouseEvent&) {}

// ---- Loading a stack ----

void AppFrame::OnLoad(wxCommandEvent&) {}
void AppFrame::loadStack(const wxArrayString&) {}

// ---- View and settings controls ----

void AppFrame::OnSpinCtrl(wxSpinEvent&) {}
void AppFrame::OnSpinCam(wxSpinEvent&) {}
void AppFrame::OnAASlice(wxCommandEvent&) {}
void AppFrame::OnVPScale(wxCommandEvent&) {}
void AppFrame::OnRayStep(wxCommandEvent&) {}
void AppFrame::OnRayRes(wxCommandEvent&) {}

// ---- Saving and batch rendering ----

void AppFrame::OnSave(wxCommandEvent&) {}
void AppFrame::saveSlice(const wxString&) {}
void AppFrame::OnRender(wxCommandEvent&) {}
void AppFrame::renderFrames(const RenderDlg&) {}
double AppFrame::lerp(int a, int b, double t) { return b * t + (1 - t) * a; }

// ==== Volume filters: everything below this line belongs to the filters ====

const float blur1[27] = {};
const float blur2[125] = {};
const float blur3[343] = {};
const float sobelX[27] = {};
const float sobelY[27] = {};
const float sobelZ[27] = {};
const float sobel2dX[9] = {};

float weight(int, int, int, int, int) { return 0; }
float smoothstep(float, float, float) { return 0; }
unsigned char lerp(unsigned char a, unsigned char, float) { return a; }
void key(voxelmap*, voxel, int, int, int) {}
void blur(voxelmap*, int) {}
void edges(voxelmap*) {}

void AppFrame::OnKey(wxCommandEvent&) {}
void AppFrame::OnBlur(wxCommandEvent&) {}
void AppFrame::OnEdges(wxCommandEvent&) {}
