// A patient's disc or export opened at its top: the walk through folders of folders, the
// DICOMDIR index, objects without images passed over, the series list and its choice.
#include <gtest/gtest.h>
#include <wx/choicdlg.h>
#include <wx/testing.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "appFrame.h"
#include "folderwalk.h"
#include "formats/dicomdir.h"
#include "stackio.h"
#include "testutil.h"

namespace {

namespace fs = std::filesystem;

const std::string kTree = testutil::kPydicomData + "dicomdirtests";

#define REQUIRE_TREE()                                                         \
    if (!fs::exists(kTree + "/DICOMDIR")) {                                   \
        GTEST_SKIP() << "python3-pydicom's dicomdirtests are not installed"; \
    }

// The series of a listing as the list shows them, planned with nobody to ask beyond that.
std::vector<std::string> seriesLines(const stackio::Listing& l) {
    std::vector<std::string> lines;
    stackio::Plan p;
    std::string problem;
    stackio::plan(l, p, problem, -1, [&](const std::vector<std::string>& labels) {
        lines = labels;
        return -1;
    });
    return lines;
}

// The files of series `line` planned from the listing: the layers' files, bottom first.
std::vector<std::string> layersOf(const stackio::Listing& l, const std::string& line, stackio::Plan& p) {
    std::string problem;
    const bool ok = stackio::plan(l, p, problem, -1, [&](const std::vector<std::string>& labels) {
        return int(std::find(labels.begin(), labels.end(), line) - labels.begin());
    });
    EXPECT_TRUE(ok) << problem;
    std::vector<std::string> files;
    for (const formats::Layer& layer : p.order) files.push_back(fs::path(p.files[size_t(layer.file)]).filename().string());
    return files;
}

stackio::Listing listed(const std::string& path) {
    stackio::Listing l;
    std::string problem;
    EXPECT_TRUE(stackio::listPaths({path}, l, problem)) << problem;
    return l;
}

bool has(const std::vector<std::string>& notes, const std::string& words) {
    return std::any_of(notes.begin(), notes.end(), [&](const std::string& n) { return n.find(words) != std::string::npos; });
}

}  // namespace

// The disc opened at its top: every series with its line, by study and series number; each
// loads as when its own folder is opened; objects without images are passed over.
TEST(DiscWalk, PydicomTreeSeriesAndTheirLines) {
    REQUIRE_TREE();
    const stackio::Listing top = listed(kTree);
    EXPECT_TRUE(top.notes.empty()) << top.notes[0];
    EXPECT_EQ(top.indexes, 6);  // DICOMDIR-bigEnd, -empty.dcm, -implicit, -nooffset, -nopatient, -reordered
    const std::vector<std::string> lines = seriesLines(top);
    // Slices of one series in several orientations are listed apart, as before.
    const std::string peter = "Doe Peter, 2003-05-05, series ", pilot = "2: T/S/C RF FAST PILOT, MR, 16 x 16 voxels, 1 slice, ",
                      angio = "700: ANGIO Projected from   C, MR, 16 x 16 voxels, 1 slice, ",
                      localizer = "1: FAST LOCALIZER, MR, 16 x 16 voxels, 1 slice, sagittal";
    // Studies of one date as the index lists them.
    const std::vector<std::string> want = {
        "Doe Archibald, 1995-09-03, series 2: Routine Brain, CT, 16 x 16 voxels, 4 slices, axial",
        "Doe Archibald, 2001-01-01, series 1: Cervical LAT, CR, 16 x 16 voxels, 1 slice, axial",
        "Doe Archibald, 2001-01-01, series 2: Cervical OBLI 1, CR, 16 x 16 voxels, 1 slice, axial",
        "Doe Archibald, 2001-01-01, series 3: Cervical OBLI 2, CR, 16 x 16 voxels, 1 slice, axial",
        "Doe Peter, 2001-01-01, series 4: Scout, CT, 16 x 16 voxels, 1 slice, sagittal",
        "Doe Peter, 2001-01-01, series 4: Scout, CT, 16 x 16 voxels, 1 slice, coronal",
        "Doe Peter, 2001-01-01, series 5: SmartScore - Gated 0.5 sec, CT, 16 x 16 voxels, 5 slices, axial",
        peter + localizer, "Doe Peter, 2003-05-05, series 2: FAST LOCALIZER, MR, 16 x 16 voxels, 1 slice, sagittal",
        peter + localizer + " (2)", peter + pilot + "coronal", peter + pilot + "sagittal", peter + pilot + "axial",
        peter + localizer + " (3)", peter + pilot + "coronal (2)", peter + pilot + "sagittal (2)", peter + pilot + "axial (2)",
        peter + angio + "coronal", peter + angio + "coronal (2)", peter + angio + "oblique", peter + angio + "oblique (2)",
        peter + angio + "sagittal", peter + angio + "sagittal (2)", peter + angio + "sagittal (3)",
    };
    EXPECT_EQ(lines, want);
    // Each series as its own folder gives it: the same layers, size and voxel size.
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        stackio::Plan whole;
        const std::vector<std::string> layers = layersOf(top, line, whole);
        EXPECT_EQ(whole.passedOver, 56);  // TINY_ALPHA's 50 slices without pixel data, the six other indexes
        ASSERT_FALSE(whole.order.empty());
        const std::string folder = fs::path(whole.files[size_t(whole.order[0].file)]).parent_path().string();
        const stackio::Listing alone = listed(folder);
        std::vector<std::string> there = seriesLines(alone);
        if (there.empty()) there.push_back("");  // one series: no list
        const auto same = std::find_if(there.begin(), there.end(), [&](const std::string& l) {
            stackio::Plan own;
            if (layersOf(alone, l, own) != layers || own.width != whole.width) return false;
            for (int a = 0; a < 3; ++a)
                if (own.voxelSize[a] != whole.voxelSize[a]) return false;
            return true;
        });
        EXPECT_NE(same, there.end()) << folder;
    }
}

