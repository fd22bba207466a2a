#include "render.h"

#include <wx/button.h>
#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/font.h>
#include <wx/image.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>

#include <algorithm>

namespace {

// Window ids of the dialog's controls. The nine parameter rows share their ids:
// every spin change is handled the same way, so they need not be told apart.
enum {
    ID_STFRAMES = 1008,
    ID_SPFRAMES = 1010,
    ID_PARAMLABEL = 1026,
    ID_STARTCTRL = 1027,
    ID_ENDCTRL = 1029,
    ID_BTNOK = 1044,
    ID_BTNRNDR = 1045,
};

// One parameter row: label text, label window name, initial value of both controls.
struct ParamRow {
    const char* label;
    const char* name;
    int initial;
};

const ParamRow kRows[9] = {
    {"TX", "stTX", 0},  {"TY", "spTy", 0},  {"TZ", "stTz", 0},    {"RX", "stRx", 0},    {"RY", "stRy", 0},
    {"RZ", "stRz", 0},  {"SX", "stSx", 100}, {"SY", "stSy", 100}, {"SZ", "stSz", 100},
};

}  // namespace

// clang-format off
wxBEGIN_EVENT_TABLE(RenderDlg, wxDialog)
    EVT_CLOSE(RenderDlg::OnClose)
    EVT_BUTTON(ID_BTNOK, RenderDlg::btnOKClick)
    EVT_BUTTON(ID_BTNRNDR, RenderDlg::btnRndrClick)
    // One pair per parameter row (end control, start control); the rows share their ids.
    EVT_SPINCTRL(ID_ENDCTRL, RenderDlg::ValueChanged)
    EVT_SPINCTRL(ID_STARTCTRL, RenderDlg::ValueChanged)
    EVT_SPINCTRL(ID_ENDCTRL, RenderDlg::ValueChanged)
    EVT_SPINCTRL(ID_STARTCTRL, RenderDlg::ValueChanged)
    EVT_SPINCTRL(ID_ENDCTRL, RenderDlg::ValueChanged)
    EVT_SPINCTRL(ID_STARTCTRL, RenderDlg::ValueChanged)
    EVT_SPINCTRL(ID_ENDCTRL, RenderDlg::ValueChanged)
    EVT_SPINCTRL(ID_STARTCTRL, RenderDlg::ValueChanged)
    EVT_SPINCTRL(ID_ENDCTRL, RenderDlg::ValueChanged)
    EVT_SPINCTRL(ID_STARTCTRL, RenderDlg::ValueChanged)
    EVT_SPINCTRL(ID_ENDCTRL, RenderDlg::ValueChanged)
    EVT_SPINCTRL(ID_STARTCTRL, RenderDlg::ValueChanged)
    EVT_SPINCTRL(ID_ENDCTRL, RenderDlg::ValueChanged)
    EVT_SPINCTRL(ID_STARTCTRL, RenderDlg::ValueChanged)
    EVT_SPINCTRL(ID_ENDCTRL, RenderDlg::ValueChanged)
    EVT_SPINCTRL(ID_STARTCTRL, RenderDlg::ValueChanged)
    EVT_SPINCTRL(ID_ENDCTRL, RenderDlg::ValueChanged)
    EVT_SPINCTRL(ID_STARTCTRL, RenderDlg::ValueChanged)
    EVT_SPINCTRL(ID_SPFRAMES, RenderDlg::ValueChanged)
wxEND_EVENT_TABLE()
// clang-format on

RenderDlg::RenderDlg(const wxString& title, long style)
    : wxDialog(nullptr, wxID_ANY, title, wxDefaultPosition, wxDefaultSize, style) {
    seqName = wxEmptyString;
    seqExt = wxEmptyString;
    seqDir = wxEmptyString;
    doRender = false;
    CreateGUIControls();
}

