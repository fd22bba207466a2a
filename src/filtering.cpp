// The main window's filter commands and Undo: the Effects menu's prompts, each filter
// behind its "Please wait" dialog with a message when memory is short, and Undo. What the
// volume is made from and what Undo keeps is the history's (history.h); the filters
// themselves are in filters.cpp, their loops in kernels.cpp.
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/numdlg.h>
#include <wx/progdlg.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "appFrame.h"
#include "stackio.h"
#include "voxelmap.h"

// ---- The filters' progress dialog ----

FilterDialog::FilterDialog(const wxString& message, wxWindow* parent, long style)
    : message_(message), parent_(parent), style_(style) {}

FilterDialog::~FilterDialog() = default;

FilterProgress FilterDialog::callback() {
    return [this](int done, int total) {
        if (!dialog_) dialog_ = std::make_unique<wxProgressDialog>("Please wait", message_, total, parent_, style_);
        // The dialog ends one short of the total, as the filters have always shown it.
        if (done > 0) return dialog_->Update(std::min(done, total) - 1, wxEmptyString);
        return true;
    };
}

namespace {

void reportNoMemory(const FilterOutcome& o) {
    if (o.result == FilterOutcome::NoMemory)
        wxMessageBox(wxString::FromUTF8(noMemoryText(o.bytesShort)), "Slabwright", wxOK | wxICON_ERROR);
}

}  // namespace

// ---- The filters behind their dialog ----

void applyFilter(voxelmap* map, const FilterStep& step) {
    FilterDialog dialog(progressText(step), nullptr);
    reportNoMemory(runFilter(map, step, dialog.callback()));
}

void key(voxelmap* map, voxel keyColour, int range, int falloff, int premultiply) {
    FilterStep step;
    step.kind = FilterStep::Key;
    step.keyColour = keyColour;
    step.range = range, step.falloff = falloff, step.premultiply = premultiply;
    applyFilter(map, step);
}

void blur(voxelmap* map, int radius) {
    FilterStep step;
    step.radius = radius;
    applyFilter(map, step);
}

void edges(voxelmap* map) {
    FilterStep step;
    step.kind = FilterStep::Edges;
    applyFilter(map, step);
}

// ---- Undo ----

int64_t AppFrame::memoryForUndoLevels() const {
    if (memoryForUndo >= 0) return memoryForUndo;
    const int64_t bytes = stackio::availableMemory();
    return bytes >= 0 ? bytes : INT64_MAX / 4;
}

bool AppFrame::makeRoomForUndo() {
    return history.roomForUndo(myVoxmap->numVoxels * static_cast<int64_t>(sizeof(voxel)), memoryForUndoLevels());
}

bool AppFrame::reportRemade(const Remade& how) {
    if (how.result == Remade::NoMemory)
        wxMessageBox("There is not enough memory to change the window of this volume; it is unchanged.",
                     "Window/Level", wxOK | wxICON_ERROR, this);
    else if (how.result == Remade::FilterFailed)
        wxMessageBox(wxString::FromUTF8(how.why), "Slabwright", wxOK | wxICON_ERROR);
    return how.done();
}

void AppFrame::undoFilter() {
    if (undoLevels.empty() || !volumeReady()) return;
    FilterDialog dialog("Applying the filters again", this, kProgressStyle | wxPD_CAN_ABORT);
    if (!reportRemade(history.undo(*myVoxmap, dialog.callback()))) return;  // the level stays for another try
    effectsMenu->Enable(ID_UNDO, !undoLevels.empty());
    showStatus();  // the window or the ramp may be another
    refreshAfterFilter();
}

void AppFrame::filterWithUndo(const FilterStep& step) {
    statusNote.clear();
    bool undoable = true;
    FilterOutcome o;
    {
        FilterDialog dialog(progressText(step), nullptr);
        o = history.filter(*myVoxmap, step, memoryForUndoLevels(), dialog.callback(), undoable);
    }
    reportNoMemory(o);
    if (o.result == FilterOutcome::Done && !undoable)
        statusNote = "This filter cannot be undone: there is not enough memory to keep the volume from before it.";
    effectsMenu->Enable(ID_UNDO, !undoLevels.empty());
    showStatus();
    refreshAfterFilter();
}

// ---- The Effects menu ----

void AppFrame::OnUndo(wxCommandEvent&) { undoFilter(); }

void AppFrame::OnKey(wxCommandEvent&) {
    if (!volumeReady()) return;
    const long range = wxGetNumberFromUser("Colour Range", "R: ", "Range", 50, 1, 1000, this);
    if (range <= 0) return;
    const long falloff = wxGetNumberFromUser("Falloff", "F: ", "Range", 50, 1, 1000, this);
    const long premultiply = wxGetNumberFromUser("Premultiply", "Pre: ", "1 or 0", 1, 0, 1, this);
    if (falloff <= 0) return;
    // A cancelled premultiply prompt (-1) counts as "on", like any answer but 0.
    FilterStep step;
    step.kind = FilterStep::Key;
    step.keyColour = keyColour;
    step.range = static_cast<int>(range);
    step.falloff = static_cast<int>(falloff);
    step.premultiply = premultiply != 0 ? 1 : 0;
    filterWithUndo(step);
}

void AppFrame::OnBlur(wxCommandEvent&) {
    if (!volumeReady()) return;
    const long radius = wxGetNumberFromUser("Blur Radius (1-3) ", "r: ", "Radius", 1, 1, 3, this);
    if (radius <= 0) return;
    FilterStep step;
    step.radius = static_cast<int>(radius);
    filterWithUndo(step);
}

void AppFrame::OnEdges(wxCommandEvent&) {
    if (!volumeReady()) return;
    FilterStep step;
    step.kind = FilterStep::Edges;
    filterWithUndo(step);
}
