// The OME-Zarr reader: Zarr v2 images written by Debian's python3-zarr with every codec and
// a pyramid written by python3-dask, checked against their own reading of the arrays; Zarr
// v3 and sharded images written here byte by byte; levels and regions, the chunks they read,
// and hostile metadata and chunks.
#include <gtest/gtest.h>
#include <zstd.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "formats/format.h"
#include "formats/zarr.h"
#include "formats/zarrchunk.h"
#include "stackio.h"
#include "testutil.h"
#include "voxelmap.h"

namespace {

using formats::FileInfo;
using formats::Page;
namespace zarr = formats::zarr;

// Writes each image as NAME.zarr with zarr's own reading of it (z, y, x, channel order,
// little-endian) as NAME.raw beside, and prints "NAME ITEMBYTES" per image.
const char* const kFixtures = R"PY(
import sys, numpy as np, zarr, dask.array as da
from numcodecs import Blosc, Zlib, GZip, Zstd
d = sys.argv[1]
rng = np.random.default_rng(7)
def values(dtype, shape):
    t = np.dtype(dtype).newbyteorder("=")
    if t.kind == 'f':
        v = (rng.standard_normal(shape) * 1000).astype(t)
        v.flat[::17] = np.nan
        return v
    i = np.iinfo(t)
    return rng.integers(i.min, i.max, size=shape, dtype=t, endpoint=True)
def image(name, dtype, comp, sep='.', fill=0, partial=False, axes='zyx', shape=(5, 13, 11), chunks=(2, 4, 5)):
    g = zarr.open_group(f"{d}/{name}.zarr", mode='w')
    a = g.create_dataset("0", shape=shape, chunks=chunks, dtype=dtype, compressor=comp, fill_value=fill,
                         dimension_separator=sep)
    v = values(dtype, shape)
    if partial:
        a[0:2] = v[0:2]
    else:
        a[:] = v
    ax = [{"name": n, "type": {"t": "time", "c": "channel"}.get(n, "space")} for n in axes]
    for x in ax:
        if x["type"] == "space": x["unit"] = "micrometer"
    scale = [{"z": 2.0, "y": 0.5, "x": 0.25}.get(n, 1.0) for n in axes]
    g.attrs["multiscales"] = [{"version": "0.4", "axes": ax, "datasets": [
        {"path": "0", "coordinateTransformations": [{"type": "scale", "scale": scale}]}]}]
    back = np.asarray(a[:])  # zarr's own reading is the oracle
    if axes == 'czyx': back = np.moveaxis(back, 0, -1)  # channels interleaved
    if axes == 'tczyx': back = back[0, 0]
    back.astype(back.dtype.newbyteorder('<')).tofile(f"{d}/{name}.raw")
    print(name, np.dtype(dtype).itemsize)
image("raw_u1", "|u1", None)
image("zlib_be_u2", ">u2", Zlib(level=5))
image("gzip_i2", "<i2", GZip(level=5))
image("zstd_u4_slash", "<u4", Zstd(level=3), sep='/')
image("blosc_lz4_u2", "<u2", Blosc(cname='lz4', clevel=5, shuffle=Blosc.SHUFFLE))
image("blosc_zstd_f4", "<f4", Blosc(cname='zstd', clevel=5, shuffle=Blosc.BITSHUFFLE), fill="NaN")
image("blosc_zlib_be_i4", ">i4", Blosc(cname='zlib', clevel=5, shuffle=Blosc.NOSHUFFLE))
image("raw_be_f8", ">f8", None)
image("zstd_u8", "<u8", Zstd(level=1))
image("zlib_i8", "<i8", Zlib(level=1))
image("raw_i1", "|i1", None)
image("fill_u2", "<u2", Zlib(level=1), fill=7, partial=True)
image("rgb_u1", "|u1", Zstd(level=1), axes='czyx', shape=(3, 5, 13, 11), chunks=(3, 2, 4, 5))
image("tc_u2", "<u2", None, axes='tczyx', shape=(2, 2, 5, 13, 11), chunks=(1, 1, 2, 4, 5))
image("rgba_u1", "|u1", Zlib(level=1), axes='czyx', shape=(4, 5, 13, 11), chunks=(4, 2, 4, 5))
# A pyramid as dask writes one, every level the finest sampled every 2^k voxels.
base = values("<u2", (12, 48, 64))
root = f"{d}/pyramid.zarr"
zarr.open_group(root, mode='w')
for k in range(3):
    s = 2 ** k
    da.from_array(base[::s, ::s, ::s], chunks=(4, 16, 16)).to_zarr(root, component=str(k), compressor=Zstd(level=3))
zarr.open_group(root).attrs["multiscales"] = [{"version": "0.4",
    "axes": [{"name": n, "type": "space", "unit": "micrometer"} for n in "zyx"],
    "datasets": [{"path": str(k), "coordinateTransformations": [
        {"type": "scale", "scale": [2.0 * 2 ** k, 0.5 * 2 ** k, 0.5 * 2 ** k]},
        {"type": "translation", "translation": [1.0, 2.0, 3.0]}]} for k in range(3)]}]
base.tofile(f"{d}/pyramid.raw")
print("pyramid 2")
)PY";