void RenderDlg::CreateGUIControls() {
    const wxFont font(8, wxFONTFAMILY_SWISS, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_NORMAL, false, "Tahoma");
    const int centred = wxALIGN_CENTER | wxALL;

    auto* column = new wxBoxSizer(wxVERTICAL);
    SetSizer(column);  // the dialog owns the sizer and lays itself out with it
    SetAutoLayout(true);

    auto* framesRow = new wxBoxSizer(wxHORIZONTAL);
    column->Add(framesRow, 0, wxALIGN_CENTER, 0);
    stFrames = new wxStaticText(this, ID_STFRAMES, "Frames", wxDefaultPosition, wxDefaultSize, 0, "stFrames");
    stFrames->SetFont(font);
    framesRow->Add(stFrames, 0, centred, 5);
    spFrames = new wxSpinCtrl(this, ID_SPFRAMES, "0", wxDefaultPosition, wxSize(75, 22), wxSP_ARROW_KEYS, 0, 1000,
                              0, "wxSpinCtrl");
    spFrames->SetFont(font);
    sizeAtLeast(spFrames, wxSize(75, 22));  // after the font: the best size depends on it
    framesRow->Add(spFrames, 0, centred, 5);

    for (int r = 0; r < 9; ++r) {
        const ParamRow& row = kRows[r];
        const wxString initial = wxString::Format("%d", row.initial);
        auto* rowSizer = new wxBoxSizer(wxHORIZONTAL);
        column->Add(rowSizer, 0, wxALIGN_CENTER, 0);
        labels[r] = new wxStaticText(this, ID_PARAMLABEL, row.label, wxDefaultPosition, wxDefaultSize, 0, row.name);
        labels[r]->SetFont(font);
        rowSizer->Add(labels[r], 0, centred, 5);
        startCtrls[r] = new wxSpinCtrl(this, ID_STARTCTRL, initial, wxDefaultPosition, wxSize(60, 22), wxSP_ARROW_KEYS,
                                       -1000, 1000, row.initial, "wxSpinCtrl");
        startCtrls[r]->SetFont(font);
        sizeAtLeast(startCtrls[r], wxSize(60, 22));
        rowSizer->Add(startCtrls[r], 0, centred, 5);
        endCtrls[r] = new wxSpinCtrl(this, ID_ENDCTRL, initial, wxDefaultPosition, wxSize(60, 22), wxSP_ARROW_KEYS,
                                     -1000, 1000, row.initial, "wxSpinCtrl");
        endCtrls[r]->SetFont(font);
        sizeAtLeast(endCtrls[r], wxSize(60, 22));
        rowSizer->Add(endCtrls[r], 0, centred, 5);
    }

    // Typed text counts as it stands: a spin event comes only with Enter or a focus change.
    spFrames->Bind(wxEVT_TEXT, &RenderDlg::ValueTyped, this);
    for (int r = 0; r < 9; ++r) {
        startCtrls[r]->Bind(wxEVT_TEXT, &RenderDlg::ValueTyped, this);
        endCtrls[r]->Bind(wxEVT_TEXT, &RenderDlg::ValueTyped, this);
    }

    btnOK = new wxButton(this, ID_BTNOK, "Save", wxDefaultPosition, wxSize(75, 25), 0, wxDefaultValidator, "btnOK");
    btnOK->SetFont(font);
    column->Add(btnOK, 0, centred, 5);
    btnRndr =
        new wxButton(this, ID_BTNRNDR, "Render", wxDefaultPosition, wxSize(75, 25), 0, wxDefaultValidator, "btnRndr");
    btnRndr->SetFont(font);
    btnRndr->Enable(false);
    column->Add(btnRndr, 0, centred, 5);

    SetTitle("Animation");
    SetIcon(wxNullIcon);
    column->Fit(this);
    column->SetSizeHints(this);
    Center(wxBOTH);
}

void RenderDlg::ValueChanged(wxSpinEvent&) { readFields(); }

void RenderDlg::ValueTyped(wxCommandEvent& event) {
    readFields();
    event.Skip();
}