// Every DICOMDIR variant as the tree's index, named in any case: used, or noted and the walk
// alone used; the files found are the same, and the tree is never refused.
TEST(DiscWalk, DicomDirVariantsUsedOrNoted) {
    REQUIRE_TREE();
    testutil::TempDir dir;
    const std::string top = dir.file("disc");
    fs::copy(kTree, top, fs::copy_options::recursive);
    for (const auto& e : fs::directory_iterator(top))
        if (e.path().filename().string().rfind("DICOMDIR", 0) == 0) fs::remove(e.path());
    const stackio::Walk bare = stackio::walkFolder(top);
    const std::set<std::string> all(bare.files.begin(), bare.files.end());
    const struct {
        const char* variant;
        bool used;
    } cases[] = {{"DICOMDIR", true},          {"DICOMDIR-bigEnd", true},   {"DICOMDIR-empty.dcm", false},
                 {"DICOMDIR-implicit", true}, {"DICOMDIR-nooffset", false}, {"DICOMDIR-nopatient", true},
                 {"DICOMDIR-reordered", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variant);
        fs::copy_file(kTree + "/" + c.variant, top + "/dicomDir", fs::copy_options::overwrite_existing);
        const formats::DicomDirIndex index = formats::readDicomDir(top + "/dicomDir", top);
        EXPECT_EQ(index.read && !index.files.empty(), c.used) << (index.notes.empty() ? "" : index.notes[0]);
        const stackio::Walk walk = stackio::walkFolder(top);
        EXPECT_EQ(std::set<std::string>(walk.files.begin(), walk.files.end()), all);
        EXPECT_EQ(walk.files.size(), all.size());
        if (!index.read) {
            EXPECT_TRUE(has(walk.notes, "could not be read")) << c.variant;
        }
        stackio::Plan p;
        std::string problem;
        EXPECT_TRUE(stackio::plan(listed(top), p, problem)) << problem;
    }
}

