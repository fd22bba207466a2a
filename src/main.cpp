#include "main.h"

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
    return true;
}
