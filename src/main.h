// myApp: the application object; registers the image handlers and opens the main window.
#pragma once

#include <wx/app.h>

class myApp : public wxApp {
public:
    bool OnInit() override;
};
