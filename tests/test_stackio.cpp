// Stacks as people have them: TIFF pages, 16-bit samples, folders and drops, damaged data
// that still decodes, and refusals made from the headers before memory runs out. What the
// files decode to without the window (TIFF alpha, the order of layers) is in test_readers.cpp.
#include <gtest/gtest.h>
#include <wx/event.h>
#include <wx/statusbr.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "appFrame.h"
#include "camera.h"
#include "filebytes.h"
#include "formats/format.h"
#include "stackio.h"
#include "testutil.h"
#include "voxelmap.h"

// The tests below start and end with the program as it starts: a fresh window, no volume.
using StackPages = testutil::AppTest;
using Stack16Bit = testutil::AppTest;
using StackDamage = testutil::AppTest;
using StackMemory = testutil::AppTest;
using StackSample = testutil::AppTest;

namespace {

using namespace filebytes;
using testutil::at;
using testutil::frame;
using testutil::toArray;

std::string put(const testutil::TempDir& dir, const std::string& name, const Bytes& b) {
    testutil::writeBytes(dir.file(name), b);
    return dir.file(name);
}

// How many voxels of the w x h x d volume differ from want(i, j, k); -1 if the size differs.
int64_t wrongVoxels(int w, int h, int d, const std::function<voxel(int, int, int)>& want) {
    if (myVoxmap->width != w || myVoxmap->height != h || myVoxmap->depth != d) return -1;
    return testutil::wrongVoxels(*myVoxmap, want);
}

std::vector<std::string> utf8(const wxArrayString& a) {
    std::vector<std::string> v;
    for (const wxString& s : a) v.push_back(s.utf8_string());
    return v;
}

// A 16-bit PNG of w x h from f(x, y) -> the samples of a pixel (colour type by their count).
Bytes png16(int w, int h, int colourType, const std::function<std::vector<unsigned>(int, int)>& f) {
    return png(w, h, 16, colourType, rowsOf(w, h, [&](int x, int y) {
                   Bytes b;
                   for (unsigned v : f(x, y)) b += be16(v);
                   return b;
               }));
}


using testutil::buildStack;
voxel voxelAt(const voxelmap& m, int i, int j, int k) { return m.voxels.get()[m.index(i, j, k)]; }

// A page of w x h where stored pixel n has the value of f(n) in each of its samples.
TiffPage tiffPageOf(int w, int h, int samples, int bits, const std::function<unsigned(int)>& f) {
    TiffPage p{w, h, samples, bits, {}};
    for (int n = 0; n < w * h; ++n) p.data.insert(p.data.end(), size_t(samples), uint16_t(f(n)));
    return p;
}

// A TIFF page of the given samples (sample format 1 unsigned, 2 signed, 3 floating-point).
TiffPage widePage(int w, int h, int samples, int bits, uint16_t format, const std::vector<double>& values) {
    TiffPage p{w, h, samples, bits, {}};
    p.sampleFormat = format;
    for (const double v : values) {
        if (bits == 16) {
            p.data.push_back(uint16_t(int32_t(v)));  // signed as two's complement
        } else if (bits == 64) {
            uint64_t u;
            std::memcpy(&u, &v, sizeof u);
            p.data32.insert(p.data32.end(), {uint32_t(u), uint32_t(u >> 32)});
        } else if (format == 3) {
            const float f = float(v);
            uint32_t u;
            std::memcpy(&u, &f, sizeof u);
            p.data32.push_back(u);
        } else {
            p.data32.push_back(uint32_t(int64_t(v)));
        }
    }
    return p;
}

}  // namespace