// The fixtures, made once per run.
const std::string& fixtures() {
    static testutil::TempDir dir;
    static const std::string listing = testutil::python(kFixtures, dir.path);
    EXPECT_FALSE(listing.empty()) << "python3-zarr and python3-dask could not write the fixtures";
    static const std::string path = dir.path;
    return path;
}

// The samples of a page as bytes.
std::string bytesOf(const Page& p) {
    const auto raw = [](const auto& v) { return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(v[0])); };
    return p.bits == 8 ? raw(p.s8) : p.bits == 16 ? raw(p.s16) : p.bits == 32 ? raw(p.s32) : raw(p.s64);
}

// Every page of info decoded, as bytes one after another; the pages' warnings in warnings.
std::string readPages(const std::string& path, const FileInfo& info, std::string* warnings = nullptr) {
    std::string all;
    for (size_t k = 0; k < info.pages.size(); ++k) {
        Page p;
        std::string reason;
        EXPECT_TRUE(formats::decodePage(path, info, int(k), p, reason)) << path << " page " << k << ": " << reason;
        all += bytesOf(p);
        if (warnings && !p.warning.empty()) *warnings += p.warning + "\n";
    }
    return all;
}

TEST(ZarrRead, EveryCodecAndKindAsZarrReadsIt) {
    const std::string dir = fixtures();
    int images = 0;
    for (const char* name : {"raw_u1", "zlib_be_u2", "gzip_i2", "zstd_u4_slash", "blosc_lz4_u2", "blosc_zstd_f4",
                             "blosc_zlib_be_i4", "raw_be_f8", "zstd_u8", "zlib_i8", "raw_i1", "fill_u2", "rgb_u1", "tc_u2", "rgba_u1"}) {
        SCOPED_TRACE(name);
        const std::string path = dir + "/" + name + ".zarr";
        FileInfo info;
        std::string reason;
        ASSERT_TRUE(formats::readHeader(path, info, reason)) << reason;
        EXPECT_EQ(info.reader, &formats::omeZarr);
        ASSERT_EQ(info.pages.size(), 5u);
        EXPECT_EQ(info.pages[0].width, 11);
        EXPECT_EQ(info.pages[0].height, 13);
        EXPECT_EQ(info.unit, "µm");
        EXPECT_EQ(info.voxelSize[0], 0.25);
        EXPECT_EQ(info.voxelSize[1], 0.5);
        EXPECT_EQ(info.voxelSize[2], 2.0);
        std::string warnings;
        const std::string got = readPages(path, info, &warnings);
        EXPECT_TRUE(got == testutil::readBytes(dir + "/" + name + ".raw")) << "the samples differ from zarr's";
        EXPECT_EQ(warnings, "");
        ++images;
    }
    EXPECT_EQ(images, 15);
}

