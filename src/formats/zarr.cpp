// OME-Zarr images (OME-NGFF 0.4 on Zarr v2, 0.5 on Zarr v3): a multiscale pyramid of
// chunked arrays in a folder or behind an http(s) URL, read through a store (zarrstore.h).
//
// The header reads only metadata: the multiscales attributes and every level's array, all
// checked before a chunk is read. Pages are the z layers of the selected box at the selected
// level (select). The first time point is read; of channels, the first, or RGB where there are
// exactly 3, or RGBA where there are exactly 4 of 8-bit samples (as this program writes a
// volume with alpha).
//
// Decoding reads chunk slabs: all chunks of the box in one chunk row along z, fetched and
// decoded by a bounded number of tasks (the store's parallel()), held in the file's shared
// state until every layer of the slab has been taken, then freed. Pages decoded a few ahead
// of the one being copied meet at most about two slabs at a time, so the memory beyond the
// volume is about 2 x box width x box height x chunk depth x sample bytes x channels, plus one
// stored and one decoded chunk per task.
#include "zarr.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <future>
#include <map>
#include <mutex>

#include "zarrchunk.h"
#include "zarrmeta.h"

namespace formats {
namespace zarr {
namespace {

using nlohmann::json;

// Metadata larger than this is refused: it is a few kilobytes.
constexpr int64_t kMaxMetadata = int64_t(16) << 20;
// The most layers a level's box may have: the pages' list is sized by it.
constexpr int64_t kMaxLayers = int64_t(1) << 20;

enum Role { T, C, Z, Y, X };

struct Image {
    std::shared_ptr<Store> store;
    std::string name;
    Multiscale ms;
    std::vector<ArrayMeta> arrays;  // per level
    int axis[5] = {-1, -1, -1, -1, -1};  // the array dimension of t, c, z, y, x; -1: absent
    int channels = 1;                    // taken into a page: 1, 3 or 4
    std::vector<Level> levels;
    std::string unit;       // as sayVoxelSize takes it
    double unitScale = 1;   // what sayVoxelSize multiplies sizes in that unit by
};

struct Slab {
    enum { Loading, Ready, Failed } state = Loading;
    // Every sample is written by the chunks meeting it (or their fill value) before it is
    // read, so the slab is not cleared first.
    std::unique_ptr<uint8_t[]> data;
    int64_t z0 = 0, z1 = 0;
    int64_t taken = 0;
    std::string warning, error;
};

// The pages' selection and what their decodes share.
struct State {
    std::shared_ptr<const Image> image;
    int level = 0;
    int64_t box[6] = {0, 0, 0, 0, 0, 0};  // at the level, ends exclusive
    std::mutex m;
    std::condition_variable cv;
    std::map<int64_t, std::shared_ptr<Slab>> slabs;  // by chunk row along z
    // The memory of the slab freed last, for the next (fresh memory costs a page fault a page).
    std::unique_ptr<uint8_t[]> spare;
    size_t spareBytes = 0;
    std::map<std::string, std::shared_ptr<const std::vector<ShardEntry>>> shards;
};

bool fail(std::string& reason, const std::string& words) {
    reason = words;
    return false;
}

// Reads and parses a metadata key: Found, Missing, or Failed with the reason.
Got readJson(Store& s, const std::string& key, json& j, std::string& reason) {
    std::vector<uint8_t> bytes;
    std::string why;
    const Got g = s.get(key, kMaxMetadata, bytes, why);
    if (g == Got::Failed) reason = "cannot be read: " + s.where(key) + " " + why;
    if (g != Got::Found) return g;
    if (!parseJson(bytes, j, why)) return reason = "is not a readable OME-Zarr image: " + s.where(key) + " " + why, Got::Failed;
    return Got::Found;
}

std::string unitName(const std::string& u, double& scale) {
    scale = 1;
    if (u == "micrometer") return "µm";
    if (u == "millimeter") return "mm";
    if (u == "nanometer") return "nm";
    if (u == "centimeter") return scale = 10, "cm";
    if (u == "meter") return scale = 1000, "m";
    return u;  // another unit: the sizes' ratios are kept without it
}

int64_t extent(const Image& im, int level, Role r) {
    return im.axis[r] < 0 ? 1 : im.arrays[size_t(level)].shape[size_t(im.axis[r])];
}

// The pages and sizes of info for the state's level and box.
bool apply(FileInfo& info, const std::shared_ptr<State>& st, std::string& reason) {
    const Image& im = *st->image;
    const int64_t* b = st->box;
    const int64_t w = b[1] - b[0], h = b[3] - b[2], d = b[5] - b[4];
    if (w > INT_MAX || h > INT_MAX) return fail(reason, "has layers of " + std::to_string(w) + " x " + std::to_string(h) + " pixels, more than an image can hold");
    if (d > kMaxLayers) return fail(reason, "has " + std::to_string(d) + " layers in the region, more than a volume can hold");
    const ArrayMeta& a = im.arrays[size_t(st->level)];
    PageInfo page;
    page.width = int(w), page.height = int(h);
    page.samples = a.samples;
    page.bits = bitsOf(a.samples);
    info.pages.assign(size_t(d), page);
    // One page, and a share of two slabs and of each task's chunks, per page in flight (at least 4).
    const int64_t chunkDepth = im.axis[Z] < 0 ? 1 : std::min<int64_t>(d, a.chunks[size_t(im.axis[Z])]);
    const int64_t layer = w * h * im.channels * a.itemBytes;
    const int64_t tasks = std::max(1, im.store->parallel());
    info.decodeBytes = layer + (2 * layer * chunkDepth + tasks * 2 * a.chunkBytes()) / 4;
    info.level = st->level;
    const Level& l = im.levels[size_t(st->level)];
    info.voxelSize[0] = info.voxelSize[1] = info.voxelSize[2] = 0;
    info.unit.clear();
    sayVoxelSize(info, l.voxelSize[0], l.voxelSize[1], l.voxelSize[2], im.unit);
    const std::vector<double>& scale = im.ms.scales[size_t(st->level)];
    const std::vector<double>& shift = im.ms.translations[size_t(st->level)];
    info.hasTranslation = false;
    const Role roles[3] = {X, Y, Z};
    for (int k = 0; k < 3; ++k) {
        const int ax = im.axis[roles[k]];
        const double t = ax < 0 ? 0 : shift[size_t(ax)], s = ax < 0 ? 0 : scale[size_t(ax)];
        info.translation[k] = (t + s * double(b[2 * k])) * im.unitScale;
        info.hasTranslation = info.hasTranslation || info.translation[k] != 0;
    }
    info.description = im.levels.size() > 1 ? "level " + std::to_string(st->level) + " of " + std::to_string(im.levels.size()) : "";
    info.shared = st;
    return true;
}

// Copies the part of one chunk (its samples, or null for the fill value) inside the box
// into the slab (layout [z][y][x][channel]).
void place(const Image& im, const State& st, const ArrayMeta& a, const std::vector<int64_t>& idx, const uint8_t* chunk,
           Slab& slab) {
    const int dims = int(a.shape.size());
    std::vector<int64_t> stride(size_t(dims), 1);
    for (int d = dims - 2; d >= 0; --d) stride[size_t(d)] = stride[size_t(d + 1)] * a.chunks[size_t(d + 1)];
    const auto origin = [&](Role r) { return im.axis[r] < 0 ? 0 : idx[size_t(im.axis[r])] * a.chunks[size_t(im.axis[r])]; };
    const auto size = [&](Role r) { return im.axis[r] < 0 ? 1 : a.chunks[size_t(im.axis[r])]; };
    const auto step = [&](Role r) { return im.axis[r] < 0 ? 0 : stride[size_t(im.axis[r])]; };
    const int64_t* b = st.box;
    const int64_t x0 = std::max(b[0], origin(X)), x1 = std::min(b[1], origin(X) + size(X));
    const int64_t y0 = std::max(b[2], origin(Y)), y1 = std::min(b[3], origin(Y) + size(Y));
    const int64_t z0 = std::max(slab.z0, origin(Z)), z1 = std::min(slab.z1, origin(Z) + size(Z));
    const int64_t c0 = std::max<int64_t>(0, origin(C)), c1 = std::min<int64_t>(im.channels, origin(C) + size(C));
    const int64_t item = a.itemBytes, ch = im.channels, w = b[1] - b[0], h = b[3] - b[2];
    const int64_t run = x1 - x0;
    if (run <= 0 || y1 <= y0 || z1 <= z0 || c1 <= c0) return;
    for (int64_t c = c0; c < c1; ++c)
        for (int64_t z = z0; z < z1; ++z)
            for (int64_t y = y0; y < y1; ++y) {
                uint8_t* to = slab.data.get() + size_t((((z - slab.z0) * h + (y - b[2])) * w + (x0 - b[0])) * ch + c) * size_t(item);
                if (!chunk) {
                    for (int64_t x = 0; x < run; ++x) std::memcpy(to + size_t(x * ch * item), a.fill.data(), size_t(item));
                    continue;
                }
                const int64_t at = (c - origin(C)) * step(C) + (z - origin(Z)) * step(Z) + (y - origin(Y)) * step(Y) +
                                   (x0 - origin(X)) * step(X);
                const uint8_t* from = chunk + at * item;
                if (ch == 1 && step(X) == 1) {
                    std::memcpy(to, from, size_t(run * item));
                    continue;
                }
                for (int64_t x = 0; x < run; ++x)
                    std::memcpy(to + size_t(x * ch * item), from + size_t(x * step(X) * item), size_t(item));
            }
}

// The stored bytes of one chunk (an inner chunk of a shard when sharded): Found, Missing
// (the fill value), or Failed with the reason (where included).
Got fetch(const Image& im, State& st, const ArrayMeta& a, const std::string& path, const std::vector<int64_t>& idx,
          std::vector<uint8_t>& out, std::string& key, std::string& reason) {
    Store& s = *im.store;
    // Stored chunks compress; those that do not are a little larger than their samples.
    const int64_t most = a.chunkBytes() + a.chunkBytes() / 8 + 4096;
    std::string why;
    if (!a.sharded) {
        key = chunkKey(a, path, idx);
        const Got g = s.get(key, most, out, why);
        if (g == Got::Failed) reason = s.where(key) + " " + why;
        return g;
    }
    std::vector<int64_t> shard(idx.size());
    int64_t inner = 0, count = 1;
    for (size_t d = 0; d < idx.size(); ++d) {
        const int64_t per = a.shardShape[d] / a.chunks[d];
        shard[d] = idx[d] / per;
        inner = inner * per + idx[d] % per;
        count *= per;
    }
    key = chunkKey(a, path, shard);
    std::shared_ptr<const std::vector<ShardEntry>> index;
    {
        std::lock_guard<std::mutex> lock(st.m);
        const auto it = st.shards.find(key);
        if (it != st.shards.end()) index = it->second;
    }
    if (!index) {
        const int64_t bytes = shardIndexBytes(a, count);
        std::vector<uint8_t> raw;
        const Got g = s.getRange(key, a.indexAtEnd ? -1 : 0, bytes, raw, why);
        if (g == Got::Missing) return g;
        auto entries = std::make_shared<std::vector<ShardEntry>>();
        if (g == Got::Failed || !parseShardIndex(a, raw, count, *entries, why)) return reason = s.where(key) + " " + why, Got::Failed;
        std::lock_guard<std::mutex> lock(st.m);
        st.shards[key] = entries;
        index = entries;
    }
    const ShardEntry e = (*index)[size_t(inner)];
    if (e.offset == UINT64_MAX && e.size == UINT64_MAX) return Got::Missing;
    if (int64_t(e.size) > most) return reason = s.where(key) + " has a chunk of " + std::to_string(e.size) + " bytes, more than its shape can hold", Got::Failed;
    const Got g = s.getRange(key, int64_t(e.offset), int64_t(e.size), out, why);
    if (g == Got::Missing || g == Got::Failed) return reason = s.where(key) + " " + (g == Got::Missing ? "is gone" : why), Got::Failed;
    return g;
}

// Reads and decodes every chunk of the box meeting the slab's layers into it.
void loadSlab(State& st, Slab& slab) {
    const Image& im = *st.image;
    const ArrayMeta& a = im.arrays[size_t(st.level)];
    const std::string& path = im.ms.paths[size_t(st.level)];
    const int dims = int(a.shape.size());
    // The chunk index ranges along each dimension.
    std::vector<int64_t> lo(size_t(dims), 0), hi(size_t(dims), 1);
    const auto range = [&](Role r, int64_t from, int64_t to) {
        if (im.axis[r] < 0) return;
        const size_t d = size_t(im.axis[r]);
        lo[d] = from / a.chunks[d], hi[d] = (to - 1) / a.chunks[d] + 1;
    };
    range(X, st.box[0], st.box[1]);
    range(Y, st.box[2], st.box[3]);
    range(Z, slab.z0, slab.z1);
    range(C, 0, im.channels);
    range(T, 0, 1);
    std::vector<std::vector<int64_t>> chunks;
    std::vector<int64_t> idx = lo;
    for (;;) {
        chunks.push_back(idx);
        int d = dims - 1;
        for (; d >= 0 && ++idx[size_t(d)] == hi[size_t(d)]; --d) idx[size_t(d)] = lo[size_t(d)];
        if (d < 0) break;
    }
    std::atomic<size_t> next{0};
    std::mutex m;
    const auto work = [&] {
        std::vector<uint8_t> stored, decoded;
        for (size_t k; (k = next++) < chunks.size();) {
            std::string key, reason;
            const Got g = fetch(im, st, a, path, chunks[k], stored, key, reason);
            if (g == Got::Failed) {
                std::lock_guard<std::mutex> lock(m);
                if (slab.error.empty()) slab.error = reason;
                next = chunks.size();  // the rest would fail the same way, or the load was cancelled
                return;
            }
            if (g == Got::Missing) {
                place(im, st, a, chunks[k], nullptr, slab);
                continue;
            }
            if (!decodeChunk(a, stored, decoded, reason)) {
                place(im, st, a, chunks[k], nullptr, slab);
                std::lock_guard<std::mutex> lock(m);
                addWarning(slab.warning, "the chunk " + im.store->where(key) + " " + reason + "; its samples are shown as the fill value");
                continue;
            }
            place(im, st, a, chunks[k], decoded.data(), slab);
        }
    };
    const int tasks = int(std::min<size_t>(size_t(std::max(1, im.store->parallel())), chunks.size()));
    std::vector<std::future<void>> helpers;
    for (int t = 1; t < tasks; ++t) helpers.push_back(std::async(std::launch::async, work));
    work();
    for (std::future<void>& f : helpers) f.get();
}

bool decode(const std::string&, const FileInfo& info, int page, Page& out, std::string& reason) {
    const auto st = std::static_pointer_cast<State>(info.shared);
    if (!st) return fail(reason, kDamaged);
    const Image& im = *st->image;
    const ArrayMeta& a = im.arrays[size_t(st->level)];
    const int64_t z = st->box[4] + page;
    const int64_t depth = im.axis[Z] < 0 ? 1 : a.chunks[size_t(im.axis[Z])];
    const int64_t row = z / depth;
    const int64_t w = st->box[1] - st->box[0], h = st->box[3] - st->box[2];
    const size_t layer = size_t(w * h * im.channels * a.itemBytes);
    std::unique_lock<std::mutex> lock(st->m);
    std::shared_ptr<Slab> held;
    const auto it = st->slabs.find(row);
    if (it != st->slabs.end()) {
        held = it->second;
    } else {
        held = st->slabs[row] = std::make_shared<Slab>();
        Slab& s = *held;
        s.z0 = std::max(st->box[4], row * depth), s.z1 = std::min(st->box[5], (row + 1) * depth);
        const size_t bytes = layer * size_t(s.z1 - s.z0);
        if (st->spare && st->spareBytes == bytes) s.data = std::move(st->spare);
        lock.unlock();
        try {
            if (!s.data) s.data.reset(new uint8_t[bytes]);
            loadSlab(*st, s);
        } catch (const std::bad_alloc&) {
            s.error = kNoMemory;
            s.data.reset();
        }
        lock.lock();
        s.state = s.error.empty() ? Slab::Ready : Slab::Failed;
        st->cv.notify_all();
    }
    Slab& s = *held;
    st->cv.wait(lock, [&] { return s.state != Slab::Loading; });
    const bool ok = s.state == Slab::Ready;
    if (ok) {
        // A ready slab does not change, and its memory goes only once no page holds it:
        // pages copy out of it at the same time.
        lock.unlock();
        out.width = int(w), out.height = int(h), out.channels = im.channels;
        out.samples = a.samples, out.bits = bitsOf(a.samples);
        const uint8_t* from = s.data.get() + layer * size_t(z - s.z0);
        const size_t n = layer / size_t(a.itemBytes);
        switch (a.itemBytes) {
            case 1: out.s8.assign(from, from + n); break;
            case 2: out.s16.resize(n), std::memcpy(out.s16.data(), from, layer); break;
            case 4: out.s32.resize(n), std::memcpy(out.s32.data(), from, layer); break;
            default: out.s64.resize(n), std::memcpy(out.s64.data(), from, layer); break;
        }
        out.warning = s.warning;
        lock.lock();
    } else {
        reason = s.error == kNoMemory ? s.error : "could not be read: " + s.error;
    }
    // Freed once every layer was taken (a second pass over the layers reads it again).
    if (++s.taken >= s.z1 - s.z0) {
        const auto at = st->slabs.find(row);
        if (at != st->slabs.end() && at->second == held) {
            st->slabs.erase(at);  // held is now its only owner, unless another page waits on it
            if (s.data && held.use_count() == 1) st->spareBytes = layer * size_t(s.z1 - s.z0), st->spare = std::move(s.data);
        }
    }
    return ok;
}

bool select(FileInfo& info, int level, const int box[6], std::string& reason) {
    const auto old = std::static_pointer_cast<State>(info.shared);
    if (!old) return fail(reason, kDamaged);
    const Image& im = *old->image;
    const int count = int(im.levels.size());
    if (level < 0 || level >= count)
        return fail(reason, "has no level " + std::to_string(level) + ": its levels are 0 to " + std::to_string(count - 1));
    auto st = std::make_shared<State>();
    st->image = old->image;
    st->level = level;
    const Level& l = im.levels[size_t(level)];
    const int64_t size[3] = {l.width, l.height, l.depth};
    for (int k = 0; k < 3; ++k) {
        int64_t from = 0, to = size[k];
        if (box) {
            if (box[2 * k] >= box[2 * k + 1])
                return fail(reason, "cannot be opened in an empty region (" + std::to_string(box[2 * k]) + ":" +
                                        std::to_string(box[2 * k + 1]) + " along " + "xyz"[k] + ")");
            const double f = l.factor[k];
            from = std::max<int64_t>(0, int64_t(std::floor(box[2 * k] / f + 1e-9)));
            to = std::min<int64_t>(size[k], int64_t(std::ceil(box[2 * k + 1] / f - 1e-9)));
            if (from >= to)
                return fail(reason, std::string("has nothing in the region chosen: it lies outside the image along ") + "xyz"[k]);
        }
        st->box[2 * k] = from, st->box[2 * k + 1] = to;
    }
    return apply(info, st, reason);
}

void cancel(const FileInfo& info) {
    if (const auto st = std::static_pointer_cast<State>(info.shared)) *st->image->store->cancel = true;
}

// A folder that holds an image's metadata.
bool isImageFolder(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    for (const char* name : {"/zarr.json", "/.zattrs", "/.zgroup", "/.zarray"})
        if (stat((path + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) return true;
    return false;
}

// A file with first bytes is no folder: no look at the disc for those.
bool recognise(const std::string& path, const unsigned char*, size_t size) {
    return isUrl(path) || (size == 0 && isImageFolder(path));
}

bool header(const std::string& path, FileInfo& info, std::string& reason) {
    std::unique_ptr<Store> store = openStore(path, reason);
    if (!store) return false;
    return readImage(std::shared_ptr<Store>(std::move(store)), path, info, reason);
}

}  // namespace

bool readImage(std::shared_ptr<Store> store, const std::string& name, FileInfo& info, std::string& reason) {
    info.reader = &omeZarr;
    try {
        auto im = std::make_shared<Image>();
        im->store = store;
        im->name = name;
        Store& s = *store;
        // The root: zarr.json (v3) or .zattrs (v2); an array at the root is one level.
        json root, attrs;
        int version = 3;
        Got g = readJson(s, "zarr.json", root, reason);
        if (g == Got::Failed) return false;
        const auto attributesOf = [](json& node) {
            const json* a = node.is_object() && node.contains("attributes") ? &node["attributes"] : nullptr;
            return a && a->is_object() && a->contains("ome") ? (*a)["ome"] : a ? *a : json::object();
        };
        if (g == Got::Found) {
            attrs = attributesOf(root);
        } else {
            version = 2;
            g = readJson(s, ".zattrs", attrs, reason);
            if (g == Got::Failed) return false;
            if (g == Got::Missing) {
                std::vector<uint8_t> bytes;
                std::string why;
                const Got z = s.get(".zgroup", kMaxMetadata, bytes, why);
                const Got za = z == Got::Missing ? s.get(".zarray", kMaxMetadata, bytes, why) : z;
                if (za == Got::Missing) return fail(reason, "is not an OME-Zarr image: it holds no zarr.json, .zattrs or .zarray");
                if (za == Got::Failed) return fail(reason, "cannot be read: " + why);
            }
        }
        // bioformats2raw's layout: the image is the series "0" below the root.
        std::string prefix;
        if (attrs.is_object() && attrs.contains("bioformats2raw.layout") && !attrs.contains("multiscales")) {
            prefix = "0/";
            g = readJson(s, version == 3 ? "0/zarr.json" : "0/.zattrs", version == 3 ? root : attrs, reason);
            if (g == Got::Failed) return false;
            if (g == Got::Missing) return fail(reason, "is not a readable OME-Zarr image: its first series (" + s.where("0") + ") is missing");
            if (version == 3) attrs = attributesOf(root);
        }
        const bool rootArray = version == 3 ? root.value("node_type", json()) == json("array")
                                            : !attrs.is_object() || !attrs.contains("multiscales");
        // A bare array (no multiscales): one level at the root, its last dimensions z, y, x.
        json multi = attrs;
        if (rootArray || !attrs.is_object() || !attrs.contains("multiscales"))
            multi = json{{"multiscales", json::array({json{{"datasets", json::array({json{{"path", "."}}})}}})}};
        if (!parseMultiscales(multi, 3, im->ms, reason))
            return reason = "is not a readable OME-Zarr image: " + s.where(prefix + (version == 3 ? "zarr.json" : ".zattrs")) + " " + reason, false;
        // Every level's array, checked against the axes.
        const auto levelPath = [&](size_t k) {
            const std::string p = im->ms.paths[k] == "." ? std::string() : im->ms.paths[k];
            return prefix.empty() ? p : p.empty() ? prefix.substr(0, prefix.size() - 1) : prefix + p;
        };
        for (size_t k = 0; k < im->ms.paths.size(); ++k) {
            im->ms.paths[k] = levelPath(k);
            const std::string key = (im->ms.paths[k].empty() ? "" : im->ms.paths[k] + "/") + (version == 3 ? "zarr.json" : ".zarray");
            json j;
            g = readJson(s, key, j, reason);
            if (g == Got::Failed) return false;
            if (g == Got::Missing) return fail(reason, "is not a readable OME-Zarr image: level " + std::to_string(k) + " (" + s.where(key) + ") is missing");
            ArrayMeta a;
            std::string why;
            if (!(version == 3 ? parseArrayV3(j, a, why) : parseArrayV2(j, a, why)))
                return fail(reason, "is not a readable OME-Zarr image: " + s.where(key) + " " + why);
            if (k == 0 && namedAxes(multi) == 0 && a.shape.size() != im->ms.axes.size()) {
                if (!parseMultiscales(multi, int(a.shape.size()), im->ms, why)) return fail(reason, "is not a readable OME-Zarr image: " + why);
                im->ms.paths[0] = levelPath(0);
            }
            if (a.shape.size() != im->ms.axes.size())
                return fail(reason, "is not a readable OME-Zarr image: level " + std::to_string(k) + " (" + s.where(key) + ") has " +
                                        std::to_string(a.shape.size()) + " dimensions, but the axes name " + std::to_string(im->ms.axes.size()));
            im->arrays.push_back(std::move(a));
        }
        const std::vector<std::string>& axes = im->ms.axes;
        for (size_t d = 0; d < axes.size(); ++d) im->axis[std::string("tczyx").find(axes[d])] = int(d);
        const ArrayMeta& first = im->arrays.front();
        const int64_t channels = extent(*im, 0, C), times = extent(*im, 0, T);
        for (size_t k = 1; k < im->arrays.size(); ++k)
            if (extent(*im, int(k), C) != channels || extent(*im, int(k), T) != times)
                return fail(reason, "is not a readable OME-Zarr image: level " + std::to_string(k) + " (" + s.where(im->ms.paths[k]) +
                                        ") has other channels or time points than level 0");
        im->channels = channels == 3 ? 3 : channels == 4 && first.samples == Samples::Unsigned8 ? 4 : 1;
        if (times > 1) info.notes.push_back("holds " + std::to_string(times) + " time points; the first is shown.");
        if (channels == 3) info.notes.push_back("holds 3 channels, shown as red, green and blue.");
        else if (im->channels == 4) info.notes.push_back("holds 4 channels of 8-bit samples, shown as red, green, blue and alpha.");
        else if (channels > 1) info.notes.push_back("holds " + std::to_string(channels) + " channels; the first is shown.");
        // Levels: sizes, voxel sizes (the x axis's unit names them all), factors.
        const int xa = im->axis[X];
        im->unit = unitName(im->ms.units[size_t(xa)], im->unitScale);
        for (size_t k = 0; k < im->arrays.size(); ++k) {
            Level l;
            l.width = extent(*im, int(k), X), l.height = extent(*im, int(k), Y), l.depth = extent(*im, int(k), Z);
            const Role roles[3] = {X, Y, Z};
            const int64_t sizes[3] = {l.width, l.height, l.depth}, finest[3] = {extent(*im, 0, X), extent(*im, 0, Y), extent(*im, 0, Z)};
            for (int r = 0; r < 3; ++r) {
                const int ax = im->axis[roles[r]];
                const double sc = ax < 0 ? 0 : im->ms.scales[k][size_t(ax)], sc0 = ax < 0 ? 0 : im->ms.scales[0][size_t(ax)];
                l.voxelSize[r] = sc > 0 ? sc : 0;
                l.factor[r] = sc > 0 && sc0 > 0 && (sc != 1 || sc0 != 1) ? sc / sc0 : double(finest[r]) / double(sizes[r]);
            }
            im->levels.push_back(l);
        }
        info.levels = im->levels;
        auto st = std::make_shared<State>();
        st->image = im;
        st->box[1] = im->levels[0].width, st->box[3] = im->levels[0].height, st->box[5] = im->levels[0].depth;
        if (!apply(info, st, reason)) return false;
        return true;
    } catch (const json::exception& e) {
        return fail(reason, std::string("is not a readable OME-Zarr image: its metadata are not as expected (") + e.what() + ")");
    }
}

}  // namespace zarr

// (No arranging of several files, no decoding in bands: a chunk slab is the band.)
const Reader omeZarr = {"OME-Zarr",           zarr::recognise, zarr::header, zarr::decode,
                        "an OME-Zarr image", true,            nullptr,      nullptr,
                        zarr::select,        zarr::cancel};

}  // namespace formats
