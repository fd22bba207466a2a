// The main window's 3D view settings, as AppFrame members: the blend (composite or
// maximum-intensity projection), opacity by value (the volume made again as a window change
// makes it, one step for Undo), and the preview while the camera moves, with the refresh
// loop of the camera and plane controls and the Ray Marcher Res and Ray Step Length prompts.
// The ramp itself is in opacity, the march in camera.
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/numdlg.h>
#include <wx/progdlg.h>
#include <wx/spinctrl.h>
#include <wx/timer.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>

#include "appFrame.h"
#include "camera.h"
#include "opacityDlg.h"
#include "stackio.h"

namespace {

double nowSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Camera changes closer together than this are a burst, drawn as previews; the full march
// follows once none has come for as long.
constexpr int kRestMs = 150;
// What a preview frame may take.
constexpr double kPreviewSeconds = 0.030;

wxString valueString(double v) { return wxString::FromUTF8(formatValue(v)); }

}  // namespace

// ---- Menu ----

void AppFrame::addViewSettings() {
    settingsMenu->AppendSeparator();
    settingsMenu->Append(ID_OPACITY, "Opacity...");
    settingsMenu->AppendCheckItem(ID_MIP, "Maximum Intensity Projection");
    settingsMenu->AppendCheckItem(ID_PREVIEW, "Preview While Moving");
    settingsMenu->Check(ID_PREVIEW, previewWhileMoving);
    for (int id : {ID_OPACITY, ID_MIP, ID_PREVIEW}) settingsMenu->Enable(id, false);  // until a load
    Bind(wxEVT_MENU, &AppFrame::OnOpacity, this, ID_OPACITY);
    Bind(wxEVT_MENU, &AppFrame::OnBlend, this, ID_MIP);
    Bind(wxEVT_MENU, &AppFrame::OnPreview, this, ID_PREVIEW);
    restTimer.SetOwner(this);
    Bind(wxEVT_TIMER, [this](wxTimerEvent&) { settleCamera(); }, restTimer.GetId());
}

// ---- Blend ----

void AppFrame::OnBlend(wxCommandEvent&) { setBlend(blend == Blend::Maximum ? Blend::Composite : Blend::Maximum); }

void AppFrame::setBlend(Blend b) {
    blend = b;
    settingsMenu->Check(ID_MIP, b == Blend::Maximum);
    if (!volumeReady()) return;
    cam->blend = b;
    restTimer.Stop();
    refresh3D();
    drawOutline();
}

// ---- Preview while moving ----

void AppFrame::OnPreview(wxCommandEvent&) {
    previewWhileMoving = !previewWhileMoving;
    settingsMenu->Check(ID_PREVIEW, previewWhileMoving);
    if (!previewWhileMoving) settleCamera();
}

bool AppFrame::previewCamera() {
    const double now = nowSeconds();
    const bool burst = lastCameraChange >= 0 && now - lastCameraChange < kRestMs / 1000.0;
    const int res = cam->resolution;
    if (!previewWhileMoving || !burst || secondsPerRay <= 0 || res < 2) return false;
    // The largest resolution, the camera's halved as often as it takes, whose march the
    // last frames say fits the time a preview may take.
    int divisor = 1;
    while (secondsPerRay * (double(res) / divisor) * (double(res) / divisor) > kPreviewSeconds && res / divisor > 1)
        divisor *= 2;
    if (divisor == 1) return false;  // the full march is fast enough
    // The frames of a burst share what they learn of the volume's blocks: it does not change meanwhile.
    if (!cam->blockCache) cam->blockCache = makeBlockCache();
    camera fewer = *cam;
    fewer.resolution = std::max(1, res / divisor);
    wxImage small(fewer.resolution, fewer.resolution, false);
    if (!small.IsOk()) return false;
    const double t0 = nowSeconds();
    fewer.march(myVoxmap, small);
    const double took = nowSeconds() - t0;
    secondsPerRay = took / (double(fewer.resolution) * fewer.resolution);
    cam->dir = fewer.dir;  // the outline is drawn with the frame of this pose
    cam->up = fewer.up;
    cam->right = fewer.right;
    small.Rescale(res, res);  // by whole pixels, as the view stretches
    viewportImage = small;
    redraw(view3D, viewportImage);
    previewShown = true;
    previewDivisor = divisor;
    restTimer.StartOnce(kRestMs);
    return true;
}

void AppFrame::settleCamera() {
    restTimer.Stop();
    if (!previewShown || !volumeReady()) return;
    if (refreshing || cameraStale) {
        restTimer.StartOnce(kRestMs);  // a change is being drawn: still moving
        return;
    }
    bool cancelled = false;
    if (refresh3DOrKeep(cancelled)) drawOutline();
    // Cancelled: the preview stays, at the pose the controls show.
    previewShown = false;
}

void AppFrame::postRefresh() {
    if (refreshPosted || refreshing) return;  // the waiting or running step will see the change
    refreshPosted = true;
    CallAfter([this] { refreshStale(); });
}