void RenderDlg::readFields() {
    // Text that is not a number leaves its field as it was (the control puts that back).
    frames = static_cast<double>(shownValue(spFrames, static_cast<int>(frames)));
    for (int axis = 0; axis < 3; ++axis) {
        tStart[axis] = shownValue(startCtrls[axis], tStart[axis]);
        tEnd[axis] = shownValue(endCtrls[axis], tEnd[axis]);
        rStart[axis] = shownValue(startCtrls[3 + axis], rStart[axis]);
        rEnd[axis] = shownValue(endCtrls[3 + axis], rEnd[axis]);
        sStart[axis] = shownValue(startCtrls[6 + axis], sStart[axis]);
        sEnd[axis] = shownValue(endCtrls[6 + axis], sEnd[axis]);
    }
}

RenderChoice RenderDlg::choice() const {
    RenderChoice c;
    for (int axis = 0; axis < 3; ++axis) {
        c.tStart[axis] = tStart[axis], c.tEnd[axis] = tEnd[axis];
        c.rStart[axis] = rStart[axis], c.rEnd[axis] = rEnd[axis];
        c.sStart[axis] = sStart[axis], c.sEnd[axis] = sEnd[axis];
    }
    c.frames = static_cast<int>(frames);
    c.seqName = seqName, c.seqExt = seqExt, c.seqDir = seqDir;
    return c;
}

void RenderDlg::restore(const RenderChoice& c) {
    spFrames->SetValue(c.frames);
    for (int axis = 0; axis < 3; ++axis) {
        const int starts[3] = {c.tStart[axis], c.rStart[axis], c.sStart[axis]};
        const int ends[3] = {c.tEnd[axis], c.rEnd[axis], c.sEnd[axis]};
        for (int kind = 0; kind < 3; ++kind) {
            startCtrls[3 * kind + axis]->SetValue(starts[kind]);
            endCtrls[3 * kind + axis]->SetValue(ends[kind]);
        }
    }
    readFields();  // the controls keep their ranges: the fields are what they show
    if (!c.seqExt.empty()) {
        seqDir = c.seqDir, seqName = c.seqName, seqExt = c.seqExt;
        btnRndr->Enable(true);
    }
}

int shownValue(const wxSpinCtrl* control, int otherwise) {
    wxString text = control->GetTextValue();
    text.Trim().Trim(false);
    long typed = 0;
    if (!text.ToLong(&typed)) return otherwise;
    return static_cast<int>(std::max<long>(control->GetMin(), std::min<long>(control->GetMax(), typed)));
}

void RenderDlg::btnOKClick(wxCommandEvent&) {
    readFields();
    // No overwrite prompt here: the chosen name itself is not written, its numbered
    // frames are, and the render asks about those.
    wxFileDialog dlg(this, "Save Image Sequence", wxEmptyString, wxEmptyString,
                     "Image Files " + wxImage::GetImageExtWildcard(), wxFD_SAVE);
    if (dlg.ShowModal() != wxID_OK) return;
    const wxFileName chosen(chosenPath(dlg));
    if (chosen.GetFullName().empty()) return;
    chooseSequenceFile(chosen.GetPath(), chosen.GetFullName());
}

wxString chosenPath(const wxFileDialog& dlg) {
    const wxString path = dlg.GetPath();
    if (!path.empty() || dlg.GetFilename().empty()) return path;
    return dlg.GetDirectory() + "/" + dlg.GetFilename();
}

void RenderDlg::chooseSequenceFile(const wxString& dir, const wxString& fileName) {
    seqDir = dir;
    seqName = fileName.BeforeLast('.');  // empty when the name has no "."
    seqExt = fileName.AfterLast('.');    // the whole name when it has no "."
    btnRndr->Enable(true);
}

void RenderDlg::btnRndrClick(wxCommandEvent&) {
    readFields();  // what the fields show, Enter typed or not
    doRender = true;
    Close();
}

// The dialog lives on its opener's stack: closing only ends the modal loop (or hides
// a dialog that was never shown modally) and never destroys it.
void RenderDlg::OnClose(wxCloseEvent&) {
    if (IsModal())
        EndModal(doRender ? wxID_OK : wxID_CANCEL);
    else
        Hide();
}

void sizeAtLeast(wxWindow* control, const wxSize& least) {
    wxSize size = control->GetBestSize();
    size.IncTo(least);
    control->SetInitialSize(size);
}
