// The test program: starts the toolkit once, then runs every test on the GUI thread.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/dialog.h>
#include <wx/image.h>
#include <wx/init.h>
#include <wx/log.h>
#include <wx/modalhook.h>

#include <cstdlib>

#include "testutil.h"

namespace {

class TestApp : public wxApp {
public:
    bool OnInit() override { return true; }
};
// Without a display the toolkit's windows cannot start; the suites that need none (the
// readers, the kernels, the geometry) run on its base alone, without a display server.
class ConsoleApp : public wxAppConsole {
public:
    bool OnInit() override { return true; }
};

// A modal dialog that no test expected would block the run forever: fail the
// current test and cancel the dialog instead. Hooks registered later (those of
// wxTEST_DIALOG) are asked first.
class UnexpectedDialogHook : public wxModalDialogHook {
protected:
    int Enter(wxDialog* dialog) override {
        ADD_FAILURE() << "unexpected modal dialog: " << dialog->GetClassInfo()->GetClassName() << " \""
                      << dialog->GetTitle() << "\"";
        return wxID_CANCEL;
    }
    void Exit(wxDialog*) override {}
};

void failOnAssert(const wxString& file, int line, const wxString& func, const wxString& cond, const wxString& msg) {
    ADD_FAILURE() << "toolkit assertion at " << file << ":" << line << " in " << func << ": " << cond << " " << msg;
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    auto named = [](const char* variable) {
        const char* value = std::getenv(variable);
        return value && *value;
    };
    const bool display = named("DISPLAY") || named("WAYLAND_DISPLAY");
    if (display) wxApp::SetInstance(new TestApp);  // owned by the toolkit from here on
    else wxApp::SetInstance(new ConsoleApp);
    if (!wxEntryStart(argc, argv) || !wxAppConsole::GetInstance()->CallOnInit()) {
        fprintf(stderr, "cannot start the toolkit (is there a display?)\n");
        return 1;
    }
    wxSetAssertHandler(failOnAssert);
    wxSetWorkingDirectory(SLABWRIGHT_SOURCE_DIR);
    // Toolkit messages (failed image loads or saves) go to standard error, not to dialog boxes;
    // tests that check such a message install their own log target.
    delete wxLog::SetActiveTarget(new wxLogStderr);  // the placeholder pictures are found from here
    wxImage::AddHandler(new wxTIFFHandler);
    wxImage::AddHandler(new wxJPEGHandler);
    wxImage::AddHandler(new wxPNGHandler);
    UnexpectedDialogHook hook;
    hook.Register();
    const int result = RUN_ALL_TESTS();
    hook.Unregister();
    testutil::destroyFrame();
    wxAppConsole::GetInstance()->OnExit();
    wxEntryCleanup();
    return result;
}
