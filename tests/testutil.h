// Helpers shared by the tests: temporary folders, small images and stacks, the main window.
#pragma once

#include <wx/image.h>
#include <wx/msgdlg.h>
#include <wx/testing.h>

#include <functional>
#include <string>
#include <vector>

#include "voxel.h"

class AppFrame;
class voxelmap;

namespace testutil {

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

// The one main window of the test program, created on first use, shown, with the
// placeholder pictures found from the source folder. The global volume is emptied
// by resetApp() so each test starts like a fresh program.
AppFrame* frame();
void resetApp();
void destroyFrame();
// Lets the toolkit handle pending events (paints, sizes).
void pump();

// RGB of an image pixel as a voxel with alpha 255.
voxel pixel(const wxImage& img, int x, int y);
// What window shows in its client area, read back from the display (after a pump).
wxImage shown(wxWindow* window);

// Raw file contents.
void writeBytes(const std::string& path, const std::string& bytes);
std::string readBytes(const std::string& path);
// Decodes path (UTF-8) as a load does, the toolkit's reports silenced; false if it does not
// decode or is not a regular file.
bool decode(const std::string& path, wxImage& image);
// The voxel the loader makes of an image pixel: its RGB, alpha from a real alpha channel only.
voxel voxelOf(const wxImage& img, int x, int y);

// Answers the one message box of a refused load (or any other), keeping its text.
class MessageCapture : public wxExpectModalBase<wxMessageDialog, MessageCapture> {
public:
    explicit MessageCapture(wxString* message) : message_(message) {}

protected:
    int OnInvoked(wxMessageDialog* dlg) const override {
        *message_ = dlg->GetMessage();
        return wxID_OK;
    }

private:
    wxString* message_;
};

}  // namespace testutil
