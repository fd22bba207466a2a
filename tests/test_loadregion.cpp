// Opening a part of a multiscale image: a region, a level, the offer of a coarser level when
// the finest does not fit, and the region as the command line writes it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <wx/statusbr.h>
#include <wx/testing.h>

#include <regex>
#include <string>

#include "appFrame.h"
#include "httpserver.h"
#include "region.h"
#include "stackio.h"
#include "testutil.h"
#include "voxelmap.h"

using LoadRegion = testutil::AppTest;

namespace {

using testutil::at;
using testutil::MessageCapture;

// A grey value for voxel (x, y, z) of a level, distinct across both levels.
unsigned char level0(int x, int y, int z) { return static_cast<unsigned char>(x + 12 * y + 120 * z); }
unsigned char level1(int x, int y, int z) { return static_cast<unsigned char>(200 - x - 6 * y - 30 * z); }

// A two-level OME-Zarr pyramid (v2, uncompressed 8-bit chunks of 4^3, axes z, y, x): level 0
// is 12 x 10 x 6 voxels, level 1 is 6 x 5 x 3 voxels twice the size.
void writePyramid(const std::string& root) {
    mkdir(root.c_str(), 0755);
    testutil::writeBytes(root + "/.zgroup", R"({"zarr_format": 2})");
    testutil::writeBytes(root + "/.zattrs", R"({"multiscales": [{"version": "0.4", "axes": [
        {"name": "z", "type": "space", "unit": "micrometer"}, {"name": "y", "type": "space", "unit": "micrometer"},
        {"name": "x", "type": "space", "unit": "micrometer"}],
        "datasets": [{"path": "0", "coordinateTransformations": [{"type": "scale", "scale": [1, 0.5, 0.5]}]},
                     {"path": "1", "coordinateTransformations": [{"type": "scale", "scale": [2, 1, 1]}]}]}]})");
    const int sizes[2][3] = {{12, 10, 6}, {6, 5, 3}};
    for (int l = 0; l < 2; ++l) {
        const int w = sizes[l][0], h = sizes[l][1], d = sizes[l][2];
        const std::string dir = root + "/" + std::to_string(l);
        mkdir(dir.c_str(), 0755);
        testutil::writeBytes(dir + "/.zarray", "{\"zarr_format\": 2, \"shape\": [" + std::to_string(d) + ", " +
                                                   std::to_string(h) + ", " + std::to_string(w) +
                                                   "], \"chunks\": [4, 4, 4], \"dtype\": \"|u1\", \"compressor\": null, "
                                                   "\"fill_value\": 0, \"order\": \"C\", \"filters\": null}");
        for (int cz = 0; cz * 4 < d; ++cz)
            for (int cy = 0; cy * 4 < h; ++cy)
                for (int cx = 0; cx * 4 < w; ++cx) {
                    std::string chunk(64, '\0');  // whole chunks, also at the edges
                    for (int z = 0; z < 4; ++z)
                        for (int y = 0; y < 4; ++y)
                            for (int x = 0; x < 4; ++x) {
                                const int X = cx * 4 + x, Y = cy * 4 + y, Z = cz * 4 + z;
                                if (X < w && Y < h && Z < d)
                                    chunk[size_t(z * 16 + y * 4 + x)] =
                                        static_cast<char>(l == 0 ? level0(X, Y, Z) : level1(X, Y, Z));
                            }
                    testutil::writeBytes(dir + "/" + std::to_string(cz) + "." + std::to_string(cy) + "." +
                                             std::to_string(cx),
                                         chunk);
                }
    }
}

// Whether the loaded volume is w x h x d and holds level l's voxels from (x0, y0, z0) on.
void expectPart(int l, int w, int h, int d, int x0, int y0, int z0) {
    const voxelmap& m = *myVoxmap;
    ASSERT_TRUE(m.loaded);
    ASSERT_EQ(m.width, w);
    ASSERT_EQ(m.height, h);
    ASSERT_EQ(m.depth, d);
    for (int k = 0; k < d; ++k)
        for (int j = 0; j < h; ++j)
            for (int i = 0; i < w; ++i) {
                const unsigned char v = l == 0 ? level0(x0 + i, y0 + j, z0 + k) : level1(x0 + i, y0 + j, z0 + k);
                ASSERT_EQ(at(m, i, j, k), voxel(v, v, v, 255)) << i << "," << j << "," << k;
            }
}

}  // namespace

