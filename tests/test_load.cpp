// Building the volume from an image stack: loadStack and the Load menu command.
#include <gtest/gtest.h>
#include <fnmatch.h>
#include <wx/filedlg.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/testing.h>

#include <sys/resource.h>

#include <cstdint>
#include <string>
#include <vector>

#include "appFrame.h"
#include "camera.h"
#include "slicer.h"
#include "testutil.h"
#include "voxelmap.h"

// The tests below start and end with the program as it starts: a fresh window, no volume.
using LoadStack = testutil::AppTest;
using LoadStackRefused = testutil::AppTest;
using LoadCommand = testutil::AppTest;

namespace {

using testutil::at;
using testutil::frame;
using testutil::MessageCapture;
using testutil::readBytes;
using testutil::toArray;
using testutil::writeBytes;

// A distinct colour for every pixel of every layer.
voxel layerColour(int layer, int x, int y) { return voxel(10 * x + 1, 20 * y + 2, 40 * layer + 3, 255); }

std::vector<wxImage> layers(int w, int h, int d, bool withAlpha = false) {
    std::vector<wxImage> out;
    for (int k = 0; k < d; ++k) {
        out.push_back(testutil::makeImage(
            w, h,
            [&](int x, int y) {
                voxel v = layerColour(k, x, y);
                if (withAlpha) v.a = static_cast<unsigned char>((x + y) % 2 ? 0 : 128 + x);
                return v;
            },
            withAlpha));
    }
    return out;
}

bool menusEnabled(AppFrame* f) {
    return f->fileMenu->IsEnabled(ID_SAVE) && f->fileMenu->IsEnabled(ID_SAVEVOLUME) &&
           f->fileMenu->IsEnabled(ID_RENDER) &&
           f->effectsMenu->IsEnabled(ID_BLUR) && f->effectsMenu->IsEnabled(ID_EDGES) &&
           f->effectsMenu->IsEnabled(ID_KEY) && f->settingsMenu->IsEnabled(ID_RAYRES) &&
           f->settingsMenu->IsEnabled(ID_RAYSTEP) && f->settingsMenu->IsEnabled(ID_AASLICE) &&
           f->settingsMenu->IsEnabled(ID_VOXELSIZE);
}

bool menusDisabled(AppFrame* f) {
    return !f->fileMenu->IsEnabled(ID_SAVE) && !f->fileMenu->IsEnabled(ID_SAVEVOLUME) &&
           !f->fileMenu->IsEnabled(ID_RENDER) &&
           !f->effectsMenu->IsEnabled(ID_BLUR) && !f->effectsMenu->IsEnabled(ID_EDGES) &&
           !f->effectsMenu->IsEnabled(ID_KEY) && !f->settingsMenu->IsEnabled(ID_RAYRES) &&
           !f->settingsMenu->IsEnabled(ID_RAYSTEP) && !f->settingsMenu->IsEnabled(ID_AASLICE) &&
           !f->settingsMenu->IsEnabled(ID_VOXELSIZE);
}

struct Loaded {
    testutil::TempDir dir;
    voxelmap copy;
    const camera* cam0 = nullptr;
    const slicer* slicer0 = nullptr;
    wxImage screen0, viewport0;
    std::vector<std::string> good;  // four 4 x 2 images, not yet loaded: b0.png ... b3.png
};

// A 4 x 2 x 3 random-coloured volume loaded into the fresh window, and a copy of it.
void loadFirst(Loaded& s) {
    std::vector<wxImage> images = layers(4, 2, 3);
    images[1].SetRGB(3, 1, 250, 0, 250);
    frame()->loadStack(toArray(testutil::writeStack(s.dir.path, images, "a")));
    ASSERT_TRUE(myVoxmap->loaded);
    s.copy.copyMap(myVoxmap);
    s.cam0 = cam.get();
    s.slicer0 = theslicer.get();
    s.screen0 = screenImage.Copy();
    s.viewport0 = viewportImage.Copy();
    s.good = testutil::writeStack(s.dir.path, layers(4, 2, 4), "b");
}

// Loads paths, expecting exactly one message that names `culprit`; returns the message.
wxString refused(const std::vector<std::string>& paths, const std::string& culprit) {
    wxString message;
    wxTEST_DIALOG(frame()->loadStack(toArray(paths)), MessageCapture(&message));
    EXPECT_TRUE(message.Contains(wxString::FromUTF8(culprit))) << "message: " << message;
    return message;
}

void expectUnchanged(const Loaded& s) {
    EXPECT_TRUE(testutil::sameMap(*myVoxmap, s.copy));
    EXPECT_EQ(cam.get(), s.cam0);
    EXPECT_EQ(theslicer.get(), s.slicer0);
    EXPECT_EQ(screenImage.GetSize(), s.screen0.GetSize());
    if (screenImage.GetSize() == s.screen0.GetSize()) {
        EXPECT_TRUE(testutil::sameRGB(screenImage, s.screen0));
    }
    EXPECT_EQ(viewportImage.GetSize(), s.viewport0.GetSize());
    EXPECT_TRUE(menusEnabled(frame()));
}

}  // namespace

