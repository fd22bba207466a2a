// The main window's refresh steps, what handlers end with: the slice sampled and shown,
// the volume marched into the 3D view (behind a progress dialog with Cancel when long),
// the plane's outline over it, and both views drawn again from their images.
#include <wx/progdlg.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>

#include "appFrame.h"
#include "camera.h"
#include "slicer.h"
#include "views.h"
#include "voxelmap.h"

namespace {

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

// viewportImage sized to the camera's resolution and marched.
void marchViewport() {
    sizeImage(viewportImage, cam->resolution, cam->resolution);
    if (viewportImage.IsOk()) cam->march(myVoxmap, viewportImage);
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

}  // namespace

void AppFrame::refreshSlice() {
    if (screenImage.IsOk()) theslicer->evaluateSlice(myVoxmap, screenImage);
    redraw(sliceView, screenImage);
}

void AppFrame::refresh3D() {
    previewShown = false;
    cam->blockCache.reset();  // the volume may have changed
    marchViewport();
    redraw(view3D, viewportImage);
}

bool AppFrame::refresh3DOrKeep(bool& cancelled) {
    wxImage next(std::max(1, cam->resolution), std::max(1, cam->resolution), false);
    if (!next.IsOk()) {
        // No memory for a second picture: march in place, without Cancel.
        refresh3D();
        return true;
    }
    MarchWatch watch(*this);
    const auto t0 = std::chrono::steady_clock::now();
    const bool done = cam->march(myVoxmap, next, std::ref(watch));
    cancelled = watch.cancelled();
    if (!done) return false;
    cam->blockCache.reset();  // what a run of previews learnt is of no use at rest
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    secondsPerRay = took.count() / (double(cam->resolution) * cam->resolution);  // for choosing previews
    previewShown = false;
    viewportImage = next;
    redraw(view3D, viewportImage);
    return true;
}

void AppFrame::drawOutline() const {
    const wxSize shown = display::shownSize(*myVoxmap, vpScale);
    cam->drawslicer3d(theslicer.get(), view3D, shown.x, shown.y);
}

void AppFrame::redrawViews() {
    if (!myVoxmap->loaded) return;  // before a load the next paint shows the placeholders
    redraw(sliceView, screenImage);
    redraw(view3D, viewportImage);
    if (volumeReady()) drawOutline();
}

void AppFrame::refreshAfterFilter() {
    previewShown = false;
    cam->blockCache.reset();  // the volume changed
    refreshSlice();
    marchViewport();
    if (viewportImage.IsOk()) viewportImage.Rescale(200, 200);
    redraw(view3D, viewportImage);
    drawOutline();
}

void AppFrame::showRemadeVolume() {
    refreshSlice();
    refresh3D();
    drawOutline();
}
