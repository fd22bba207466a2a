#include "main.h"

#include <wx/filename.h>
#include <wx/image.h>

#include "appFrame.h"

wxIMPLEMENT_APP(myApp);

bool myApp::OnInit() {
    wxImage::AddHandler(new wxTIFFHandler);
    wxImage::AddHandler(new wxJPEGHandler);
    wxImage::AddHandler(new wxPNGHandler);
    auto* frame = new AppFrame("Slabwright", wxPoint(150, 100), wxSize(625, 290));  // owned by the toolkit
    frame->Show(true);
    SetTopWindow(frame);
    // slabwright PATH...: the given files or folder load as a stack once the window is up.
    wxArrayString paths;
    for (int i = 1; i < argc; ++i) {
        wxFileName name(argv[i]);
        name.MakeAbsolute();
        paths.Add(name.GetFullPath());
    }
    if (!paths.empty()) frame->CallAfter([frame, paths] { frame->loadStack(paths); });
    return true;
}
