// The window/level dialog of Settings, "Window/Level...".
#pragma once

#include <wx/dialog.h>

#include <vector>

#include "appFrame.h"

class wxButton;
class wxStaticText;
class wxTextCtrl;

// A CT window by its width and level (centre), in Hounsfield units.
struct WindowPreset {
    const char* name;
    double width, level;
};
// Brain, soft tissue, lung, bone: offered for values in HU.
extern const WindowPreset kCtPresets[4];

// lo and hi, or centre and width, of the current window; "Auto", "Full range" and, for
// values in HU, the CT presets. The views follow each valid change; Cancel puts the window
// back. The work is the frame's (changeWindow); the handlers only read the fields.
class WindowDlg : public wxDialog {
public:
    wxTextCtrl* editLo = nullptr;
    wxTextCtrl* editHi = nullptr;
    wxTextCtrl* editCentre = nullptr;
    wxTextCtrl* editWidth = nullptr;
    wxButton* autoButton = nullptr;
    wxButton* fullButton = nullptr;
    std::vector<wxButton*> presetButtons;  // one per kCtPresets entry; none unless HU
    wxStaticText* problem = nullptr;       // why the fields are not a window, if they are not

    explicit WindowDlg(AppFrame* frame);
    // A window chosen: shown in all four fields and applied.
    void choose(double lo, double hi);
    // After Cancel: the window from before the dialog.
    void restore();

private:
    void apply(double lo, double hi);
    void show(double lo, double hi, bool loHi, bool centreWidth);
    void OnLoHi(wxCommandEvent& event);
    void OnCentreWidth(wxCommandEvent& event);

    AppFrame* frame_;
    double startLo_, startHi_;
    WindowChange change_ = WindowChange::None;
};