// ---- Good stacks ----

TEST_F(LoadStack, ThreeLayersGiveTheVolumeCameraAndPlane) {
    AppFrame* f = frame();
    testutil::TempDir dir;
    frame()->loadStack(toArray(testutil::writeStack(dir.path, layers(4, 2, 3))));

    ASSERT_TRUE(myVoxmap->loaded);
    EXPECT_EQ(myVoxmap->width, 4);
    EXPECT_EQ(myVoxmap->height, 2);
    EXPECT_EQ(myVoxmap->depth, 3);
    EXPECT_EQ(myVoxmap->numVoxels, 24);
    EXPECT_EQ(myVoxmap->origin.x(), -2.0);
    EXPECT_EQ(myVoxmap->origin.y(), -1.0);
    EXPECT_EQ(myVoxmap->origin.z(), 100.0);
    for (int k = 0; k < 3; ++k)
        for (int j = 0; j < 2; ++j)
            for (int i = 0; i < 4; ++i) EXPECT_EQ(at(i, j, k), layerColour(k, i, j)) << i << "," << j << "," << k;

    ASSERT_TRUE(cam);
    EXPECT_EQ(cam->eye.x(), 0.0);
    EXPECT_EQ(cam->eye.y(), 0.0);
    EXPECT_EQ(cam->eye.z(), -200.0);
    EXPECT_EQ(cam->home.z(), -200.0);
    EXPECT_EQ(cam->home.x(), 0.0);
    EXPECT_EQ(cam->lookAt.x(), 0.0);
    EXPECT_EQ(cam->lookAt.y(), 0.0);
    EXPECT_EQ(cam->lookAt.z(), 101.0) << "3 / 2 is halved as an integer";
    EXPECT_EQ(cam->resolution, 50);

    ASSERT_TRUE(theslicer);
    EXPECT_EQ(theslicer->width, 4);
    EXPECT_EQ(theslicer->height, 2);
    EXPECT_EQ(theslicer->centre.z(), 100.0);
    EXPECT_FALSE(theslicer->aaLookups);

    EXPECT_EQ(viewportImage.GetSize(), wxSize(50, 50));
    EXPECT_EQ(screenImage.GetSize(), wxSize(4, 2));
    EXPECT_FALSE(screenImage.HasAlpha()) << "the computed views are plain RGB";
    EXPECT_FALSE(viewportImage.HasAlpha());
    EXPECT_TRUE(menusEnabled(f));
    EXPECT_TRUE(f->settingsMenu->IsEnabled(ID_VPSCALE));
}

TEST_F(LoadStack, OddSizesGiveHalfUnitOrigins) {
    testutil::TempDir dir;
    frame()->loadStack(toArray(testutil::writeStack(dir.path, layers(5, 3, 2))));
    ASSERT_TRUE(myVoxmap->loaded);
    EXPECT_EQ(myVoxmap->origin.x(), -2.5);
    EXPECT_EQ(myVoxmap->origin.y(), -1.5);
    EXPECT_EQ(myVoxmap->origin.z(), 100.0);
    ASSERT_TRUE(cam);
    EXPECT_EQ(cam->lookAt.z(), 101.0);
    EXPECT_EQ(screenImage.GetSize(), wxSize(5, 3));
}

