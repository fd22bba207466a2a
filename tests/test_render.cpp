// Saving the slice and the batch render: the RenderDlg dialog, its file choice and
// the frames written by AppFrame::renderFrames / OnRender.
#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/filedlg.h>
#include <wx/filefn.h>
#include <wx/log.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>
#include <wx/testing.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "appFrame.h"
#include "camera.h"
#include "render.h"
#include "slicer.h"
#include "testutil.h"
#include "voxelmap.h"

// The tests below start and end with the program as it starts: a fresh window, no volume.
using BatchRender = testutil::AppTest;
using SaveSlice = testutil::AppTest;

namespace {

const long kDialogStyle = wxCAPTION | wxSYSTEM_MENU | wxMINIMIZE_BOX | wxCLOSE_BOX | wxDIALOG_NO_PARENT;
const char* const kRowLabels[9] = {"TX", "TY", "TZ", "RX", "RY", "RZ", "SX", "SY", "SZ"};
const char* const kRowNames[9] = {"stTX", "spTy", "stTz", "stRx", "stRy", "stRz", "stSx", "stSy", "stSz"};
enum Row { TX, TY, TZ, RX, RY, RZ, SX, SY, SZ };

using testutil::directSlice;
using testutil::gradedVolume;
using testutil::sameRGB;

wxImage restSlice() { return directSlice(Vector(0, 0, 0), 0, 0, 0, 100, 100, 100); }

wxImage loadFile(const std::string& path) {
    wxImage img;
    wxLogNull quiet;
    img.LoadFile(path);
    return img;
}

// Names of the files in dir, sorted.
std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Puts values into a dialog's controls, then lets the dialog read them as a spin change does.
void setRow(RenderDlg& dlg, int row, int start, int end) {
    dlg.startCtrls[row]->SetValue(start);
    dlg.endCtrls[row]->SetValue(end);
}
void commit(wxSpinCtrl* changed, int id) {
    wxSpinEvent ev(wxEVT_SPINCTRL, id);
    ev.SetEventObject(changed);
    changed->ProcessWindowEvent(ev);
}
void commit(RenderDlg& dlg) { commit(dlg.endCtrls[0], 1029); }

void click(wxButton* b) {
    wxCommandEvent ev(wxEVT_BUTTON, b->GetId());
    ev.SetEventObject(b);
    b->ProcessWindowEvent(ev);
}

// The file dialog of Save and of the sequence choice: checks its texts, then answers.
class ExpectSaveDialog : public wxExpectModalBase<wxFileDialog, ExpectSaveDialog> {
public:
    ExpectSaveDialog(const wxString& expectedMessage, const wxString& answerPath, int answerId = wxID_OK)
        : message(expectedMessage), path(answerPath), answer(answerId) {}

protected:
    int OnInvoked(wxFileDialog* dlg) const override {
        EXPECT_EQ(message, dlg->GetMessage());
        EXPECT_TRUE(dlg->GetWildcard().StartsWith("Image Files " + wxImage::GetImageExtWildcard()));
        EXPECT_TRUE(dlg->HasFlag(wxFD_SAVE));
        // Save asks before replacing the file; the sequence's chosen name is never written itself.
        EXPECT_EQ(message != "Save Image Sequence", dlg->HasFlag(wxFD_OVERWRITE_PROMPT));
        if (answer == wxID_OK) dlg->SetPath(path);
        return answer;
    }

private:
    wxString message;
    wxString path;
    int answer;
};

// The batch dialog shown by OnRender: the test fills it in as a user would.
class FillRenderDlg : public wxExpectModalBase<RenderDlg, FillRenderDlg> {
public:
    explicit FillRenderDlg(std::function<void(RenderDlg&)> filler) : fill(std::move(filler)) {}

protected:
    int OnInvoked(RenderDlg* dlg) const override {
        EXPECT_EQ("Animation", dlg->GetTitle());
        EXPECT_EQ(nullptr, dlg->GetParent());
        EXPECT_TRUE(dlg->HasFlag(wxDIALOG_NO_PARENT));
        EXPECT_TRUE(dlg->HasFlag(wxCLOSE_BOX));
        EXPECT_FALSE(dlg->HasFlag(wxRESIZE_BORDER));
        fill(*dlg);
        return dlg->doRender ? wxID_OK : wxID_CANCEL;
    }

private:
    std::function<void(RenderDlg&)> fill;
};

}  // namespace

