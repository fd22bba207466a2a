// The main window's size and the views' scale: the window grown to show both views whole,
// and the largest whole scale at which they fit the screen (Fit Views).
#include <wx/display.h>
#include <wx/panel.h>

#include <algorithm>
#include <climits>
#include <cstdint>

#include "appFrame.h"
#include "views.h"
#include "voxelmap.h"

namespace {

// The space beside the views' pictures: each view's border and 5-pixel margins, the
// control panel, the frame's own edges, menu bar and status bar.
struct Around {
    wxSize border, controls, chrome;
};

Around around(const AppFrame& f) {
    return {f.view3D->GetSize() - f.view3D->GetClientSize(), f.controlPanel->GetEffectiveMinSize(),
            f.GetSize() - f.GetClientSize()};
}

}  // namespace

void AppFrame::fitViews() {
    const wxSize need = display::shownSize(*myVoxmap, vpScale);
    if (need.x <= 0 || need.y <= 0) return;
    // What the main panel needs: both views (with their borders and 5-pixel margins) at
    // the shown size beside the control panel. The panel fills the frame's client area.
    const Around a = around(*this);
    const wxSize border = a.border, controls = a.controls, chrome = a.chrome;
    const int64_t panelW = 2 * (static_cast<int64_t>(need.x) + border.x + 10) + controls.x;
    const int64_t panelH = std::max<int64_t>(static_cast<int64_t>(need.y) + border.y + 10, controls.y);
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

int AppFrame::fitScale() {
    const wxSize one = display::shownSize(*myVoxmap, 1);
    if (one.x <= 0 || one.y <= 0) return vpScale;
    const Around a = around(*this);
    const wxRect work = wxDisplay(this).GetClientArea();
    // What fitViews needs at scale s, solved for the largest s within the work area.
    const int64_t wide = (int64_t(work.width) - a.chrome.x - a.controls.x) / 2 - a.border.x - 10;
    const int64_t high = int64_t(work.height) - a.chrome.y - a.border.y - 10;
    const int64_t s = std::min(wide / one.x, high / one.y);
    vpScale = static_cast<int>(std::clamp<int64_t>(s, 1, INT_MAX / std::max(one.x, one.y)));
    fitViews();
    redrawViews();
    return vpScale;
}

void AppFrame::OnFitViews(wxCommandEvent&) { fitScale(); }
