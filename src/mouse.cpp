// The mouse over the views: the colour under the pointer (picked as the key colour
// while the left button is down; a Ctrl + left drag over the slice view draws the
// ruler instead, see measuring.cpp), a right-button drag in the 3D view turning the
// camera, the wheel zooming the 3D view or moving the plane along z over the slice
// view. Drags and the wheel go through the same handlers as the controls they change.
#include <wx/spinctrl.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "appFrame.h"
#include "views.h"
#include "voxelmap.h"

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

void AppFrame::OnMotion(wxMouseEvent& event) {
    const wxPoint pos = event.GetPosition();
    if (orbiting && event.GetEventObject() == view3D) orbitTo(pos);
    // A Ctrl + left drag over the slice view draws the ruler and picks no colour.
    if (ruler.dragging && event.GetEventObject() == sliceView) {
        dragRulerTo(pos);
        return;
    }
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
    // Over the slice view, the value the scan measured there follows the colour.
    const std::string value = event.GetEventObject() == sliceView ? valueAtSlicePixel(px, py) : std::string();
    SetStatusText(value.empty() ? rgb : rgb + "   Value: " + wxString::FromUTF8(value), 1);
    if (event.LeftIsDown()) {
        SetStatusText("Key Colour " + rgb, 0);
        keyColour = voxel(r, g, b, 0);
    }
}

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
    if (previewShown) CallAfter([this] { settleCamera(); });  // the drag's end: the full picture now
}

void AppFrame::OnCaptureLost(wxMouseCaptureLostEvent&) {
    orbiting = false;
    ruler.dragging = false;
}

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