// ---- The dialog ----

TEST(RenderDlg, ControlsStartAsDesigned) {
    RenderDlg dlg("Animation", kDialogStyle);
    EXPECT_EQ("Animation", dlg.GetTitle());

    EXPECT_EQ("Frames", dlg.stFrames->GetLabel());
    EXPECT_EQ("stFrames", dlg.stFrames->GetName());
    EXPECT_EQ(1008, dlg.stFrames->GetId());
    EXPECT_EQ(1010, dlg.spFrames->GetId());
    EXPECT_EQ("wxSpinCtrl", dlg.spFrames->GetName());
    EXPECT_EQ(0, dlg.spFrames->GetMin());
    EXPECT_EQ(1000, dlg.spFrames->GetMax());
    EXPECT_EQ(0, dlg.spFrames->GetValue());

    for (int r = 0; r < 9; ++r) {
        SCOPED_TRACE(kRowLabels[r]);
        const int initial = r >= SX ? 100 : 0;
        EXPECT_EQ(kRowLabels[r], dlg.labels[r]->GetLabel());
        EXPECT_EQ(kRowNames[r], dlg.labels[r]->GetName());
        EXPECT_EQ(1026, dlg.labels[r]->GetId());
        for (wxSpinCtrl* c : {dlg.startCtrls[r], dlg.endCtrls[r]}) {
            EXPECT_EQ(-1000, c->GetMin());
            EXPECT_EQ(1000, c->GetMax());
            EXPECT_EQ(initial, c->GetValue());
            EXPECT_EQ("wxSpinCtrl", c->GetName());
            EXPECT_TRUE(c->HasFlag(wxSP_ARROW_KEYS));
        }
        EXPECT_EQ(1027, dlg.startCtrls[r]->GetId());
        EXPECT_EQ(1029, dlg.endCtrls[r]->GetId());
    }

    EXPECT_EQ("Save", dlg.btnOK->GetLabel());
    EXPECT_EQ("btnOK", dlg.btnOK->GetName());
    EXPECT_EQ(1044, dlg.btnOK->GetId());
    EXPECT_TRUE(dlg.btnOK->IsEnabled());
    EXPECT_EQ("Render", dlg.btnRndr->GetLabel());
    EXPECT_EQ("btnRndr", dlg.btnRndr->GetName());
    EXPECT_EQ(1045, dlg.btnRndr->GetId());
    EXPECT_FALSE(dlg.btnRndr->IsEnabled());

    // Every label, spin control and button uses the same small font.
    std::vector<wxWindow*> all{dlg.stFrames, dlg.spFrames, dlg.btnOK, dlg.btnRndr};
    for (int r = 0; r < 9; ++r) all.insert(all.end(), {dlg.labels[r], dlg.startCtrls[r], dlg.endCtrls[r]});
    for (wxWindow* w : all) {
        const wxFont font = w->GetFont();
        EXPECT_EQ(8, font.GetPointSize()) << w->GetName();
        EXPECT_EQ("Tahoma", font.GetFaceName()) << w->GetName();
        EXPECT_EQ(wxFONTSTYLE_NORMAL, font.GetStyle()) << w->GetName();
        EXPECT_EQ(wxFONTWEIGHT_NORMAL, font.GetWeight()) << w->GetName();
        EXPECT_FALSE(font.GetUnderlined()) << w->GetName();
    }

    // The fields mirror the controls from the start.
    EXPECT_EQ(0.0, dlg.frames);
    for (int a = 0; a < 3; ++a) {
        EXPECT_EQ(0, dlg.tStart[a]);
        EXPECT_EQ(0, dlg.tEnd[a]);
        EXPECT_EQ(0, dlg.rStart[a]);
        EXPECT_EQ(0, dlg.rEnd[a]);
        EXPECT_EQ(100, dlg.sStart[a]);
        EXPECT_EQ(100, dlg.sEnd[a]);
    }
    EXPECT_TRUE(dlg.seqName.empty());
    EXPECT_TRUE(dlg.seqExt.empty());
    EXPECT_TRUE(dlg.seqDir.empty());
    EXPECT_FALSE(dlg.doRender);
}

