// File, "Load Region...": an OME-Zarr image (a folder or an http(s) URL), the box of it to
// open in the finest level's voxels, and the level. Nothing is read until OK; the work is
// the frame's (loadRegion).
#pragma once

#include <wx/dialog.h>

#include <string>

class wxChoice;
class wxStaticText;
class wxTextCtrl;

class RegionDlg : public wxDialog {
public:
    wxTextCtrl* editPath = nullptr;    // a folder or a URL
    wxTextCtrl* editRegion = nullptr;  // "x0:x1,y0:y1,z0:z1", or empty for the whole image
    wxChoice* choiceLevel = nullptr;   // "The finest that fits", then levels 0 to 9
    wxStaticText* problem = nullptr;   // why the fields cannot be loaded, if they cannot
    // What was chosen, when closed by OK.
    std::string path;
    bool whole = true;
    int box[6] = {0, 0, 0, 0, 0, 0};
    int level = -1;  // -1: the finest level that fits

    RegionDlg(wxWindow* parent, const wxString& lastPath, const wxString& lastRegion);

private:
    void OnOK(wxCommandEvent& event);
};
