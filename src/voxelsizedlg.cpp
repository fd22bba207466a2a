#include "voxelsizedlg.h"

#include <wx/choice.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <cmath>
#include <limits>

namespace {

const wxString kUnits[] = {wxString::FromUTF8("nm"), wxString::FromUTF8("µm"), wxString::FromUTF8("mm"), "none"};

}  // namespace

VoxelSizeDlg::VoxelSizeDlg(wxWindow* parent, const Vector& size, const wxString& unit)
    : wxDialog(parent, wxID_ANY, "Voxel Size") {
    auto* grid = new wxFlexGridSizer(2, 5, 5);
    const char* const axes[3] = {"x:", "y:", "z:"};
    for (int a = 0; a < 3; ++a) {
        grid->Add(new wxStaticText(this, wxID_ANY, axes[a]), 0, wxALIGN_CENTER_VERTICAL);  // owned by the dialog
        // Shortest text that reads back as the same number.
        sizeCtrls[a] = new wxTextCtrl(this, wxID_ANY, wxString::FromCDouble(size[a]));
        grid->Add(sizeCtrls[a], 1, wxEXPAND);
    }
    grid->Add(new wxStaticText(this, wxID_ANY, "Unit:"), 0, wxALIGN_CENTER_VERTICAL);
    unitChoice = new wxChoice(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, 4, kUnits);
    int chosen = 3;
    for (int n = 0; n < 3; ++n)
        if (unit == kUnits[n]) chosen = n;
    unitChoice->SetSelection(chosen);
    grid->Add(unitChoice, 1, wxEXPAND);

    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(grid, 1, wxEXPAND | wxALL, 10);
    problemText = new wxStaticText(this, wxID_ANY, wxEmptyString);
    top->Add(problemText, 0, wxEXPAND | wxLEFT | wxRIGHT, 10);
    top->Add(CreateStdDialogButtonSizer(wxOK | wxCANCEL), 0, wxEXPAND | wxALL, 5);
    SetSizerAndFit(top);
    Bind(wxEVT_BUTTON, &VoxelSizeDlg::OnOK, this, wxID_OK);
    CentreOnParent();
}

wxString VoxelSizeDlg::problem(int* field) const {
    const char* const names[3] = {"x", "y", "z"};
    const auto fault = [field](int a, const wxString& why) {
        if (field) *field = a;
        return why;
    };
    const Vector v = size();
    for (int a = 0; a < 3; ++a)
        if (!(std::isfinite(v[a]) && v[a] > 0))
            return fault(a, wxString::Format("The size along %s (\"%s\") is not a positive number.", names[a],
                                             sizeCtrls[a]->GetValue()));
    int lo = 0, hi = 0;
    for (int a = 1; a < 3; ++a) {
        if (v[a] < v[lo]) lo = a;
        if (v[a] > v[hi]) hi = a;
    }
    if (v[hi] / v[lo] > 1000)
        return fault(hi, wxString::Format("The size along %s is more than 1000 times the size along %s.", names[hi],
                                          names[lo]));
    return wxString();
}

void VoxelSizeDlg::OnOK(wxCommandEvent& event) {
    int field = 0;
    const wxString why = problem(&field);
    if (why.empty()) {
        event.Skip();  // the dialog's own OK: closes with wxID_OK
        return;
    }
    problemText->SetLabel(why);
    GetSizer()->Fit(this);
    sizeCtrls[field]->SetFocus();
    sizeCtrls[field]->SelectAll();
}

Vector VoxelSizeDlg::size() const {
    double v[3];
    for (int a = 0; a < 3; ++a)
        if (!sizeCtrls[a]->GetValue().Strip(wxString::both).ToCDouble(&v[a])) v[a] = std::numeric_limits<double>::quiet_NaN();
    return Vector(v[0], v[1], v[2]);
}

wxString VoxelSizeDlg::unit() const {
    const int n = unitChoice->GetSelection();
    return n >= 0 && n < 3 ? kUnits[n] : wxString();
}
