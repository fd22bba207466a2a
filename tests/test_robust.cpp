// Hostile and unusual image files: every stack either becomes the volume its images
// decode to, or is refused with one message naming the file while the volume the
// user already had stays exactly as it was. The files are made here, byte by byte.
#include <gtest/gtest.h>
#include <wx/log.h>
#include <wx/msgdlg.h>
#include <wx/testing.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "appFrame.h"
#include "camera.h"
#include "filebytes.h"
#include "slicer.h"
#include "testutil.h"
#include "voxelmap.h"

// The tests below start and end with the program as it starts: a fresh window, no volume.
using RobustLoad = testutil::AppTest;

namespace {

using testutil::at;
using testutil::decode;
using testutil::frame;
using testutil::readBytes;
using testutil::toArray;
using testutil::voxelOf;
using testutil::writeBytes;
using namespace filebytes;
namespace fs = std::filesystem;

// ---- Loading, and what a load must do ----

// Collects the toolkit's warnings and errors (a GUI would show each one as another box).
class ToolkitReports : public wxLog {
public:
    std::vector<wxString> reports;
    ToolkitReports() : previous_(wxLog::SetActiveTarget(this)) {}
    ~ToolkitReports() override { wxLog::SetActiveTarget(previous_); }

protected:
    void DoLogTextAtLevel(wxLogLevel level, const wxString& msg) override {
        if (level <= wxLOG_Warning) reports.push_back(msg);
    }

private:
    wxLog* previous_;
};

// What the user had before a load: the volume (a copy), the camera and plane objects, the images.
struct Before {
    voxelmap map;
    const camera* cam0;
    const slicer* slicer0;
    wxImage screen, viewport;
    Before() : cam0(cam.get()), slicer0(theslicer.get()) {
        if (myVoxmap->loaded) map.copyMap(myVoxmap);
        if (screenImage.IsOk()) screen = screenImage.Copy();
        if (viewportImage.IsOk()) viewport = viewportImage.Copy();
    }
};

void expectUnchanged(const Before& b) {
    EXPECT_TRUE(testutil::sameMap(*myVoxmap, b.map)) << "the volume changed";
    EXPECT_EQ(cam.get(), b.cam0);
    EXPECT_EQ(theslicer.get(), b.slicer0);
    if (myVoxmap->loaded) {  // before a first load the views show their placeholders, which a paint may reread
        EXPECT_TRUE(testutil::sameRGB(screenImage, b.screen)) << "the slice image changed";
        EXPECT_TRUE(testutil::sameRGB(viewportImage, b.viewport)) << "the 3D image changed";
    }
}

enum class Outcome { Built, Refused };

// Loads paths and checks the result against the files as the toolkit decodes them: all
// decode to one size -> the volume is exactly those images, one layer each; otherwise
// the first file that does not decode, or does not match the first one's size, is named
// in the one message, and everything stays as it was. Files the toolkit reads otherwise
// (16 bits, several pages, TIFF alpha) are checked against the toolkit only for size, with
// `layers` the pages of the whole stack.
Outcome expectLoad(const std::vector<std::string>& paths, bool asToolkit = true, int layers = -1) {
    std::vector<wxImage> images(paths.size());
    int culprit = -1;
    for (size_t i = 0; i < paths.size() && culprit < 0; ++i)
        if (!decode(paths[i], images[i]) || (i > 0 && images[i].GetSize() != images[0].GetSize())) culprit = int(i);
    const Before before;
    ToolkitReports reports;
    if (culprit >= 0) {
        wxString message;
        wxTEST_DIALOG(frame()->loadStack(toArray(paths)), testutil::MessageCapture(&message));
        EXPECT_TRUE(message.Contains("\"" + wxString::FromUTF8(paths[culprit]) + "\"")) << message;
        expectUnchanged(before);
    } else {
        testutil::MessageLog notes;  // files that decode only with warnings are listed in one note
        frame()->loadStack(toArray(paths));
        EXPECT_LE(notes.messages.size(), 1u);
        for (const wxString& note : notes.messages) EXPECT_TRUE(note.Contains("decoder's warnings")) << note;
        const wxImage& first = images[0];
        const int w = first.GetWidth(), h = first.GetHeight(), d = layers < 0 ? int(paths.size()) : layers;
        EXPECT_TRUE(myVoxmap->loaded);
        EXPECT_EQ(myVoxmap->width, w);
        EXPECT_EQ(myVoxmap->height, h);
        EXPECT_EQ(myVoxmap->depth, d);
        EXPECT_EQ(myVoxmap->numVoxels, int64_t(w) * h * d);
        EXPECT_EQ(myVoxmap->origin.x(), -w / 2.0);
        EXPECT_EQ(myVoxmap->origin.y(), -h / 2.0);
        EXPECT_EQ(myVoxmap->origin.z(), 100.0);
        if (asToolkit && myVoxmap->loaded && myVoxmap->width == w && myVoxmap->height == h && myVoxmap->depth == d) {
            int wrong = 0;
            for (int k = 0; k < d; ++k)
                for (int j = 0; j < h; ++j)
                    for (int i = 0; i < w; ++i) wrong += at(i, j, k) != voxelOf(images[k], i, j);
            EXPECT_EQ(wrong, 0) << "voxels differ from the decoded images";
        }
        EXPECT_TRUE(cam && cam.get() != before.cam0);
        EXPECT_TRUE(theslicer && theslicer.get() != before.slicer0);
        EXPECT_EQ(screenImage.GetSize(), wxSize(w, h));
        EXPECT_EQ(viewportImage.GetSize(), wxSize(50, 50));
    }
    wxLog::FlushActive();  // reports from the decoding threads wait for the GUI thread
    EXPECT_TRUE(reports.reports.empty()) << "the toolkit reported: " << reports.reports.front();
    return culprit >= 0 ? Outcome::Refused : Outcome::Built;
}

// Loads the stack and expects the given outcome, which the file contents dictate.
void expectOutcome(const std::vector<std::string>& paths, Outcome want, const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(expectLoad(paths) == Outcome::Built, want == Outcome::Built) << "unexpected outcome";
}

// A 5 x 3 x 3 volume of distinct colours with some transparency; the state a refused load must keep.
std::vector<std::string> referenceStack(const testutil::TempDir& dir) {
    std::vector<wxImage> images;
    for (int k = 0; k < 3; ++k)
        images.push_back(testutil::makeImage(
            5, 3, [k](int x, int y) { return voxel(40 * x + 7, 60 * y + 11, 70 * k + 13, (x + y + k) % 3 ? 255 : 17); },
            true));
    return testutil::writeStack(dir.path, images, "reference");
}

void loadReference(const std::vector<std::string>& ref) {
    frame()->loadStack(toArray(ref));
    ASSERT_TRUE(myVoxmap->loaded);
    ASSERT_EQ(myVoxmap->width, 5);
    ASSERT_EQ(myVoxmap->depth, 3);
}

// Tally of the corpus: files and how their loads ended, per class.
struct Tally {
    struct Row {
        int files = 0, built = 0, refused = 0;
    };
    std::map<std::string, Row> rows;
    void add(const std::string& cls, Outcome o) {
        Row& r = rows[cls];
        ++r.files;
        (o == Outcome::Built ? r.built : r.refused)++;
    }
    void print(const char* title) const {
        int files = 0;
        std::printf("[ corpus   ] %s\n", title);
        for (const auto& [cls, r] : rows) {
            std::printf("[ corpus   ]   %-34s %3d files: %3d built, %3d refused\n", cls.c_str(), r.files, r.built,
                        r.refused);
            files += r.files;
        }
        std::printf("[ corpus   ]   %d files in all\n", files);
    }
};

// Every pixel of layer k of the volume satisfies want(x, y) == voxel.
::testing::AssertionResult layerIs(int k, const std::function<voxel(int, int)>& want) {
    if (!myVoxmap->loaded || k >= myVoxmap->depth) return ::testing::AssertionFailure() << "no layer " << k;
    for (int j = 0; j < myVoxmap->height; ++j)
        for (int i = 0; i < myVoxmap->width; ++i) {
            const voxel got = at(i, j, k), w = want(i, j);
            if (got != w)
                return ::testing::AssertionFailure()
                       << "voxel (" << i << ", " << j << ", " << k << ") is " << int(got.r) << "," << int(got.g) << ","
                       << int(got.b) << "," << int(got.a) << ", want " << int(w.r) << "," << int(w.g) << "," << int(w.b)
                       << "," << int(w.a);
        }
    return ::testing::AssertionSuccess();
}

// While it lives, frees anyone stuck opening the named pipe for reading (a load that would
// otherwise wait forever) by opening it for writing and closing it at once: the reader
// then meets the end of the file. stop() tells whether that was ever needed.
class PipeWatch {
public:
    explicit PipeWatch(std::string path) : path_(std::move(path)), thread_([this] { watch(); }) {}
    ~PipeWatch() { stop(); }
    bool stop() {
        done_ = true;
        if (thread_.joinable()) thread_.join();
        return freed_;
    }

private:
    void watch() {
        while (!done_) {
            // Without a reader this open fails at once (ENXIO).
            const int fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                freed_ = true;
                close(fd);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    std::string path_;
    std::atomic<bool> done_{false}, freed_{false};
    std::thread thread_;
};

}  // namespace

// ---- Formats the toolkit decodes: what each one becomes ----

TEST_F(RobustLoad, UnusualEncodingsBuildTheVolumeTheyHold) {
    testutil::TempDir dir;
    Tally tally;
    auto file = [&](const std::string& name, const Bytes& b) {
        writeBytes(dir.file(name), b);
        return dir.file(name);
    };
    auto built = [&](const std::string& cls, const std::vector<std::string>& paths, bool asToolkit = true,
                     int layers = -1) {
        SCOPED_TRACE(cls);
        const Outcome o = expectLoad(paths, asToolkit, layers);
        EXPECT_TRUE(o == Outcome::Built);
        for (size_t i = 0; i < paths.size(); ++i) tally.add(cls, o);
        return o == Outcome::Built;
    };
    const int W = 6, H = 4;

    // Grey: r = g = b, opaque.
    const auto grey = file(
        "grey8.png", png(W, H, 8, 0, rowsOf(W, H, [](int x, int y) { return bytes({unsigned(30 * x + 7 * y)}); })));
    if (built("PNG grey 8-bit", {grey})) {
        EXPECT_TRUE(layerIs(0, [](int x, int y) {
            unsigned char v = 30 * x + 7 * y;
            return voxel(v, v, v, 255);
        }));
    }

    // Grey + alpha: the alpha byte is the voxel's alpha.
    const auto greyAlpha =
        file("greyalpha.png", png(W, H, 8, 4, rowsOf(W, H, [](int x, int y) {
                                      return bytes({unsigned(40 * x), unsigned(y == 0 ? 0 : 60 * y + x)});
                                  })));
    if (built("PNG grey+alpha 8-bit", {greyAlpha})) {
        EXPECT_TRUE(layerIs(0, [](int x, int y) {
            unsigned char v = 40 * x;
            return voxel(v, v, v, y == 0 ? 0 : 60 * y + x);
        }));
    }

    // 16-bit colour samples are mapped by the stack's range lo..hi onto 0..255, alpha keeps its high byte.
    const auto rgb16 = file("rgb16.png", png(W, H, 16, 2, rowsOf(W, H, [](int x, int y) {
                                                 return be16(257 * (40 * x)) + be16(257 * (50 * y)) + be16(257 * 200);
                                             })));
    if (built("PNG RGB 16-bit", {rgb16}, false)) {  // 0..257 * 200
        EXPECT_TRUE(layerIs(0, [](int x, int y) { return voxel(40 * x * 255 / 200, 50 * y * 255 / 200, 255, 255); }));
    }
    const auto rgba16 = file("rgba16.png", png(W, H, 16, 6, rowsOf(W, H, [](int x, int y) {
                                                   return be16(257 * 10) + be16(257 * 20) + be16(257 * (30 * x)) +
                                                          be16(257 * (x == y ? 0 : 255 - 9 * y));
                                               })));
    if (built("PNG RGBA 16-bit", {rgba16}, false)) {  // 0..257 * 150
        EXPECT_TRUE(layerIs(0, [](int x, int y) {
            return voxel(10 * 255 / 150, 20 * 255 / 150, 30 * x * 255 / 150, x == y ? 0 : 255 - 9 * y);
        }));
    }
    const auto grey16 =
        file("grey16.png", png(W, H, 16, 0, rowsOf(W, H, [](int x, int) { return be16(257 * (45 * x)); })));
    if (built("PNG grey 16-bit", {grey16}, false)) {  // 0..257 * 225
        EXPECT_TRUE(layerIs(0, [](int x, int) {
            unsigned char v = 45 * x * 255 / 225;
            return voxel(v, v, v, 255);
        }));
    }
    // One bit per pixel: 0 is black, 1 is white.
    const auto grey1 = file("grey1.png", png(8, 2, 1, 0, {bytes({0xa5}), bytes({0x0f})}));
    if (built("PNG grey 1-bit", {grey1})) {
        EXPECT_TRUE(layerIs(0, [](int x, int y) {
            const unsigned char v = ((y == 0 ? 0xa5 : 0x0f) >> (7 - x)) & 1 ? 255 : 0;
            return voxel(v, v, v, 255);
        }));
    }

    // Paletted with a tRNS chunk of graded alphas: the toolkit expands it to a real alpha channel.
    const Bytes plte = pngChunk("PLTE", bytes({255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 9, 9}));
    const auto palette =
        file("palette.png", png(W, H, 8, 3, rowsOf(W, H, [](int x, int y) { return bytes({unsigned((x + y) % 4)}); }),
                                plte + pngChunk("tRNS", bytes({0, 128, 200}))));
    const voxel entries[4] = {voxel(255, 0, 0, 0), voxel(0, 255, 0, 128), voxel(0, 0, 255, 200), voxel(9, 9, 9, 255)};
    if (built("PNG paletted, graded tRNS", {palette})) {
        EXPECT_TRUE(layerIs(0, [&](int x, int y) { return entries[(x + y) % 4]; }));
    }
    // Entries only fully transparent or opaque: still a real alpha channel, not a mask colour.
    const auto paletteOnOff =
        file("palette-onoff.png", png(W, H, 8, 3, rowsOf(W, H, [](int x, int) { return bytes({unsigned(x % 2)}); }),
                                      plte + pngChunk("tRNS", bytes({0}))));
    if (built("PNG paletted, on/off tRNS", {paletteOnOff})) {
        EXPECT_TRUE(layerIs(0, [](int x, int) { return x % 2 ? voxel(0, 255, 0, 255) : voxel(255, 0, 0, 0); }));
    }

    // One pixel, in each format.
    const auto onePng = file("one.png", png(1, 1, 8, 6, {bytes({1, 2, 3, 4})}));
    if (built("1 x 1 images", {onePng})) {
        EXPECT_EQ(at(0, 0, 0), voxel(1, 2, 3, 4));
    }
    const auto oneTif = file("one.tif", tiff({{1, 1, 3, 8, {250, 5, 6}}}));
    if (built("1 x 1 images", {oneTif})) {
        EXPECT_EQ(at(0, 0, 0), voxel(250, 5, 6, 255));
    }
    wxImage onePixel(1, 1);
    onePixel.SetRGB(0, 0, 200, 100, 50);
    ASSERT_TRUE(onePixel.SaveFile(dir.file("one.jpg"), wxBITMAP_TYPE_JPEG));
    if (built("1 x 1 images", {dir.file("one.jpg")})) {
        EXPECT_NEAR(at(0, 0, 0).r, 200, 8);
        EXPECT_NEAR(at(0, 0, 0).b, 50, 8);
    }

    // JPEG with one grey component, and with four CMYK components: flat blocks of sample 128.
    const auto greyJpeg = file("grey.jpg", flatJpeg(12, 9, 1));
    if (built("JPEG grey", {greyJpeg})) {
        EXPECT_TRUE(layerIs(0, [](int, int) { return voxel(128, 128, 128, 255); }));
    }
    const auto cmykJpeg = file("cmyk.jpg", flatJpeg(12, 9, 4));
    if (built("JPEG CMYK", {cmykJpeg})) {
        const voxel v = at(0, 0, 0);
        EXPECT_EQ(v.a, 255);
        EXPECT_TRUE(v.r == v.g && v.g == v.b) << "equal C, M and Y give a grey";
        EXPECT_TRUE(layerIs(0, [v](int, int) { return v; }));
    }

    // TIFF: 16-bit RGB, 8-bit grey, RGB with unassociated alpha, and two pages (two layers).
    std::vector<uint16_t> s16, g8, rgba;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            for (unsigned v : {40u * x, 60u * y, 123u}) s16.push_back(uint16_t(257 * v));
            g8.push_back(uint16_t(20 * x + y));
            for (unsigned v : {200u, 100u, 50u, x == 0 ? 0u : 255u}) rgba.push_back(uint16_t(v));
        }
    const auto tif16 = file("rgb16.tif", tiff({{W, H, 3, 16, s16}}));
    if (built("TIFF RGB 16-bit", {tif16}, false)) {  // 0..257 * 200
        EXPECT_TRUE(layerIs(0, [](int x, int y) { return voxel(40 * x * 255 / 200, 60 * y * 255 / 200, 123 * 255 / 200, 255); }));
    }
    const auto tifGrey = file("grey.tif", tiff({{W, H, 1, 8, g8}}));
    if (built("TIFF grey 8-bit", {tifGrey})) {
        EXPECT_TRUE(layerIs(0, [](int x, int y) {
            unsigned char v = 20 * x + y;
            return voxel(v, v, v, 255);
        }));
    }
    const auto tifAlpha = file("rgba.tif", tiff({{W, H, 4, 8, rgba}}));
    if (built("TIFF RGBA 8-bit", {tifAlpha}, false)) {  // the colour as stored, also where alpha is 0
        EXPECT_EQ(at(0, 1, 0), voxel(200, 100, 50, 0));
        EXPECT_EQ(at(3, 1, 0), voxel(200, 100, 50, 255));
    }
    const std::vector<uint16_t> red(W * H * 3, 0), blue(W * H * 3, 0);
    std::vector<uint16_t> page0 = red, page1 = blue;
    for (int n = 0; n < W * H; ++n) page0[3 * n] = 240, page1[3 * n + 2] = 230;
    const auto twoPages = file("two-pages.tif", tiff({{W, H, 3, 8, page0}, {W, H, 3, 8, page1}}));
    if (built("TIFF two pages", {twoPages}, false, 2)) {
        EXPECT_TRUE(layerIs(0, [](int, int) { return voxel(240, 0, 0, 255); }));
        EXPECT_TRUE(layerIs(1, [](int, int) { return voxel(0, 0, 230, 255); }));
    }

