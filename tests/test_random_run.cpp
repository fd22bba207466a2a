// A long random run of user actions through the real handlers, from a fixed seed,
// checking after every action what a user relies on: the volume's fields agree, the
// views have the sizes the refresh rules give them, a refused load changes nothing,
// a cancelled prompt changes nothing, and files appear only where they were asked for.
//
// The suite runs 1000 steps; for a long run:
//   SLABWRIGHT_RANDOM_STEPS=100000 SLABWRIGHT_RANDOM_SEED=1 xvfb-run -a build/slabwright_tests
//   --gtest_filter=RandomRun.*
#include <gtest/gtest.h>
#include <wx/log.h>
#include <wx/menu.h>
#include <wx/numdlg.h>
#include <wx/spinctrl.h>
#include <wx/testing.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "appFrame.h"
#include "camera.h"
#include "render.h"
#include "slicer.h"
#include "testutil.h"
#include "voxelmap.h"

// The tests below start and end with the program as it starts: a fresh window, no volume.
using RandomRun = testutil::AppTest;

namespace {

namespace fs = std::filesystem;
using testutil::frame;

long envNumber(const char* name, long fallback) {
    const char* v = std::getenv(name);
    if (!v || !*v) return fallback;
    char* end = nullptr;
    const long n = std::strtol(v, &end, 10);
    return end && *end == '\0' ? n : fallback;
}

// Answers one number prompt (identified by its caption) with a number, or cancels it (below 0).
using Prompt = testutil::NumberAnswer;

class UserRun {
public:
    explicit UserRun(uint64_t seed) : rng_(seed), in_(dir_.path + "/in"), out_(dir_.path + "/out") {
        fs::create_directory(in_);
        fs::create_directory(out_);
        f_ = frame();
        spins_ = {f_->spinTX, f_->spinTY, f_->spinTZ,  f_->spinRX,    f_->spinRY,    f_->spinRZ,    f_->spinSX,
                  f_->spinSY, f_->spinSZ, f_->spinYaw, f_->spinPitch, f_->spinDepth, f_->spinTruck, f_->spinZoom};
        dlg_ = std::make_unique<RenderDlg>("Animation", wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxDIALOG_NO_PARENT);
    }

    // One random action with the checks particular to it; returns a description of it.
    std::string step() {
        const int roll = pick(0, 99);
        if (roll < 6) return loadGood();
        if (roll < 10) return loadBad();
        if (roll < 48) return spin();
        if (roll < 54) return filter();
        if (roll < 58) return raySetting(ID_RAYRES);
        if (roll < 61) return raySetting(ID_RAYSTEP);
        if (roll < 64) return viewScale();
        if (roll < 67) return toggleAA();
        if (roll < 84) return motion();
        if (roll < 90) return save();
        if (roll < 96) return render();
        return repaint();
    }

    // Everything the volume, the views and the folder must satisfy after any action.
    void checkInvariants(bool listFiles) {
        if (myVoxmap->loaded) {
            const voxelmap& m = *myVoxmap;
            EXPECT_NE(m.voxels.get(), nullptr);
            EXPECT_EQ(m.numVoxels, int64_t(m.width) * m.height * m.depth);
            EXPECT_GT(m.numVoxels, 0);
            EXPECT_EQ(m.origin.x(), -m.width / 2.0);
            EXPECT_EQ(m.origin.y(), -m.height / 2.0);
            EXPECT_EQ(m.origin.z(), 100.0);
            ASSERT_TRUE(cam && theslicer);
            EXPECT_EQ(theslicer->width, m.width);
            EXPECT_EQ(theslicer->height, m.height);
            EXPECT_EQ(screenImage.GetSize(), wxSize(m.width, m.height));
            EXPECT_EQ(viewportImage.GetSize(), viewport_);
            EXPECT_EQ(cam->resolution, resolution_);
            EXPECT_EQ(cam->stepLength, step_ * 0.1);
            EXPECT_EQ(theslicer->aaLookups, aa_);
            EXPECT_TRUE(f_->effectsMenu->IsEnabled(ID_BLUR) && f_->settingsMenu->IsEnabled(ID_RAYRES));
        } else {
            EXPECT_FALSE(cam);
            EXPECT_FALSE(theslicer);
        }
        EXPECT_EQ(f_->vpScale, vpScale_);
        EXPECT_EQ(f_->keyColour.a, 0);
        if (listFiles) {
            std::set<std::string> found;
            for (const auto& e : fs::recursive_directory_iterator(dir_.path))
                if (!e.is_directory()) found.insert(fs::relative(e.path(), dir_.path).string());
            EXPECT_EQ(found, files_) << "files written where none was asked for, or missing";
        }
    }

