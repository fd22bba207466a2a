// The views' paint: what a repaint shows in each view (the drawing of an image itself is
// in views.cpp), with what goes over the slice view (measuring.cpp) drawn after it.
#include <wx/brush.h>
#include <wx/dcclient.h>

#include <utility>

#include "appFrame.h"
#include "views.h"
#include "voxelmap.h"

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
    if (window == sliceView) drawSliceOverlay(dc);
}

void AppFrame::clearViews() {
    for (wxWindow* view : {view3D, sliceView}) {
        if (!view) continue;
        wxClientDC dc(view);
        dc.SetBackground(wxBrush(wxColour(0, 0, 0)));
        dc.Clear();
    }
}

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
                if (view == sliceView) drawSliceOverlay(dc);
            }
            if (view == view3D) CallAfter([this] { if (volumeReady()) drawOutline(); });
        } else {
            CallAfter([this, view] {
                {
                    wxClientDC dc(view);
                    display::showView(dc, imageOf(*this, view), *myVoxmap, vpScale);
                    if (view == sliceView) drawSliceOverlay(dc);
                }
                if (view == view3D && volumeReady()) drawOutline();
            });
        }
    }
}
