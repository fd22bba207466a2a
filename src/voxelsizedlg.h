// VoxelSizeDlg: the x, y and z sizes of a voxel and their unit, as Settings, "Voxel Size..."
// asks for them.
#pragma once

#include <wx/dialog.h>

#include "vector3.h"

class wxChoice;
class wxCommandEvent;
class wxStaticText;
class wxTextCtrl;

class VoxelSizeDlg : public wxDialog {
public:
    wxTextCtrl* sizeCtrls[3] = {};  // x, y, z
    wxChoice* unitChoice = nullptr;  // "nm", "µm", "mm", "none"
    wxStaticText* problemText = nullptr;  // why OK was refused, naming the field; empty until then

    // Filled in with size and unit (UTF-8; empty: "none").
    VoxelSizeDlg(wxWindow* parent, const Vector& size, const wxString& unit);

    // The sizes entered; a field that holds no number gives NaN (refused by the caller).
    Vector size() const;
    // The unit chosen; empty for "none".
    wxString unit() const;
    // Why the sizes entered cannot be a voxel size, naming the field at fault (its index,
    // 0 to 2, in field when given); empty when they can.
    wxString problem(int* field = nullptr) const;

private:
    // OK closes only on sizes that can be one: otherwise the dialog stays open with every
    // entry as typed, the reason below the fields and the field at fault selected.
    void OnOK(wxCommandEvent& event);
};
