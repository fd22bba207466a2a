// The volume written as an OME-Zarr image, read back with Debian's python3-zarr and numpy.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <wx/filedlg.h>

#include <filesystem>

#include "appFrame.h"
#include "stackio.h"
#include "testutil.h"
#include "voxelmap.h"
#include "zarrwrite.h"

namespace fs = std::filesystem;
using testutil::TempDir;

namespace {

// Reads the image at argv[1] with zarr and checks every level against numpy's own pyramid of
// the raw RGBA volume argv[2] (d x h x w x 4): 2 x 2 x 2 means, (sum + n/2) // n, fewer voxels
// at the faces. Prints the axes, then per level its shape, chunks, codec, scale, translation.
const char* const kCheck = R"(
import sys, numpy as np, zarr
path, raw = sys.argv[1], sys.argv[2]
w, h, d = map(int, sys.argv[3:6])
vol = np.fromfile(raw, np.uint8).reshape(d, h, w, 4).astype(np.int64)
g = zarr.open_group(path, mode='r')
ms = g.attrs['multiscales'][0]
assert ms['version'] == '0.4'
print('axes', ' '.join(a['name'] + ':' + a['type'] + ':' + a.get('unit', '-') for a in ms['axes']))
channel = ms['axes'][0]['name'] == 'c'
lvl = vol
for k, ds in enumerate(ms['datasets']):
    if k > 0:
        D, H, W = lvl.shape[:3]
        pad = ((0, D % 2), (0, H % 2), (0, W % 2))
        s = np.pad(lvl, pad + ((0, 0),)).reshape((D + 1) // 2, 2, (H + 1) // 2, 2, (W + 1) // 2, 2, 4).sum(axis=(1, 3, 5))
        n = np.pad(np.ones((D, H, W), np.int64), pad).reshape((D + 1) // 2, 2, (H + 1) // 2, 2, (W + 1) // 2, 2).sum(axis=(1, 3, 5))
        lvl = (s + (n // 2)[..., None]) // n[..., None]
    a = g[ds['path']]
    c = a.shape[0] if channel else 1
    want = np.moveaxis(lvl[..., :c], 3, 0) if channel else lvl[..., 0]
    same = a.shape == want.shape and np.array_equal(a[...], want)
    t = ds['coordinateTransformations']
    print(ds['path'], a.shape, a.chunks, a.compressor.codec_id, a.dtype, 'same' if same else 'DIFFERENT',
          t[0]['scale'], t[1]['translation'] if len(t) > 1 else '-')
)";

std::string readBack(const voxelmap& map, const std::string& image, const TempDir& dir) {
    std::string bytes(reinterpret_cast<const char*>(map.voxels.get()), size_t(map.numVoxels) * 4);
    testutil::writeBytes(dir.file("raw"), bytes);
    return testutil::python(kCheck, image + " " + dir.file("raw") + " " + std::to_string(map.width) + " " +
                                        std::to_string(map.height) + " " + std::to_string(map.depth));
}

bool write(const voxelmap& map, const std::string& path, std::string& reason) {
    return writeZarr(map, path, nullptr, reason);
}

// The names in folder, hidden ones included.
std::vector<std::string> names(const std::string& folder) {
    std::vector<std::string> all;
    for (const auto& e : fs::directory_iterator(folder)) all.push_back(e.path().filename().string());
    std::sort(all.begin(), all.end());
    return all;
}

// Chooses path in the file dialog, with the kind of file at index kind.
class FileChoice : public wxExpectModal<wxFileDialog> {
public:
    FileChoice(const std::string& path, int kind) : wxExpectModal<wxFileDialog>(wxString::FromUTF8(path)), kind_(kind) {}

protected:
    int OnInvoked(wxFileDialog* dlg) const override {
        dlg->SetFilterIndex(kind_);
        return wxExpectModal<wxFileDialog>::OnInvoked(dlg);
    }

private:
    int kind_;
};

// A tmpfs of the given size mounted on a fresh folder (the tests run as root), unmounted at the end.
struct SmallDisk {
    TempDir dir;
    bool mounted = false;
    explicit SmallDisk(const char* size, unsigned long flags = 0) {
        mounted = ::mount("tmpfs", dir.path.c_str(), "tmpfs", flags, size) == 0;
    }
    ~SmallDisk() {
        if (mounted) ::umount2(dir.path.c_str(), MNT_DETACH);
    }
};

}  // namespace

TEST(ZarrWrite, ReadBackByPython) {
    struct Case {
        const char* name;
        int w, h, d;
        std::function<voxel(int, int, int)> f;
        Vector size;
        const char* unit;
        std::string expected;
    };
    auto grey = [](int i, int j, int k) {
        const unsigned char v = static_cast<unsigned char>(i * 3 + j * 50 + k * 7);
        return voxel(v, v, v, 255);
    };
    auto rgba = [](int i, int j, int k) {
        return voxel(i * 40, j * 30, k * 20, static_cast<unsigned char>((i * 37 + j * 11 + k * 5) % 256));
    };
    const Case cases[] = {
        {"grey, odd sizes", 65, 3, 130, grey, Vector(0.5, 0.5, 2), "µm",
         "axes z:space:micrometer y:space:micrometer x:space:micrometer\n"
         "0 (130, 3, 65) (64, 64, 64) zstd uint8 same [2.0, 0.5, 0.5] -\n"
         "1 (65, 2, 33) (64, 64, 64) zstd uint8 same [4.0, 1.0, 1.0] [1.0, 0.25, 0.25]\n"
         "2 (33, 1, 17) (64, 64, 64) zstd uint8 same [8.0, 2.0, 2.0] [3.0, 0.75, 0.75]\n"},
        {"rgb", 70, 5, 9, testutil::graded, Vector(1, 1, 1), "mm",
         "axes c:channel:- z:space:millimeter y:space:millimeter x:space:millimeter\n"
         "0 (3, 9, 5, 70) (1, 64, 64, 64) zstd uint8 same [1.0, 1.0, 1.0, 1.0] -\n"
         "1 (3, 5, 3, 35) (1, 64, 64, 64) zstd uint8 same [1.0, 2.0, 2.0, 2.0] [0.0, 0.5, 0.5, 0.5]\n"},
        {"rgba, no unit", 6, 5, 7, rgba, Vector(1, 2, 3), "",
         "axes c:channel:- z:space:- y:space:- x:space:-\n"
         "0 (4, 7, 5, 6) (1, 64, 64, 64) zstd uint8 same [1.0, 3.0, 2.0, 1.0] -\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        voxelmap map;
        testutil::fillMap(map, c.w, c.h, c.d, c.f);
        map.setVoxelSize(c.size);
        map.unit = c.unit;
        std::string reason;
        ASSERT_TRUE(write(map, dir.file("v.zarr"), reason)) << reason;
        EXPECT_EQ(readBack(map, dir.file("v.zarr"), dir), c.expected);
        EXPECT_TRUE(isZarrImage(dir.file("v.zarr")));
    }
}

// What the program wrote, read back by its own reader: level 0 is the volume byte for byte,
// level 1 what a load of level 0 at 1/2 makes (the same means, the same rounding).
TEST(ZarrWrite, ReadBackByOurReader) {
    struct Case {
        const char* what;
        int w, h, d;
        std::function<voxel(int, int, int)> f;
    };
    const Case cases[] = {
        {"grey", 65, 3, 130, [](int i, int j, int k) { const auto g = uint8_t(i * 3 + j * 50 + k); return voxel(g, g, g, 255); }},
        {"rgb", 70, 5, 9, [](int i, int j, int k) { return voxel(uint8_t(i), uint8_t(j * 40), uint8_t(k * 20), 255); }},
        {"rgba", 66, 7, 5, [](int i, int j, int k) { return voxel(uint8_t(i), uint8_t(j), uint8_t(k), uint8_t(i * j)); }},
    };
    auto load = [](const std::string& path, int level, int reduce, voxelmap& into) {
        stackio::Listing listing;
        stackio::Plan plan;
        std::string problem;
        stackio::Region region;
        region.level = level;
        ASSERT_TRUE(stackio::listPaths({path}, listing, problem)) << problem;
        ASSERT_TRUE(stackio::plan(listing, plan, problem, -1, {}, reduce, region)) << problem;
        const stackio::Outcome o = stackio::build(plan, into, [](int) { return true; });
        ASSERT_TRUE(o.problem.empty()) << o.problem;
        into.setVoxelSize(Vector(plan.voxelSize[0], plan.voxelSize[1], plan.voxelSize[2]));
        into.unit = plan.unit;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        voxelmap map;
        testutil::fillMap(map, c.w, c.h, c.d, c.f);
        map.setVoxelSize(Vector(0.5, 0.5, 2));
        map.unit = "mm";
        const std::string path = dir.file("v.zarr");
        std::string reason;
        ASSERT_TRUE(writeZarr(map, path, nullptr, reason)) << reason;
        voxelmap back, level1, halved;
        load(path, 0, 1, back);
        EXPECT_TRUE(testutil::sameMap(map, back));
        testutil::expectExact(back.voxelSize, 0.5, 0.5, 2);
        EXPECT_EQ(back.unit, "mm");
        load(path, 1, 1, level1);
        load(path, 0, 2, halved);
        EXPECT_TRUE(testutil::sameMap(level1, halved));
        testutil::expectExact(level1.voxelSize, 1, 1, 4);
    }
}

TEST(ZarrWrite, ReplacesOnlyImagesAndOnlyWhole) {
    voxelmap small, other, big;
    testutil::fillMap(small, 8, 8, 8, [](int i, int, int) { return voxel(i, i, i, 255); });
    testutil::fillMap(other, 9, 4, 3, testutil::graded);
    testutil::randomMap(big, 128, 128, 16, 7);  // does not compress: more than the small disk holds
    std::string reason;

    // A folder that is not an image, and a file, are left as they are.
    TempDir dir;
    fs::create_directories(dir.file("notes.zarr"));
    testutil::writeBytes(dir.file("notes.zarr/mine.txt"), "keep");
    testutil::writeBytes(dir.file("plain.zarr"), "keep");
    EXPECT_FALSE(write(small, dir.file("notes.zarr"), reason));
    EXPECT_EQ(reason, "\"" + dir.file("notes.zarr") + "\" is a folder that is not an OME-Zarr image; it was left as it is.");
    EXPECT_FALSE(write(small, dir.file("plain.zarr"), reason));
    EXPECT_EQ(testutil::readBytes(dir.file("notes.zarr/mine.txt")), "keep");
    EXPECT_EQ(testutil::readBytes(dir.file("plain.zarr")), "keep");

    // An image is replaced whole, nothing left beside it.
    ASSERT_TRUE(write(small, dir.file("v.zarr"), reason)) << reason;
    ASSERT_TRUE(write(other, dir.file("v.zarr"), reason)) << reason;
    EXPECT_NE(readBack(other, dir.file("v.zarr"), dir).find("0 (3, 3, 4, 9) (1, 64, 64, 64) zstd uint8 same"),
              std::string::npos);
    fs::remove(dir.file("raw"));
    EXPECT_EQ(names(dir.path), (std::vector<std::string>{"notes.zarr", "plain.zarr", "v.zarr"}));

    // Cancelled: nothing written, nothing left.
    int calls = 0;
    EXPECT_FALSE(writeZarr(small, dir.file("new.zarr"), [&](int, int) { return ++calls < 1; }, reason));
    EXPECT_EQ(reason, "cancelled");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(names(dir.path), (std::vector<std::string>{"notes.zarr", "plain.zarr", "v.zarr"}));

    // A full disk and a read-only one: the old image stays whole, the partial new one goes.
    SmallDisk full("size=96k");
    if (!full.mounted) GTEST_SKIP() << "cannot mount a small tmpfs here";
    const std::string image = full.dir.file("v.zarr");
    ASSERT_TRUE(write(small, image, reason)) << reason;
    const std::string before = readBack(small, image, full.dir);
    fs::remove(full.dir.file("raw"));
    ASSERT_NE(before.find("same"), std::string::npos) << before;
    EXPECT_FALSE(write(big, image, reason));
    EXPECT_EQ(reason, "\"" + image + "\" could not be written: No space left on device. "
                      "The image that was there was left as it is.");
    EXPECT_EQ(names(full.dir.path), std::vector<std::string>{"v.zarr"});
    SmallDisk readOnly("size=64k", MS_RDONLY);
    ASSERT_TRUE(readOnly.mounted);
    EXPECT_FALSE(write(small, readOnly.dir.file("v.zarr"), reason));
    EXPECT_EQ(reason, "\"" + readOnly.dir.file("v.zarr") + "\" could not be written: Read-only file system.");
    TempDir back;
    EXPECT_EQ(readBack(small, image, back), before);
}

using SaveZarr = testutil::AppTest;

// Save Volume's OME-Zarr kind: a name without an extension takes .zarr, an image there is
// replaced only on a yes, a folder of something else is refused with a message.
TEST_F(SaveZarr, SaveVolumeWritesAnImage) {
    AppFrame* f = testutil::gradedVolume(70, 5, 9, /*march=*/false);
    TempDir dir;
    const std::string image = dir.file("v.zarr");
    wxTEST_DIALOG(testutil::menu(f, ID_SAVEVOLUME), FileChoice(dir.file("v"), 2));
    const std::string first = readBack(*myVoxmap, image, dir);
    EXPECT_NE(first.find("0 (3, 9, 5, 70) (1, 64, 64, 64) zstd uint8 same"), std::string::npos) << first;
    const std::string firstShape = testutil::readBytes(image + "/0/.zarray");
    f = testutil::asLoaded(9, 4, 3, [](int i, int, int) { return voxel(i, i, i, 255); }, false);  // a new frame
    for (const int answer : {wxID_NO, wxID_YES}) {
        wxString question;
        wxTEST_DIALOG(testutil::menu(f, ID_SAVEVOLUME), FileChoice(image, 0),
                      testutil::MessageCapture(&question, nullptr, nullptr, answer));
        EXPECT_EQ(question, "\"" + image + "\" already exists. Replace it?");
        EXPECT_EQ(answer == wxID_NO, testutil::readBytes(image + "/0/.zarray") == firstShape) << answer;
    }
    EXPECT_NE(readBack(*myVoxmap, image, dir).find("0 (3, 4, 9) (64, 64, 64) zstd uint8 same"), std::string::npos);
    fs::create_directories(dir.file("other.zarr/sub"));
    wxString message;
    wxTEST_DIALOG(EXPECT_FALSE(f->saveVolume(wxString::FromUTF8(dir.file("other.zarr")))),
                  testutil::MessageCapture(&message));
    EXPECT_EQ(message, "\"" + dir.file("other.zarr") + "\" is a folder that is not an OME-Zarr image; it was left as it is.");
}
