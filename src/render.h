// RenderDlg: the batch render dialog, a start and an end pose of the slicing
// plane, a frame count and the sequence file.
#pragma once

#include <wx/dialog.h>

class wxButton;
class wxFileDialog;
class wxSpinCtrl;
class wxSpinEvent;
class wxStaticText;

// What the dialog's fields hold: kept by the window between openings of the dialog.
struct RenderChoice {
    int tStart[3] = {0, 0, 0}, tEnd[3] = {0, 0, 0};
    int rStart[3] = {0, 0, 0}, rEnd[3] = {0, 0, 0};
    int sStart[3] = {100, 100, 100}, sEnd[3] = {100, 100, 100};
    int frames = 0;
    wxString seqName, seqExt, seqDir;  // empty until a sequence file was chosen
};

class RenderDlg : public wxDialog {
public:
    int tStart[3] = {0, 0, 0};        // start translation x, y, z, world units
    int tEnd[3] = {0, 0, 0};          // end translation
    int rStart[3] = {0, 0, 0};        // start rotation, degrees
    int rEnd[3] = {0, 0, 0};          // end rotation
    int sStart[3] = {100, 100, 100};  // start scale, percent
    int sEnd[3] = {100, 100, 100};    // end scale
    double frames = 0;                // frame count N: frames 0..N are written
    wxString seqName;                 // chosen file name up to its last "."
    wxString seqExt;                  // chosen file name after its last "."
    wxString seqDir;                  // directory of the chosen file
    bool doRender = false;            // set by the "Render" button

    wxStaticText* stFrames = nullptr;
    wxSpinCtrl* spFrames = nullptr;
    wxStaticText* labels[9] = {};     // TX, TY, TZ, RX, RY, RZ, SX, SY, SZ
    wxSpinCtrl* startCtrls[9] = {};
    wxSpinCtrl* endCtrls[9] = {};
    wxButton* btnOK = nullptr;        // "Save": choose the sequence file
    wxButton* btnRndr = nullptr;      // "Render": disabled until a file is chosen

    RenderDlg(const wxString& title, long style);

    void CreateGUIControls();
    void ValueChanged(wxSpinEvent& event);
    // Text typed into a field, with or without Enter: the fields read again.
    void ValueTyped(wxCommandEvent& event);
    void btnOKClick(wxCommandEvent& event);
    void btnRndrClick(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);

    // The work after the file dialog: splits the name at its last "." and enables "Render".
    void chooseSequenceFile(const wxString& dir, const wxString& fileName);
    // Reads every field as the controls show it, typed text included (Enter or not).
    void readFields();
    // The fields as they stand, and the controls and fields set from an earlier choice.
    RenderChoice choice() const;
    void restore(const RenderChoice& c);

private:
    wxDECLARE_EVENT_TABLE();
};

// The value a spin control shows: its text as typed (a spin control's value can lag its
// text until Enter or a focus change), kept to the control's range; otherwise when the
// text is not a whole number.
int shownValue(const wxSpinCtrl* control, int otherwise);

// The path a confirmed file dialog was given. The dialog's own answer wins; a dialog
// that gives none (as under the test hook) gives its folder and file name joined.
wxString chosenPath(const wxFileDialog& dlg);

// Gives control at least the size the toolkit needs to show it whole (its best size),
// and never less than least. A GTK spin control squeezed below its own minimum hides
// its buttons and warns on every layout.
void sizeAtLeast(wxWindow* control, const wxSize& least);