    // The output folder emptied, as a user tidying up would (keeps the listing short).
    void clearOutput() {
        for (auto it = files_.begin(); it != files_.end();) {
            if (it->rfind("out/", 0) == 0) {
                fs::remove(dir_.path + "/" + *it);
                it = files_.erase(it);
            } else {
                ++it;
            }
        }
    }

    int loads = 0, refusals = 0, filters = 0, saved = 0, frames = 0;

private:
    std::mt19937_64 rng_;
    testutil::TempDir dir_;
    std::string in_, out_;
    AppFrame* f_ = nullptr;
    std::vector<wxSpinCtrl*> spins_;
    std::unique_ptr<RenderDlg> dlg_;
    std::set<std::string> files_;  // every file there should be, relative to the folder
    int stacks_ = 0;
    // What the program must show: reset by every load to the new camera's and plane's defaults.
    wxSize viewport_;
    int resolution_ = 50, step_ = 20, vpScale_ = 2;
    bool aa_ = false;

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool chance(int percent) { return pick(0, 99) < percent; }

    std::string inFile(const std::string& name) {
        files_.insert("in/" + name);
        return in_ + "/" + name;
    }
    void removeInputs(const std::vector<std::string>& paths) {
        for (const std::string& p : paths) {
            fs::remove(p);
            files_.erase("in/" + fs::path(p).filename().string());
        }
    }

    wxImage randomImage(int w, int h, bool alpha) {
        return testutil::makeImage(
            w, h,
            [&](int, int) {
                const uint64_t v = rng_();
                return voxel(v & 255, (v >> 8) & 255, (v >> 16) & 255, chance(30) ? 0 : (v >> 24) & 255);
            },
            alpha);
    }

    // A stack of d random w x h images in PNG, JPEG or TIFF.
    std::vector<std::string> writeStack(int w, int h, int d) {
        std::vector<std::string> paths;
        const int s = stacks_++;
        for (int k = 0; k < d; ++k) {
            const int format = pick(0, 9);
            const char* ext = format < 7 ? "png" : format < 9 ? "tif" : "jpg";
            const std::string p = inFile("s" + std::to_string(s) + "_" + std::to_string(k) + "." + ext);
            const wxImage img = randomImage(w, h, format < 9 && chance(50));
            EXPECT_TRUE(img.SaveFile(p));
            paths.push_back(p);
        }
        return paths;
    }

    static wxArrayString toArray(const std::vector<std::string>& paths) {
        wxArrayString a;
        for (const std::string& p : paths) a.Add(wxString::FromUTF8(p));
        return a;
    }

    std::string loadGood() {
        const bool wide = chance(10);
        const int w = pick(1, wide ? 64 : 12), h = pick(1, wide ? 64 : 12), d = pick(1, 5);
        const std::vector<std::string> paths = writeStack(w, h, d);
        f_->loadStack(toArray(paths));
        ++loads;
        EXPECT_TRUE(myVoxmap->loaded);
        EXPECT_EQ(myVoxmap->width, w);
        EXPECT_EQ(myVoxmap->height, h);
        EXPECT_EQ(myVoxmap->depth, d);
        // Each layer is its image: spot-check one pixel per layer.
        for (int k = 0; k < d && myVoxmap->depth == d; ++k) {
            wxImage img;
            if (!testutil::decode(paths[k], img)) {
                ADD_FAILURE() << paths[k] << " does not decode";
                continue;
            }
            const int x = pick(0, w - 1), y = pick(0, h - 1);
            EXPECT_EQ(myVoxmap->voxels[myVoxmap->index(x, y, k)], testutil::voxelOf(img, x, y));
        }
        // Under 128 x 128 the load fitted the scale to the screen: fitting again keeps it.
        vpScale_ = f_->vpScale;
        EXPECT_EQ(vpScale_, f_->fitScale());
        viewport_ = wxSize(50, 50);
        resolution_ = 50;
        step_ = 20;
        aa_ = false;
        removeInputs(paths);  // the volume needs its files no longer
        return "load " + std::to_string(w) + "x" + std::to_string(h) + "x" + std::to_string(d);
    }