TEST_F(StackPages, PagesFoldersAndDropsGiveLayersInStackOrder) {
    testutil::TempDir dir;
    const int W = 5, H = 3;
    // A 3-page RGB TIFF, then an RGBA PNG: four layers.
    std::vector<TiffPage> pages;
    for (int k = 0; k < 3; ++k) {
        TiffPage p{W, H, 3, 8, {}};
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) p.data.insert(p.data.end(), {uint16_t(50 * k + 10), uint16_t(20 * x), uint16_t(30 * y)});
        pages.push_back(p);
    }
    const std::string tif = put(dir, "a.tif", tiff(pages));
    const std::string rgba =
        put(dir, "b.png", png(W, H, 8, 6, rowsOf(W, H, [](int x, int y) { return bytes({unsigned(x), unsigned(y), 7, 100u + x}); })));
    frame()->loadStack(toArray({tif, rgba}));
    EXPECT_EQ(wrongVoxels(W, H, 4, [](int i, int j, int k) {
                  return k < 3 ? voxel(50 * k + 10, 20 * i, 30 * j, 255) : voxel(i, j, 7, 100 + i);
              }),
              0);
    EXPECT_EQ(utf8(frame()->stackFiles), (std::vector<std::string>{tif, rgba}));

    // A folder stands for its image files in natural order, at its place among the paths;
    // other files and folders inside it are passed over.
    const std::string folder = dir.file("scan");
    std::filesystem::create_directories(folder + "/inner.png");
    for (int n : {10, 2, 1}) {
        const std::string name = n == 1 ? "l1.PNG" : "l" + std::to_string(n) + ".png";
        testutil::writeBytes(folder + "/" + name, png(W, H, 8, 0, rowsOf(W, H, [n](int, int) { return bytes({unsigned(n)}); })));
    }
    testutil::writeBytes(folder + "/notes.txt", "not an image");
    frame()->loadStack(toArray({folder, rgba}));
    const int order[] = {1, 2, 10};
    EXPECT_EQ(wrongVoxels(W, H, 4, [&](int i, int j, int k) {
                  return k < 3 ? voxel(order[k], order[k], order[k], 255) : voxel(i, j, 7, 100 + i);
              }),
              0);
    EXPECT_EQ(utf8(frame()->stackFiles),
              (std::vector<std::string>{folder + "/l1.PNG", folder + "/l2.png", folder + "/l10.png", rgba}));
    EXPECT_TRUE(stackio::naturalLess("l2.png", "l10.png"));
    EXPECT_TRUE(stackio::naturalLess("a9b", "a09c"));
    EXPECT_FALSE(stackio::naturalLess("l10.png", "l2.png"));

    // A folder without images is refused by name.
    const std::string empty = dir.file("empty");
    std::filesystem::create_directory(empty);
    wxString message;
    wxTEST_DIALOG(frame()->loadStack(toArray({empty})), testutil::MessageCapture(&message));
    EXPECT_TRUE(message.Contains("\"" + empty + "\"")) << message;
    EXPECT_EQ(myVoxmap->depth, 4);

    // Files dropped onto the window load the same way.
    wxDropFilesEvent drop(wxEVT_DROP_FILES, 2, new wxString[2]{tif, tif});  // the event owns the names
    frame()->ProcessWindowEvent(drop);
    EXPECT_EQ(myVoxmap->depth, 6);
    EXPECT_EQ(at(0, 0, 5), voxel(110, 0, 0, 255));
}

TEST_F(Stack16Bit, ColourSamplesAreMappedByTheRangeOfTheStack) {
    testutil::TempDir dir;
    const int W = 5, H = 3;
    // Grey 977..4095 over two layers, as two PNGs and as one two-page TIFF.
    auto grey = [](int x, int y, int k) { return 977u + unsigned(x + W * y + W * H * k) * 3118u / 29u; };
    std::vector<TiffPage> pages(2, TiffPage{W, H, 1, 16, {}});
    for (int k = 0; k < 2; ++k)
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) pages[k].data.push_back(uint16_t(grey(x, y, k)));
    std::vector<std::string> pngs;
    for (int k = 0; k < 2; ++k)
        pngs.push_back(put(dir, "g" + std::to_string(k) + ".png",
                           png16(W, H, 0, [&](int x, int y) { return std::vector<unsigned>{grey(x, y, k)}; })));
    const std::string tif = put(dir, "g.tif", tiff(pages));
    auto greyMapped = [&](int i, int j, int k) {
        const unsigned char v = (grey(i, j, k) - 977) * 255 / (4095 - 977);
        return voxel(v, v, v, 255);
    };
    // RGBA: colour over 1000..3002, alpha keeps its high byte.
    const std::string rgba = put(dir, "rgba.png", png16(W, H, 6, [](int x, int y) {
                                     return std::vector<unsigned>{1000u + 100 * x, 2000, 3000u + y, 256u * 40 * x + 99};
                                 }));
    auto m = [](unsigned v) { return (v - 1000) * 255 / 2002; };
    const std::string flat = put(dir, "flat.png", png16(W, H, 0, [](int, int) { return std::vector<unsigned>{3000}; }));
    const std::string eight =
        put(dir, "eight.png", png(W, H, 8, 0, rowsOf(W, H, [](int x, int) { return bytes({30u * x}); })));
    const std::string wide = put(dir, "wide.png", png16(W, H, 0, [](int x, int) { return std::vector<unsigned>{500u + 250 * x}; }));

    struct Case {
        const char* what;
        std::vector<std::string> files;
        int layers;
        std::function<voxel(int, int, int)> want;
        const char* status;
    };
    const std::vector<Case> cases = {
        {"grey PNG stack", pngs, 2, greyMapped, "16-bit samples 977..4095 mapped to 0..255"},
        {"the same as one two-page TIFF", {tif}, 2, greyMapped, "16-bit samples 977..4095 mapped to 0..255"},
        {"RGBA", {rgba}, 1,
         [&](int i, int j, int) { return voxel(m(1000 + 100 * i), m(2000), m(3000 + j), 40 * i); },
         "16-bit samples 1000..3002 mapped to 0..255"},
        {"constant", {flat}, 1, [](int, int, int) { return voxel(11, 11, 11, 255); },
         "16-bit samples 3000..3000 mapped to 0..255"},
        {"8-bit beside 16-bit", {eight, wide}, 2,
         [](int i, int, int k) {
             const unsigned char v = k == 0 ? 30 * i : 250 * i * 255 / 1000;
             return voxel(v, v, v, 255);
         },
         "16-bit samples 500..1500 mapped to 0..255"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        frame()->SetStatusText("", 0);
        frame()->loadStack(toArray(c.files));
        EXPECT_EQ(wrongVoxels(W, H, c.layers, c.want), 0);
        EXPECT_EQ(frame()->GetStatusBar()->GetStatusText(0), c.status);
    }
}