    // All of them of one size in one stack: one layer per page, in order; both 16-bit
    // files share the range 0..257 * 200.
    const std::vector<std::string> mixed = {grey, greyAlpha, rgb16, palette, tif16, tifGrey, tifAlpha, twoPages};
    if (built("mixed encodings, one stack", mixed, false, 9)) {
        EXPECT_EQ(at(2, 1, 2), voxel(80 * 255 / 200, 50 * 255 / 200, 255, 255));
        EXPECT_EQ(at(2, 1, 4), voxel(80 * 255 / 200, 60 * 255 / 200, 123 * 255 / 200, 255));
        EXPECT_EQ(at(0, 0, 7), voxel(240, 0, 0, 255));
        EXPECT_EQ(at(0, 0, 8), voxel(0, 0, 230, 255));
        EXPECT_EQ(at(1, 1, 1), voxel(40, 40, 40, 61));
    }
    // A stack of odd encodings and sizes is refused at the first that differs.
    {
        const Outcome o = expectLoad({grey, greyJpeg, rgb16});
        EXPECT_TRUE(o == Outcome::Refused);
        tally.add("mixed sizes, one stack", o);
    }
    tally.print("unusual encodings");
}

// ---- Files that are not images ----

TEST_F(RobustLoad, BrokenFilesAreRefusedAndTheVolumeStays) {
    testutil::TempDir dir;
    const std::vector<std::string> ref = referenceStack(dir);
    Tally tally;
    std::mt19937 rng(20240611);

    struct Bad {
        std::string cls, path;
    };
    std::vector<Bad> bad;
    auto add = [&](const std::string& cls, const std::string& name, const Bytes& b) {
        writeBytes(dir.file(name), b);
        bad.push_back({cls, dir.file(name)});
    };
    for (const char* ext : {"png", "jpg", "tif"}) add("zero bytes", std::string("empty.") + ext, "");
    for (const char* ext : {"png", "jpg", "jpeg", "tif", "tiff", "bmp", "raw", ""}) {
        Bytes noise(1 + rng() % 3000, '\0');
        for (char& c : noise) c = static_cast<char>(rng());
        add("random bytes", std::string("noise.") + ext, noise);
    }
    add("text named as image", "readme.png", "This is a plain text file, not a picture.\n");
    add("text named as image", "readme.jpg", "\xff\xd8 but then only words.\n");
    add("text named as image", "readme.tif", Bytes("II*\0 and then only words.\n", 26));
    // Right signatures, wrong bodies.
    Bytes pngBody = png(4, 4, 8, 2, rowsOf(4, 4, [](int, int) { return bytes({1, 2, 3}); }));
    pngBody[29] ^= 0x40;  // inside IHDR: its CRC no longer matches
    add("bad checksum or header", "badcrc.png", pngBody);
    Bytes tiffLoop = tiff({{2, 2, 1, 8, {1, 2, 3, 4}}});
    tiffLoop.replace(4, 4, Bytes("\xff\xff\xff\x0f", 4));  // first IFD far past the end
    add("bad checksum or header", "badifd.tif", tiffLoop);
    // A header claiming 100000 x 100000 RGBA pixels, with the pixel data of one.
    add("header claims 100000 x 100000", "huge.png", png(100000, 100000, 8, 6, {bytes({1, 2, 3, 4})}));

    // Not regular files: a folder, a named pipe (opening it for reading would wait for a
    // writer forever), a link to nothing, the null device.
    fs::create_directory(dir.file("folder.png"));
    bad.push_back({"not a regular file", dir.file("folder.png")});
    ASSERT_EQ(mkfifo(dir.file("pipe.png").c_str(), 0600), 0);
    bad.push_back({"not a regular file", dir.file("pipe.png")});
    PipeWatch pipeWatch(dir.file("pipe.png"));
    fs::create_symlink(dir.file("nowhere.png"), dir.file("dangling.png"));
    bad.push_back({"not a regular file", dir.file("dangling.png")});
    bad.push_back({"not a regular file", "/dev/null"});
    // Unreadable: refused, unless this process may read anything (as root).
    const std::string locked = dir.file("locked.png");
    ASSERT_TRUE(wxImage(5, 3).SaveFile(locked, wxBITMAP_TYPE_PNG));
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);

#ifndef SLABWRIGHT_ASAN
    // However the system overcommits, this process may not map more than this (the huge header).
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &old), 0);
    rlimit capped = old;
    capped.rlim_cur = rlim_t(16) << 30;
    if (old.rlim_cur != RLIM_INFINITY && old.rlim_cur < capped.rlim_cur) capped.rlim_cur = old.rlim_cur;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &capped), 0);
