#include "zarrwrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <vector>

#include "parallel.h"
#include "voxelmap.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr int kChunk = 64;
constexpr int kLevel = 1;  // zstd's fastest strong level: a save of gigabytes stays quick

// One level of the pyramid: RGBA voxels, x fastest. Level 0 points into the volume.
struct Level {
    int w = 0, h = 0, d = 0;
    const voxel* v = nullptr;
    VoxelArray own;
    int64_t count() const { return int64_t(w) * h * d; }
};

// The next level: each voxel the rounded mean of the 2 x 2 x 2 block (or fewer at faces) below.
bool halve(const Level& in, Level& out) {
    out.w = (in.w + 1) / 2, out.h = (in.h + 1) / 2, out.d = (in.d + 1) / 2;
    out.own = allocateVoxels(out.count());
    if (!out.own) return false;
    out.v = out.own.get();
    voxel* dst = out.own.get();
    parallelBands(out.d, [&](int z0, int z1) {
        for (int z = z0; z < z1; ++z)
            for (int y = 0; y < out.h; ++y)
                for (int x = 0; x < out.w; ++x) {
                    int sum[4] = {0, 0, 0, 0}, n = 0;
                    for (int k = 2 * z; k < std::min(2 * z + 2, in.d); ++k)
                        for (int j = 2 * y; j < std::min(2 * y + 2, in.h); ++j)
                            for (int i = 2 * x; i < std::min(2 * x + 2, in.w); ++i) {
                                const voxel s = in.v[(int64_t(k) * in.h + j) * in.w + i];
                                sum[0] += s.r, sum[1] += s.g, sum[2] += s.b, sum[3] += s.a, ++n;
                            }
                    auto mean = [&](int c) { return static_cast<unsigned char>((sum[c] + n / 2) / n); };
                    dst[(int64_t(z) * out.h + y) * out.w + x] = voxel(mean(0), mean(1), mean(2), mean(3));
                }
    });
    return true;
}

// 1 for grey and opaque everywhere, 3 for opaque, else 4.
int channelsOf(const voxel* v, int64_t n) {
    std::atomic<bool> coloured{false}, seeThrough{false};
    const int bands = static_cast<int>(std::min<int64_t>(n, 1 << 20));
    parallelBands(bands, [&](int b0, int b1) {
        bool c = false, t = false;
        for (int64_t i = n * b0 / bands; i < n * b1 / bands; ++i) {
            c |= v[i].r != v[i].g || v[i].g != v[i].b;
            t |= v[i].a != 255;
        }
        if (c) coloured = true;
        if (t) seeThrough = true;
    });
    return seeThrough ? 4 : coloured ? 3 : 1;
}

std::string unitName(const std::string& unit) {
    if (unit == "µm") return "micrometer";
    if (unit == "mm") return "millimeter";
    if (unit == "nm") return "nanometer";
    return "";
}

json attributes(const voxelmap& map, int channels, int levels, const std::string& name) {
    json axes = json::array();
    if (channels > 1) axes.push_back({{"name", "c"}, {"type", "channel"}});
    const std::string unit = unitName(map.unit);
    for (const char* a : {"z", "y", "x"}) {
        json axis = {{"name", a}, {"type", "space"}};
        if (!unit.empty()) axis["unit"] = unit;
        axes.push_back(axis);
    }
    const double size[3] = {map.voxelSize.z(), map.voxelSize.y(), map.voxelSize.x()};
    json datasets = json::array();
    for (int k = 0; k < levels; ++k) {
        const double f = double(int64_t(1) << k);
        json scale = json::array(), shift = json::array();
        if (channels > 1) scale.push_back(1.0), shift.push_back(0.0);
        for (double s : size) scale.push_back(s * f), shift.push_back(s * (f - 1) / 2);
        json transforms = json::array({{{"type", "scale"}, {"scale", scale}}});
        if (k > 0) transforms.push_back({{"type", "translation"}, {"translation", shift}});
        datasets.push_back({{"path", std::to_string(k)}, {"coordinateTransformations", transforms}});
    }
    json ms = {{"version", "0.4"}, {"name", name}, {"axes", axes}, {"datasets", datasets}, {"type", "mean"}};
    // Display hints viewers read: each channel's colour and its 0..255 window (alpha off).
    static const char* const colour[] = {"FF0000", "00FF00", "0000FF", "FFFFFF"};
    static const char* const label[] = {"red", "green", "blue", "alpha"};
    json shown = json::array();
    for (int c = 0; c < channels; ++c)
        shown.push_back({{"label", channels == 1 ? "grey" : label[c]},
                         {"color", channels == 1 ? "FFFFFF" : colour[c]},
                         {"active", c < 3},
                         {"window", {{"min", 0}, {"max", 255}, {"start", 0}, {"end", 255}}}});
    json omero = {{"version", "0.4"}, {"channels", shown}, {"rdefs", {{"model", channels == 1 ? "greyscale" : "color"}}}};
    return {{"multiscales", json::array({ms})}, {"omero", omero}};
}