// What finest[z * s][y * s][x * s] holds for a box of a level (s = 2^level), as bytes.
std::string sampled(const std::string& finest, int s, const int64_t (&b)[6]) {
    std::string out;
    for (int64_t z = b[4]; z < b[5]; ++z)
        for (int64_t y = b[2]; y < b[3]; ++y)
            for (int64_t x = b[0]; x < b[1]; ++x) out += finest.substr(size_t(((z * s * 48 + y * s) * 64 + x * s) * 2), 2);
    return out;
}

TEST(ZarrRead, LevelsAndRegionsReadOnlyTheirChunks) {
    const std::string path = fixtures() + "/pyramid.zarr";
    const std::string finest = testutil::readBytes(fixtures() + "/pyramid.raw");
    std::string reason;
    std::shared_ptr<zarr::Store> store = zarr::openFolder(path, reason);
    ASSERT_TRUE(store) << reason;
    FileInfo info;
    ASSERT_TRUE(zarr::readImage(store, path, info, reason)) << reason;
    ASSERT_EQ(info.levels.size(), 3u);
    const formats::Level& l1 = info.levels[1];
    EXPECT_EQ(l1.width, 32);
    EXPECT_EQ(l1.height, 24);
    EXPECT_EQ(l1.depth, 6);
    EXPECT_EQ(l1.factor[0], 2.0);
    EXPECT_EQ(l1.factor[2], 2.0);
    EXPECT_EQ(l1.voxelSize[2], 4.0);
    EXPECT_TRUE(info.hasTranslation);
    EXPECT_EQ(info.translation[0], 3.0);
    EXPECT_EQ(info.translation[2], 1.0);
    struct Case {
        int level;
        bool whole;
        int box[6];
        int64_t expected[6];  // the box at the level
        int chunks;           // chunks (4 x 16 x 16) it meets
    };
    const Case cases[] = {
        {1, false, {10, 50, 3, 20, 1, 7}, {5, 25, 1, 10, 0, 4}, 2},
        {2, true, {}, {0, 16, 0, 12, 0, 3}, 1},
        {0, false, {60, 64, 40, 48, 11, 12}, {60, 64, 40, 48, 11, 12}, 1},
        {1, false, {50, 100, 40, 60, 10, 20}, {25, 32, 20, 24, 5, 6}, 1},  // clipped to the image
        {0, false, {15, 17, 15, 17, 3, 5}, {15, 17, 15, 17, 3, 5}, 8},
        {0, true, {}, {0, 64, 0, 48, 0, 12}, 36},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.level) + " from x " + std::to_string(c.box[0]));
        FileInfo sel = info;
        ASSERT_TRUE(formats::omeZarr.select(sel, c.level, c.whole ? nullptr : c.box, reason)) << reason;
        const int64_t* e = c.expected;
        ASSERT_EQ(sel.pages.size(), size_t(e[5] - e[4]));
        EXPECT_EQ(sel.pages[0].width, e[1] - e[0]);
        EXPECT_EQ(sel.pages[0].height, e[3] - e[2]);
        EXPECT_EQ(sel.voxelSize[0], 0.5 * (1 << c.level));
        const int64_t before = store->requests;
        EXPECT_TRUE(readPages(path, sel) == sampled(finest, 1 << c.level, c.expected));
        EXPECT_EQ(store->requests - before, c.chunks);
    }
    // Levels and boxes that hold nothing.
    const int empty[6] = {5, 5, 0, 10, 0, 10}, outside[6] = {100, 200, 0, 10, 0, 10};
    for (auto [level, box, words] : {std::make_tuple(3, (const int*)nullptr, "has no level 3: its levels are 0 to 2"),
                                     std::make_tuple(0, empty, "empty region (5:5 along x)"),
                                     std::make_tuple(1, outside, "outside the image along x")}) {
        FileInfo sel = info;
        EXPECT_FALSE(formats::omeZarr.select(sel, level, box, reason));
        EXPECT_NE(reason.find(words), std::string::npos) << reason;
    }
}