#endif
    // Before any load: nothing appears.
    for (const Bad& b : {bad.front(), bad.back()}) {
        SCOPED_TRACE(b.path);
        expectOutcome({b.path}, Outcome::Refused, b.cls);
        EXPECT_FALSE(myVoxmap->loaded);
        EXPECT_FALSE(cam);
        EXPECT_FALSE(theslicer);
    }
    loadReference(ref);
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.path);
        expectOutcome({b.path}, Outcome::Refused, b.cls);
        expectOutcome({ref[0], b.path, ref[2]}, Outcome::Refused, b.cls + ", in the middle");
        tally.add(b.cls, Outcome::Refused);
    }
#ifndef SLABWRIGHT_ASAN
    setrlimit(RLIMIT_AS, &old);
#endif
    {
        SCOPED_TRACE(locked);
        const Outcome o = expectLoad({ref[0], locked});
        tally.add("no read permission", o);
        EXPECT_TRUE(o == Outcome::Refused || geteuid() == 0);
        if (o == Outcome::Built) loadReference(ref);
    }
    EXPECT_FALSE(pipeWatch.stop()) << "a load opened the named pipe and waited for a writer";
    tally.print("broken files");
}

// ---- Files cut short ----

TEST_F(RobustLoad, TruncatedFilesLoadAsTheyDecodeOrAreRefused) {
    testutil::TempDir dir;
    const std::vector<std::string> ref = referenceStack(dir);
    Tally tally;
    // Whole files of the same size as the reference: 5 x 3, with noise so the data is not tiny.
    std::mt19937 rng(7);
    const wxImage noisy = testutil::makeImage(
        5, 3, [&](int, int) { return voxel(rng() & 255, rng() & 255, rng() & 255, 255); }, false);
    struct Whole {
        const char* cls;
        std::string path;
    };
    std::vector<Whole> wholes;
    for (auto [cls, ext, type] : {std::tuple{"truncated PNG", "png", wxBITMAP_TYPE_PNG},
                                  std::tuple{"truncated JPEG", "jpg", wxBITMAP_TYPE_JPEG},
                                  std::tuple{"truncated TIFF", "tif", wxBITMAP_TYPE_TIFF}}) {
        const std::string p = dir.file(std::string("whole.") + ext);
        ASSERT_TRUE(noisy.SaveFile(p, type));
        wholes.push_back({cls, p});
    }
    std::vector<uint16_t> t16(5 * 3 * 3);
    for (uint16_t& v : t16) v = uint16_t(rng());
    writeBytes(dir.file("whole16.tif"), tiff({{5, 3, 3, 16, t16}}));
    wholes.push_back({"truncated TIFF", dir.file("whole16.tif")});

    loadReference(ref);
    for (const Whole& w : wholes) {
        const Bytes all = readBytes(w.path);
        ASSERT_GT(all.size(), 40u);
        // Inside the signature, inside the header, in the first data, halfway, near the end, one byte short.
        for (size_t cut :
             {size_t(3), size_t(8), size_t(20), size_t(33), all.size() / 2, all.size() - 12, all.size() - 1}) {
            const std::string p = w.path + ".cut" + std::to_string(cut) + w.path.substr(w.path.rfind('.'));
            writeBytes(p, all.substr(0, cut));
            SCOPED_TRACE(p);
            const Outcome o = expectLoad({ref[0], p, ref[1]}, w.path != dir.file("whole16.tif"));
            tally.add(w.cls, o);
            if (o == Outcome::Built) std::printf("[ corpus   ] %s: %zu of %zu bytes decode\n", w.cls, cut, all.size());
            if (cut <= 8) {
                EXPECT_TRUE(o == Outcome::Refused) << "no image is left in " << cut << " bytes";
            }
            if (o == Outcome::Built) loadReference(ref);
        }
    }
    tally.print("truncated files");
}