// A tree with a missing file, a report, nesting, a link out of the tree and one in a loop,
// and the limits of depth and of files looked at.
TEST(DiscWalk, WrittenTreeMissingFilesLinksAndLimits) {
    REQUIRE_TREE();
    testutil::TempDir dir, outside;
    const std::string top = dir.file("export");
    fs::create_directories(top + "/a/b/c");
    fs::copy(kTree + "/77654033", top + "/77654033", fs::copy_options::recursive);
    fs::copy(kTree + "/98892001", top + "/a/b/c/98892001", fs::copy_options::recursive);
    fs::copy_file(kTree + "/DICOMDIR", top + "/DICOMDIR");
    fs::copy_file(kTree + "/../test-SR.dcm", top + "/a/report");
    fs::copy(kTree + "/98892003/MR2", outside.file("MR2"), fs::copy_options::recursive);
    fs::create_directory_symlink(outside.path, top + "/a/out");
    fs::create_directory_symlink("../..", top + "/a/b/loop");
    fs::create_symlink(top + "/77654033/CT2/17106", top + "/a/same");  // one file reached twice
    const stackio::Walk walk = stackio::walkFolder(top);
    // CR 3, CT2 4, CT2N 2, CT5N 5 and the report: nothing from outside, nothing twice.
    EXPECT_EQ(walk.files.size(), 15u);
    EXPECT_TRUE(has(walk.notes, "names 24 files that are missing, such as")) << testing::PrintToString(walk.notes);
    EXPECT_TRUE(has(walk.notes, "1 symbolic link leading out of")) << testing::PrintToString(walk.notes);
    for (const std::string& f : walk.files) EXPECT_EQ(f.find("/a/out/"), std::string::npos) << f;

    stackio::Plan p;
    std::string problem;
    ASSERT_TRUE(stackio::plan(listed(top), p, problem, -1, [](const std::vector<std::string>&) { return 0; })) << problem;
    EXPECT_EQ(p.passedOver, 1);  // the report
    // Named by itself, the report is refused as before.
    EXPECT_FALSE(stackio::plan(std::vector<std::string>{top + "/a/report"}, p, problem));
    EXPECT_NE(problem.find("not an image"), std::string::npos) << problem;

    const struct {
        int depth;
        size_t files;
        size_t found;  // 0: any number up to the limit
        const char* note;
    } limits[] = {{2, 100000, 8, "1 folder more than 2 levels below"}, {8, 5, 0, "holds more than 5 files"}};
    fs::remove(top + "/DICOMDIR");
    for (const auto& c : limits) {
        const stackio::Walk w = stackio::walkFolder(top, {c.depth, c.files});
        if (c.found) EXPECT_EQ(w.files.size(), c.found);  // 77654033's and the report; or at most the limit
        else EXPECT_LE(w.files.size(), c.files);
        EXPECT_TRUE(has(w.notes, c.note)) << testing::PrintToString(w.notes);
    }
    // A folder it cannot read is noted and the rest still found (not for root, who reads all).
    if (geteuid() != 0) {
        fs::permissions(top + "/a/b", fs::perms::none);
        const stackio::Walk w = stackio::walkFolder(top);
        fs::permissions(top + "/a/b", fs::perms::owner_all);
        EXPECT_EQ(w.files.size(), 7u);
        EXPECT_TRUE(has(w.notes, "could not be read")) << testing::PrintToString(w.notes);
    }
}

// ---- Through the window ----

namespace {

using DiscLoad = testutil::AppTest;

// Picks line `pick` of the series list, keeping the line preselected when it came up.
class SeriesAnswer : public wxExpectModalBase<wxSingleChoiceDialog, SeriesAnswer> {
public:
    SeriesAnswer(int pick, int* shown) : pick_(pick), shown_(shown) {}

protected:
    int OnInvoked(wxSingleChoiceDialog* dlg) const override {
        *shown_ = dlg->GetSelection();
        dlg->SetSelection(pick_);
        return wxID_OK;
    }

private:
    int pick_;
    int* shown_;
};

}  // namespace

// The disc's top folder through the window: the list, the count of passed-over files, the
// last choice preselected next time, and --series choosing without the dialog.
TEST_F(DiscLoad, TopFolderChosenRememberedAndNamedByNumber) {
    REQUIRE_TREE();
    AppFrame* f = testutil::frame();
    int shown = -1;
    wxString message;
    wxTEST_DIALOG(f->loadStack(testutil::toArray({kTree})), SeriesAnswer(6, &shown),
                  testutil::MessageCapture(&message));
    ASSERT_TRUE(myVoxmap->loaded);
    EXPECT_EQ(myVoxmap->depth, 5);  // series 5, SmartScore
    EXPECT_TRUE(message.Contains("56 files without images were passed over.")) << message;
    wxTEST_DIALOG(f->loadStack(testutil::toArray({kTree})), SeriesAnswer(0, &shown),
                  testutil::MessageCapture(&message));
    EXPECT_EQ(shown, 6);  // the last choice for this folder
    EXPECT_EQ(myVoxmap->depth, 4);

    const struct {
        int series, depth;
        const char* says;
    } named[] = {{7, 5, "passed over"}, {1, 4, "passed over"}, {25, 4, "The files hold 24 series; there is no series 25 to load."}};
    for (const auto& c : named) {
        SCOPED_TRACE(c.series);
        wxTEST_DIALOG(f->loadStack(testutil::toArray({kTree}), 1, c.series), testutil::MessageCapture(&message));
        EXPECT_EQ(myVoxmap->depth, c.depth);
        EXPECT_TRUE(message.Contains(c.says)) << message;
    }
}