TEST_F(StackDamage, FilesThatDecodeOnlyWithWarningsAreListed) {
    testutil::TempDir dir;
    const wxImage noisy = testutil::makeImage(
        128, 128, [](int x, int y) { return voxel(x * 13 % 256, y * 29 % 256, (x * y) % 256, 255); }, false);
    const std::string whole = dir.file("whole.jpg"), cut = dir.file("cut.jpg");
    ASSERT_TRUE(noisy.SaveFile(whole, wxBITMAP_TYPE_JPEG));
    const Bytes all = testutil::readBytes(whole);
    testutil::writeBytes(cut, all.substr(0, all.size() * 3 / 4));
    wxString message;
    wxTEST_DIALOG(frame()->loadStack(toArray({whole, cut})), testutil::MessageCapture(&message));
    EXPECT_EQ(myVoxmap->depth, 2);
    EXPECT_TRUE(message.Contains("\"" + cut + "\": Premature end of JPEG file")) << message;
    EXPECT_FALSE(message.Contains(whole)) << message;
}

TEST_F(StackMemory, HeadersClaimingTooMuchAreRefusedBeforeDecoding) {
    testutil::TempDir dir;
    const std::vector<std::string> ref = testutil::writeStack(
        dir.path, {testutil::makeImage(5, 3, [](int x, int y) { return voxel(x, y, 9, 255); }, false),
                   testutil::makeImage(5, 3, [](int x, int y) { return voxel(y, x, 3, 200); }, true)});
    frame()->loadStack(toArray(ref));
    ASSERT_TRUE(myVoxmap->loaded);
    voxelmap before;
    before.copyMap(myVoxmap);
    const camera* cam0 = cam.get();

    // An RGB header of 8000 x 8000 (its pixels are never read); named 1000 times it is a 256 GB volume.
    const std::string big = put(dir, "big.png", png(8000, 8000, 8, 2, {bytes({0, 0, 0})}));
    std::vector<TiffPage> pages(3000, TiffPage{10000, 10000, 1, 8, {1, 2, 3, 4}});
    struct Case {
        const char* what;
        std::vector<std::string> files;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"a PNG claiming 30000 x 30000", {put(dir, "huge.png", png(30000, 30000, 8, 6, {bytes({1, 2, 3, 4})}))},
         "is 30000 x 30000 pixels, larger than"},
        {"a progressive JPEG claiming 65500 x 65500", {put(dir, "huge.jpg", flatJpeg(65500, 65500, 1, true))},
         "is 65500 x 65500 pixels, larger than"},
        {"3000 pages of 10000 x 10000 sharing one strip", {put(dir, "pages.tif", tiff(pages, true))},
         "not enough memory for a 10000 x 10000 x 3000 volume: it needs 1200000000000 bytes"},
        {"a volume beyond the memory available", std::vector<std::string>(1000, big),
         "not enough memory for a 8000 x 8000 x 1000 volume: it needs 256000000000 bytes"},
    };
