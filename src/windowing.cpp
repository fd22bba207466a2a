// The main window's window/level over the original samples of a wide or calibrated load:
// changing the window (the volume made anew, the filters since the load applied again, one
// step for Undo), Auto, the dialog, and the value under the pointer. The samples and the
// remap are in originals.
#include <wx/button.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/progdlg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <cmath>
#include <utility>

#include "appFrame.h"
#include "slicer.h"
#include "voxelmap.h"
#include "windowDlg.h"

const WindowPreset kCtPresets[4] = {
    {"Brain", 80, 40}, {"Soft tissue", 400, 40}, {"Lung", 1500, -600}, {"Bone", 1800, 400}};

namespace {

wxString valueString(double v) { return wxString::FromUTF8(formatValue(v)); }

bool readNumber(const wxTextCtrl* edit, double& v) { return edit->GetValue().Trim().Trim(false).ToCDouble(&v); }

}  // namespace

// ---- The window over the frame's volume ----

void AppFrame::keepOriginals(std::unique_ptr<Originals> kept, double lo, double hi) {
    history.startFrom(std::move(kept), lo, hi);
    for (int id : {ID_OPACITY, ID_MIP, ID_PREVIEW}) settingsMenu->Enable(id, true);  // as resetOpacity leaves them
    settingsMenu->Enable(ID_WINDOW, originals != nullptr);
}

wxString rangeProblem(const wxString& whose, double lo, double hi) {
    if (!std::isfinite(lo) || !std::isfinite(hi)) return whose + " low and high values must be numbers.";
    if (!(lo < hi))
        return whose + " low value (" + valueString(lo) + ") must be below its high value (" + valueString(hi) + ").";
    return {};
}

wxString AppFrame::windowProblem(double lo, double hi) const { return rangeProblem("The window's", lo, hi); }

bool AppFrame::remakeVolume(double lo, double hi) {
    if (!volumeReady() || !canRemakeVolume()) return false;
    FilterDialog dialog("Applying the filters again", this, kProgressStyle | wxPD_CAN_ABORT);
    return reportRemade(history.remake(*myVoxmap, lo, hi, opacityRamp, dialog.callback()));
}

WindowChange AppFrame::changeWindow(double lo, double hi, bool undoable) {
    if (!volumeReady() || !originals || (lo == windowLo && hi == windowHi)) return WindowChange::None;
    Remade how;
    {
        FilterDialog dialog("Applying the filters again", this, kProgressStyle | wxPD_CAN_ABORT);
        how = history.changeWindowTo(*myVoxmap, lo, hi, undoable, dialog.callback());
    }
    if (!reportRemade(how)) return WindowChange::None;
    effectsMenu->Enable(ID_UNDO, !undoLevels.empty());
    showStatus();
    showRemadeVolume();
    return undoable ? WindowChange::ChangedUndoable : WindowChange::Changed;
}

void AppFrame::setWindow(double lo, double hi) {
    if (!volumeReady() || !originals) return;
    const wxString problem = windowProblem(lo, hi);
    if (!problem.empty()) {
        wxMessageBox(problem + " The window is unchanged.", "Window/Level", wxOK | wxICON_ERROR, this);
        return;
    }
    changeWindow(lo, hi, true);
}

void AppFrame::autoWindow() {
    if (!volumeReady() || !originals) return;
    double lo, hi;
    originals->autoWindow(lo, hi);  // the full range when the samples do not spread
    changeWindow(lo, hi, true);
}

std::string AppFrame::valueAtSlicePixel(int px, int py) const {
    if (!originals || !volumeReady() || px < 0 || py < 0) return {};
    // The point the slice samples for that pixel, and the voxel its nearest lookup reads.
    const float u = static_cast<float>(px) / static_cast<float>(theslicer->width);
    const float v = static_cast<float>(py) / static_cast<float>(theslicer->height);
    const int64_t n = myVoxmap->indexOf(theslicer->patch->SrfEval(u, v));
    if (n < 0) return {};
    const int64_t plane = int64_t(myVoxmap->width) * myVoxmap->height;
    const int k = static_cast<int>(n / plane), j = static_cast<int>(n % plane / myVoxmap->width),
              i = static_cast<int>(n % myVoxmap->width);
    return originals->valueText(i, j, k);
}

void AppFrame::OnWindow(wxCommandEvent&) {
    if (!volumeReady() || !originals) return;
    WindowDlg dlg(this);
    if (dlg.ShowModal() != wxID_OK) dlg.restore();
}

// ---- The dialog ----

