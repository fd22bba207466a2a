// The opacity dialog of Settings, "Opacity...": the ramp lo..hi in the values' unit, with
// presets. Nothing changes until OK; the work is the frame's (setOpacityRamp, setOpaque).
#pragma once

#include <wx/dialog.h>

#include <vector>

class AppFrame;
class wxButton;
class wxStaticText;
class wxTextCtrl;

// A ramp by name, lo..hi in Hounsfield units.
struct OpacityPreset {
    const char* name;
    double lo, hi;
};
// Bone, skin, soft tissue: offered for values in HU.
extern const OpacityPreset kCtOpacityPresets[3];

class OpacityDlg : public wxDialog {
public:
    wxTextCtrl* editLo = nullptr;
    wxTextCtrl* editHi = nullptr;
    std::vector<wxButton*> presetButtons;  // the CT presets (values in HU only)
    wxButton* windowButton = nullptr;      // "Above the window": lo..hi = the window
    wxButton* opaqueButton = nullptr;      // "Opaque": the loaded alpha; closes with OK
    wxStaticText* problem = nullptr;       // why the fields are not a ramp, if they are not
    bool opaque = false;                   // closed by "Opaque"
    double lo = 0, hi = 0;                 // the ramp chosen, when closed by OK

    explicit OpacityDlg(AppFrame* frame);

private:
    void show(double l, double h);
    void OnOK(wxCommandEvent& event);

    AppFrame* frame_;
};