TEST_F(LoadStack, ASecondStackReplacesEverything) {
    AppFrame* f = frame();
    testutil::TempDir dir;
    frame()->loadStack(toArray(testutil::writeStack(dir.path, layers(4, 2, 3), "a")));
    ASSERT_TRUE(cam && theslicer);
    const camera* firstCam = cam.get();
    const slicer* firstSlicer = theslicer.get();
    cam->resolution = 77;
    cam->zoom = 9;
    cam->eye = Vector(5, 5, 5);
    theslicer->aaLookups = true;

    frame()->loadStack(toArray(testutil::writeStack(dir.path, layers(6, 5, 4), "b")));
    ASSERT_TRUE(myVoxmap->loaded);
    EXPECT_EQ(myVoxmap->width, 6);
    EXPECT_EQ(myVoxmap->height, 5);
    EXPECT_EQ(myVoxmap->depth, 4);
    EXPECT_EQ(myVoxmap->numVoxels, 120);
    EXPECT_EQ(myVoxmap->origin.x(), -3.0);
    EXPECT_EQ(myVoxmap->origin.y(), -2.5);
    EXPECT_EQ(at(5, 4, 3), layerColour(3, 5, 4));
    ASSERT_TRUE(cam && theslicer);
    EXPECT_NE(cam.get(), firstCam);
    EXPECT_NE(theslicer.get(), firstSlicer);
    EXPECT_EQ(cam->resolution, 50);
    EXPECT_EQ(cam->zoom, 2.0);
    EXPECT_EQ(cam->eye.z(), -200.0);
    EXPECT_EQ(cam->lookAt.z(), 102.0);
    EXPECT_FALSE(theslicer->aaLookups);
    EXPECT_EQ(theslicer->width, 6);
    EXPECT_EQ(theslicer->height, 5);
    EXPECT_EQ(screenImage.GetSize(), wxSize(6, 5));
    EXPECT_EQ(viewportImage.GetSize(), wxSize(50, 50));
    EXPECT_TRUE(menusEnabled(f));
}

TEST_F(LoadStack, SliceViewAtRestShowsTheFirstImage) {
    testutil::TempDir dir;
    const std::vector<wxImage> images = layers(8, 4, 2);
    frame()->loadStack(toArray(testutil::writeStack(dir.path, images)));
    ASSERT_TRUE(myVoxmap->loaded);
    ASSERT_EQ(screenImage.GetSize(), wxSize(8, 4));
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x)
            EXPECT_EQ(testutil::pixel(screenImage, x, y), testutil::pixel(images[0], x, y)) << x << "," << y;
}

TEST_F(LoadStack, WorksWithoutPlaceholderPictures) {
    testutil::TempDir dir;
    const std::vector<std::string> paths = testutil::writeStack(dir.path, layers(4, 4, 1));
    screenImage = wxImage();  // as after a failed placeholder read
    viewportImage = wxImage();
    frame()->loadStack(toArray(paths));
    ASSERT_TRUE(myVoxmap->loaded);
    EXPECT_EQ(screenImage.GetSize(), wxSize(4, 4));
    EXPECT_EQ(viewportImage.GetSize(), wxSize(50, 50));
}

// ---- Stacks that are refused ----

TEST_F(LoadStackRefused, DamagedFilesKeepTheVolume) {
    Loaded s;
    loadFirst(s);
    if (HasFatalFailure()) return;

    // A PNG cut off in the middle of its pixel data.
    const std::string truncated = s.dir.file("truncated.png");
    const std::string whole = readBytes(s.good[1]);
    writeBytes(truncated, whole.substr(0, whole.size() / 2));
    wxString msg = refused({s.good[0], truncated, s.good[2]}, truncated);
    expectUnchanged(s);

    // A PNG whose signature is right and whose body is garbage.
    const std::string corrupt = s.dir.file("corrupt.png");
    std::string bytes = whole;
    for (size_t i = 16; i < bytes.size(); ++i) bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
    writeBytes(corrupt, bytes);
    refused({corrupt, s.good[0]}, corrupt);
    expectUnchanged(s);

    const std::string empty = s.dir.file("empty.png");
    writeBytes(empty, "");
    msg = refused({s.good[0], s.good[1], empty}, empty);
    EXPECT_TRUE(msg.Contains("empty")) << msg;
    expectUnchanged(s);

    const std::string text = s.dir.file("notes.png");
    writeBytes(text, "These are not the pixels you are looking for.\n");
    refused({text}, text);
    expectUnchanged(s);

    const std::string missing = s.dir.file("gone.png");
    refused({s.good[0], missing}, missing);
    expectUnchanged(s);
}