#ifdef SLABWRIGHT_ASAN
    const int64_t kPeakLimit = int64_t(512) << 20;  // freed blocks wait in the sanitizer's quarantine
#else
    const int64_t kPeakLimit = int64_t(64) << 20;
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto t0 = std::chrono::steady_clock::now();
        wxString message;
        const int64_t grown = testutil::peakOf(
            [&] { wxTEST_DIALOG(frame()->loadStack(toArray(c.files)), testutil::MessageCapture(&message)); }, false);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("[ refused  ] %s: %.3f s, peak memory +%lld KiB\n", c.what, seconds, static_cast<long long>(grown / 1024));
        EXPECT_TRUE(message.Contains(c.says)) << message;
        EXPECT_TRUE(message.Contains("\"" + c.files[0] + "\"") || message.Contains("bytes are available")) << message;
        EXPECT_LT(grown, kPeakLimit) << "the refusal came after allocating";
        EXPECT_TRUE(testutil::sameMap(*myVoxmap, before));
        EXPECT_EQ(cam.get(), cam0);
    }
}

TEST(StackBuild, ACancelledBuildLeavesNothing) {
    testutil::TempDir dir;
    const std::vector<std::string> files = testutil::writeStack(
        dir.path, std::vector<wxImage>(3, testutil::makeImage(4, 2, [](int, int) { return voxel(1, 2, 3, 255); }, false)));
    stackio::Plan plan;
    std::string problem;
    ASSERT_TRUE(stackio::plan(files, plan, problem)) << problem;
    EXPECT_EQ(plan.layers, 3);
    voxelmap map;
    int calls = 0;
    const stackio::Outcome o = stackio::build(plan, map, [&](int) { return ++calls < 2; });
    EXPECT_TRUE(o.cancelled);
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(map.loaded);
}

TEST_F(StackSample, TheScanOpensAsOneStackOfPages) {
    frame()->loadStack(toArray({SLABWRIGHT_SOURCE_DIR "/samples/scan/brain-128x96x24.tif"}));
    ASSERT_TRUE(myVoxmap->loaded);
    EXPECT_EQ(myVoxmap->width, 128);
    EXPECT_EQ(myVoxmap->height, 96);
    EXPECT_EQ(myVoxmap->depth, 24);
    EXPECT_EQ(frame()->GetStatusBar()->GetStatusText(0), "16-bit samples 0..1162 mapped to 0..255");
    int darkest = 255, brightest = 0;
    for (int64_t n = 0; n < myVoxmap->numVoxels; ++n) {
        const voxel v = myVoxmap->voxels[n];
        EXPECT_TRUE(v.r == v.g && v.g == v.b && v.a == 255) << n;
        darkest = std::min<int>(darkest, v.r), brightest = std::max<int>(brightest, v.r);
        if (HasFailure()) break;
    }
    EXPECT_EQ(darkest, 0);
    EXPECT_EQ(brightest, 255);
}

