// myApp: the application object; registers the image handlers and opens the main window.
// The command line is read first, in main (main.cpp): --help, --version and mistakes
// end the program there, before the toolkit starts.
#pragma once

#include <wx/app.h>

class myApp : public wxApp {
public:
    bool OnInit() override;
};