TEST(ZarrLoad, LevelThatFitsRegionAndWhatOtherFormatsRefuse) {
    const std::string path = fixtures() + "/pyramid.zarr";
    stackio::Listing listing;
    std::string problem;
    ASSERT_TRUE(stackio::listPaths({path}, listing, problem)) << problem;
    ASSERT_EQ(listing.files, std::vector<std::string>{path});  // one path, not walked into
    stackio::Plan p;
    ASSERT_TRUE(stackio::plan(listing, p, problem)) << problem;
    const int64_t level0 = int64_t(stackio::volumeBytes(p, 1) + stackio::decodingBytes(p, 1));
    // Level 0 does not fit: the finest that does is taken, or offered.
    stackio::Region finestThatFits;
    finestThatFits.level = -1;
    ASSERT_TRUE(stackio::plan(listing, p, problem, level0 - 1, {}, 1, finestThatFits)) << problem;
    EXPECT_EQ(p.level, 1);
    EXPECT_EQ(p.levels.size(), 3u);
    EXPECT_EQ(p.voxelSize[2], 4.0);
    EXPECT_EQ(p.unit, "µm");
    voxelmap v;
    const stackio::Outcome o = stackio::build(p, v, [](int) { return true; });
    EXPECT_EQ(o.problem, "");
    EXPECT_EQ(v.width * 10000 + v.height * 100 + v.depth, 32 * 10000 + 24 * 100 + 6);
    EXPECT_FALSE(stackio::plan(listing, p, problem, level0 - 1));
    EXPECT_EQ(p.fitsLevel, 1);
    EXPECT_EQ(p.fitsAt, 0);
    // A region of the finest level.
    stackio::Region region;
    region.whole = false;
    const int box[6] = {8, 40, 0, 16, 2, 10};
    std::copy(box, box + 6, region.box);
    ASSERT_TRUE(stackio::plan(listing, p, problem, -1, {}, 1, region)) << problem;
    EXPECT_EQ(p.width * 10000 + p.height * 100 + p.layers, 32 * 10000 + 16 * 100 + 8);
    // A file of one level takes neither.
    testutil::TempDir dir;
    const auto files = testutil::writeStack(dir.path, {testutil::makeImage(4, 4, [](int, int) { return voxel(1, 2, 3, 255); }, false)});
    EXPECT_FALSE(stackio::plan(files, p, problem, -1, {}, 1, region));
    EXPECT_EQ(problem, "\"" + files[0] + "\" has one resolution level; a level or a region can be chosen only for an OME-Zarr image.");
    EXPECT_EQ(stackio::levelText({512, 512, 128}, 2, 5, 134217728), "Open level 2 of 5: 512 x 512 x 128 voxels, 128 MB?");
    EXPECT_EQ(stackio::levelText({300, 200, 100}, 1, 3, 24000000), "Open level 1 of 3: 300 x 200 x 100 voxels, 22.9 MB?");
    EXPECT_EQ(stackio::levelText({2048, 2048, 512}, 0, 4, int64_t(8) << 30), "Open level 0 of 4: 2048 x 2048 x 512 voxels, 8 GB?");
}

// ---- Zarr v3, written byte by byte ----

// A v3 image of shape 3 x 5 x 6 (z, y, x) of uint16 value(z, y, x), in chunks of 2 x 4 x 4
// (sharded: shards of 2 x 4 x 4 holding inner chunks of 1 x 2 x 2), one chunk left out.
struct V3 {
    std::string endian = "little";
    bool zstd = false, sharded = false, indexAtStart = false, crc = true;
    std::string separator = "/";
};
constexpr int64_t kShape[3] = {3, 5, 6};
constexpr uint16_t kFill = 9;
uint16_t value(int64_t z, int64_t y, int64_t x) { return uint16_t(z * 1000 + y * 30 + x + 300); }