TEST(RenderDlg, LayoutStacksRowsAndFitsContents) {
    RenderDlg dlg("Animation", kDialogStyle);
    // Rows run top to bottom: Frames, TX ... SZ, then Save above Render; in a row the
    // label, start and end controls run left to right.
    int lastY = dlg.spFrames->GetPosition().y;
    for (int r = 0; r < 9; ++r) {
        EXPECT_GT(dlg.startCtrls[r]->GetPosition().y, lastY) << kRowLabels[r];
        lastY = dlg.startCtrls[r]->GetPosition().y;
        EXPECT_LT(dlg.labels[r]->GetPosition().x, dlg.startCtrls[r]->GetPosition().x);
        EXPECT_LT(dlg.startCtrls[r]->GetPosition().x, dlg.endCtrls[r]->GetPosition().x);
    }
    EXPECT_GT(dlg.btnOK->GetPosition().y, lastY);
    EXPECT_GT(dlg.btnRndr->GetPosition().y, dlg.btnOK->GetPosition().y);
    // Fitted: the smallest allowed size is the fitted size, and everything lies inside it.
    const wxSize client = dlg.GetClientSize();
    const wxRect last = dlg.btnRndr->GetRect();
    EXPECT_LE(last.GetBottom(), client.y);
    EXPECT_EQ(dlg.GetSize(), dlg.GetMinSize());
}

TEST(RenderDlg, SpinChangesRefreshEveryField) {
    RenderDlg dlg("Animation", kDialogStyle);
    dlg.spFrames->SetValue(7);
    for (int r = 0; r < 9; ++r) setRow(dlg, r, 10 * r + 1, -(10 * r + 2));
    // Nothing is read until a control reports a change ...
    EXPECT_EQ(0.0, dlg.frames);
    // ... and any one change, start or end or frames, reads all of them.
    for (auto [ctrl, id] : {std::pair<wxSpinCtrl*, int>{dlg.startCtrls[4], 1027}, {dlg.endCtrls[8], 1029},
                            {dlg.spFrames, 1010}}) {
        dlg.frames = -1;
        dlg.tStart[0] = dlg.sEnd[2] = 12345;
        commit(ctrl, id);
        EXPECT_EQ(7.0, dlg.frames) << id;
        for (int a = 0; a < 3; ++a) {
            EXPECT_EQ(10 * a + 1, dlg.tStart[a]);
            EXPECT_EQ(-(10 * a + 2), dlg.tEnd[a]);
            EXPECT_EQ(10 * (a + 3) + 1, dlg.rStart[a]);
            EXPECT_EQ(-(10 * (a + 3) + 2), dlg.rEnd[a]);
            EXPECT_EQ(10 * (a + 6) + 1, dlg.sStart[a]);
            EXPECT_EQ(-(10 * (a + 6) + 2), dlg.sEnd[a]);
        }
    }
}

TEST(RenderDlg, SequenceFileSplitsAtLastDot) {
    RenderDlg dlg("Animation", kDialogStyle);
    dlg.chooseSequenceFile("/tmp/out", "anim.png");
    EXPECT_EQ("/tmp/out", dlg.seqDir);
    EXPECT_EQ("anim", dlg.seqName);
    EXPECT_EQ("png", dlg.seqExt);
    EXPECT_TRUE(dlg.btnRndr->IsEnabled());

    dlg.chooseSequenceFile("/tmp/other", "run.a.png");  // a later choice replaces all three
    EXPECT_EQ("/tmp/other", dlg.seqDir);
    EXPECT_EQ("run.a", dlg.seqName);
    EXPECT_EQ("png", dlg.seqExt);

    dlg.chooseSequenceFile("/x", "anim");
    EXPECT_EQ("", dlg.seqName);
    EXPECT_EQ("anim", dlg.seqExt);
    EXPECT_TRUE(dlg.btnRndr->IsEnabled());
    EXPECT_FALSE(dlg.doRender);
}