TEST(StackOrientation, TiffPagesAreShownAsTheirOrientationSays) {
    testutil::TempDir dir;
    // Stored 3 x 2 as "abc/def"; shown as the rows here say.
    struct Case {
        uint16_t orientation;
        const char* shown;
    };
    const Case cases[] = {{1, "abc/def"}, {2, "cba/fed"}, {3, "fed/cba"}, {4, "def/abc"},
                          {5, "ad/be/cf"}, {6, "da/eb/fc"}, {7, "fc/eb/da"}, {8, "cf/be/ad"}};
    // The scanline reader at 8 and 16 bits, and the library's RGBA reader (white is zero);
    // every sample of letter n is stored(n), and it is shown as grey(n).
    struct Kind {
        const char* what;
        int samples, bits, photometric;
        unsigned (*stored)(int);
        int (*grey)(int);
    };
    const Kind kinds[] = {
        {"RGB 8-bit", 3, 8, -1, [](int n) { return 10u + 40 * n; }, [](int n) { return 10 + 40 * n; }},
        {"grey 16-bit", 1, 16, -1, [](int n) { return 1000u + 500 * n; }, [](int n) { return 51 * n; }},
        {"white-is-zero 8-bit", 1, 8, 0, [](int n) { return 10u * n; }, [](int n) { return 255 - 10 * n; }},
    };
    for (const Kind& kind : kinds)
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << kind.what << ", orientation " << c.orientation);
            TiffPage p = tiffPageOf(3, 2, kind.samples, kind.bits, kind.stored);
            p.orientation = c.orientation, p.photometric = kind.photometric;
            const std::string path = put(dir, "o.tif", tiff({p}));
            voxelmap map;
            const stackio::Outcome o = buildStack({path}, map);
            ASSERT_TRUE(o.problem.empty()) << o.problem;
            EXPECT_TRUE(o.warnings.empty()) << o.warnings.front();
            const std::string shown = c.shown;
            const int w = int(shown.find('/')), h = int(shown.size() + 1) / (w + 1);
            ASSERT_EQ(map.width, w);
            ASSERT_EQ(map.height, h);
            for (int j = 0; j < h; ++j)
                for (int i = 0; i < w; ++i) {
                    const int g = kind.grey(shown[j * (w + 1) + i] - 'a');
                    EXPECT_EQ(voxelAt(map, i, j, 0), voxel(g, g, g, 255)) << i << "," << j;
                }
        }

    // The stack's size check takes the shown size: 3 x 2 turned fits beside 2 x 3.
    auto file = [&](const char* name, int w, int h, uint16_t orientation) {
        TiffPage p = tiffPageOf(w, h, 1, 8, [](int n) { return unsigned(n); });
        p.orientation = orientation;
        return put(dir, name, tiff({p}));
    };
    const std::string turned = file("turned.tif", 3, 2, 6);
    voxelmap map;
    EXPECT_EQ(buildStack({file("standing.tif", 2, 3, 0), turned}, map).problem, "");
    EXPECT_EQ(map.depth, 2);
    EXPECT_EQ(buildStack({file("lying.tif", 3, 2, 0), turned}, map).problem,
              "\"" + turned + "\" is 2 x 3 pixels, but the stack's first image is 3 x 2.");
}