json arrayMeta(const Level& l, int channels) {
    json shape = json::array(), chunks = json::array();
    if (channels > 1) shape.push_back(channels), chunks.push_back(1);
    for (int n : {l.d, l.h, l.w}) shape.push_back(n), chunks.push_back(kChunk);
    return {{"zarr_format", 2},     {"shape", shape},   {"chunks", chunks},
            {"dtype", "|u1"},       {"order", "C"},     {"fill_value", 0},
            {"filters", nullptr},   {"dimension_separator", "/"},
            {"compressor", {{"id", "zstd"}, {"level", kLevel}}}};
}

// Writes bytes to file whole; false with errno's text.
bool writeFile(const std::string& file, const void* data, size_t size, std::string& why) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return why = std::strerror(errno), false;
    const char* p = static_cast<const char*>(data);
    for (size_t left = size; left > 0;) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            why = n < 0 ? std::strerror(errno) : "the disk took no more bytes";
            ::close(fd);
            return false;
        }
        p += n, left -= size_t(n);
    }
    if (::close(fd) != 0) return why = std::strerror(errno), false;
    return true;
}
bool writeText(const std::string& file, const json& j, std::string& why) {
    const std::string text = j.dump(2) + "\n";
    return writeFile(file, text.data(), text.size(), why);
}

int chunksAlong(int n) { return (n + kChunk - 1) / kChunk; }

// The chunk buffers of one writing thread.
struct Buffers {
    std::vector<uint8_t> raw, packed;
    ZSTD_CCtx* ctx = nullptr;
    ~Buffers() { ZSTD_freeCCtx(ctx); }
};

// Writes every chunk of level l into folder dir (which exists), counting them in written;
// the calling thread calls tick() after each chunk it writes. stop ends it early.
bool writeLevel(const Level& l, int channels, const std::string& dir, std::vector<Buffers>& buffers,
                std::atomic<int>& written, const std::function<void()>& tick, std::atomic<bool>& stop,
                std::string& why) {
    const int nx = chunksAlong(l.w), ny = chunksAlong(l.h), nz = chunksAlong(l.d);
    // Folders first, one thread: dir/[c/]z/y/.
    std::error_code ec;
    for (int c = 0; c < channels; ++c)
        for (int z = 0; z < nz; ++z)
            for (int y = 0; y < ny; ++y) {
                const std::string sub = dir + (channels > 1 ? "/" + std::to_string(c) : "") + "/" +
                                        std::to_string(z) + "/" + std::to_string(y);
                fs::create_directories(sub, ec);
                if (ec) return why = ec.message(), false;
            }
    std::mutex failed;
    const int tasks = channels * nz * ny * nx;
    runTasks(tasks, static_cast<int>(buffers.size()) - 1, [&](int t, int worker) {
        if (stop) return;
        const int x = t % nx, y = t / nx % ny, z = t / nx / ny % nz, c = t / nx / ny / nz;
        Buffers& b = buffers[worker];
        b.raw.assign(size_t(kChunk) * kChunk * kChunk, 0);
        const int x0 = x * kChunk, y0 = y * kChunk, z0 = z * kChunk;
        const int xs = std::min(kChunk, l.w - x0), ys = std::min(kChunk, l.h - y0), zs = std::min(kChunk, l.d - z0);
        for (int k = 0; k < zs; ++k)
            for (int j = 0; j < ys; ++j) {
                const voxel* src = l.v + (int64_t(z0 + k) * l.h + y0 + j) * l.w + x0;
                uint8_t* dst = &b.raw[(size_t(k) * kChunk + j) * kChunk];
                for (int i = 0; i < xs; ++i) dst[i] = (&src[i].r)[c];
            }
        if (!b.ctx) b.ctx = ZSTD_createCCtx();
        b.packed.resize(ZSTD_compressBound(b.raw.size()));
        const size_t n = b.ctx ? ZSTD_compressCCtx(b.ctx, b.packed.data(), b.packed.size(), b.raw.data(),
                                                   b.raw.size(), kLevel)
                               : 0;
        std::string whyHere;
        if (!b.ctx || ZSTD_isError(n)) {
            whyHere = "the chunks could not be compressed";
        } else {
            const std::string file = dir + (channels > 1 ? "/" + std::to_string(c) : "") + "/" + std::to_string(z) +
                                     "/" + std::to_string(y) + "/" + std::to_string(x);
            if (writeFile(file, b.packed.data(), n, whyHere)) whyHere.clear();
            else if (whyHere.empty()) whyHere = "unknown";
        }
        if (!whyHere.empty()) {
            std::lock_guard<std::mutex> lock(failed);
            if (!stop.exchange(true)) why = whyHere;
            return;
        }
        ++written;
        if (worker == 0) tick();
    });
    return !stop;
}

