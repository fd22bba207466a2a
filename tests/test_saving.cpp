// Keeping the user's work: saves land where asked, a failed write never destroys a good
// file, the volume saves losslessly, filters can be undone, a batch render can be stopped.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <tiffio.h>
#include <wx/filedlg.h>
#include <wx/menu.h>
#include <wx/progdlg.h>
#include <wx/statusbr.h>
#include <wx/testing.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "appFrame.h"
#include "render.h"
#include "slicer.h"
#include "stackwrite.h"
#include "testutil.h"
#include "voxelmap.h"

// The tests below start and end with the program as it starts: a fresh window, no volume.
using Saving = testutil::AppTest;
using Undo = testutil::AppTest;
using BatchRender = testutil::AppTest;

namespace {

using testutil::MessageCapture;
using testutil::TempDir;

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A volume of noise (incompressible, so its files are big) with every alpha value.
AppFrame* noiseVolume(int w, int h, int d) {
    AppFrame* f = testutil::gradedVolume(w, h, d, /*march=*/false);
    testutil::randomMap(*myVoxmap, w, h, d, 7);
    theslicer->evaluateSlice(myVoxmap, screenImage);
    return f;
}

// A batch render of frames + 1 frames at rest, named name (with its extension) in dir.
struct Batch {
    RenderDlg dlg{"Animation", wxCAPTION | wxCLOSE_BOX | wxDIALOG_NO_PARENT};
    Batch(const std::string& dir, const std::string& name, int frames) {
        dlg.frames = frames;
        dlg.chooseSequenceFile(wxString::FromUTF8(dir), wxString::FromUTF8(name));
    }
};

// A tmpfs of 64 KiB mounted on a fresh folder (the tests run as root), unmounted at the end.
struct SmallDisk {
    TempDir dir;
    bool mounted = false;
    SmallDisk() { mounted = ::mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=64k") == 0; }
    ~SmallDisk() {
        if (mounted) ::umount2(dir.path.c_str(), MNT_DETACH);
    }
};

// The volume read back from a multi-page RGBA TIFF, samples as stored (no premultiplying).
bool readTiff(const std::string& path, voxelmap& map) {
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif) return false;
    uint32_t w = 0, h = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    const int d = TIFFNumberOfDirectories(tif);
    bool ok = map.allocate(int(w), int(h), d);
    for (int k = 0; ok && k < d; ++k) {
        uint16_t spp = 0, extra = 0, *kinds = nullptr, compression = 0;
        ok = TIFFSetDirectory(tif, uint16_t(k)) && TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &spp) && spp == 4 &&
             TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extra, &kinds) && extra == 1 &&
             kinds[0] == EXTRASAMPLE_UNASSALPHA && TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression) &&
             compression == COMPRESSION_ADOBE_DEFLATE;
        for (uint32_t j = 0; ok && j < h; ++j) ok = TIFFReadScanline(tif, map.voxels.get() + map.index(0, j, k), j) > 0;
    }
    TIFFClose(tif);
    map.loaded = ok;
    return ok;
}

}  // namespace

