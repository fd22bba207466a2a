// The main window's measuring over the slice view: the standard planes (View menu, keys
// 1 to 3), the orientation letters at the slice's edges, the ruler (Ctrl + left drag,
// Escape clears it) and the scale bar. What is drawn here goes over the view only; the
// scale bar goes into saved images when the user asks for it. The geometry is in
// orientation.*.
#include <wx/bitmap.h>
#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/menu.h>
#include <wx/spinctrl.h>
#include <wx/statusbr.h>
#include <wx/textentry.h>

#include <algorithm>
#include <cmath>

#include "appFrame.h"
#include "orientation.h"
#include "slicer.h"
#include "views.h"
#include "voxelmap.h"

namespace {

const wxColour kInk(255, 220, 0);    // yellow, with a black edge: reads on black and on white
const wxColour kEdge(0, 0, 0);

// Text with a one-pixel black edge, its top-left corner at (x, y).
void edgedText(wxDC& dc, const wxString& text, int x, int y) {
    dc.SetTextForeground(kEdge);
    for (int dx = -1; dx <= 1; ++dx)
        for (int dy = -1; dy <= 1; ++dy)
            if (dx != 0 || dy != 0) dc.DrawText(text, x + dx, y + dy);
    dc.SetTextForeground(kInk);
    dc.DrawText(text, x, y);
}

// A line three pixels wide in black under one pixel of ink.
void edgedLine(wxDC& dc, wxPoint a, wxPoint b) {
    dc.SetPen(wxPen(kEdge, 3));
    dc.DrawLine(a, b);
    dc.SetPen(wxPen(kInk, 1));
    dc.DrawLine(a, b);
}

// Whether keys typed now go into a control's text (a spin control's number).
bool typingInto(const wxWindow* w) {
    for (; w; w = w->GetParent())
        if (dynamic_cast<const wxTextEntry*>(w) || dynamic_cast<const wxSpinCtrl*>(w)) return true;
    return false;
}

// The world point of the plane at slice pixel (px, py), fractions kept: pixel (j, i)
// samples u = j / width, v = i / height.
Vector planePoint(const slicer& s, double px, double py) {
    return s.patch->SrfEval(px / std::max(1, s.width), py / std::max(1, s.height));
}

// The unit world direction of a plane edge, or zero for a flattened plane.
Vector direction(const Vector& d) { return d.length() > 0 ? d.normal() : Vector(); }

// Draws the scale bar into the lower right corner of a w x h picture showing `perPixel`
// units a pixel along its rows; nothing where no round length fits.
void drawScaleBar(wxDC& dc, int w, int h, double perPixel, const std::string& unit) {
    if (!(perPixel > 0) || w < 20 || h < 20) return;
    const double length = orientation::barLength(w * perPixel);
    const int pixels = static_cast<int>(std::lround(length / perPixel));
    if (length <= 0 || pixels < 2 || pixels > w - 10) return;
    const int margin = 8;
    const int y = h - margin;
    const int x1 = w - margin, x0 = x1 - pixels;
    dc.SetPen(*wxTRANSPARENT_PEN);
    dc.SetBrush(wxBrush(kEdge));
    dc.DrawRectangle(x0 - 1, y - 4, pixels + 2, 6);
    dc.SetBrush(wxBrush(kInk));
    dc.DrawRectangle(x0, y - 3, pixels, 4);
    const wxString label = wxString::FromUTF8(wxString::Format("%g ", length).utf8_string() + (unit.empty() ? "voxels" : unit));
    const wxSize text = dc.GetTextExtent(label);
    edgedText(dc, label, x1 - text.x, y - 6 - text.y);
}

// Units a slice pixel spans along the slice's rows: the plane's row edge in world units
// (one world unit is one voxel along x, voxelSize.x of the unit).
double unitsPerSlicePixel(const slicer& s, const voxelmap& map) {
    const Vector row = s.patch->getP10() - s.patch->getP00();
    return row.length() / std::max(1, s.width) * map.voxelSize.x();
}

}  // namespace