WindowDlg::WindowDlg(AppFrame* frame)
    : wxDialog(frame, wxID_ANY, "Window/Level"), frame_(frame), startLo_(frame->windowLo), startHi_(frame->windowHi) {
    const Originals& o = *frame->originals;
    auto* grid = new wxFlexGridSizer(4, 8, 8);  // the window's sizer owns it
    auto field = [&](const wxString& label, wxTextCtrl*& edit) {
        grid->Add(new wxStaticText(this, wxID_ANY, label), 0, wxALIGN_CENTER_VERTICAL);
        edit = new wxTextCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxSize(110, -1));
        grid->Add(edit, 0, wxEXPAND);
    };
    field("Low:", editLo);
    field("High:", editHi);
    field("Centre:", editCentre);
    field("Width:", editWidth);
    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    autoButton = new wxButton(this, wxID_ANY, "Auto");
    fullButton = new wxButton(this, wxID_ANY, "Full range");
    buttons->Add(autoButton, 0, wxRIGHT, 8);
    buttons->Add(fullButton, 0, 0, 0);
    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(grid, 0, wxALL, 10);
    top->Add(buttons, 0, wxLEFT | wxRIGHT | wxBOTTOM, 10);
    if (o.valueUnit == "HU") {
        auto* presets = new wxBoxSizer(wxHORIZONTAL);
        for (const WindowPreset& p : kCtPresets) {
            auto* b = new wxButton(this, wxID_ANY, p.name);
            b->SetToolTip(wxString::Format("window %g / level %g HU", p.width, p.level));
            b->Bind(wxEVT_BUTTON, [this, p](wxCommandEvent&) { choose(p.level - p.width / 2, p.level + p.width / 2); });
            presets->Add(b, 0, wxRIGHT, 4);
            presetButtons.push_back(b);
        }
        top->Add(presets, 0, wxLEFT | wxRIGHT | wxBOTTOM, 10);
    }
    problem = new wxStaticText(this, wxID_ANY, wxEmptyString);
    top->Add(problem, 0, wxLEFT | wxRIGHT | wxBOTTOM | wxEXPAND, 10);
    top->Add(CreateStdDialogButtonSizer(wxOK | wxCANCEL), 0, wxALL | wxEXPAND, 10);
    SetSizerAndFit(top);

    show(startLo_, startHi_, true, true);
    editLo->Bind(wxEVT_TEXT, &WindowDlg::OnLoHi, this);
    editHi->Bind(wxEVT_TEXT, &WindowDlg::OnLoHi, this);
    editCentre->Bind(wxEVT_TEXT, &WindowDlg::OnCentreWidth, this);
    editWidth->Bind(wxEVT_TEXT, &WindowDlg::OnCentreWidth, this);
    autoButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        double lo, hi;
        frame_->originals->autoWindow(lo, hi);
        choose(lo, hi);
    });
    fullButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { choose(frame_->originals->lo, frame_->originals->hi); });
}

void WindowDlg::show(double lo, double hi, bool loHi, bool centreWidth) {
    // ChangeValue sends no event: showing a window does not apply it again.
    if (loHi) editLo->ChangeValue(valueString(lo)), editHi->ChangeValue(valueString(hi));
    if (centreWidth) editCentre->ChangeValue(valueString((lo + hi) / 2)), editWidth->ChangeValue(valueString(hi - lo));
}

void WindowDlg::apply(double lo, double hi) {
    // The first change is the step Undo takes back; later ones in this dialog replace it.
    const WindowChange c = frame_->changeWindow(lo, hi, change_ == WindowChange::None);
    if (change_ == WindowChange::None) change_ = c;
}

void WindowDlg::choose(double lo, double hi) {
    show(lo, hi, true, true);
    // The full range of a stack of one value has lo == hi: it is still the load's window.
    const bool full = lo == frame_->originals->lo && hi == frame_->originals->hi;
    const wxString why = full ? wxString() : frame_->windowProblem(lo, hi);
    problem->SetLabel(why);
    if (why.empty()) apply(lo, hi);
}

void WindowDlg::OnLoHi(wxCommandEvent&) {
    double lo, hi;
    if (!readNumber(editLo, lo) || !readNumber(editHi, hi)) return problem->SetLabel("Low and high must be numbers.");
    const wxString why = frame_->windowProblem(lo, hi);
    problem->SetLabel(why);
    if (!why.empty()) return;
    show(lo, hi, false, true);
    apply(lo, hi);
}

void WindowDlg::OnCentreWidth(wxCommandEvent&) {
    double centre, width;
    if (!readNumber(editCentre, centre) || !readNumber(editWidth, width))
        return problem->SetLabel("Centre and width must be numbers.");
    const double lo = centre - width / 2, hi = centre + width / 2;
    const wxString why = frame_->windowProblem(lo, hi);
    problem->SetLabel(why);
    if (!why.empty()) return;
    show(lo, hi, true, false);
    apply(lo, hi);
}

void WindowDlg::restore() {
    if (change_ == WindowChange::ChangedUndoable)
        frame_->undoFilter();  // the volume from before the dialog, byte for byte
    else if (change_ == WindowChange::Changed)
        frame_->changeWindow(startLo_, startHi_, false);
    change_ = WindowChange::None;
}