TEST_F(Saving, ChosenPathIsWhereTheSliceLandsAndReplacingAsksFirst) {
    AppFrame* f = noiseVolume(16, 8, 4);
    TempDir dir;
    std::filesystem::create_directory(dir.file("typed"));
    wxTEST_DIALOG(testutil::menu(f, ID_SAVE), wxExpectModal<wxFileDialog>(dir.file("typed/a.jpg")));
    EXPECT_EQ(std::vector<std::string>{"a.jpg"}, listDir(dir.file("typed")));

    // A name without an extension is saved as PNG; as the dialog asked about the bare name,
    // replacing an existing NAME.png is asked here, and only a yes replaces it.
    wxTEST_DIALOG(testutil::menu(f, ID_SAVE), wxExpectModal<wxFileDialog>(dir.file("plain")));
    const std::string png = dir.file("plain.png");
    ASSERT_TRUE(std::filesystem::exists(png));
    testutil::writeBytes(png, "old");
    for (const int answer : {wxID_NO, wxID_YES}) {
        wxString question;
        wxTEST_DIALOG(testutil::menu(f, ID_SAVE), wxExpectModal<wxFileDialog>(dir.file("plain")),
                      MessageCapture(&question, nullptr, nullptr, answer));
        EXPECT_TRUE(question.Contains(png)) << question;
        wxImage back;
        EXPECT_EQ(answer == wxID_YES, testutil::decode(png, back)) << answer;
    }
    EXPECT_EQ((std::vector<std::string>{"plain.png", "typed"}), listDir(dir.path));

    // A slice too wide for JPEG: the toolkit's refusal is the reason, the old file stays.
    f = noiseVolume(65501, 1, 1);
    testutil::writeBytes(dir.file("wide.jpg"), "old");
    wxString message;
    wxTEST_DIALOG(EXPECT_FALSE(f->saveSlice(wxString::FromUTF8(dir.file("wide.jpg")))), MessageCapture(&message));
    EXPECT_TRUE(message.Contains("JPEG")) << message;
    EXPECT_EQ("old", testutil::readBytes(dir.file("wide.jpg")));
    EXPECT_EQ((std::vector<std::string>{"plain.png", "typed", "wide.jpg"}), listDir(dir.path));
}

// A file dialog answered with path that notes whether it would have asked before replacing.
class FileDialogAsking : public wxExpectModal<wxFileDialog> {
public:
    FileDialogAsking(const wxString& path, bool* asks) : wxExpectModal<wxFileDialog>(path), asks_(asks) {}

protected:
    int OnInvoked(wxFileDialog* dlg) const override {
        *asks_ = dlg->HasFlag(wxFD_OVERWRITE_PROMPT);
        return wxExpectModal<wxFileDialog>::OnInvoked(dlg);
    }

private:
    bool* asks_;
};

TEST_F(Saving, SaveVolumeAsksOnceAboutWhatItWouldReplace) {
    AppFrame* f = noiseVolume(4, 3, 2);
    TempDir dir;
    // Chosen name, the file it would replace, the files written on a yes.
    const struct {
        const char* chosen;
        const char* replaced;
        std::vector<std::string> written;
    } cases[] = {{"v.tif", "v.tif", {"v.tif"}},
                 {"v", "v.tif", {"v.tif"}},
                 {"s.png", "s.0000.png", {"s.0000.png", "s.0001.png", "s.png"}}};
    testutil::writeBytes(dir.file("s.png"), "old");  // the name chosen, not a file written
    for (const auto& c : cases) {
        SCOPED_TRACE(c.chosen);
        testutil::writeBytes(dir.file(c.replaced), "old");
        for (const int answer : {wxID_NO, wxID_YES}) {
            bool dialogAsks = true;
            wxString question;
            wxTEST_DIALOG(testutil::menu(f, ID_SAVEVOLUME), FileDialogAsking(dir.file(c.chosen), &dialogAsks),
                          MessageCapture(&question, nullptr, nullptr, answer));
            EXPECT_FALSE(dialogAsks);
            EXPECT_TRUE(question.Contains(dir.file(c.replaced))) << question;
            EXPECT_EQ(answer == wxID_NO, testutil::readBytes(dir.file(c.replaced)) == "old") << answer;
        }
        for (const std::string& name : c.written) EXPECT_TRUE(std::filesystem::exists(dir.file(name))) << name;
    }
    EXPECT_EQ("old", testutil::readBytes(dir.file("s.png")));
}