TEST_F(LoadStackRefused, SizeMismatchInTheMiddleKeepsTheVolume) {
    Loaded s;
    loadFirst(s);
    if (HasFatalFailure()) return;
    const std::vector<std::string> small = testutil::writeStack(s.dir.path, layers(3, 2, 1), "small");
    const std::vector<std::string> large = testutil::writeStack(s.dir.path, layers(5, 9, 1), "large");

    wxString msg = refused({s.good[0], s.good[1], small[0], s.good[2]}, small[0]);
    EXPECT_TRUE(msg.Contains("is 3 x 2 pixels, but the stack's first image is 4 x 2.")) << msg;
    expectUnchanged(s);

    msg = refused({s.good[0], large[0]}, large[0]);
    EXPECT_TRUE(msg.Contains("is 5 x 9 pixels, but the stack's first image is 4 x 2.")) << msg;
    expectUnchanged(s);

    // The same images in another order are a good stack of another size.
    msg = refused({large[0], s.good[0]}, s.good[0]);
    EXPECT_TRUE(msg.Contains("is 4 x 2 pixels, but the stack's first image is 5 x 9.")) << msg;
    expectUnchanged(s);

    // After all the refusals a good stack still loads.
    frame()->loadStack(toArray(s.good));
    EXPECT_EQ(myVoxmap->depth, 4);
    EXPECT_NE(cam.get(), s.cam0);
}

TEST_F(LoadStackRefused, CancellingTheBuildChangesNothing) {
    Loaded s;
    loadFirst(s);
    if (HasFatalFailure()) return;
    const std::vector<std::string> other = testutil::writeStack(s.dir.path, layers(5, 3, 4), "other");
    const wxArrayString files = frame()->stackFiles;
    // Cancelled after the first layer, and at the last: no message, nothing replaced.
    for (const int stopAt : {1, 4}) {
        SCOPED_TRACE(stopAt);
        int told = 0;
        frame()->loadProgressHook = [&](int layer, int total) {
            EXPECT_EQ(total, 4);
            told = layer;
            return layer < stopAt;
        };
        frame()->loadStack(toArray(other));
        EXPECT_EQ(told, stopAt);
        expectUnchanged(s);
        EXPECT_EQ(frame()->stackFiles, files);
    }
    frame()->loadProgressHook = nullptr;
}

TEST_F(LoadStackRefused, NothingChosenChangesNothing) {
    Loaded s;
    loadFirst(s);
    if (HasFatalFailure()) return;
    frame()->loadStack(wxArrayString());  // no message either
    expectUnchanged(s);
}

TEST_F(LoadStackRefused, BeforeAnyLoadTheWindowStaysEmpty) {
    AppFrame* f = frame();
    testutil::TempDir dir;
    const std::string text = dir.file("plain.tif");
    writeBytes(text, "II*\0garbage");
    refused({text}, text);
    EXPECT_FALSE(myVoxmap->loaded);
    EXPECT_FALSE(cam);
    EXPECT_FALSE(theslicer);
    EXPECT_TRUE(menusDisabled(f));
}

