#include "render.h"

#include <wx/button.h>
#include <wx/filedlg.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>

wxBEGIN_EVENT_TABLE(RenderDlg, wxDialog)
wxEND_EVENT_TABLE()

RenderDlg::RenderDlg(const wxString& title, long style)
    : wxDialog(nullptr, wxID_ANY, title, wxDefaultPosition, wxDefaultSize, style) {
    CreateGUIControls();
}

void RenderDlg::CreateGUIControls() {}
void RenderDlg::ValueChanged(wxSpinEvent&) {}
void RenderDlg::btnOKClick(wxCommandEvent&) {}
void RenderDlg::btnRndrClick(wxCommandEvent&) {}
void RenderDlg::OnClose(wxCloseEvent&) {}
void RenderDlg::chooseSequenceFile(const wxString&, const wxString&) {}