TEST_F(Saving, AFullDiskLeavesTheGoodFileAsItWas) {
    SmallDisk disk;
    if (!disk.mounted) GTEST_SKIP() << "cannot mount a small tmpfs here";
    AppFrame* f = noiseVolume(200, 150, 3);  // every file of it is bigger than the disk
    struct Case {
        const char* what;
        std::string good;  // the file that is there before and must stay
        std::function<void()> save;
        int questions;  // a sequence asks once before replacing its existing files
    };
    const std::string d = disk.dir.path;
    Batch batch(d, "frame.png", 2);
    const Case cases[] = {
        {"slice", "slice.png", [&] { f->saveSlice(wxString::FromUTF8(d + "/slice.png")); }, 0},
        {"frames", "frame.0000.png", [&] { f->renderFrames(batch.dlg); }, 1},
        {"volume tiff", "vol.tif", [&] { EXPECT_FALSE(f->saveVolume(wxString::FromUTF8(d + "/vol.tif"))); }, 0},
        {"volume png", "vol.0000.png", [&] { EXPECT_FALSE(f->saveVolume(wxString::FromUTF8(d + "/vol.png"))); }, 1},
    };
    for (const Case& c : cases) {
        const std::string good = d + "/" + c.good;
        testutil::writeBytes(good, "a good file");
        wxString question, message;
        if (c.questions) {
            wxTEST_DIALOG(c.save(), MessageCapture(&question, nullptr, nullptr, wxID_YES), MessageCapture(&message));
        } else {
            wxTEST_DIALOG(c.save(), MessageCapture(&message));
        }
        EXPECT_TRUE(message.Contains(good)) << c.what << ": " << message;
        EXPECT_TRUE(message.Contains("No space left on device")) << c.what << ": " << message;
        EXPECT_EQ("a good file", testutil::readBytes(good)) << c.what;
        EXPECT_EQ(std::vector<std::string>{c.good}, listDir(d)) << c.what << ": no temporary file stays";
        std::filesystem::remove(good);
    }
}

TEST_F(Saving, VolumeSavedThenLoadedGivesTheSameBytes) {
    TempDir dir;
    const std::function<void()> filters[] = {
        [] { blur(myVoxmap, 1); },
        [] { key(myVoxmap, voxel(128, 128, 128, 0), 120, 80, 0); },  // alpha lowered, colours kept
    };
    for (int n = 0; n < 4; ++n) {
        const bool tiff = n % 2 == 0;
        AppFrame* f = noiseVolume(23, 17, 5);
        filters[n / 2]();
        const wxString name = wxString::Format("v%d", n);
        ASSERT_TRUE(f->saveVolume(wxString::FromUTF8(dir.path) + "/" + name + (tiff ? ".tif" : ".png"))) << n;
        if (tiff) {  // what was written, as written: every page, alpha unassociated, lossless
            voxelmap stored;
            ASSERT_TRUE(readTiff(dir.file(name.ToStdString() + ".tif"), stored));
            EXPECT_TRUE(testutil::sameMap(*myVoxmap, stored)) << n;
        }
        wxArrayString files;
        if (tiff)
            files.Add(wxString::FromUTF8(dir.path) + "/" + name + ".tif");
        else
            for (int k = 0; k < 5; ++k) files.Add(framePath(wxString::FromUTF8(dir.path), name, k, "png"));
        voxelmap saved;
        saved.copyMap(myVoxmap);
        f->loadStack(files);
        EXPECT_TRUE(testutil::sameMap(saved, *myVoxmap)) << n;
        if (n / 2 == 1) {  // the key made voxels fully transparent and kept their colours
            const voxel* v = myVoxmap->voxels.get();
            EXPECT_TRUE(std::any_of(v, v + myVoxmap->numVoxels, [](voxel x) { return x.a == 0 && x.r + x.g > 0; }));
        }
    }
}