TEST(RenderDlg, SaveButtonAsksForTheSequenceFile) {
    testutil::TempDir dir;
    RenderDlg dlg("Animation", kDialogStyle);
    // Cancelled: nothing chosen, Render stays off.
    wxTEST_DIALOG(click(dlg.btnOK), ExpectSaveDialog("Save Image Sequence", "", wxID_CANCEL));
    EXPECT_TRUE(dlg.seqDir.empty());
    EXPECT_TRUE(dlg.seqExt.empty());
    EXPECT_FALSE(dlg.btnRndr->IsEnabled());

    wxTEST_DIALOG(click(dlg.btnOK), ExpectSaveDialog("Save Image Sequence", dir.file("seq.x.png")));
    EXPECT_EQ(dir.path, dlg.seqDir);
    EXPECT_EQ("seq.x", dlg.seqName);
    EXPECT_EQ("png", dlg.seqExt);
    EXPECT_TRUE(dlg.btnRndr->IsEnabled());
}

TEST(RenderDlg, RenderSetsTheFlagAndCloseBoxDoesNot) {
    {
        RenderDlg dlg("Animation", kDialogStyle);
        dlg.chooseSequenceFile("/tmp", "a.png");
        dlg.Show();
        EXPECT_TRUE(dlg.Close());  // the close box
        EXPECT_FALSE(dlg.doRender);
        EXPECT_FALSE(dlg.IsShown());
        EXPECT_FALSE(dlg.IsBeingDeleted());  // closing never destroys: the opener owns it
    }
    {
        RenderDlg dlg("Animation", kDialogStyle);
        dlg.chooseSequenceFile("/tmp", "a.png");
        dlg.Show();
        click(dlg.btnRndr);
        EXPECT_TRUE(dlg.doRender);
        EXPECT_FALSE(dlg.IsShown());
        EXPECT_FALSE(dlg.IsBeingDeleted());
    }
    testutil::pump();
}

// ---- Frames written by a batch render ----

TEST_F(BatchRender, FramesAtRestAreElevenIdenticalFiles) {
    AppFrame* f = gradedVolume(16, 8, 24, /*march=*/false);
    testutil::TempDir dir;
    RenderDlg dlg("Animation", kDialogStyle);
    dlg.spFrames->SetValue(10);
    commit(dlg);
    dlg.chooseSequenceFile(dir.path, "anim.png");
    dlg.doRender = true;
    f->renderFrames(dlg);

    std::vector<std::string> expected;
    for (int k = 0; k <= 10; ++k) expected.push_back(wxString::Format("anim.%04d.png", k).ToStdString());
    EXPECT_EQ(expected, listDir(dir.path));
    const wxImage rest = restSlice();
    for (const std::string& name : expected) EXPECT_TRUE(sameRGB(rest, loadFile(dir.file(name)))) << name;
}

TEST_F(BatchRender, FramesInterpolateThePoseEvenly) {
    AppFrame* f = gradedVolume(16, 8, 24, /*march=*/false);
    testutil::TempDir dir;
    RenderDlg dlg("Animation", kDialogStyle);
    dlg.spFrames->SetValue(2);
    setRow(dlg, TZ, 0, 20);
    commit(dlg);
    dlg.chooseSequenceFile(dir.path, "z.png");
    f->renderFrames(dlg);

    ASSERT_EQ((std::vector<std::string>{"z.0000.png", "z.0001.png", "z.0002.png"}), listDir(dir.path));
    for (int k = 0; k <= 2; ++k) {
        const wxImage want = directSlice(Vector(0, 0, 10 * k), 0, 0, 0, 100, 100, 100);
        EXPECT_EQ(10 * 10 * k, testutil::pixel(want, 3, 3).b);  // layer 10 k
        EXPECT_TRUE(sameRGB(want, loadFile(dir.file(wxString::Format("z.%04d.png", k).ToStdString())))) << k;
    }

    // Three frames from TX 0 to 10 pass 10/3 and 20/3 unrounded: with interpolated lookups
    // the blend shows the fraction.
    testutil::TempDir dir2;
    theslicer->aaLookups = true;
    RenderDlg dlg2("Animation", kDialogStyle);
    dlg2.spFrames->SetValue(3);
    setRow(dlg2, TX, 0, 10);
    commit(dlg2);
    dlg2.chooseSequenceFile(dir2.path, "x.png");
    f->renderFrames(dlg2);
    const wxImage frame1 = loadFile(dir2.file("x.0001.png"));
    const double t = 1.0 / 3.0;
    EXPECT_TRUE(sameRGB(directSlice(Vector(10 * t + (1 - t) * 0, 0, 0), 0, 0, 0, 100, 100, 100, true), frame1));
    EXPECT_FALSE(sameRGB(directSlice(Vector(3, 0, 0), 0, 0, 0, 100, 100, 100, true), frame1));
}