    std::string loadBad() {
        const int w = pick(1, 8), h = pick(1, 8), d = pick(1, 4);
        std::vector<std::string> paths = writeStack(w, h, d);
        const int kind = pick(0, 4);
        std::string culprit;
        if (kind < 4) {
            culprit = paths[pick(0, d - 1)];
            switch (kind) {
                case 0:
                    testutil::writeBytes(culprit, "");
                    break;
                case 1:
                    testutil::writeBytes(culprit, testutil::readBytes(culprit).substr(0, pick(1, 40)));
                    break;
                case 2:
                    testutil::writeBytes(culprit, "not an image at all\n");
                    break;
                default:  // gone before the load
                    fs::remove(culprit);
                    files_.erase("in/" + fs::path(culprit).filename().string());
            }
        } else {  // one image of another size than the first
            if (d == 1) paths.push_back(inFile("s" + std::to_string(stacks_++) + "_extra.png"));
            culprit = paths[pick(1, int(paths.size()) - 1)];
            EXPECT_TRUE(randomImage(w + pick(1, 3), h, false).SaveFile(culprit));
        }
        voxelmap before;
        if (myVoxmap->loaded) before.copyMap(myVoxmap);
        const camera* cam0 = cam.get();
        const slicer* slicer0 = theslicer.get();
        const wxImage screen0 = screenImage.IsOk() ? screenImage.Copy() : wxImage();
        wxString message;
        wxTEST_DIALOG(f_->loadStack(toArray(paths)), testutil::MessageCapture(&message));
        EXPECT_TRUE(message.Contains(wxString::FromUTF8(culprit))) << message;
        ++refusals;
        EXPECT_TRUE(testutil::sameMap(*myVoxmap, before));
        EXPECT_EQ(cam.get(), cam0);
        EXPECT_EQ(theslicer.get(), slicer0);
        if (myVoxmap->loaded) {
            EXPECT_TRUE(testutil::sameRGB(screenImage, screen0));
        }
        removeInputs(paths);
        return "refused load, kind " + std::to_string(kind);
    }

    std::string spin() {
        const size_t n = pick(0, int(spins_.size()) - 1);
        wxSpinCtrl* c = spins_[n];
        const int roll = pick(0, 9);
        const int value = roll == 0 ? c->GetMin() : roll == 1 ? c->GetMax() : pick(c->GetMin(), c->GetMax());
        const bool slicerControl = n < 9;
        const wxImage viewport0 = slicerControl && viewportImage.IsOk() ? viewportImage.Copy() : wxImage();
        testutil::spin(c, value);
        if (myVoxmap->loaded) {
            if (slicerControl) {
                // Moving the plane re-samples the slice only; the 3D image stays as it was.
                EXPECT_TRUE(testutil::sameRGB(viewportImage, viewport0));
            } else {
                viewport_ = wxSize(resolution_, resolution_);
                EXPECT_EQ(cam->zoom, f_->spinZoom->GetValue() * 0.01);
                EXPECT_EQ(cam->opacity, f_->spinDepth->GetValue() * 0.01);
            }
        }
        return "spin control #" + std::to_string(n) + " to " + std::to_string(value);
    }

    // A prompt's answer: cancelled, the lowest, the highest, or anything between.
    long answer(long lo, long hi) {
        const int roll = pick(0, 9);
        return roll == 0 ? -1 : roll == 1 ? lo : roll == 2 ? hi : pick(int(lo), int(hi));
    }

    std::string filter() {
        const int which = pick(0, 2);
        const int ids[3] = {ID_KEY, ID_BLUR, ID_EDGES};
        if (!myVoxmap->loaded) {  // nothing to filter: no prompt, no change
            testutil::menu(f_, ids[which]);
            return "filter without a volume";
        }
        voxelmap before;
        before.copyMap(myVoxmap);
        bool applied = true;
        std::string what;
        if (which == 0) {
            const long range = answer(1, 1000);
            if (range < 0) {
                wxTEST_DIALOG(testutil::menu(f_, ids[which]), Prompt("Range", range));
                applied = false;
            } else {
                const long falloff = answer(1, 1000), pre = answer(0, 1);
                wxTEST_DIALOG(testutil::menu(f_, ids[which]), Prompt("Range", range), Prompt("Range", falloff),
                              Prompt("1 or 0", pre));
                applied = falloff > 0;
            }
            what = "key";
        } else if (which == 1) {
            const long radius = answer(1, 3);
            wxTEST_DIALOG(testutil::menu(f_, ids[which]), Prompt("Radius", radius));
            applied = radius > 0;
            what = "blur " + std::to_string(radius);
        } else {
            testutil::menu(f_, ids[which]);
            what = "edges";
        }
        EXPECT_EQ(myVoxmap->width, before.width);
        EXPECT_EQ(myVoxmap->height, before.height);
        EXPECT_EQ(myVoxmap->depth, before.depth);
        if (applied) {
            ++filters;
            viewport_ = wxSize(200, 200);
        } else {
            EXPECT_TRUE(testutil::sameMap(*myVoxmap, before)) << "a cancelled filter changed the volume";
        }
        return what + (applied ? "" : " cancelled");
    }

