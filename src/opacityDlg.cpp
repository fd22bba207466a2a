#include "opacityDlg.h"

#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "appFrame.h"

const OpacityPreset kCtOpacityPresets[3] = {{"Bone", 200, 800}, {"Skin", -600, -300}, {"Soft tissue", -100, 200}};

OpacityDlg::OpacityDlg(AppFrame* frame) : wxDialog(frame, wxID_ANY, "Opacity"), frame_(frame) {
    const bool hu = frame->originals && frame->originals->valueUnit == "HU";
    const wxString unit = frame->originals ? (frame->originals->valueUnit.empty()
                                                  ? wxString("in the samples' values")
                                                  : "in " + wxString::FromUTF8(frame->originals->valueUnit))
                                           : wxString("in grey levels, 0..255");
    auto* top = new wxBoxSizer(wxVERTICAL);  // the dialog owns its sizers
    top->Add(new wxStaticText(this, wxID_ANY, "Transparent at or below Low, opaque at or above High (" + unit + "):"),
             0, wxALL, 10);
    auto* grid = new wxFlexGridSizer(4, 8, 8);
    auto field = [&](const wxString& label, wxTextCtrl*& edit) {
        grid->Add(new wxStaticText(this, wxID_ANY, label), 0, wxALIGN_CENTER_VERTICAL);
        edit = new wxTextCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxSize(110, -1));
        grid->Add(edit, 0, wxEXPAND);
    };
    field("Low:", editLo);
    field("High:", editHi);
    top->Add(grid, 0, wxLEFT | wxRIGHT | wxBOTTOM, 10);
    auto* presets = new wxBoxSizer(wxHORIZONTAL);
    if (hu)
        for (const OpacityPreset& p : kCtOpacityPresets) {
            auto* b = new wxButton(this, wxID_ANY, p.name);
            b->SetToolTip(wxString::Format("%g..%g HU", p.lo, p.hi));
            b->Bind(wxEVT_BUTTON, [this, p](wxCommandEvent&) { show(p.lo, p.hi); });
            presets->Add(b, 0, wxRIGHT, 4);
            presetButtons.push_back(b);
        }
    windowButton = new wxButton(this, wxID_ANY, "Above the window");
    windowButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        if (frame_->originals)
            show(frame_->windowLo, frame_->windowHi);
        else
            show(0, 255);  // 8-bit images: the grey levels are the window
    });
    opaqueButton = new wxButton(this, wxID_ANY, "Opaque");
    opaqueButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        opaque = true;
        EndDialog(wxID_OK);
    });
    presets->Add(windowButton, 0, wxRIGHT, 4);
    presets->Add(opaqueButton, 0, 0, 0);
    top->Add(presets, 0, wxLEFT | wxRIGHT | wxBOTTOM, 10);
    problem = new wxStaticText(this, wxID_ANY, wxEmptyString);
    top->Add(problem, 0, wxLEFT | wxRIGHT | wxBOTTOM | wxEXPAND, 10);
    top->Add(CreateStdDialogButtonSizer(wxOK | wxCANCEL), 0, wxALL | wxEXPAND, 10);
    SetSizerAndFit(top);

    const OpacityRamp& now = frame->opacityRamp;
    if (now.on)
        show(now.lo, now.hi);
    else if (hu)
        show(kCtOpacityPresets[0].lo, kCtOpacityPresets[0].hi);
    else
        show(frame->originals ? frame->windowLo : 0, frame->originals ? frame->windowHi : 255);
    Bind(wxEVT_BUTTON, &OpacityDlg::OnOK, this, wxID_OK);
}

void OpacityDlg::show(double l, double h) {
    editLo->ChangeValue(wxString::FromUTF8(formatValue(l)));
    editHi->ChangeValue(wxString::FromUTF8(formatValue(h)));
    problem->SetLabel(wxEmptyString);
}

void OpacityDlg::OnOK(wxCommandEvent& event) {
    double l, h;
    const bool numbers = editLo->GetValue().Trim().Trim(false).ToCDouble(&l) &&
                         editHi->GetValue().Trim().Trim(false).ToCDouble(&h);
    const wxString why = numbers ? frame_->opacityProblem(l, h) : wxString("Low and high must be numbers.");
    problem->SetLabel(why);
    if (!why.empty()) {
        Layout();
        Fit();
        return;  // the dialog stays open
    }
    lo = l;
    hi = h;
    event.Skip();  // the standard OK ends the dialog
}