// The bytes of the chunk at origin o of shape c.
std::string chunkBytes(const V3& v, const int64_t (&o)[3], const int64_t (&c)[3]) {
    std::string out;
    for (int64_t z = 0; z < c[0]; ++z)
        for (int64_t y = 0; y < c[1]; ++y)
            for (int64_t x = 0; x < c[2]; ++x) {
                const bool in = o[0] + z < kShape[0] && o[1] + y < kShape[1] && o[2] + x < kShape[2];
                const uint16_t s = in ? value(o[0] + z, o[1] + y, o[2] + x) : kFill;
                const char lo = char(s & 0xff), hi = char(s >> 8);
                out += v.endian == "big" ? std::string{hi, lo} : std::string{lo, hi};
            }
    if (!v.zstd) return out;
    std::string packed(ZSTD_compressBound(out.size()), '\0');
    packed.resize(ZSTD_compress(packed.data(), packed.size(), out.data(), out.size(), 3));
    return packed;
}

std::string le64(uint64_t v) {
    std::string s(8, '\0');
    for (int k = 0; k < 8; ++k) s[size_t(k)] = char(v >> (8 * k));
    return s;
}

std::map<std::string, std::vector<uint8_t>> writeV3(const V3& v) {
    std::map<std::string, std::vector<uint8_t>> keys;
    const auto put = [&](const std::string& k, const std::string& s) { keys[k] = std::vector<uint8_t>(s.begin(), s.end()); };
    put("zarr.json", R"({"zarr_format":3,"node_type":"group","attributes":{"ome":{"version":"0.5","multiscales":[{
        "axes":[{"name":"z","type":"space","unit":"millimeter"},{"name":"y","type":"space","unit":"millimeter"},
                {"name":"x","type":"space","unit":"millimeter"}],
        "datasets":[{"path":"0","coordinateTransformations":[{"type":"scale","scale":[3.0,1.5,1.25]}]}]}]}}})");
    const std::string bytes = R"({"name":"bytes","configuration":{"endian":")" + v.endian + "\"}}";
    const std::string inner = "[" + bytes + (v.zstd ? R"(,{"name":"zstd","configuration":{"level":3}})" : "") + "]";
    const std::string codecs = !v.sharded ? inner
                                          : R"([{"name":"sharding_indexed","configuration":{"chunk_shape":[1,2,2],"codecs":)" + inner +
                                                R"(,"index_codecs":[{"name":"bytes","configuration":{"endian":"little"}})" +
                                                (v.crc ? R"(,{"name":"crc32c"})" : "") + R"(],"index_location":")" +
                                                (v.indexAtStart ? "start" : "end") + "\"}}]";
    put("0/zarr.json", R"({"zarr_format":3,"node_type":"array","shape":[3,5,6],"data_type":"uint16",
        "chunk_grid":{"name":"regular","configuration":{"chunk_shape":[2,4,4]}},
        "chunk_key_encoding":{"name":"default","configuration":{"separator":")" + v.separator + R"("}},
        "fill_value":9,"codecs":)" + codecs + "}");
    for (int64_t cz = 0; cz < 2; ++cz)
        for (int64_t cy = 0; cy < 2; ++cy)
            for (int64_t cx = 0; cx < 2; ++cx) {
                if (cz == 1 && cy == 0 && cx == 1) continue;  // never written: the fill value
                const std::string& s = v.separator;
                const std::string key = "0/c" + s + std::to_string(cz) + s + std::to_string(cy) + s + std::to_string(cx);
                const int64_t o[3] = {cz * 2, cy * 4, cx * 4};
                if (!v.sharded) {
                    put(key, chunkBytes(v, o, {2, 4, 4}));
                    continue;
                }
                std::string data, index;
                const int64_t indexBytes = 8 * 16 + (v.crc ? 4 : 0);
                for (int64_t k = 0; k < 8; ++k) {
                    if (k == 5) {  // an inner chunk not written
                        index += le64(UINT64_MAX) + le64(UINT64_MAX);
                        continue;
                    }
                    const int64_t io[3] = {o[0] + k / 4, o[1] + (k / 2 % 2) * 2, o[2] + (k % 2) * 2};
                    const std::string c = chunkBytes(v, io, {1, 2, 2});
                    index += le64(uint64_t(int64_t(data.size()) + (v.indexAtStart ? indexBytes : 0))) + le64(c.size());
                    data += c;
                }
                if (v.crc) {
                    const uint32_t crc = zarr::crc32c(reinterpret_cast<const uint8_t*>(index.data()), index.size());
                    index += le64(crc).substr(0, 4);
                }
                put(key, v.indexAtStart ? index + data : data + index);
            }
    return keys;
}

