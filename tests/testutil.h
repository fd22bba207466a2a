// Helpers shared by the tests: temporary folders, small images and stacks, the main window.
#pragma once

#include <gtest/gtest.h>
#include <wx/arrstr.h>
#include <wx/image.h>
#include <wx/msgdlg.h>
#include <wx/numdlg.h>
#include <wx/modalhook.h>
#include <wx/testing.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "stackio.h"
#include "vector3.h"
#include "voxel.h"

// Defined when the address sanitizer is on (tests skip what it cannot run).
#if defined(__SANITIZE_ADDRESS__)
#define SLABWRIGHT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SLABWRIGHT_ASAN 1
#endif
#endif

class AppFrame;
class voxelmap;
class wxSpinCtrl;

namespace testutil {

// Where Debian's python3-pydicom and python3-nibabel keep their test files (tests that use
// them skip when they are not installed).
inline const std::string kPydicomData = "/usr/lib/python3/dist-packages/pydicom/data/test_files/";
inline const std::string kNibabelData = "/usr/lib/python3/dist-packages/nibabel/tests/data/";

// A fresh empty folder under the system's temporary folder; removed by the destructor.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// An image of w x h whose pixel (x, y) is f(x, y); with alpha when withAlpha.
wxImage makeImage(int w, int h, const std::function<voxel(int, int)>& f, bool withAlpha);
// Writes images as PNG files name0.png, name1.png ... in dir; returns their paths in order.
std::vector<std::string> writeStack(const std::string& dir, const std::vector<wxImage>& images,
                                    const std::string& name = "layer");

// Fills map (not necessarily loaded before) as a w x h x d volume from f(i, j, k).
void fillMap(voxelmap& map, int w, int h, int d, const std::function<voxel(int, int, int)>& f);
// A w x h x d volume of random voxels from a fixed seed.
void randomMap(voxelmap& map, int w, int h, int d, unsigned seed);
// Whether two maps have the same dimensions, origin and voxels.
bool sameMap(const voxelmap& a, const voxelmap& b);
// How many voxels of map differ from want(i, j, k); -1 when it holds no volume.
int64_t wrongVoxels(const voxelmap& map, const std::function<voxel(int, int, int)>& want);
// Plans and builds files into map as a load does, without the window: every layer, never cancelled.
stackio::Outcome buildStack(const std::vector<std::string>& files, voxelmap& map);

// The one main window of the test program, created on first use, shown, with the
// placeholder pictures found from the source folder. The global volume is emptied
// by resetApp() so each test starts like a fresh program.
AppFrame* frame();
void resetApp();
void destroyFrame();

// Fixture of the tests that drive the program: each starts and ends with resetApp().
class AppTest : public ::testing::Test {
protected:
    void SetUp() override { resetApp(); }
    void TearDown() override { resetApp(); }
};
// Lets the toolkit handle pending events (paints, sizes).
void pump();
// Lets the toolkit handle events for at least minFrames frames of 10 ms, and then until
// no paint has come for five (a busy machine delays them; at most a second in all).
void settle(int minFrames = 0);

// RGB of an image pixel as a voxel with alpha 255.
voxel pixel(const wxImage& img, int x, int y);
// What window shows in its client area, read back from the display (after a pump).
wxImage shown(wxWindow* window);

// Raw file contents. With SLABWRIGHT_KEEP_FILES=DIR every file written is also kept in DIR
// (seeds for the fuzz targets).
void writeBytes(const std::string& path, const std::string& bytes);
std::string readBytes(const std::string& path);
// A memory field of /proc/self/status ("VmRSS", "VmHWM") in bytes; -1 if unknown.
int64_t statusBytes(const char* field);
// The bytes work() adds to the peak resident memory; -1 if the system cannot say. It runs
// in a child process of its own (the one thread forked, the pool stopped first): what
// earlier tests hold or freed does not count, and a failed expectation in work() fails
// the test here. Work that shows a window or a dialog runs here instead (!inChild), as
// a child must not talk to the display.
int64_t peakOf(const std::function<void()>& work, bool inChild = true);
// Decodes path (UTF-8) as a load does, the toolkit's reports silenced; false if it does not
// decode or is not a regular file.
bool decode(const std::string& path, wxImage& image);
// The voxel the loader makes of an image pixel: its RGB, alpha from a real alpha channel only.
voxel voxelOf(const wxImage& img, int x, int y);

// Answers the one message box of a refused load (or any other), keeping its text and,
// when asked for, its caption and style; a question is answered with answer (wxID_YES, wxID_NO).
class MessageCapture : public wxExpectModalBase<wxMessageDialog, MessageCapture> {
public:
    explicit MessageCapture(wxString* message, wxString* caption = nullptr, long* style = nullptr,
                            int answer = wxID_OK)
        : message_(message), caption_(caption), style_(style), answer_(answer) {}

protected:
    int OnInvoked(wxMessageDialog* dlg) const override {
        *message_ = dlg->GetMessage();
        if (caption_) *caption_ = dlg->GetCaption();
        if (style_) *style_ = dlg->GetMessageDialogStyle();
        return answer_;
    }

private:
    wxString* message_;
    wxString* caption_;
    long* style_;
    int answer_;
};

// While it lives, answers every message box that comes up (none need come) and keeps
// its text: for loads that may end with a note about damaged files.
class MessageLog : public wxModalDialogHook {
public:
    std::vector<wxString> messages;
    MessageLog() { Register(); }
    ~MessageLog() override { Unregister(); }

protected:
    int Enter(wxDialog* dlg) override {
        auto* box = dynamic_cast<wxMessageDialog*>(dlg);
        if (!box) return wxID_NONE;
        messages.push_back(box->GetMessage());
        return wxID_OK;
    }
    void Exit(wxDialog*) override {}
};

// What a number prompt (wxGetNumberFromUser) is asked to show: texts, offered value, range.
struct NumberPrompt {
    const char* message;
    const char* prompt;
    const char* caption;
    long value, min, max;
};

// Answers one number prompt: enters answer, or cancels when answer < 0. Before that it
// checks what the prompt shows: all of expected, only the caption, or nothing.
class NumberAnswer : public wxExpectModalBase<wxNumberEntryDialog, NumberAnswer> {
public:
    NumberAnswer(const NumberPrompt& expected, long answer)
        : check_(Check::All), expected_(expected), answer_(answer) {}
    NumberAnswer(const char* caption, long answer)
        : check_(Check::Caption), expected_{"", "", caption, 0, 0, 0}, answer_(answer) {}
    explicit NumberAnswer(long answer) : check_(Check::None), expected_{"", "", "", 0, 0, 0}, answer_(answer) {}
    static NumberAnswer Cancel(const NumberPrompt& expected) { return NumberAnswer(expected, -1); }

protected:
    int OnInvoked(wxNumberEntryDialog* dlg) const override;

private:
    enum class Check { All, Caption, None } check_;
    NumberPrompt expected_;
    long answer_;
};

// A colour that changes along every axis: (15 i, 30 j, 10 k), opaque; blue = 10 k tells the layer.
inline voxel graded(int i, int j, int k) { return voxel(i * 15, j * 30, k * 10, 255); }

// The volume as a load leaves it, without loading files: a w x h x d volume of f(i, j, k),
// the camera at its start pose for the volume, the plane across the first layer with its
// slice evaluated, the 3D image sized (and marched when march). Starts from resetApp();
// returns the main window.
AppFrame* asLoaded(int w, int h, int d, const std::function<voxel(int, int, int)>& f, bool march = true);
// asLoaded() of the graded volume w x h x d, looking at its centre layer as a load does.
AppFrame* gradedVolume(int w, int h, int d, bool march = true);

// A value change of a spin control, as the user makes it (the event goes from the control
// up to the window). With mustFit the value must lie in the control's range.
void spin(wxSpinCtrl* c, int value, bool mustFit = false);
// A menu command of the main window, as the menu sends it.
void menu(AppFrame* f, int id);

// The slice of the current volume with a fresh plane posed directly.
wxImage directSlice(Vector t, float rx, float ry, float rz, float sx, float sy, float sz, bool aa = false);
// Whether a has b's size and the same RGB at every pixel; names the first pixel that differs.
// The one image comparison of the tests.
::testing::AssertionResult sameRGB(const wxImage& a, const wxImage& b);

// UTF-8 paths as the loader takes them.
wxArrayString toArray(const std::vector<std::string>& paths);
// Voxel (i, j, k) of m, or of the global volume.
voxel at(const voxelmap& m, int i, int j, int k);
voxel at(int i, int j, int k);

// Vector components equal to (x, y, z), exactly or within tol.
void expectExact(const Vector& v, double x, double y, double z);
void expectNear(const Vector& v, double x, double y, double z, double tol);

// What Debian's own python3 prints running script (given as text) with args; empty when
// it cannot run or the script fails (a package it imports is missing).
std::string python(const std::string& script, const std::string& args);

}  // namespace testutil