void AppFrame::buildMeasureTools() {
    viewMenu = new wxMenu;  // owned by the menu bar
    viewMenu->Append(ID_AXIAL, "&Axial");
    viewMenu->Append(ID_CORONAL, "&Coronal");
    viewMenu->Append(ID_SAGITTAL, "Sa&gittal");
    viewMenu->AppendSeparator();
    viewMenu->Append(ID_PLANEXY, "&XY");
    viewMenu->Append(ID_PLANEXZ, "X&Z");
    viewMenu->Append(ID_PLANEYZ, "&YZ");
    menuBar->Append(viewMenu, "&View");
    settingsMenu->AppendSeparator();
    settingsMenu->AppendCheckItem(ID_SCALEBAR, "Scale &Bar");
    settingsMenu->AppendCheckItem(ID_SCALEBARINSAVES, "Scale Bar in Saved Images");
    updateMeasureMenus();
    Bind(wxEVT_MENU, &AppFrame::OnStandardPlane, this, ID_AXIAL, ID_PLANEYZ);
    Bind(wxEVT_MENU, &AppFrame::OnScaleBar, this, ID_SCALEBAR);
    Bind(wxEVT_MENU, &AppFrame::OnScaleBarInSaves, this, ID_SCALEBARINSAVES);
    // Keys 1 to 3 and Escape reach the frame before any control; they are passed on to
    // a control whose text is being typed.
    Bind(wxEVT_CHAR_HOOK, &AppFrame::OnCharHook, this);
    sliceView->Bind(wxEVT_LEFT_DOWN, &AppFrame::OnSliceLeftDown, this);
    sliceView->Bind(wxEVT_LEFT_UP, &AppFrame::OnSliceLeftUp, this);
    sliceView->Bind(wxEVT_MOUSE_CAPTURE_LOST, &AppFrame::OnCaptureLost, this);
}

void AppFrame::unbindMeasureTools() {
    sliceView->Unbind(wxEVT_LEFT_DOWN, &AppFrame::OnSliceLeftDown, this);
    sliceView->Unbind(wxEVT_LEFT_UP, &AppFrame::OnSliceLeftUp, this);
    sliceView->Unbind(wxEVT_MOUSE_CAPTURE_LOST, &AppFrame::OnCaptureLost, this);
}

void AppFrame::updateMeasureMenus() {
    if (!viewMenu) return;
    for (int id = ID_AXIAL; id <= ID_PLANEYZ; ++id)
        viewMenu->Enable(id, volumeReady() && (id >= ID_PLANEXY || myVoxmap->hasAxes));
}

void AppFrame::OnStandardPlane(wxCommandEvent& event) { setStandardPlane(event.GetId() - ID_AXIAL); }

// Each check item turns its setting over and shows it (as AA Lookups does).
void AppFrame::OnScaleBar(wxCommandEvent&) {
    scaleBarShown = !scaleBarShown;
    settingsMenu->Check(ID_SCALEBAR, scaleBarShown);
    if (volumeReady()) redraw(sliceView, screenImage);
}

void AppFrame::OnScaleBarInSaves(wxCommandEvent&) {
    scaleBarInSaves = !scaleBarInSaves;
    settingsMenu->Check(ID_SCALEBARINSAVES, scaleBarInSaves);
}

void AppFrame::OnCharHook(wxKeyEvent& event) {
    const int key = event.GetKeyCode();
    if (key == WXK_ESCAPE && ruler.shown) {
        clearRuler();
        return;
    }
    if (key >= '1' && key <= '3' && event.GetModifiers() == wxMOD_NONE && !typingInto(FindFocus()) &&
        viewMenu->IsEnabled(ID_AXIAL + key - '1')) {
        setStandardPlane(key - '1');
        return;
    }
    event.Skip();
}

void AppFrame::setStandardPlane(int which) {
    if (!volumeReady() || !spinRX || which < 0 || which > orientation::PlaneYZ) return;
    if (which <= orientation::Sagittal && !myVoxmap->hasAxes) return;
    Vector right, down;
    orientation::planeDirections(which, myVoxmap->axes, right, down);
    const orientation::Angles a = orientation::anglesFor(right, down);
    // Whole degrees, as the controls hold them; then the same road as a change of them.
    spinRX->SetValue(static_cast<int>(std::lround(a.rx)));
    spinRY->SetValue(static_cast<int>(std::lround(a.ry)));
    spinRZ->SetValue(static_cast<int>(std::lround(a.rz)));
    sliceStale = true;
    refreshStale();
}

double AppFrame::measure(wxPoint from, wxPoint to) {
    if (!volumeReady()) return 0;
    const double scale = vpScale > 0 ? vpScale : 1;
    const slicer& s = *theslicer;
    ruler = Ruler();  // a new ruler replaces the old one
    ruler.shown = true;
    ruler.x0 = from.x / scale, ruler.y0 = from.y / scale;
    ruler.x1 = to.x / scale, ruler.y1 = to.y / scale;
    ruler.plane = &s;
    ruler.corners[0] = s.patch->getP00(), ruler.corners[1] = s.patch->getP10(), ruler.corners[2] = s.patch->getP01();
    // World units are voxels along x: voxelSize.x of the unit each, along every axis.
    const double length =
        (planePoint(s, ruler.x1, ruler.y1) - planePoint(s, ruler.x0, ruler.y0)).length() * myVoxmap->voxelSize.x();
    ruler.text = wxString::FromUTF8(orientation::lengthText(length, myVoxmap->unit));
    SetStatusText(ruler.text, 0);
    redraw(sliceView, screenImage);
    return length;
}

void AppFrame::clearRuler() {
    const bool had = ruler.shown;
    if (had && GetStatusBar() && GetStatusBar()->GetStatusText(0) == ruler.text) SetStatusText(wxEmptyString, 0);
    ruler = Ruler();
    if (had && volumeReady()) redraw(sliceView, screenImage);
}