    std::string raySetting(int id) {
        if (!myVoxmap->loaded) {
            testutil::menu(f_, id);
            return "ray setting without a volume";
        }
        long n;
        if (id == ID_RAYRES) {
            // Mostly small: a high resolution makes every later march slow.
            const int roll = pick(0, 99);
            n = roll < 10 ? -1 : roll < 13 ? 1 : roll < 15 ? 1000 : roll < 20 ? pick(100, 400) : pick(1, 80);
            wxTEST_DIALOG(testutil::menu(f_, id), Prompt("Resolution", n));
            if (n > 0) resolution_ = int(n);
        } else {
            n = answer(1, 100);
            wxTEST_DIALOG(testutil::menu(f_, id), Prompt("Step Length", n));
            if (n > 0) step_ = int(n);
        }
        if (n > 0) viewport_ = wxSize(resolution_, resolution_);
        return std::string(id == ID_RAYRES ? "resolution " : "step ") + std::to_string(n);
    }

    std::string viewScale() {
        const long n = answer(1, 5);
        wxTEST_DIALOG(testutil::menu(f_, ID_VPSCALE), Prompt("Scale", n));
        if (n > 0) vpScale_ = int(n);
        return "view scale " + std::to_string(n);
    }

    std::string toggleAA() {
        testutil::menu(f_, ID_AASLICE);
        if (myVoxmap->loaded) aa_ = !aa_;
        return "AA";
    }

    std::string motion() {
        wxWindow* view = chance(50) ? f_->view3D : f_->sliceView;
        wxMouseEvent ev(wxEVT_MOTION);
        ev.m_x = chance(10) ? pick(-100000, 100000) : pick(-20, 200);
        ev.m_y = chance(10) ? pick(-100000, 100000) : pick(-20, 200);
        ev.m_leftDown = chance(40);
        ev.SetEventObject(view);
        ev.SetId(view->GetId());
        const voxel key0 = f_->keyColour;
        view->GetEventHandler()->ProcessEvent(ev);
        if (!ev.m_leftDown) {
            EXPECT_EQ(f_->keyColour, key0) << "only a drag picks a colour";
        }
        return "motion " + std::to_string(ev.m_x) + "," + std::to_string(ev.m_y) + (ev.m_leftDown ? " down" : "");
    }

    std::string save() {
        const char* exts[] = {"png", "jpg", "tif", "bmp"};
        const int roll = pick(0, 9);
        std::string name = "slice" + std::to_string(pick(0, 20)) + "." + exts[pick(0, 3)];
        bool lands = screenImage.IsOk();
        std::string path = out_ + "/" + name;
        if (roll == 0) {  // a folder that does not exist
            path = out_ + "/missing/" + name;
            lands = false;
        } else if (roll == 1) {  // a type nobody writes
            name = "slice.unknowntype";
            path = out_ + "/" + name;
            lands = false;
        }
        if (!lands && screenImage.IsOk()) {  // a failed write says so once, naming the file
            wxString message;
            wxTEST_DIALOG(f_->saveSlice(wxString::FromUTF8(path)), testutil::MessageCapture(&message));
            EXPECT_TRUE(message.Contains(wxString::FromUTF8(path))) << message;
        } else {
            f_->saveSlice(wxString::FromUTF8(path));
        }
        if (lands) {
            files_.insert("out/" + name);
            ++saved;
        }
        return "save " + path;
    }