TEST(RegionText, ReadsThreeRangesAndSaysWhatIsWrong) {
    struct Case {
        const char* text;
        bool ok;
        int box[6];
        const char* says;
    };
    const Case cases[] = {
        {"0:512,0:256,10:74", true, {0, 512, 0, 256, 10, 74}, ""},
        {" 1 : 2 , 3:4,5: 6", true, {1, 2, 3, 4, 5, 6}, ""},
        {"5:2,0:1,0:1", false, {}, "empty along x"},
        {"0:1,3:3,0:1", false, {}, "empty along y"},
        {"0:1,0:1", false, {}, "x0:x1,y0:y1,z0:z1"},
        {"0:1,0:1,0:1,0:1", false, {}, "x0:x1,y0:y1,z0:z1"},
        {"-1:4,0:1,0:1", false, {}, "x0:x1,y0:y1,z0:z1"},
        {"0:1.5,0:1,0:1", false, {}, "x0:x1,y0:y1,z0:z1"},
        {"0:99999999999,0:1,0:1", false, {}, "beyond"},
    };
    for (const Case& c : cases) {
        int box[6] = {-1, -1, -1, -1, -1, -1};
        std::string problem;
        EXPECT_EQ(parseRegion(c.text, box, problem), c.ok) << c.text;
        if (c.ok) {
            for (int i = 0; i < 6; ++i) EXPECT_EQ(box[i], c.box[i]) << c.text;
            EXPECT_EQ(regionText(box), regionText(c.box));
            int again[6];
            EXPECT_TRUE(parseRegion(regionText(box), again, problem) && std::equal(box, box + 6, again)) << c.text;
        } else {
            EXPECT_NE(problem.find(c.says), std::string::npos) << c.text << ": " << problem;
        }
    }
}