TEST_F(BatchRender, NameWithoutDotBecomesTheExtension) {
    AppFrame* f = gradedVolume(16, 8, 4, /*march=*/false);
    testutil::TempDir dir;
    RenderDlg dlg("Animation", kDialogStyle);
    dlg.spFrames->SetValue(1);
    commit(dlg);
    dlg.chooseSequenceFile(dir.path, "png");  // no dot: empty name, "png" as the extension
    f->renderFrames(dlg);
    EXPECT_EQ((std::vector<std::string>{".0000.png", ".0001.png"}), listDir(dir.path));

    // "anim" names no image format: one message, naming the first frame, and nothing rendered.
    testutil::TempDir dir2;
    dlg.chooseSequenceFile(dir2.path, "anim");
    wxString message;
    wxTEST_DIALOG(f->renderFrames(dlg), testutil::MessageCapture(&message));
    EXPECT_TRUE(message.Contains(dir2.file(".0000.anim"))) << message;
    EXPECT_TRUE(listDir(dir2.path).empty());
}

TEST_F(BatchRender, ZeroFramesWritesOneFrameAtTheStartPose) {
    AppFrame* f = gradedVolume(16, 8, 24, /*march=*/false);
    testutil::TempDir dir;
    RenderDlg dlg("Animation", kDialogStyle);
    setRow(dlg, TZ, 5, 20);
    setRow(dlg, SX, 50, 200);
    commit(dlg);
    ASSERT_EQ(0.0, dlg.frames);
    dlg.chooseSequenceFile(dir.path, "one.png");
    f->renderFrames(dlg);
    ASSERT_EQ(std::vector<std::string>{"one.0000.png"}, listDir(dir.path));
    const wxImage start = directSlice(Vector(0, 0, 5), 0, 0, 0, 50, 100, 100);
    EXPECT_TRUE(sameRGB(start, loadFile(dir.file("one.0000.png"))));
    EXPECT_TRUE(sameRGB(start, screenImage));
}

TEST_F(BatchRender, PlaneStaysAtTheEndPoseUntilTheWindowMovesIt) {
    AppFrame* f = gradedVolume(16, 8, 24, /*march=*/false);
    ASSERT_NE(nullptr, f->spinTZ) << "main window controls missing";
    // The window's own pose: TZ 3.
    testutil::spin(f->spinTZ, 3);  // the event and the refresh it posts
    const Vector windowP00 = theslicer->patch->P00;

    testutil::TempDir dir;
    RenderDlg dlg("Animation", kDialogStyle);
    dlg.spFrames->SetValue(2);
    setRow(dlg, TZ, 0, 12);
    setRow(dlg, SX, 100, 50);
    setRow(dlg, RZ, 0, 90);
    commit(dlg);
    dlg.chooseSequenceFile(dir.path, "e.png");
    f->renderFrames(dlg);

    // The plane and the slice image hold the end pose: scaled, rotated, moved.
    slicer end(myVoxmap->origin, 16, 8);
    end.setP(Vector(0, 0, 12));
    end.setR(0, 0, 90);
    end.setS(50, 100, 100);
    for (auto [got, want] : {std::pair{theslicer->patch->P00, end.patch->P00}, {theslicer->patch->P01, end.patch->P01},
                             {theslicer->patch->P10, end.patch->P10}, {theslicer->patch->P11, end.patch->P11}}) {
        EXPECT_EQ(want.x(), got.x());
        EXPECT_EQ(want.y(), got.y());
        EXPECT_EQ(want.z(), got.z());
    }
    EXPECT_TRUE(sameRGB(directSlice(Vector(0, 0, 12), 0, 0, 90, 50, 100, 100), screenImage));
    EXPECT_EQ(3, f->spinTZ->GetValue());  // the window's controls are untouched

    // Any change of a window slicer control brings back the window's whole pose.
    testutil::spin(f->spinRX, 0);
    EXPECT_EQ(windowP00.x(), theslicer->patch->P00.x());
    EXPECT_EQ(windowP00.y(), theslicer->patch->P00.y());
    EXPECT_EQ(windowP00.z(), theslicer->patch->P00.z());
    EXPECT_TRUE(sameRGB(directSlice(Vector(0, 0, 3), 0, 0, 0, 100, 100, 100), screenImage));
}