    std::string render() {
        RenderDlg& d = *dlg_;
        const int roll = pick(0, 9);
        d.frames = roll < 3 ? 0 : roll < 6 ? 1 : pick(2, 4);
        for (int a = 0; a < 3; ++a) {
            d.tStart[a] = pick(-1000, 1000), d.tEnd[a] = pick(-40, 40);
            d.rStart[a] = pick(-1000, 1000), d.rEnd[a] = pick(-1000, 1000);
            d.sStart[a] = chance(20) ? 0 : pick(-1000, 1000), d.sEnd[a] = pick(-1000, 1000);
        }
        const char* exts[] = {"png", "tif", "jpg"};
        const int nameKind = pick(0, 9);
        const std::string base = "seq" + std::to_string(pick(0, 9));
        std::string name = base + "." + exts[pick(0, 2)];
        if (nameKind == 0) name = "a.b." + name;  // several dots: all but the last belong to the name
        if (nameKind == 1) name = base;           // no dot: the whole name is taken as the type
        d.chooseSequenceFile(wxString::FromUTF8(out_), wxString::FromUTF8(name));
        const wxImage viewport0 = viewportImage.IsOk() ? viewportImage.Copy() : wxImage();
        const bool renders = myVoxmap->loaded && theslicer && screenImage.IsOk();
        const size_t dot = name.rfind('.');
        bool exists = false;  // any frame file there already: one question first, answered yes
        for (int i = 0; renders && dot != std::string::npos && i <= int(d.frames); ++i) {
            char number[16];
            std::snprintf(number, sizeof number, "%04d", i);
            exists = exists || fs::exists(out_ + "/" + name.substr(0, dot) + "." + number + "." + name.substr(dot + 1));
        }
        wxString message;
        if (renders && nameKind == 1) {  // no dot: "seqN" names no image type, refused before any frame
            wxTEST_DIALOG(f_->renderFrames(*dlg_), testutil::MessageCapture(&message));
        } else if (renders && exists) {
            wxTEST_DIALOG(f_->renderFrames(*dlg_), testutil::MessageCapture(&message, nullptr, nullptr, wxID_YES));
            EXPECT_TRUE(message.Contains("Replace")) << message;
        } else {
            f_->renderFrames(*dlg_);
        }
        if (myVoxmap->loaded && nameKind != 1) {
            const std::string stem = name.substr(0, name.rfind('.')), ext = name.substr(name.rfind('.') + 1);
            for (int i = 0; i <= int(d.frames); ++i) {
                char number[16];
                std::snprintf(number, sizeof number, "%04d", i);
                files_.insert("out/" + stem + "." + number + "." + ext);
                ++frames;
            }
        }
        if (myVoxmap->loaded) {
            EXPECT_TRUE(viewportImage.GetSize() == viewport0.GetSize()) << "a batch render leaves the 3D view alone";
        }
        return "render " + std::to_string(int(d.frames)) + " frames as " + name;
    }

    std::string repaint() {
        const wxImage screen0 = screenImage.IsOk() ? screenImage.Copy() : wxImage();
        f_->view3D->Refresh();
        f_->sliceView->Refresh();
        testutil::pump();
        if (myVoxmap->loaded) {
            EXPECT_TRUE(testutil::sameRGB(screenImage, screen0)) << "a repaint recomputes nothing";
        }
        return "repaint";
    }
};

}  // namespace

TEST_F(RandomRun, UserActionsKeepEverythingConsistent) {
    const long steps = envNumber("SLABWRIGHT_RANDOM_STEPS", 1000);
    const uint64_t seed = uint64_t(envNumber("SLABWRIGHT_RANDOM_SEED", 20240611));
    std::printf("[ random   ] seed %llu, %ld steps\n", static_cast<unsigned long long>(seed), steps);
    const auto start = std::chrono::steady_clock::now();
    long done = 0;
    {
        UserRun run(seed);
        run.checkInvariants(true);
        for (; done < steps; ++done) {
            SCOPED_TRACE(testing::Message() << "step " << done << ", seed " << seed);
            const std::string what = run.step();
            const bool writes = what.rfind("save", 0) == 0 || what.rfind("render", 0) == 0;
            run.checkInvariants(writes || done % 50 == 0);
            if (HasFailure()) {
                ADD_FAILURE() << "stopped at step " << done << " (" << what << "), seed " << seed;
                break;
            }
            if (done % 200 == 199) run.clearOutput();
        }
        run.checkInvariants(true);
        std::printf("[ random   ] %ld steps: %d loads, %d refused loads, %d filters, %d saves, %d frames, %.1f s\n",
                    done, run.loads, run.refusals, run.filters, run.saved, run.frames,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}
