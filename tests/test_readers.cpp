// Stacks read and built as a load reads them, without the window: a table of files as
// people have them and the voxels, and the warnings, they must give.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "filebytes.h"
#include "stackio.h"
#include "testutil.h"
#include "voxelmap.h"

namespace {

using namespace filebytes;

// A distinct colour for every pixel of every layer.
voxel layerColour(int layer, int x, int y) { return voxel(10 * x + 1, 20 * y + 2, 40 * layer + 3, 255); }

// Layer k of d images of w x h in layerColour; alpha (x + y odd: 0, else 128 + x) when withAlpha.
wxImage layerImage(int w, int h, int k, bool withAlpha) {
    return testutil::makeImage(
        w, h,
        [&](int x, int y) {
            voxel v = layerColour(k, x, y);
            if (withAlpha) v.a = static_cast<unsigned char>((x + y) % 2 ? 0 : 128 + x);
            return v;
        },
        withAlpha);
}

struct StackCase {
    const char* what;
    // Writes the files into the folder; their paths in stack order.
    std::function<std::vector<std::string>(const testutil::TempDir&)> files;
    int w, h, d;
    std::function<voxel(int, int, int)> want;
    std::vector<std::string> warned;  // each stands in the warnings (a file's name between quotes, its reason)
    std::vector<std::string> quiet;   // files no warning names
};

}  // namespace

TEST(Readers, StacksBuildTheVoxelsAndWarningsTheirFilesHold) {
    testutil::TempDir dir;
    auto put = [&](const std::string& name, const Bytes& b) {
        testutil::writeBytes(dir.file(name), b);
        return dir.file(name);
    };
    const StackCase cases[] = {
        // Unassociated TIFF alpha keeps its colour; associated colour is divided by alpha,
        // rounded to nearest; the same pixels as a PNG mean the same.
        {"TIFF colour with alpha means what PNG colour does",
         [&](const testutil::TempDir&) {
             return std::vector<std::string>{
                 put("u.tif", tiff({{2, 1, 4, 8, {200, 100, 50, 128, 9, 8, 7, 0}, 2}})),
                 put("a.tif", tiff({{2, 1, 4, 8, {100, 50, 25, 128, 0, 0, 0, 0}, 1}})),
                 put("u.png", png(2, 1, 8, 6, {bytes({200, 100, 50, 128, 9, 8, 7, 0})}))};
         },
         2, 1, 3,
         [](int i, int, int k) {
             const voxel want[3][2] = {{voxel(200, 100, 50, 128), voxel(9, 8, 7, 0)},
                                       {voxel(199, 100, 50, 128), voxel(0, 0, 0, 0)},
                                       {voxel(200, 100, 50, 128), voxel(9, 8, 7, 0)}};
             return want[k][i];
         },
         {},
         {}},
        // Alpha comes from a real alpha channel, else the layer is opaque.
        {"alpha from the alpha channel, else opaque",
         [](const testutil::TempDir& d) {
             const std::vector<wxImage> images = {layerImage(4, 4, 0, true), layerImage(4, 4, 0, false)};
             EXPECT_TRUE(images[0].HasAlpha());
             EXPECT_FALSE(images[1].HasAlpha());
             return testutil::writeStack(d.path, images);
         },
         4, 4, 2,
         [](int i, int j, int k) {
             voxel v = layerColour(0, i, j);
             if (k == 0) v.a = static_cast<unsigned char>((i + j) % 2 ? 0 : 128 + i);
             return v;
         },
         {},
         {}},
        // Layers follow the order the files are given in, not their names.
        {"layers in the given order",
         [](const testutil::TempDir& d) {
             std::vector<std::string> paths = testutil::writeStack(
                 d.path, {layerImage(3, 2, 0, false), layerImage(3, 2, 1, false), layerImage(3, 2, 2, false)}, "order");
             std::swap(paths[0], paths[2]);
             return paths;
         },
         3, 2, 3, [](int i, int j, int k) { return layerColour(2 - k, i, j); }, {}, {}},
    };
    for (const StackCase& c : cases) {
        SCOPED_TRACE(c.what);
        voxelmap map;
        const stackio::Outcome o = testutil::buildStack(c.files(dir), map);
        ASSERT_EQ(o.problem, "");
        ASSERT_TRUE(map.loaded);
        ASSERT_EQ(map.width, c.w);
        ASSERT_EQ(map.height, c.h);
        ASSERT_EQ(map.depth, c.d);
        if (c.want) {
            EXPECT_EQ(testutil::wrongVoxels(map, c.want), 0);
        }
        std::string warnings;
        for (const std::string& w : o.warnings) warnings += w + "\n";
        for (const std::string& w : c.warned) EXPECT_NE(warnings.find(w), std::string::npos) << warnings;
        for (const std::string& f : c.quiet) EXPECT_EQ(warnings.find(f), std::string::npos) << warnings;
    }
}