TEST_F(Undo, EachFilterIsTakenBackToTheBytesBeforeIt) {
    TempDir dir;
    std::vector<wxImage> layers;
    for (int k = 0; k < 6; ++k)
        layers.push_back(testutil::makeImage(12, 9, [k](int i, int j) { return testutil::graded(i, j, k); }, true));
    AppFrame* f = testutil::frame();
    f->loadStack(testutil::toArray(testutil::writeStack(dir.path, layers)));
    ASSERT_TRUE(myVoxmap->loaded);
    f->keyColour = voxel(45, 60, 20, 0);
    const auto undoOn = [f] { return f->effectsMenu->IsEnabled(ID_UNDO); };
    EXPECT_FALSE(undoOn());

    // Key, blur, edges, each through its menu; keep the volume from before each.
    std::vector<voxelmap> before(3);
    const std::function<void()> commands[] = {
        [f] { wxTEST_DIALOG(testutil::menu(f, ID_KEY), testutil::NumberAnswer(60), testutil::NumberAnswer(40),
                            testutil::NumberAnswer(0)); },
        [f] { wxTEST_DIALOG(testutil::menu(f, ID_BLUR), testutil::NumberAnswer(2)); },
        [f] { testutil::menu(f, ID_EDGES); },
    };
    for (int c = 0; c < 3; ++c) {
        before[c].copyMap(myVoxmap);
        commands[c]();
        EXPECT_FALSE(testutil::sameMap(before[c], *myVoxmap)) << c;
        EXPECT_TRUE(undoOn());
    }
    for (int c = 2; c >= 0; --c) {
        testutil::menu(f, ID_UNDO);
        EXPECT_TRUE(testutil::sameMap(before[c], *myVoxmap)) << c;
        EXPECT_EQ(c > 0, undoOn());
    }
    testutil::menu(f, ID_UNDO);  // nothing left: nothing happens
    EXPECT_TRUE(testutil::sameMap(before[0], *myVoxmap));

    // No memory to keep the volume: the filter runs, Undo stays off and the status bar says so.
    f->memoryForUndo = 0;
    testutil::menu(f, ID_EDGES);
    EXPECT_FALSE(testutil::sameMap(before[0], *myVoxmap));
    EXPECT_FALSE(undoOn());
    EXPECT_TRUE(f->GetStatusBar()->GetStatusText(0).Contains("cannot be undone"));

    // A load clears what Undo kept.
    f->memoryForUndo = -1;
    testutil::menu(f, ID_EDGES);
    EXPECT_TRUE(undoOn());
    f->loadStack(testutil::toArray(testutil::writeStack(dir.path, layers, "again")));
    EXPECT_FALSE(undoOn());
    EXPECT_TRUE(f->undoLevels.empty());
}

TEST_F(BatchRender, CancelStopsAfterTheCurrentFrameAndReplacingAsksFirst) {
    AppFrame* f = noiseVolume(16, 8, 4);
    TempDir dir;
    Batch batch(dir.path, "c.png", 9);
    f->frameWritten = [](int k) {  // the user presses Cancel while frame 2 is written
        if (k != 2) return;
        for (wxWindow* w : wxTopLevelWindows)
            if (auto* progress = dynamic_cast<wxGenericProgressDialog*>(w)) {
                EXPECT_EQ("Rendering frame 3 of 10", progress->GetMessage());
                wxCommandEvent cancel(wxEVT_BUTTON, wxID_CANCEL);
                progress->ProcessWindowEvent(cancel);
            }
    };
    f->renderFrames(batch.dlg);
    f->frameWritten = nullptr;
    const std::vector<std::string> three{"c.0000.png", "c.0001.png", "c.0002.png"};
    EXPECT_EQ(three, listDir(dir.path));

    // Rendering again over them: one question counting them; no renders nothing.
    testutil::writeBytes(dir.file("c.0001.png"), "kept");
    wxString question;
    wxTEST_DIALOG(f->renderFrames(batch.dlg), MessageCapture(&question, nullptr, nullptr, wxID_NO));
    EXPECT_TRUE(question.Contains("3 of the 10")) << question;
    EXPECT_EQ(three, listDir(dir.path));
    EXPECT_EQ("kept", testutil::readBytes(dir.file("c.0001.png")));
    wxTEST_DIALOG(f->renderFrames(batch.dlg), MessageCapture(&question, nullptr, nullptr, wxID_YES));
    EXPECT_EQ(10u, listDir(dir.path).size());
    EXPECT_NE("kept", testutil::readBytes(dir.file("c.0001.png")));
}

