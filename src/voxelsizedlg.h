// VoxelSizeDlg: the x, y and z sizes of a voxel and their unit, as Settings, "Voxel Size..."
// asks for them.
#pragma once

#include <wx/dialog.h>

#include "vector3.h"

class wxChoice;
class wxTextCtrl;

class VoxelSizeDlg : public wxDialog {
public:
    wxTextCtrl* sizeCtrls[3] = {};  // x, y, z
    wxChoice* unitChoice = nullptr;  // "nm", "µm", "mm", "none"

    // Filled in with size and unit (UTF-8; empty: "none").
    VoxelSizeDlg(wxWindow* parent, const Vector& size, const wxString& unit);

    // The sizes entered; a field that holds no number gives NaN (refused by the caller).
    Vector size() const;
    // The unit chosen; empty for "none".
    wxString unit() const;
};