// ---- Names ----

TEST_F(RobustLoad, NamesWithSpacesAccentsAndDotsLoad) {
    testutil::TempDir dir;
    Tally tally;
    const std::vector<std::string> names = {"layer one.png",      "Schicht \xc3\xbc\xc3\x9f \xe5\xb1\xa4.png",
                                            "a.b.c.d.png",        "..dots...png",
                                            " leading space.png", "UPPER.PNG"};
    std::vector<std::string> paths;
    for (size_t n = 0; n < names.size(); ++n) {
        const wxImage img = testutil::makeImage(
            3, 2, [n](int x, int y) { return voxel(50 * n, 80 * x, 90 * y, 255); }, false);
        paths.push_back(dir.file(names[n]));
        ASSERT_TRUE(img.SaveFile(wxString::FromUTF8(paths.back()), wxBITMAP_TYPE_PNG)) << names[n];
    }
    // A link to an image is read as the image.
    fs::create_symlink(paths[1], dir.file("link to layer.png"));
    paths.push_back(dir.file("link to layer.png"));
    const Outcome o = expectLoad(paths);
    EXPECT_TRUE(o == Outcome::Built);
    for (size_t n = 0; n < paths.size(); ++n) tally.add("awkward names", o);
    if (o == Outcome::Built) {
        EXPECT_EQ(at(1, 1, 1), voxel(50, 80, 90, 255));
    }
    // The message names an awkward name exactly as given.
    const std::string broken = dir.file("kaputt \xc3\xa4.tif");
    writeBytes(broken, Bytes("II*\0\x08\0\0\0\0\0", 10));
    const Outcome refused = expectLoad({paths[0], broken});
    EXPECT_TRUE(refused == Outcome::Refused);
    tally.add("awkward names", refused);
    tally.print("names");
}