TEST_F(BatchRender, ASourceImageIsNeverOverwritten) {
    TempDir dir;
    std::vector<std::string> files;
    for (int k = 0; k < 3; ++k) {
        files.push_back(dir.file(wxString::Format("s.%04d.png", k).ToStdString()));
        ASSERT_TRUE(testutil::makeImage(8, 8, [k](int i, int j) { return testutil::graded(i, j, k); }, false)
                        .SaveFile(files.back()));
    }
    AppFrame* f = testutil::frame();
    f->loadStack(testutil::toArray(files));
    ASSERT_TRUE(myVoxmap->loaded);
    const std::string bytes = testutil::readBytes(files[1]);
    // The same folder by another name: still the stack's own file.
    Batch batch(dir.path + "/./", "s.png", 4);
    wxString message;
    wxTEST_DIALOG(f->renderFrames(batch.dlg), MessageCapture(&message));
    EXPECT_TRUE(message.Contains("s.0000.png")) << message;
    EXPECT_EQ(bytes, testutil::readBytes(files[1]));
    EXPECT_EQ(3u, listDir(dir.path).size());
}

// ---- Original values ----

namespace {

// Every colour value of the originals, layer by layer.
std::vector<double> allValues(const Originals& o) {
    std::vector<double> v;
    const int channels = o.layers.front().channels;
    for (int k = 0; k < o.depth; ++k)
        for (int j = 0; j < o.height; ++j)
            for (int i = 0; i < o.width; ++i)
                for (int c = 0; c < channels; ++c) v.push_back(o.value(i, j, k, c));
    return v;
}

}  // namespace

// "Original values" reopens with the values, their unit, the window and the voxel size it
// was saved with; "As shown" reopens as the same volume; a stack without originals says why.
TEST_F(Saving, OriginalValuesReopenWithTheirWindow) {
    struct Case {
        const char* sample;
        double lo, hi;  // the window set before saving
        const char* valueUnit;
    };
    const Case cases[] = {
        {"scan/ct", -100, 300, "HU"},
        {"nifti/head-128x96x24.nii.gz", 10, 900, ""},
    };
    AppFrame* f = testutil::frame();
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sample);
        f->loadStack(testutil::toArray({SLABWRIGHT_SOURCE_DIR "/samples/" + std::string(c.sample)}));
        ASSERT_TRUE(f->originals);
        f->setWindow(c.lo, c.hi);
        const std::vector<double> values = allValues(*f->originals);
        const Vector size = myVoxmap->voxelSize;
        const std::string unit = myVoxmap->unit;
        voxelmap shown;
        ASSERT_TRUE(shown.allocate(myVoxmap->width, myVoxmap->height, myVoxmap->depth));
        std::copy(myVoxmap->voxels.get(), myVoxmap->voxels.get() + myVoxmap->numVoxels, shown.voxels.get());

        ASSERT_TRUE(f->saveOriginals(wxString::FromUTF8(dir.file("values.tif"))));
        ASSERT_TRUE(f->saveVolume(wxString::FromUTF8(dir.file("shown.tif"))));
        f->loadStack(testutil::toArray({dir.file("values.tif")}));
        ASSERT_TRUE(f->originals);
        EXPECT_EQ(values, allValues(*f->originals));
        EXPECT_EQ(c.valueUnit, f->originals->valueUnit);
        EXPECT_EQ(c.lo, f->windowLo);
        EXPECT_EQ(c.hi, f->windowHi);
        EXPECT_TRUE(testutil::sameMap(shown, *myVoxmap));  // the same window makes the same volume
        testutil::expectNear(myVoxmap->voxelSize, size.x(), size.y(), size.z(), 1e-6);
        EXPECT_EQ(unit, myVoxmap->unit);
        f->loadStack(testutil::toArray({dir.file("shown.tif")}));
        EXPECT_TRUE(testutil::sameMap(shown, *myVoxmap));
    }
    // An 8-bit stack keeps no originals: nothing is written, and the message says why.
    wxString message;
    wxTEST_DIALOG(EXPECT_FALSE(f->saveOriginals(wxString::FromUTF8(dir.file("none.tif")))), MessageCapture(&message));
    EXPECT_TRUE(message.Contains("keeps no original values")) << message;
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.tif")));
}