TEST(StackTiffDamage, StripsThatCannotBeReadAreTransparentAndNamed) {
    testutil::TempDir dir;
    const int W = 4, H = 8;
    auto page = [&](int samples, int bits, int photometric, uint16_t orientation, unsigned from) {
        TiffPage p = tiffPageOf(W, H, samples, bits, [from](int n) { return from + 3 * n; });
        p.rowsPerStrip = 2, p.photometric = photometric, p.orientation = orientation;
        return p;
    };
    // Each file is cut short inside its last page's last strips.
    struct Case {
        const char* what;
        std::vector<TiffPage> pages;
        size_t cutBytes;            // taken off the end
        std::vector<int> lostRows;  // of the last page, as stored
        std::function<bool(int, int, int)> lost;  // the voxels they are shown as
        const char* says;
        bool floats = false;  // the pages as 32-bit floating-point samples, each 0.5 below
    };
    const std::vector<Case> cases = {
        {"RGB, cut inside the third of four strips", {page(3, 8, -1, 1, 0)}, 2 * W * 3 * 3 / 2, {4, 5, 6, 7},
         [](int, int j, int) { return j >= 4; }, "rows 4..7 could not be read and are transparent"},
        {"16-bit, the second page's last strip cut", {page(1, 16, -1, 1, 1000), page(1, 16, -1, 1, 2000)}, 2, {6, 7},
         [](int, int j, int k) { return k == 1 && j >= 6; },
         "page 2 of 2: rows 6..7 could not be read and are transparent"},
        {"the RGBA reader, turned a quarter clockwise", {page(1, 8, 0, 6, 0)}, 1, {6, 7},
         [](int i, int, int) { return i <= 1; }, "columns 0..1 could not be read and are transparent"},
        {"32-bit float RGB, the last strip cut", {page(3, 16, -1, 1, 1000)}, 2, {6, 7},
         [](int, int j, int) { return j >= 6; }, "rows 6..7 could not be read and are transparent", true},
    };
    auto file = [](std::vector<TiffPage> pages, bool floats) {
        for (TiffPage& p : pages)
            if (floats) {
                std::vector<double> v(p.data.begin(), p.data.end());
                for (double& x : v) x -= 0.5;
                p = widePage(p.w, p.h, p.samples, 32, 3, v), p.rowsPerStrip = 2;
            }
        return tiff(pages, false, true);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes whole = file(c.pages, c.floats);
        const std::string cut = put(dir, "cut.tif", whole.substr(0, whole.size() - c.cutBytes));
        // The file as it can be read, its lost rows holding the page's first value (so that the
        // 16-bit range without them is the same).
        std::vector<TiffPage> readable = c.pages;
        TiffPage& last = readable.back();
        for (int r : c.lostRows) std::fill_n(last.data.begin() + r * W * last.samples, W * last.samples, last.data[0]);
        voxelmap got, want;
        const stackio::Outcome o = buildStack({cut}, got);
        const stackio::Outcome wo = buildStack({put(dir, "readable.tif", file(readable, c.floats))}, want);
        ASSERT_EQ(o.problem, "");
        ASSERT_EQ(wo.problem, "");
        EXPECT_EQ(o.wideLo, wo.wideLo);
        EXPECT_EQ(o.wideHi, wo.wideHi);
        EXPECT_EQ(stackio::mappingText(o), stackio::mappingText(wo));
        ASSERT_EQ(o.warnings.size(), 1u);
        std::printf("[ warning  ] %s\n", o.warnings[0].c_str());
        EXPECT_EQ(o.warnings[0].rfind("\"" + cut + "\": ", 0), 0u) << o.warnings[0];
        EXPECT_NE(o.warnings[0].find("TIFFFillStrip: Read error on strip"), std::string::npos) << o.warnings[0];
        EXPECT_NE(o.warnings[0].find(c.says), std::string::npos) << o.warnings[0];
        ASSERT_TRUE(got.width == want.width && got.height == want.height && got.depth == want.depth);
        int wrong = 0;
        for (int k = 0; k < got.depth; ++k)
            for (int j = 0; j < got.height; ++j)
                for (int i = 0; i < got.width; ++i)
                    wrong += voxelAt(got, i, j, k) != (c.lost(i, j, k) ? voxel(0, 0, 0, 0) : voxelAt(want, i, j, k));
        EXPECT_EQ(wrong, 0);
    }

    // A page of which not one row can be read does not decode.
    const Bytes whole = tiff({page(1, 8, -1, 1, 0), page(1, 8, -1, 1, 0)}, false, true);
    const std::string empty = put(dir, "empty.tif", whole.substr(0, whole.size() - W * H));
    voxelmap map;
    EXPECT_EQ(buildStack({empty}, map).problem,
              "\"" + empty + "\", page 2 of 2, is not an image in a supported format, or it is damaged or truncated.");
    EXPECT_FALSE(map.loaded);

    // A header claiming a million rows in an empty strip, and one row that can be read (a
    // fuzzing input: it took a call per row before, and seconds under the sanitizers).
    TiffPage tall{2, 1048579, 1, 8, {7, 7}};
    tall.rowsPerStrip = 1048578, tall.stripBytes = {0, 2};
    const std::string claimed = put(dir, "tall.tif", tiff({tall}));
    const stackio::Outcome o = buildStack({claimed}, map);
    ASSERT_EQ(o.problem, "");
    EXPECT_EQ(o.warnings, std::vector<std::string>{"\"" + claimed + "\": TIFFFillStrip: Invalid strip byte count 0, strip 0; "
                                                  "rows 0..1048577 could not be read and are transparent"});
    EXPECT_EQ(voxelAt(map, 1, 1048578, 0), voxel(7, 7, 7, 255));
    EXPECT_EQ(voxelAt(map, 1, 1048577, 0), voxel(0, 0, 0, 0));
}