TEST_F(BatchRender, AFailedFrameStopsTheRenderWithOneMessage) {
    AppFrame* f = gradedVolume(16, 8, 24, /*march=*/false);
    testutil::TempDir dir;
    RenderDlg dlg("Animation", kDialogStyle);
    dlg.spFrames->SetValue(2);
    setRow(dlg, TZ, 0, 20);
    commit(dlg);

    {  // a directory that does not exist: the first frame fails, with the system's reason
        const std::string missing = dir.file("missing");
        dlg.chooseSequenceFile(missing, "a.png");
        wxString message;
        wxTEST_DIALOG(f->renderFrames(dlg), testutil::MessageCapture(&message));
        EXPECT_TRUE(message.Contains(missing + "/a.0000.png")) << message;
        EXPECT_TRUE(message.Contains("No such file or directory")) << message;
        EXPECT_FALSE(std::filesystem::exists(missing));
    }
    // The render stopped at its first frame: the plane is at the start pose.
    EXPECT_TRUE(sameRGB(directSlice(Vector(0, 0, 0), 0, 0, 0, 100, 100, 100), screenImage));

    {  // an extension no image handler knows: refused before any frame is rendered
        dlg.chooseSequenceFile(dir.path, "a.nosuchformat");
        wxString message;
        wxTEST_DIALOG(f->renderFrames(dlg), testutil::MessageCapture(&message));
        EXPECT_TRUE(message.Contains("a.0000.nosuchformat")) << message;
        EXPECT_TRUE(listDir(dir.path).empty());
    }
}

// ---- Through the menu ----

TEST_F(BatchRender, MenuCommandRendersWhatTheDialogWasGiven) {
    AppFrame* f = gradedVolume(16, 8, 24, /*march=*/false);
    testutil::TempDir dir;
    const auto fill = [&](RenderDlg& dlg) {
        dlg.spFrames->SetValue(2);
        setRow(dlg, TZ, 4, 8);
        commit(dlg);
        click(dlg.btnOK);  // answered by the file dialog expectation below
        EXPECT_TRUE(dlg.btnRndr->IsEnabled());
        click(dlg.btnRndr);
    };
    wxTEST_DIALOG(testutil::menu(f, ID_RENDER), FillRenderDlg(fill),
                  ExpectSaveDialog("Save Image Sequence", dir.file("m.png")));
    ASSERT_EQ((std::vector<std::string>{"m.0000.png", "m.0001.png", "m.0002.png"}), listDir(dir.path));
    for (int k = 0; k <= 2; ++k)
        EXPECT_TRUE(sameRGB(directSlice(Vector(0, 0, 4 + 2 * k), 0, 0, 0, 100, 100, 100),
                            loadFile(dir.file(wxString::Format("m.%04d.png", k).ToStdString()))));
}

TEST_F(BatchRender, ClosingTheDialogRendersNothing) {
    AppFrame* f = gradedVolume(16, 8, 24, /*march=*/false);
    const Vector p00 = theslicer->patch->P00;
    const wxImage before = screenImage.Copy();
    testutil::TempDir dir;
    const auto fill = [&](RenderDlg& dlg) {
        dlg.spFrames->SetValue(3);
        setRow(dlg, TZ, 4, 8);
        commit(dlg);
        dlg.chooseSequenceFile(dir.path, "c.png");
        dlg.Close();  // the close box
    };
    wxTEST_DIALOG(testutil::menu(f, ID_RENDER), FillRenderDlg(fill));
    EXPECT_TRUE(listDir(dir.path).empty());
    EXPECT_EQ(p00.z(), theslicer->patch->P00.z());
    EXPECT_TRUE(sameRGB(before, screenImage));
}