TEST(ZarrV3, ChunksAndShardsWrittenByHand) {
    const std::string check = "123456789";
    EXPECT_EQ(zarr::crc32c(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0xE3069283u);
    V3 big, packed, sharded, shardedAtStart, dotted;
    big.endian = "big";
    packed.zstd = true;
    sharded.sharded = true;
    shardedAtStart.sharded = shardedAtStart.indexAtStart = shardedAtStart.zstd = true;
    shardedAtStart.crc = false;
    dotted.separator = ".";
    for (const V3& v : {V3(), big, packed, sharded, shardedAtStart, dotted}) {
        SCOPED_TRACE(v.endian + (v.zstd ? " zstd" : "") + (v.sharded ? " sharded" : "") + (v.indexAtStart ? " at start" : "") + v.separator);
        FileInfo info;
        std::string reason;
        ASSERT_TRUE(zarr::readImage(zarr::openMemory(writeV3(v)), "v3", info, reason)) << reason;
        ASSERT_EQ(info.pages.size(), 3u);
        EXPECT_EQ(info.pages[0].samples, formats::Samples::Unsigned16);
        EXPECT_EQ(info.unit, "mm");
        EXPECT_EQ(info.voxelSize[0], 1.25);
        EXPECT_EQ(info.voxelSize[2], 3.0);
        std::string got = readPages("v3", info), expected;
        for (int64_t z = 0; z < 3; ++z)
            for (int64_t y = 0; y < 5; ++y)
                for (int64_t x = 0; x < 6; ++x) {
                    const bool unwritten = (z == 2 && y < 4 && x >= 4) || (v.sharded && z == 1 && (y < 2 || y == 4) && (x == 2 || x == 3));
                    const uint16_t s = unwritten ? kFill : value(z, y, x);
                    expected += std::string(reinterpret_cast<const char*>(&s), 2);
                }
        EXPECT_TRUE(got == expected);
    }
}

// ---- Hostile input ----

// A small v2 image in memory: 2 x 2 x 2 samples of uint8 in one raw chunk.
std::map<std::string, std::vector<uint8_t>> smallV2(const std::string& zarray, const std::string& chunk) {
    const auto bytes = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    return {{".zattrs", bytes(R"({"multiscales":[{"version":"0.4","axes":["z","y","x"],"datasets":[{"path":"0"}]}]})")},
            {"0/.zarray", bytes(zarray)},
            {"0/0.0.0", bytes(chunk)}};
}
std::string zarray(const std::string& shape, const std::string& chunks = "[2,2,2]", const std::string& dtype = "|u1",
                   const std::string& compressor = "null") {
    return R"({"zarr_format":2,"shape":)" + shape + R"(,"chunks":)" + chunks + R"(,"dtype":")" + dtype +
           R"(","compressor":)" + compressor + R"(,"fill_value":0,"filters":null,"order":"C"})";
}