TEST(StackWideSamples, SignedIntegerAndFloatingPointPagesAreMappedByTheStacksRange) {
    testutil::TempDir dir;
    const int W = 3, H = 2;
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    auto grey = [](std::initializer_list<int> g) {
        std::vector<voxel> v;
        for (int x : g) v.push_back(voxel(x, x, x, 255));
        return v;
    };
    struct Case {
        const char* what;
        int samples, bits;
        uint16_t format;
        std::vector<double> values;  // W x H pixels, row by row
        std::vector<voxel> want;
        const char* status;
        uint16_t extra = 2;  // alpha: 1 associated, 2 unassociated
    };
    const std::vector<Case> cases = {
        {"16-bit grey", 1, 16, 1, {1000, 3000, 2000, 1500, 1001, 2999}, grey({0, 255, 127, 63, 0, 254}),
         "16-bit samples 1000..3000 mapped to 0..255"},
        {"16-bit signed grey and alpha", 2, 16, 2, {-1024, 32767, 3071, -1, 0, 16384, -1, 0, 1000, 128, 2047, 255},
         {voxel(0, 0, 0, 255), voxel(255, 255, 255, 0), voxel(63, 63, 63, 128), voxel(63, 63, 63, 0),
          voxel(126, 126, 126, 1), voxel(191, 191, 191, 1)},
         "16-bit signed samples -1024..3071 mapped to 0..255"},
        {"32-bit RGB", 3, 32, 1,
         {0, 4294967295, 2147483648, 1, 4294967294, 16843009, 123456789, 3000000000, 4000000000, 16843008, 5,
          2147483647, 1000000000, 2000000000, 3500000000, 4294967290, 33686018, 0},
         {voxel(0, 255, 127, 255), voxel(0, 254, 1, 255), voxel(7, 178, 237, 255), voxel(0, 0, 127, 255),
          voxel(59, 118, 207, 255), voxel(254, 2, 0, 255)},
         "32-bit samples 0..4294967295 mapped to 0..255"},
        {"32-bit signed grey and alpha (the high byte of its value, negative as 0)", 2, 32, 2,
         {-2147483648.0, 2147483647, 2147483647, 1073741824, 0, 0, -1, -5, 100, 8388608, -100000, 2147483646},
         {voxel(0, 0, 0, 255), voxel(255, 255, 255, 128), voxel(127, 127, 127, 0), voxel(127, 127, 127, 0),
          voxel(127, 127, 127, 1), voxel(127, 127, 127, 255)},
         "32-bit signed samples -2147483648..2147483647 mapped to 0..255"},
        {"32-bit float RGBA: NaN and infinities outside the range, alpha 0..1", 4, 32, 3,
         {-0.5, 1.25, 0.375, 1, nan, inf, -inf, 0.5, 0, 1, 0.5, 2, 0.25, 0.75, -0.25, -1, 1.25, -0.5, 1, nan, 0.1, 0.2,
          0.3, 0.999},
         {voxel(0, 255, 127, 255), voxel(0, 255, 0, 127), voxel(72, 218, 145, 255), voxel(109, 182, 36, 0),
          voxel(255, 0, 218, 0), voxel(87, 102, 116, 254)},
         "32-bit float samples -0.5..1.25 mapped to 0..255"},
        {"32-bit float grey, associated alpha divided out (alpha taken as at most 1)", 2, 32, 3,
         {0.1, 0.2, 0.3, 0.5, 0, 0, 1, 1, 0.5, 2, 0.2, 0.25},
         {voxel(127, 127, 127, 51), voxel(153, 153, 153, 127), voxel(0, 0, 0, 0), voxel(255, 255, 255, 255),
          voxel(127, 127, 127, 255), voxel(204, 204, 204, 63)},
         "32-bit float samples 0..1 mapped to 0..255", 1},
    };
    // Every case stored in strips, in one plane per sample, in tiles, and in tiles upside down.
    struct Layout {
        const char* what;
        bool planes;
        int tile;
        uint16_t orientation;
    };
    const Layout layouts[] = {{"strips", false, 0, 0}, {"planes", true, 0, 0}, {"tiles", false, 16, 0}, {"tiles, turned", false, 16, 3}};
    for (const Case& c : cases)
        for (const Layout& l : layouts) {
            SCOPED_TRACE(testing::Message() << c.what << ", " << l.what);
            TiffPage p = widePage(W, H, c.samples, c.bits, c.format, c.values);
            p.planes = l.planes, p.tile = l.tile, p.orientation = l.orientation, p.rowsPerStrip = 1, p.extra = c.extra;
            voxelmap map;
            const stackio::Outcome o = buildStack({put(dir, "w.tif", tiff({p}))}, map);
            ASSERT_EQ(o.problem, "");
            EXPECT_TRUE(o.warnings.empty()) << o.warnings.front();
            EXPECT_EQ(stackio::mappingText(o), c.status);
            EXPECT_EQ(o.wideKinds == 1u << int(formats::Samples::Unsigned16), c.format == 1 && c.bits == 16);
            ASSERT_TRUE(map.width == W && map.height == H && map.depth == 1);
            for (int n = 0; n < W * H; ++n) {
                const int i = n % W, j = n / W;
                const voxel got = l.orientation == 3 ? voxelAt(map, W - 1 - i, H - 1 - j, 0) : voxelAt(map, i, j, 0);
                EXPECT_EQ(got, c.want[n]) << "pixel " << n;
            }
        }

    // Samples that cannot be read are refused from the header, by what they are.
    const std::string f64 = put(dir, "f64.tif", tiff({widePage(W, H, 1, 64, 3, std::vector<double>(W * H, 0.5))}));
    const std::string second =
        put(dir, "second.tif", tiff({widePage(W, H, 1, 32, 3, std::vector<double>(W * H, 0.5)),
                                     widePage(W, H, 1, 64, 3, std::vector<double>(W * H, 0.5))}));
    stackio::Plan plan;
    std::string problem;
    EXPECT_FALSE(stackio::plan({f64}, plan, problem));
    EXPECT_EQ(problem, "\"" + f64 + "\" has 64-bit floating-point samples, which cannot be read.");
    EXPECT_FALSE(stackio::plan({second}, plan, problem));
    EXPECT_EQ(problem, "\"" + second + "\" has 64-bit floating-point samples on page 2, which cannot be read.");
}