void AppFrame::OnSliceLeftDown(wxMouseEvent& event) {
    sliceView->SetFocus();  // the keys 1 to 3 then go to the views, not to a control
    if (!event.ControlDown() || !volumeReady()) {
        event.Skip();  // a plain left drag picks colours
        return;
    }
    const wxPoint p = event.GetPosition();
    measure(p, p);
    ruler.dragging = true;
    if (!sliceView->HasCapture()) sliceView->CaptureMouse();
}

void AppFrame::OnSliceLeftUp(wxMouseEvent& event) {
    event.Skip();
    if (sliceView->HasCapture()) sliceView->ReleaseMouse();  // also after Escape during the drag
    if (!ruler.dragging) return;
    dragRulerTo(event.GetPosition());
    ruler.dragging = false;
}

void AppFrame::dragRulerTo(const wxPoint& pos) {
    const double scale = vpScale > 0 ? vpScale : 1;
    const bool dragging = ruler.dragging;
    measure(wxPoint(static_cast<int>(std::lround(ruler.x0 * scale)), static_cast<int>(std::lround(ruler.y0 * scale))), pos);
    ruler.dragging = dragging;
}

void AppFrame::drawSliceOverlay(wxDC& dc) {
    if (!volumeReady()) return;
    const slicer& s = *theslicer;
    const wxSize shown = display::shownSize(*myVoxmap, vpScale);
    const wxSize room = dc.GetSize();
    const int w = std::min(shown.x, room.x), h = std::min(shown.y, room.y);
    if (w <= 0 || h <= 0) return;
    dc.SetFont(wxFont(wxFontInfo(9).Bold()));

    // The patient direction each edge of the slice faces.
    if (myVoxmap->hasAxes) {
        const Vector right = direction(s.patch->getP10() - s.patch->getP00());
        const Vector down = direction(s.patch->getP01() - s.patch->getP00());
        const auto say = [&](const Vector& d) {
            return wxString(orientation::letters(orientation::toPatient(myVoxmap->axes, d)));
        };
        const wxString texts[4] = {say(-right), say(right), say(-down), say(down)};  // left, right, top, bottom
        for (int e = 0; e < 4; ++e) {
            const wxSize t = dc.GetTextExtent(texts[e]);
            const int x = e == 0 ? 3 : e == 1 ? w - t.x - 3 : (w - t.x) / 2;
            const int y = e == 2 ? 2 : e == 3 ? h - t.y - 2 : (h - t.y) / 2;
            edgedText(dc, texts[e], x, y);
        }
    }

    // The ruler, while the plane is the one it was drawn on.
    const auto same = [](const Vector& a, const Vector& b) { return (a - b).length2() == 0; };
    if (ruler.shown && !(ruler.plane == &s && same(ruler.corners[0], s.patch->getP00()) &&
                         same(ruler.corners[1], s.patch->getP10()) && same(ruler.corners[2], s.patch->getP01()))) {
        if (GetStatusBar() && GetStatusBar()->GetStatusText(0) == ruler.text) SetStatusText(wxEmptyString, 0);
        ruler = Ruler();
    }
    if (ruler.shown) {
        const double k = vpScale > 0 ? vpScale : 1;
        const wxPoint a(static_cast<int>(std::lround(ruler.x0 * k)), static_cast<int>(std::lround(ruler.y0 * k)));
        const wxPoint b(static_cast<int>(std::lround(ruler.x1 * k)), static_cast<int>(std::lround(ruler.y1 * k)));
        edgedLine(dc, a, b);
        for (const wxPoint& end : {a, b}) edgedLine(dc, end - wxPoint(0, 3), end + wxPoint(0, 3));
        const wxSize t = dc.GetTextExtent(ruler.text);
        const wxPoint mid((a.x + b.x) / 2 + 6, (a.y + b.y) / 2 - t.y - 4);
        edgedText(dc, ruler.text, std::clamp(mid.x, 0, std::max(0, w - t.x)), std::clamp(mid.y, 0, std::max(0, h - t.y)));
    }

    if (scaleBarShown) drawScaleBar(dc, w, h, unitsPerSlicePixel(s, *myVoxmap) / (vpScale > 0 ? vpScale : 1), myVoxmap->unit);
}

wxImage AppFrame::sliceToSave() const {
    if (!scaleBarInSaves || !volumeReady() || !screenImage.IsOk()) return screenImage;
    wxBitmap bitmap(screenImage);
    {
        wxMemoryDC dc(bitmap);
        dc.SetFont(wxFont(wxFontInfo(9).Bold()));
        drawScaleBar(dc, screenImage.GetWidth(), screenImage.GetHeight(), unitsPerSlicePixel(*theslicer, *myVoxmap),
                     myVoxmap->unit);
    }
    return bitmap.ConvertToImage();
}