TEST_F(LoadStackRefused, AVolumeTooLargeToAllocateIsReportedWithItsSize) {
    Loaded s;
    loadFirst(s);
    if (HasFatalFailure()) return;
    // One 2048 x 2048 image named 200000 times: 3355443200000 bytes of voxels.
    const std::string big = s.dir.file("big.png");
    ASSERT_TRUE(wxImage(2048, 2048).SaveFile(big, wxBITMAP_TYPE_PNG));
    std::vector<std::string> paths(200000, big);
#ifndef SLABWRIGHT_ASAN
    // However the system overcommits, this process may not map that much.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &old), 0);
    rlimit capped = old;
    capped.rlim_cur = rlim_t(64) << 30;  // 64 GiB of address space
    if (old.rlim_cur != RLIM_INFINITY && old.rlim_cur < capped.rlim_cur) capped.rlim_cur = old.rlim_cur;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &capped), 0);
#endif
    wxString message;
    wxTEST_DIALOG(frame()->loadStack(toArray(paths)), MessageCapture(&message));
#ifndef SLABWRIGHT_ASAN
    setrlimit(RLIMIT_AS, &old);
#endif
    EXPECT_TRUE(message.Contains("2048 x 2048 x 200000")) << message;
    EXPECT_TRUE(message.Contains("3355443200000 bytes")) << message;
    expectUnchanged(s);
}

// ---- The Load command ----

TEST_F(LoadCommand, CancellingTheDialogChangesNothing) {
    Loaded s;
    loadFirst(s);
    if (HasFatalFailure()) return;
    class CancelFileDialog : public wxExpectModalBase<wxFileDialog, CancelFileDialog> {
    public:
        CancelFileDialog(wxString* message, wxString* wildcard, long* style)
            : message_(message), wildcard_(wildcard), style_(style) {}

    protected:
        int OnInvoked(wxFileDialog* dlg) const override {
            *message_ = dlg->GetMessage();
            *wildcard_ = dlg->GetWildcard();
            *style_ = dlg->GetWindowStyle();
            return wxID_CANCEL;
        }

    private:
        wxString* message_;
        wxString* wildcard_;
        long* style_;
    };
    wxString message, wildcard;
    long style = 0;
    wxTEST_DIALOG(testutil::menu(frame(), ID_LOAD), CancelFileDialog(&message, &wildcard, &style));
    EXPECT_EQ(message, "Load Images");
    // Every supported file first, then image files whatever the case of their extension
    // (GTK matches patterns as fnmatch does, case-sensitively), DICOM files, NIfTI volumes,
    // and an entry for all files.
    const wxArrayString parts = wxSplit(wildcard, '|');
    ASSERT_EQ(parts.size(), 10u) << wildcard;
    EXPECT_TRUE(parts[0].StartsWith("All supported files")) << wildcard;
    EXPECT_TRUE(parts[2].StartsWith("Image Files")) << wildcard;
    EXPECT_EQ(parts[4], "DICOM files (*.dcm)");
    EXPECT_EQ(parts[5], "*.[dD][cC][mM]");
    EXPECT_EQ(parts[6], "NIfTI volumes (*.nii;*.nii.gz;*.hdr;*.img;*.hdr.gz;*.img.gz)");
    EXPECT_EQ(parts[8], "All files (*)");
    EXPECT_EQ(parts[9], "*");
    const auto listed = [](const wxString& filter, const char* name) {
        bool any = false;
        for (const wxString& pat : wxSplit(filter, ';')) any = any || fnmatch(pat.utf8_str(), name, 0) == 0;
        return any;
    };
    for (const char* name : {"IMG_0001.JPG", "SCAN.TIF", "Mixed.Png", "a.jpeg", "b.TiFf", "c.png"})
        EXPECT_TRUE(listed(parts[3], name) && listed(parts[1], name)) << name;
    for (const char* name : {"notes.txt", "photo.bmp", "png"}) EXPECT_FALSE(listed(parts[1], name)) << name;
    for (const char* name : {"CT1.DCM", "head.nii", "head.nii.gz", "pair.HDR", "pair.img", "pair.hdr.gz", "pair.img.gz"})
        EXPECT_TRUE(listed(parts[1], name) && (listed(parts[5], name) || listed(parts[7], name))) << name;
    EXPECT_TRUE(style & wxFD_OPEN);
    EXPECT_TRUE(style & wxFD_MULTIPLE);
    expectUnchanged(s);
}