// Values typed without Enter (no spin event: the text changes, then the focus moves on)
// count when Render is pressed, and stay in the dialog after a refused render and when
// it is opened again.
TEST_F(BatchRender, TypedValuesRenderAndStayForTheNextOpening) {
    AppFrame* f = gradedVolume(16, 8, 24, /*march=*/false);
    testutil::TempDir dir;
    const auto type = [](wxSpinCtrl* c, const char* text) {
        c->SetValue(wxString(text));  // the entry's text, as typed; sends no spin event
        wxCommandEvent typed(wxEVT_TEXT, c->GetId());
        typed.SetEventObject(c);
        typed.SetString(text);
        c->ProcessWindowEvent(typed);
        wxFocusEvent left(wxEVT_KILL_FOCUS, c->GetId());
        left.SetEventObject(c);
        c->ProcessWindowEvent(left);
    };
    wxString message;
    const auto refused = [&](RenderDlg& dlg) {
        type(dlg.spFrames, "2");
        type(dlg.endCtrls[TZ], "20");
        dlg.chooseSequenceFile(dir.path, "noimagetype");  // no dot: the whole name is the type
        click(dlg.btnRndr);
    };
    wxTEST_DIALOG(testutil::menu(f, ID_RENDER), FillRenderDlg(refused), testutil::MessageCapture(&message));
    EXPECT_TRUE(message.Contains("Nothing was rendered")) << message;
    EXPECT_TRUE(listDir(dir.path).empty());

    const auto again = [&](RenderDlg& dlg) {
        EXPECT_EQ(2, dlg.spFrames->GetValue());
        EXPECT_EQ(20, dlg.endCtrls[TZ]->GetValue());
        EXPECT_TRUE(dlg.btnRndr->IsEnabled());  // the file chosen before is kept too
        dlg.chooseSequenceFile(dir.path, "t.png");
        click(dlg.btnRndr);
    };
    wxTEST_DIALOG(testutil::menu(f, ID_RENDER), FillRenderDlg(again));
    ASSERT_EQ((std::vector<std::string>{"t.0000.png", "t.0001.png", "t.0002.png"}), listDir(dir.path));
    for (int k = 0; k <= 2; ++k)
        EXPECT_TRUE(sameRGB(directSlice(Vector(0, 0, 10 * k), 0, 0, 0, 100, 100, 100),
                            loadFile(dir.file(wxString::Format("t.%04d.png", k).ToStdString()))))
            << k;

    // Text that is not a number leaves the field as it was; a number past the range counts
    // as the range's end, as the control shows it once the focus moves on.
    RenderDlg dlg("Animation", kDialogStyle);
    type(dlg.startCtrls[TX], "7");
    type(dlg.startCtrls[TX], "x");
    type(dlg.endCtrls[TX], "5000");
    dlg.readFields();
    EXPECT_EQ(7, dlg.tStart[0]);
    EXPECT_EQ(1000, dlg.tEnd[0]);
}

// ---- Save ----

TEST_F(SaveSlice, WritesTheSliceImage) {
    AppFrame* f = gradedVolume(16, 8, 24, /*march=*/false);
    theslicer->setP(Vector(0, 0, 7));
    theslicer->evaluateSlice(myVoxmap, screenImage);
    testutil::TempDir dir;

    f->saveSlice(dir.file("direct.png"));
    EXPECT_TRUE(sameRGB(screenImage, loadFile(dir.file("direct.png"))));

    // Through the menu: cancelled writes nothing, confirmed writes the chosen file.
    wxTEST_DIALOG(testutil::menu(f, ID_SAVE), ExpectSaveDialog("Save Image", "", wxID_CANCEL));
    EXPECT_EQ(std::vector<std::string>{"direct.png"}, listDir(dir.path));
    wxTEST_DIALOG(testutil::menu(f, ID_SAVE), ExpectSaveDialog("Save Image", dir.file("menu.png")));
    EXPECT_EQ((std::vector<std::string>{"direct.png", "menu.png"}), listDir(dir.path));
    EXPECT_TRUE(sameRGB(screenImage, loadFile(dir.file("menu.png"))));
    EXPECT_EQ(10 * 7, testutil::pixel(loadFile(dir.file("menu.png")), 0, 0).b);
}