TEST(ZarrRead, HostileMetadataAndChunksRefusedWithWhereAndWhy) {
    const std::string good = zarray("[2,2,2]"), eight(8, '\x05');
    const std::string deep = std::string(100000, '[');
    struct Case {
        std::string name;
        std::map<std::string, std::vector<uint8_t>> keys;
        std::string words;  // in the refusal of the header, or of the first page's decoding
    };
    auto disagree = smallV2(good, eight);
    const std::string twoDims = R"({"zarr_format":2,"shape":[2,2],"chunks":[2,2],"dtype":"|u1","compressor":null,"fill_value":0,"filters":null})";
    disagree["1/.zarray"] = std::vector<uint8_t>(twoDims.begin(), twoDims.end());
    const std::string two = R"({"multiscales":[{"axes":["z","y","x"],"datasets":[{"path":"0"},{"path":"1"}]}]})";
    disagree[".zattrs"] = std::vector<uint8_t>(two.begin(), two.end());
    auto notJson = smallV2(good, eight);
    notJson[".zattrs"] = {'{', 'x'};
    auto nested = smallV2(good, eight);
    nested["0/.zarray"] = std::vector<uint8_t>(deep.begin(), deep.end());
    const Case cases[] = {
        {"zero shape", smallV2(zarray("[0,2,2]"), eight), "\"memory:0/.zarray\" has a shape of 0 along an axis"},
        {"negative chunk", smallV2(zarray("[2,2,2]", "[2,-1,2]"), eight), "has a chunk shape of -1 along an axis"},
        {"overflow", smallV2(zarray("[4000000,4000000,4000000]"), eight), "whose product is too large"},
        {"huge chunk", smallV2(zarray("[2,2,2]", "[2000,2000,1000]"), eight), "more than a chunk may hold"},
        {"unknown dtype", smallV2(zarray("[2,2,2]", "[2,2,2]", "<c8"), eight), "data type \"<c8\" that is not read"},
        {"unknown codec", smallV2(zarray("[2,2,2]", "[2,2,2]", "|u1", R"({"id":"lzma"})"), eight), "compressor \"lzma\""},
        {"not json", notJson, "\"memory:.zattrs\" is not JSON"},
        {"nested", nested, "nested more than 64 levels"},
        {"levels disagree", disagree, "level 1 (\"memory:1/.zarray\") has 2 dimensions, but the axes name 3"},
        {"chunk too large", smallV2(good, std::string(10000, 'x')), "\"memory:0/0.0.0\" holds 10000 bytes, more than its chunk"},
        {"fill too large", smallV2(zarray("[2,2,2]").replace(good.find("\"fill_value\":0"), 14, "\"fill_value\":256"), eight),
         "has a fill_value that its data type cannot hold"},
        {"column order", smallV2(zarray("[2,2,2]").replace(good.find("\"order\":\"C\""), 11, "\"order\":\"F\""), eight),
         "column order"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FileInfo info;
        std::string reason;
        if (zarr::readImage(zarr::openMemory(c.keys), "img", info, reason)) {
            Page page;
            EXPECT_FALSE(formats::decodePage("img", info, 0, page, reason));
        }
        EXPECT_NE(reason.find(c.words), std::string::npos) << reason;
    }
    // Damaged chunks: the page is read, the chunk shown as the fill value, and said.
    for (auto [compressor, chunk, words] :
         {std::make_tuple("null", std::string(7, '\x05'), "holds 7 bytes decoded, where its shape says 8"),
          std::make_tuple(R"({"id":"zlib"})", std::string("\x78\x9c\x01\x02", 4), "is not a whole zlib stream"),
          std::make_tuple(R"({"id":"blosc"})", std::string(20, '\x02'), "is not a whole blosc buffer"),
          std::make_tuple(R"({"id":"zstd"})", std::string(12, '\x28'), "is not a whole zstd frame")}) {
        FileInfo info;
        std::string reason;
        ASSERT_TRUE(zarr::readImage(zarr::openMemory(smallV2(zarray("[2,2,2]", "[2,2,2]", "|u1", compressor), chunk)), "img", info, reason));
        Page page;
        ASSERT_TRUE(formats::decodePage("img", info, 0, page, reason)) << reason;
        EXPECT_EQ(page.s8, std::vector<uint8_t>(4, 0));
        EXPECT_NE(page.warning.find(std::string("the chunk \"memory:0/0.0.0\" ") + words), std::string::npos) << page.warning;
    }
    // A shard index pointing past its file's end, found by its checksum or by the store.
    for (bool crc : {true, false}) {
        V3 v;
        v.sharded = true, v.crc = crc;
        auto keys = writeV3(v);
        std::vector<uint8_t>& shard = keys["0/c/0/0/0"];
        shard[shard.size() - (crc ? 4 : 0) - 16 * 8 + 7] = 0x01;  // the first entry's offset + 2^56
        FileInfo info;
        std::string reason;
        ASSERT_TRUE(zarr::readImage(zarr::openMemory(keys), "img", info, reason));
        Page page;
        EXPECT_FALSE(formats::decodePage("img", info, 0, page, reason));
        const std::string words = crc ? "has a shard index that fails its CRC-32C checksum" : "is shorter than its index says";
        EXPECT_NE(reason.find("\"memory:0/c/0/0/0\" " + words), std::string::npos) << reason;
    }
}

TEST(ZarrRead, PlaneIsOneLayerSeriesBelowItsRootAndCancelStopsTheReading) {
    auto keys = smallV2(R"({"zarr_format":2,"shape":[3,2],"chunks":[2,2],"dtype":"|u1","compressor":null,"fill_value":4,"filters":null})",
                        "");
    keys.erase("0/0.0.0");
    keys["0/0.0"] = {1, 2, 3, 5};
    const std::string yx = R"({"multiscales":[{"axes":["y","x"],"datasets":[{"path":"0"}]}]})";
    keys[".zattrs"] = std::vector<uint8_t>(yx.begin(), yx.end());
    FileInfo info;
    std::string reason;
    ASSERT_TRUE(zarr::readImage(zarr::openMemory(keys), "plane", info, reason)) << reason;
    ASSERT_EQ(info.pages.size(), 1u);
    ASSERT_EQ(info.levels.size(), 1u);
    Page page;
    ASSERT_TRUE(formats::decodePage("plane", info, 0, page, reason)) << reason;
    EXPECT_EQ(page.s8, (std::vector<uint8_t>{1, 2, 3, 5, 4, 4}));  // the last row's chunk is the fill value
    // The same image as bioformats2raw lays it out: the series "0" below a root that names the layout.
    std::map<std::string, std::vector<uint8_t>> series;
    for (const auto& [key, bytes] : keys) series["0/" + key] = bytes;
    const std::string layout = R"({"bioformats2raw.layout":3})";
    series[".zattrs"] = std::vector<uint8_t>(layout.begin(), layout.end());
    FileInfo nested;
    ASSERT_TRUE(zarr::readImage(zarr::openMemory(series), "series", nested, reason)) << reason;
    EXPECT_EQ(readPages("series", nested), std::string("\x01\x02\x03\x05\x04\x04"));
    // Older data name no axes: the last two dimensions are y and x.
    const std::string unnamed = R"({"multiscales":[{"datasets":[{"path":"0"}]}]})";
    keys[".zattrs"] = std::vector<uint8_t>(unnamed.begin(), unnamed.end());
    FileInfo plain;
    ASSERT_TRUE(zarr::readImage(zarr::openMemory(keys), "unnamed", plain, reason)) << reason;
    EXPECT_EQ(readPages("unnamed", plain), std::string("\x01\x02\x03\x05\x04\x04"));
    formats::omeZarr.cancel(info);
    EXPECT_FALSE(formats::decodePage("plane", info, 0, page, reason));
    EXPECT_NE(reason.find("the load was cancelled"), std::string::npos) << reason;
}

}  // namespace
