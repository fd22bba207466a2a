// Loading a part of a multiscale image: File, "Load Region...", and the member the command
// line's --level and --region reach. The load itself is loading.cpp's.
#include <wx/arrstr.h>

#include "appFrame.h"
#include "region.h"
#include "regionDlg.h"
#include "stackio.h"

void AppFrame::OnLoadRegion(wxCommandEvent&) {
    RegionDlg dialog(this, lastRegionPath, lastRegionText);
    if (dialog.ShowModal() != wxID_OK) return;
    lastRegionPath = wxString::FromUTF8(dialog.path);
    lastRegionText = dialog.whole ? wxString() : wxString::FromUTF8(regionText(dialog.box));
    loadRegion(dialog.path, dialog.level, dialog.whole ? nullptr : dialog.box);
}

bool AppFrame::loadRegion(const std::string& path, int level, const int box[6]) {
    stackio::Region region;
    region.level = level;
    region.whole = box == nullptr;
    if (box) std::copy(box, box + 6, region.box);
    return loadPart(wxArrayString(1, wxString::FromUTF8(path)), 1, 0, region);
}
