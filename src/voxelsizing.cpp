// The main window's voxel size: Settings, Voxel Size... and the volume placed anew with
// the size chosen (the dialog itself is voxelsizedlg's).
#include <wx/msgdlg.h>

#include <memory>
#include <string>

#include "appFrame.h"
#include "camera.h"
#include "slicer.h"
#include "voxelmap.h"
#include "voxelsizedlg.h"

void AppFrame::OnVoxelSize(wxCommandEvent&) {
    if (!volumeReady()) return;
    VoxelSizeDlg dialog(this, myVoxmap->voxelSize, wxString::FromUTF8(myVoxmap->unit));
    if (dialog.ShowModal() != wxID_OK) return;
    setVoxelSize(dialog.size(), dialog.unit());
}

void AppFrame::setVoxelSize(const Vector& size, const wxString& unit) {
    if (!volumeReady()) return;
    const std::string problem = voxelSizeProblem(size);
    if (!problem.empty()) {
        wxMessageBox(wxString::FromUTF8(problem) + "\n\nThe voxel size is unchanged.", "Voxel Size",
                     wxOK | wxICON_ERROR, this);
        return;
    }
    const Vector before = myVoxmap->voxelSize;
    myVoxmap->setVoxelSize(size);
    wxImage screen(myVoxmap->width, myVoxmap->planeHeight(), false);
    if (!screen.IsOk()) {
        const int rows = myVoxmap->planeHeight();
        myVoxmap->setVoxelSize(before);
        wxMessageBox(wxString::Format("There is not enough memory for a slice of %d x %d pixels.\n\nThe voxel size "
                                      "is unchanged.", myVoxmap->width, rows),
                     "Voxel Size", wxOK | wxICON_ERROR, this);
        return;
    }
    myVoxmap->unit = unit.utf8_string();
    // Placed as a load places them, then posed by the controls as they stand.
    const bool interpolated = theslicer->aaLookups;
    theslicer = std::make_unique<slicer>(myVoxmap->origin, myVoxmap->width, myVoxmap->planeHeight());
    theslicer->aaLookups = interpolated;
    screenImage = screen;
    cam->startFor(*myVoxmap);
    sliceStale = cameraStale = false;  // both are redone here, with the controls' values
    poseFromControls();
    cameraFromControls();
    refreshSlice();
    refresh3D();
    showStatus();
    fitViews();
    redrawViews();
}