void AppFrame::refreshStale() {
    refreshPosted = false;
    if (refreshing) return;
    refreshing = true;
    while ((sliceStale || cameraStale) && volumeReady() && spinTX && spinYaw) {
        if (sliceStale) {
            sliceStale = false;
            poseFromControls();
            refreshSlice();
            if (!cameraStale) {
                redraw(view3D, viewportImage);  // the camera did not move: no march, just wipe the old outline
                drawOutline();
            }
        }
        if (cameraStale) {
            cameraStale = false;
            const std::array<int, 5> controls = {spinYaw->GetValue(), spinPitch->GetValue(), spinTruck->GetValue(),
                                                 spinZoom->GetValue(), spinDepth->GetValue()};
            const camera before = *cam;
            cameraFromControls();

            bool cancelled = false;
            if (previewCamera()) {
                shownCameraControls = controls;
                drawOutline();
            } else if (refresh3DOrKeep(cancelled)) {
                shownCameraControls = controls;
                drawOutline();
            } else if (cancelled) {
                // The picture stays, and so do the camera and the controls that made it.
                *cam = before;
                if (shownCameraControls) {
                    wxSpinCtrl* const spins[5] = {spinYaw, spinPitch, spinTruck, spinZoom, spinDepth};
                    for (int k = 0; k < 5; ++k) spins[k]->SetValue((*shownCameraControls)[k]);
                }
                cameraStale = false;
                redraw(view3D, viewportImage);
                drawOutline();
            }
            // Otherwise a newer change stopped it: the loop marches again with it.
            lastCameraChange = nowSeconds();  // a burst is measured from the end of a frame
        }
    }
    refreshing = false;
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
    if (!refresh3DOrKeep(cancelled)) *cam = before;  // cancelled: as it was
}

void AppFrame::OnRayRes(wxCommandEvent&) {
    if (!volumeReady()) return;
    const long n = wxGetNumberFromUser("Ray Marcher Resolution ", "r: ", "Resolution",
                                       std::clamp(cam->resolution, 1, 1000), 1, 1000, this);
    if (n <= 0) return;
    const camera before = *cam;
    cam->resolution = static_cast<int>(n);
    bool cancelled = false;
    if (!refresh3DOrKeep(cancelled)) *cam = before;  // cancelled: as it was
}

// ---- Opacity by value ----

void AppFrame::resetOpacity() {
    history.clearOpacity();
    for (int id : {ID_OPACITY, ID_MIP, ID_PREVIEW}) settingsMenu->Enable(id, true);
}

wxString AppFrame::opacityProblem(double lo, double hi) const { return rangeProblem("The ramp's", lo, hi); }

wxString AppFrame::opacityText() const {
    if (!opacityRamp.on) return "opacity as loaded (opaque)";
    const double lo = opacityRamp.lo, hi = opacityRamp.hi;
    wxString text = "opacity " + valueString(lo) + ".." + valueString(hi);
    double least = 0, most = 255;  // the values the ramp reads
    if (originals) {
        if (!originals->valueUnit.empty()) text += " " + wxString::FromUTF8(originals->valueUnit);
        least = originals->lo;
        most = originals->hi;
    } else {
        text += " (grey levels: these images have no values)";
    }
    if (lo >= most) text += "; above every value: all transparent";
    else if (hi <= least) text += "; below every value: all opaque";
    return text;
}

bool AppFrame::makeBaseVolume(double lo, double hi, voxel* out) const {
    return history.makeBase(lo, hi, opacityRamp, out, myVoxmap->numVoxels);
}

bool AppFrame::changeOpacity(const OpacityRamp& ramp) {
    if (!volumeReady() || ramp == opacityRamp) return false;
    const int64_t available = memoryForUndo >= 0 ? memoryForUndo : stackio::availableMemory();
    const std::string why = history.keepLoaded(*myVoxmap, available);
    if (!why.empty()) {
        wxMessageBox(wxString::FromUTF8(why) + "\n\nThe opacity is unchanged.", "Opacity", wxOK | wxICON_ERROR, this);
        return false;
    }
    Remade how;
    {
        FilterDialog dialog("Applying the filters again", this, kProgressStyle | wxPD_CAN_ABORT);
        how = history.changeRampTo(*myVoxmap, ramp, dialog.callback());
    }
    if (!reportRemade(how)) return false;
    effectsMenu->Enable(ID_UNDO, true);
    showStatus();
    showRemadeVolume();
    return true;
}

bool AppFrame::remakeForUndo(const UndoLevel& level) {
    if (!volumeReady()) return false;
    FilterDialog dialog("Applying the filters again", this, kProgressStyle | wxPD_CAN_ABORT);
    if (!reportRemade(history.remake(*myVoxmap, level.windowLo, level.windowHi, level.ramp, dialog.callback())))
        return false;
    if (level.ramp != opacityRamp) {
        opacityRamp = level.ramp;
        showStatus();
    }
    return true;
}

void AppFrame::setOpacityRamp(double lo, double hi) {
    if (!volumeReady()) return;
    const wxString problem = opacityProblem(lo, hi);
    if (!problem.empty()) {
        wxMessageBox(problem + " The opacity is unchanged.", "Opacity", wxOK | wxICON_ERROR, this);
        return;
    }
    OpacityRamp ramp;
    ramp.on = true;
    ramp.lo = lo;
    ramp.hi = hi;
    if (!changeOpacity(ramp) && ramp == opacityRamp) showStatus();
}

void AppFrame::setOpaque() {
    if (!volumeReady()) return;
    if (!changeOpacity(OpacityRamp()) && !opacityRamp.on) showStatus();
}

void AppFrame::OnOpacity(wxCommandEvent&) {
    if (!volumeReady()) return;
    OpacityDlg dlg(this);
    if (dlg.ShowModal() != wxID_OK) return;
    if (dlg.opaque)
        setOpaque();
    else
        setOpacityRamp(dlg.lo, dlg.hi);
}