// ---- Extreme shapes ----

TEST_F(RobustLoad, AMillionPixelRowAndAHundredThousandPixelColumnLoadAndShow) {
    testutil::TempDir dir;
    Tally tally;
    // Shown at twice their size, far beyond what one bitmap of the display server may be.
    for (auto [w, h] : {std::pair{1000000, 1}, std::pair{1, 100000}}) {
        SCOPED_TRACE(testing::Message() << w << " x " << h);
        const std::string p = dir.file("strip" + std::to_string(w) + ".png");
        writeBytes(p, png(w, h, 8, 0, rowsOf(w, h, [](int x, int y) { return bytes({unsigned((x + y) % 251)}); })));
        const Outcome o = expectLoad({p, p});
        tally.add("1000000 x 1 and 1 x 100000", o);
        if (o != Outcome::Built) {
            ADD_FAILURE() << "refused";
            continue;
        }
        testutil::menu(frame(), ID_AASLICE);  // a slice refresh
        // The top-left corner of the slice view shows the first pixels, each twice.
        const wxImage seen = testutil::shown(frame()->sliceView);
        for (int i = 0; i < 6; ++i) {
            const int x = w > 1 ? i : 0, y = h > 1 ? i : 0;
            EXPECT_EQ(testutil::pixel(seen, x, y), testutil::pixel(screenImage, x / 2, y / 2)) << i;
        }
    }
    tally.print("extreme shapes");
}