using StackWide = testutil::AppTest;

TEST_F(StackWide, UnsignedAndFloatPagesShareOneRange) {
    testutil::TempDir dir;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::string u16 = put(dir, "u16.tif", tiff({widePage(3, 2, 1, 16, 0, {0, 250, 1000, 500, 1, 999})}));
    const std::string f32 = put(dir, "f32.tif", tiff({widePage(3, 2, 1, 32, 3, {-1000, 2, 0, 999.5, nan, 100.25})}));
    frame()->loadStack(toArray({u16, f32}));
    const int want[2][6] = {{127, 159, 255, 191, 127, 254}, {0, 127, 127, 254, 0, 140}};
    EXPECT_EQ(wrongVoxels(3, 2, 2, [&](int i, int j, int k) {
                  const int g = want[k][j * 3 + i];
                  return voxel(g, g, g, 255);
              }),
              0);
    EXPECT_EQ(frame()->GetStatusBar()->GetStatusText(0), "wide samples -1000..1000 mapped to 0..255");
}

// The pages of one TIFF file asked for in any order, and from two threads at once, decode
// as they do alone (the open handles a file keeps between its pages serve each in turn).
TEST(StackTiffPages, AnyOrderAndSeveralThreadsGiveEachPageItsOwnSamples) {
    testutil::TempDir dir;
    std::vector<filebytes::TiffPage> pages;
    for (int k = 0; k < 6; ++k) {
        filebytes::TiffPage p{5, 3, 1, 16, {}};
        for (int i = 0; i < 15; ++i) p.data.push_back(uint16_t(1000 * k + i));
        p.rowsPerStrip = k % 2 ? 1 : 0;
        pages.push_back(p);
    }
    const std::string file = dir.file("pages.tif");
    testutil::writeBytes(file, filebytes::tiff(pages));
    formats::FileInfo info;
    std::string reason;
    ASSERT_TRUE(formats::readHeader(file, info, reason)) << reason;
    ASSERT_EQ(info.pages.size(), 6u);
    auto samplesOf = [&](int k) {
        formats::Page pg;
        std::string why;
        EXPECT_TRUE(formats::decodePage(file, info, k, pg, why)) << k << ": " << why;
        return pg.s16;
    };
    for (const int k : {4, 1, 5, 0, 2, 2, 3, 0, 5}) EXPECT_EQ(samplesOf(k), pages[size_t(k)].data) << "page " << k;
    std::vector<std::vector<uint16_t>> got(12);
    std::thread other([&] {
        for (int k = 0; k < 6; ++k) got[size_t(6 + k)] = samplesOf(5 - k);
    });
    for (int k = 0; k < 6; ++k) got[size_t(k)] = samplesOf(k);
    other.join();
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(got[size_t(k)], pages[size_t(k)].data) << "page " << k;
        EXPECT_EQ(got[size_t(6 + k)], pages[size_t(5 - k)].data) << "page " << 5 - k << " on the other thread";
    }

    // A pass over a file in which a page fails still closes the file at its end.
    const Bytes whole = filebytes::tiff({pages[0], pages[1]}, false, true);
    const std::string cut = dir.file("cut.tif");
    testutil::writeBytes(cut, whole.substr(0, whole.size() - 15 * 2));  // page 2 without samples
    formats::FileInfo cutInfo;
    ASSERT_TRUE(formats::readHeader(cut, cutInfo, reason)) << reason;
    formats::Page pg;
    EXPECT_FALSE(formats::decodePage(cut, cutInfo, 1, pg, reason));
    EXPECT_TRUE(formats::decodePage(cut, cutInfo, 0, pg, reason)) << reason;
    int open = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code e;
        open += std::filesystem::read_symlink(fd.path(), e) == std::filesystem::absolute(cut);
    }
    EXPECT_EQ(open, 0);
}