// Swaps the complete image at fresh into path, the old one (if any) removed after.
bool swapIn(const std::string& fresh, const std::string& path, bool existed, std::string& why) {
    if (!existed) {
        if (::rename(fresh.c_str(), path.c_str()) != 0) return why = std::strerror(errno), false;
        return true;
    }
    if (::renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) != 0) {
        // A file system without the exchange: the old one aside, the new one in, the old one gone.
        const std::string old = fresh + ".old";
        if (::rename(path.c_str(), old.c_str()) != 0) return why = std::strerror(errno), false;
        if (::rename(fresh.c_str(), path.c_str()) != 0) {
            why = std::strerror(errno);
            ::rename(old.c_str(), path.c_str());
            return false;
        }
        std::error_code ec;
        fs::remove_all(old, ec);
        return true;
    }
    std::error_code ec;
    fs::remove_all(fresh, ec);  // now the old image
    return true;
}

}  // namespace

bool isZarrImage(const std::string& path) {
    for (const char* meta : {"/.zattrs", "/zarr.json"}) {
        std::ifstream in(path + meta);
        if (!in) continue;
        const json j = json::parse(in, nullptr, false);
        if (j.is_discarded() || !j.is_object()) continue;
        if (j.contains("multiscales")) return true;
        if (j.contains("attributes") && j["attributes"].is_object() && j["attributes"].contains("ome")) return true;
    }
    return false;
}

bool writeZarr(const voxelmap& map, const std::string& pathIn, const std::function<bool(int, int)>& progress,
               std::string& reason) {
    std::string path = pathIn;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (!map.loaded || !map.voxels || map.numVoxels <= 0) return reason = "There is no volume to write.", false;
    const fs::path target(path);
    std::string parent = target.parent_path().string();
    if (parent.empty()) parent = ".";

    std::error_code ec;
    const fs::file_status st = fs::symlink_status(target, ec);
    const bool existed = fs::exists(st);
    if (existed && !fs::is_directory(st))
        return reason = "\"" + path + "\" is a file, not an OME-Zarr image; it was left as it is.", false;
    if (existed && !isZarrImage(path) && !fs::is_empty(target, ec))
        return reason = "\"" + path + "\" is a folder that is not an OME-Zarr image; it was left as it is.", false;

    const std::string keep = existed ? " The image that was there was left as it is." : "";
    auto fail = [&](const std::string& why) {
        reason = "\"" + path + "\" could not be written: " + why + "." + keep;
        return false;
    };
    const std::string fresh = parent + "/." + target.filename().string() + ".writing-" + std::to_string(::getpid());
    fs::remove_all(fresh, ec);  // left by a write that was killed
    if (::mkdir(fresh.c_str(), 0755) != 0) return fail(std::strerror(errno));
    auto abandon = [&](bool ok) {
        if (!ok) fs::remove_all(fresh, ec);
        return ok;
    };

    // The pyramid's shape.
    Level base;
    base.w = map.width, base.h = map.height, base.d = map.depth, base.v = map.voxels.get();
    int levels = 1;
    int total = 0;
    const int channels = channelsOf(base.v, base.count());
    for (int w = base.w, h = base.h, d = base.d;; ++levels) {
        total += channels * chunksAlong(w) * chunksAlong(h) * chunksAlong(d);
        if (std::max({w, h, d}) <= kChunk) break;
        w = (w + 1) / 2, h = (h + 1) / 2, d = (d + 1) / 2;
    }

    std::string why;
    const std::string name = target.stem().string();
    if (!writeText(fresh + "/.zgroup", json{{"zarr_format", 2}}, why) ||
        !writeText(fresh + "/.zattrs", attributes(map, channels, levels, name), why))
        return abandon(fail(why));

    std::vector<Buffers> buffers(size_t(std::max(1, workerCount())));
    std::atomic<bool> stop{false};
    bool cancelled = false;
    std::atomic<int> written{0};
    auto tick = [&] {
        if (progress && !progress(written.load(), total)) cancelled = true, stop = true;
    };
    Level current;
    const Level* l = &base;
    for (int k = 0; k < levels; ++k) {
        if (k > 0) {
            Level next;
            if (!halve(*l, next)) return abandon(fail("there is not enough memory for its coarser levels"));
            current = std::move(next);  // the level before is released here
            l = &current;
        }
        const std::string dir = fresh + "/" + std::to_string(k);
        if (!fs::create_directory(dir, ec)) return abandon(fail(ec ? ec.message() : "its folder exists"));
        if (!writeText(dir + "/.zarray", arrayMeta(*l, channels), why)) return abandon(fail(why));
        const bool ok = writeLevel(*l, channels, dir, buffers, written, tick, stop, why);
        if (!cancelled && ok) tick();
        if (cancelled) return abandon(false), reason = "cancelled", false;
        if (!ok) return abandon(fail(why));
    }
    // On disk before it replaces anything.
    const int dirFd = ::open(fresh.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return abandon(fail(std::strerror(errno)));
    const bool synced = ::syncfs(dirFd) == 0;
    const int syncErr = errno;
    ::close(dirFd);
    if (!synced) return abandon(fail(std::strerror(syncErr)));
    if (!swapIn(fresh, path, existed, why)) return abandon(fail(why));
    return true;
}