TEST_F(LoadRegion, OpensTheBoxAtTheLevelAskedForWithThatLevelsVoxelSize) {
    testutil::TempDir dir;
    const std::string image = dir.file("pyramid.zarr");
    writePyramid(image);
    struct Case {
        int level;
        bool whole;
        int box[6];
        int w, h, d, x0, y0, z0;
        double size[3];
    };
    const Case cases[] = {
        {0, false, {2, 10, 1, 9, 1, 5}, 8, 8, 4, 2, 1, 1, {0.5, 0.5, 1}},
        // At level 1 the box is halved, starts rounded down and ends up.
        {1, false, {2, 10, 1, 9, 1, 5}, 4, 5, 3, 1, 0, 0, {1, 1, 2}},
        {1, false, {0, 12, 0, 10, 0, 6}, 6, 5, 3, 0, 0, 0, {1, 1, 2}},
        {1, true, {}, 6, 5, 3, 0, 0, 0, {1, 1, 2}},
        // A box beyond the image is clipped to it.
        {0, false, {8, 100, 0, 100, 4, 100}, 4, 10, 2, 8, 0, 4, {0.5, 0.5, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level * 100 + c.box[0]);
        ASSERT_TRUE(testutil::frame()->loadRegion(image, c.level, c.whole ? nullptr : c.box));
        expectPart(c.level, c.w, c.h, c.d, c.x0, c.y0, c.z0);
        testutil::expectExact(myVoxmap->voxelSize, c.size[0], c.size[1], c.size[2]);
        EXPECT_EQ(myVoxmap->unit, "µm");
        const std::string status = testutil::frame()->GetStatusBar()->GetStatusText(0).utf8_string();
        EXPECT_NE(status.find("level " + std::to_string(c.level) + " of 2"), std::string::npos) << status;
    }
}

TEST_F(LoadRegion, OffersTheFinestLevelThatFitsAndTakesItUnaskedForLevelMinusOne) {
    testutil::TempDir dir;
    const std::string image = dir.file("pyramid.zarr");
    writePyramid(image);
    AppFrame* f = testutil::frame();
    // Memory for level 1 and its decoding, not for level 0.
    stackio::Listing listing;
    stackio::Plan plan;
    std::string problem;
    stackio::Region coarse;
    coarse.level = 1;
    ASSERT_TRUE(stackio::listPaths({image}, listing, problem)) << problem;
    ASSERT_TRUE(stackio::plan(listing, plan, problem, -1, {}, 1, coarse)) << problem;
    f->memoryForLoad = static_cast<int64_t>(stackio::volumeBytes(plan, 1) + stackio::decodingBytes(plan, 1));

    wxString message;
    wxTEST_DIALOG(f->loadStack(testutil::toArray({image})), MessageCapture(&message, nullptr, nullptr, wxID_NO));
    EXPECT_NE(message.find("Open level 1 of 2: 6 x 5 x 3 voxels"), wxString::npos) << message;
    EXPECT_FALSE(myVoxmap->loaded);
    wxTEST_DIALOG(f->loadStack(testutil::toArray({image})), MessageCapture(&message, nullptr, nullptr, wxID_YES));
    expectPart(1, 6, 5, 3, 0, 0, 0);

    myVoxmap->loaded = false;
    const int box[6] = {4, 12, 0, 10, 2, 6};
    ASSERT_TRUE(f->loadRegion(image, -1, box));  // no question
    expectPart(1, 4, 5, 2, 2, 0, 1);
}

TEST_F(LoadRegion, RefusesWhatHasNoLevelsAndKeepsTheVolume) {
    testutil::TempDir dir;
    const std::string image = dir.file("pyramid.zarr");
    writePyramid(image);
    AppFrame* f = testutil::frame();
    ASSERT_TRUE(f->loadRegion(image, 1, nullptr));
    const std::vector<std::string> png = testutil::writeStack(dir.path, {testutil::makeImage(4, 4, [](int, int) {
                                                                   return voxel(1, 2, 3, 255);
                                                               }, false)});
    const int box[6] = {0, 2, 0, 2, 0, 1};
    struct Case {
        std::string path;
        int level;
        const int* box;
        const char* says;
    };
    const Case cases[] = {
        {png[0], 0, box, "one resolution level"},
        {png[0], 2, nullptr, "one resolution level"},
        {image, 2, nullptr, "level"},
        {image + "/missing.zarr", 0, nullptr, "missing.zarr"},
    };
    for (const Case& c : cases) {
        wxString message;
        wxTEST_DIALOG(EXPECT_FALSE(f->loadRegion(c.path, c.level, c.box)), MessageCapture(&message));
        EXPECT_NE(message.find(c.says), wxString::npos) << c.path << ": " << message;
        EXPECT_NE(message.find("the current volume is unchanged"), wxString::npos) << message;
        expectPart(1, 6, 5, 3, 0, 0, 0);
    }
}

TEST_F(LoadRegion, OverHttpFetchesOnlyTheBoxsChunksAndNamesTheAddressWhenRefused) {
    testutil::TempDir dir;
    writePyramid(dir.file("pyramid.zarr"));
    {
        testutil::HttpServer server(dir.path);
        ASSERT_TRUE(server.running());
        const std::string image = server.url() + "/pyramid.zarr";
        struct Case {
            int level;
            bool whole;
            int box[6];
            int w, h, d, x0, y0, z0;
            int chunks;  // of 4^3 voxels, that meet the box
        };
        const Case cases[] = {
            {0, false, {0, 4, 0, 4, 0, 4}, 4, 4, 4, 0, 0, 0, 1},
            {0, false, {5, 9, 5, 9, 0, 6}, 4, 4, 6, 5, 5, 0, 8},
            {1, true, {}, 6, 5, 3, 0, 0, 0, 4},
        };
        const std::regex chunk("^/pyramid\\.zarr/[01]/[0-9]+\\.[0-9]+\\.[0-9]+$");
        size_t seen = 0;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.chunks);
            ASSERT_TRUE(testutil::frame()->loadRegion(image, c.level, c.whole ? nullptr : c.box));
            expectPart(c.level, c.w, c.h, c.d, c.x0, c.y0, c.z0);
            const std::vector<std::string> paths = server.paths();
            int fetched = 0;
            for (size_t i = seen; i < paths.size(); ++i) fetched += std::regex_match(paths[i], chunk) ? 1 : 0;
            seen = paths.size();
            EXPECT_EQ(fetched, c.chunks);
        }
    }
    // Metadata that is not there, and a server that drops every connection: refused, naming
    // the address; the volume stays.
    const std::vector<std::vector<std::string>> misbehaving = {{"--status", "zattrs$=404", "--status", "zgroup$=404"},
                                                               {"--drop", "."}};
    for (const std::vector<std::string>& options : misbehaving) {
        testutil::HttpServer server(dir.path, options);
        ASSERT_TRUE(server.running());
        wxString message;
        wxTEST_DIALOG(EXPECT_FALSE(testutil::frame()->loadRegion(server.url() + "/pyramid.zarr", 1, nullptr)),
                      MessageCapture(&message));
        EXPECT_NE(message.find(server.url() + "/pyramid.zarr"), wxString::npos) << message;
        expectPart(1, 6, 5, 3, 0, 0, 0);
    }
}
