#include "regionDlg.h"

#include <wx/button.h>
#include <wx/choice.h>
#include <wx/dirdlg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "region.h"

namespace {
constexpr int kLevelsOffered = 10;
}

RegionDlg::RegionDlg(wxWindow* parent, const wxString& lastPath, const wxString& lastRegion)
    : wxDialog(parent, wxID_ANY, "Load Region") {
    auto* top = new wxBoxSizer(wxVERTICAL);  // the dialog owns its sizers
    top->Add(new wxStaticText(this, wxID_ANY,
                              "An OME-Zarr image (a folder, or an http:// or https:// address), and the part of it\n"
                              "to open, in voxels of its finest level (ends excluded; empty: the whole image):"),
             0, wxALL, 10);
    auto* grid = new wxFlexGridSizer(3, 8, 8);
    grid->AddGrowableCol(1);
    grid->Add(new wxStaticText(this, wxID_ANY, "Image:"), 0, wxALIGN_CENTER_VERTICAL);
    editPath = new wxTextCtrl(this, wxID_ANY, lastPath, wxDefaultPosition, wxSize(360, -1));
    grid->Add(editPath, 1, wxEXPAND);
    auto* browse = new wxButton(this, wxID_ANY, "Folder...");
    browse->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        wxDirDialog dialog(this, "OME-Zarr Image", editPath->GetValue(), wxDD_DEFAULT_STYLE | wxDD_DIR_MUST_EXIST);
        if (dialog.ShowModal() == wxID_OK) editPath->ChangeValue(dialog.GetPath());
    });
    grid->Add(browse, 0);
    grid->Add(new wxStaticText(this, wxID_ANY, "Region:"), 0, wxALIGN_CENTER_VERTICAL);
    editRegion = new wxTextCtrl(this, wxID_ANY, lastRegion);
    editRegion->SetHint("x0:x1,y0:y1,z0:z1");
    grid->Add(editRegion, 1, wxEXPAND);
    grid->AddSpacer(0);
    grid->Add(new wxStaticText(this, wxID_ANY, "Level:"), 0, wxALIGN_CENTER_VERTICAL);
    choiceLevel = new wxChoice(this, wxID_ANY);
    choiceLevel->Append("The finest that fits");
    choiceLevel->Append("0 (full resolution)");
    for (int l = 1; l < kLevelsOffered; ++l) choiceLevel->Append(wxString::Format("%d", l));
    choiceLevel->SetSelection(0);
    grid->Add(choiceLevel, 0);
    grid->AddSpacer(0);
    top->Add(grid, 0, wxLEFT | wxRIGHT | wxBOTTOM | wxEXPAND, 10);
    problem = new wxStaticText(this, wxID_ANY, wxEmptyString);
    top->Add(problem, 0, wxLEFT | wxRIGHT | wxBOTTOM | wxEXPAND, 10);
    top->Add(CreateStdDialogButtonSizer(wxOK | wxCANCEL), 0, wxALL | wxEXPAND, 10);
    SetSizerAndFit(top);
    Bind(wxEVT_BUTTON, &RegionDlg::OnOK, this, wxID_OK);
}

void RegionDlg::OnOK(wxCommandEvent& event) {
    const wxString p = editPath->GetValue().Trim().Trim(false);
    const std::string text = editRegion->GetValue().Trim().Trim(false).utf8_string();
    std::string why;
    if (p.empty()) why = "Name an image: a folder or an address.";
    whole = text.empty();
    if (why.empty() && !whole) parseRegion(text, box, why);
    problem->SetLabel(wxString::FromUTF8(why));
    if (!why.empty()) {
        Layout();
        Fit();
        return;  // the dialog stays open, saying why
    }
    path = p.utf8_string();
    level = choiceLevel->GetSelection() - 1;
    event.Skip();  // closes with OK
}
