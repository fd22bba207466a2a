// The status bar: made anew from what is loaded and shown after each change, never stale,
// the whole text also in its tooltip.
#include <gtest/gtest.h>
#include <wx/statusbr.h>
#include <wx/tooltip.h>

#include <functional>
#include <string>

#include "appFrame.h"
#include "testutil.h"
#include "voxelmap.h"

using StatusBar = testutil::AppTest;

namespace {

const std::string kSamples = SLABWRIGHT_SOURCE_DIR "/samples/";

void moveOver(wxWindow* view, int x, int y) {
    wxMouseEvent ev(wxEVT_MOTION);
    ev.m_x = x, ev.m_y = y;
    ev.SetEventObject(view);
    view->GetEventHandler()->ProcessEvent(ev);
}

}  // namespace

TEST_F(StatusBar, SaysWhatIsLoadedAndShownAfterEachChange) {
    AppFrame* f = testutil::frame();
    const auto load = [f](const std::string& path) { f->loadStack(testutil::toArray({kSamples + path})); };
    std::vector<std::string> layers;
    for (int k = 0; k < 48; ++k) layers.push_back(kSamples + wxString::Format("layer%02d.png", k).ToStdString());
    const std::string ct = "CT 128 x 128 x 12, -1024..1167 HU mapped to 0..255";
    const std::string ctSize = "voxels of 0.66 x 0.66 x 5.00 mm";
    struct Step {
        const char* what;
        std::function<void()> act;
        std::string text;
    };
    const Step steps[] = {
        {"a DICOM series: with its voxel size", [&] { load("scan/ct"); },
         ct + "; shown with the files' window -160..240 HU; " + ctSize},
        {"a window change", [&] { f->setWindow(-100, 300); }, ct + "; window -100..300 HU; " + ctSize},
        {"its Undo", [&] { f->undoFilter(); }, ct + "; shown with the files' window -160..240 HU; " + ctSize},
        {"the full range", [&] { f->setWindow(-1024, 1167); }, ct + "; " + ctSize},
        {"an 8-bit stack after the CT", [&] { f->loadStack(testutil::toArray(layers)); }, "64 x 64 x 48 voxels"},
        {"a NIfTI volume", [&] { load("nifti/head-128x96x24.nii.gz"); },
         "128 x 96 x 24 voxels of 2.00 x 2.00 x 2.20 mm; 16-bit signed samples 0..1162 mapped to 0..255; orientation LAS"},
        {"its voxel size changed", [&] { f->setVoxelSize(Vector(1, 1, 3), "mm"); },
         "128 x 96 x 24 voxels of 1.00 x 1.00 x 3.00 mm; 16-bit signed samples 0..1162 mapped to 0..255; orientation LAS"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        // The value under the pointer belongs to the volume it was read from.
        if (f->originals) moveOver(f->sliceView, 20, 20);
        s.act();
        const wxStatusBar* bar = f->GetStatusBar();
        EXPECT_EQ(s.text, bar->GetStatusText(0).utf8_string());
        ASSERT_NE(nullptr, bar->GetToolTip());
        EXPECT_EQ(bar->GetStatusText(0), bar->GetToolTip()->GetTip());
        if (!f->originals) {
            EXPECT_FALSE(bar->GetStatusText(1).Contains("Value")) << bar->GetStatusText(1);
        }
    }
}
