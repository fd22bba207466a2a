// The main window's status bar: its first field says what is loaded and shown, made anew
// from the load's facts and the volume's state after every change (status.h has the words);
// the whole text is also the bar's tooltip, for when the field is too narrow to show it.
#include <wx/statusbr.h>

#include "appFrame.h"
#include "voxelmap.h"

void AppFrame::showStatus() {
    ShownFacts shown;
    if (myVoxmap->loaded) {
        shown.size = sizeText(*myVoxmap);
        shown.sizeSaysMore = !myVoxmap->unit.empty() || shown.size.find(" of ") != std::string::npos;
    }
    if (originals) {
        shown.hasWindow = true;
        shown.lo = windowLo, shown.hi = windowHi;
        shown.fullLo = originals->lo, shown.fullHi = originals->hi;
        shown.valueUnit = originals->valueUnit;
    }
    if (opacityRamp.on) shown.opacity = opacityText().utf8_str();
    shown.note = statusNote;
    const wxString text = wxString::FromUTF8(statusText(loadedFacts, shown));
    SetStatusText(text, 0);
    if (wxStatusBar* bar = GetStatusBar()) bar->SetToolTip(text);
}
