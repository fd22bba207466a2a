// slabwright_bench_load: how long loading a stack takes against decoding the same
// files one after another on one thread. Writes 256 PNG files of 512 x 512 (RGB,
// compressed by libpng as a camera or a tool would) into a temporary folder, then times
// in one run: the plain loop (each file decoded by libpng into an RGBA buffer) and the
// program's load (headers, background decoding, copying into the volume). Prints both
// and the ratio. No display needed.
//
// --wide: one multi-page 16-bit grey TIFF of 512 x 512 x 300 (uncompressed) instead: a plain
// one-thread libtiff read of its strips against the load, which keeps the original samples
// (each page decoded once), and against the load without room for them (each page twice).
#include <png.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bigblock.h"
#include "parallel.h"
#include "stackio.h"
#include "voxelmap.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Image k of the stack: smooth colour with a little texture, so the PNG is a few hundred KB.
bool writePng(const std::string& path, int w, int h, int k) {
    std::vector<unsigned char> rgb(size_t(w) * h * 3);
    unsigned seed = 12345u + k;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245u + 12345u;
            unsigned char* p = &rgb[(size_t(y) * w + x) * 3];
            p[0] = static_cast<unsigned char>(x / 2 + (seed >> 28));
            p[1] = static_cast<unsigned char>(y / 2 + k);
            p[2] = static_cast<unsigned char>((x + y + 4 * k) / 4);
        }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = w;
    image.height = h;
    image.format = PNG_FORMAT_RGB;
    return png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr) != 0;
}

// The plain loop: every file decoded on this thread, one after another.
double plainLoop(const std::vector<std::string>& files, uint64_t& checksum) {
    const auto t0 = Clock::now();
    std::vector<unsigned char> buffer;
    for (const std::string& f : files) {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_file(&image, f.c_str())) return -1;
        image.format = PNG_FORMAT_RGBA;
        buffer.resize(PNG_IMAGE_SIZE(image));
        if (!png_image_finish_read(&image, nullptr, buffer.data(), 0, nullptr)) return -1;
        checksum += buffer[buffer.size() / 2];
    }
    return seconds(t0);
}

double programLoad(const std::vector<std::string>& files, uint64_t& checksum) {
    const auto t0 = Clock::now();
    stackio::Plan plan;
    std::string problem;
    if (!stackio::plan(files, plan, problem)) return std::fprintf(stderr, "%s\n", problem.c_str()), -1;
    voxelmap map;
    const stackio::Outcome o = stackio::build(plan, map, [](int) { return true; });
    if (!o.problem.empty()) return std::fprintf(stderr, "%s\n", o.problem.c_str()), -1;
    const double s = seconds(t0);
    checksum += map.voxels[map.numVoxels / 2].r;
    return s;
}

// The wide stack: page k holds values spread over 977..4095 with a slow gradient.
bool writeWideTiff(const std::string& path, int w, int h, int pages) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (!t) return false;
    std::vector<uint16_t> row(static_cast<size_t>(w));
    unsigned seed = 99u;
    for (int k = 0; k < pages; ++k) {
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(w));
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(h));
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16);
        TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                seed = seed * 1103515245u + 12345u;
                row[size_t(x)] = static_cast<uint16_t>(977 + (x + y + k) * 3 + (seed >> 26));
            }
            if (TIFFWriteScanline(t, row.data(), uint32_t(y), 0) < 0) return TIFFClose(t), false;
        }
        if (!TIFFWriteDirectory(t)) return TIFFClose(t), false;
    }
    TIFFClose(t);
    return true;
}

// The plain read: every page's strips read by libtiff on this thread into one buffer.
double plainTiff(const std::string& path, uint64_t& checksum) {
    const auto t0 = Clock::now();
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (!t) return -1;
    std::vector<unsigned char> buffer;
    do {
        const tstrile_t strips = TIFFNumberOfStrips(t);
        buffer.resize(size_t(TIFFStripSize(t)) * strips);
        tmsize_t at = 0;
        for (tstrile_t s = 0; s < strips; ++s) {
            const tmsize_t n = TIFFReadEncodedStrip(t, s, buffer.data() + at, -1);
            if (n < 0) return TIFFClose(t), -1;
            at += n;
        }
        checksum += buffer[size_t(at) / 2];
    } while (TIFFReadDirectory(t));
    TIFFClose(t);
    return seconds(t0);
}

// The least a load that keeps the samples must do: the same read into fresh memory the
// size of all samples, and a fresh RGBA volume written once, both taken as the load takes
// them (big pages where the system offers them). Fresh memory costs its page faults, which
// on some machines (virtual ones) take longer than the read itself.
double plainTiffFresh(const std::string& path, size_t voxels, uint64_t& checksum) {
    const auto t0 = Clock::now();
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (!t) return -1;
    const size_t pageBytes = size_t(TIFFStripSize(t)) * TIFFNumberOfStrips(t);
    const BigArray<unsigned char> samples = allocateBig<unsigned char>(pageBytes * TIFFNumberOfDirectories(t));
    if (!samples) return TIFFClose(t), -1;
    size_t at = 0;
    do {
        for (tstrile_t s = 0; s < TIFFNumberOfStrips(t); ++s) {
            const tmsize_t n = TIFFReadEncodedStrip(t, s, samples.get() + at, -1);
            if (n < 0) return TIFFClose(t), -1;
            at += size_t(n);
        }
    } while (TIFFReadDirectory(t));
    TIFFClose(t);
    const VoxelArray volume = allocateVoxels(int64_t(voxels));
    if (!volume) return -1;
    std::memset(static_cast<void*>(volume.get()), 0x7f, voxels * sizeof(voxel));
    checksum += samples[at / 2] + volume[voxels / 2].r;
    return seconds(t0);
}

double wideLoad(const std::string& path, bool keep, uint64_t& checksum) {
    const auto t0 = Clock::now();
    stackio::Plan plan;
    std::string problem;
    if (!stackio::plan({path}, plan, problem)) return std::fprintf(stderr, "%s\n", problem.c_str()), -1;
    if (!keep) plan.originalsBudget = 0;
    voxelmap map;
    const stackio::Outcome o = stackio::build(plan, map, [](int) { return true; });
    if (!o.problem.empty()) return std::fprintf(stderr, "%s\n", o.problem.c_str()), -1;
    if ((o.originals != nullptr) != keep) return std::fprintf(stderr, "the originals were not as asked\n"), -1;
    const double s = seconds(t0);
    checksum += map.voxels[map.numVoxels / 2].r;
    return s;
}

int wideBench(int reps) {
    namespace fs = std::filesystem;
    constexpr int W = 512, H = 512, D = 300;
    const fs::path file = fs::temp_directory_path() / ("slabwright-bench-wide-" + std::to_string(getpid()) + ".tif");
    if (!writeWideTiff(file.string(), W, H, D)) return std::fprintf(stderr, "cannot write %s\n", file.c_str()), 1;
    std::printf("one 16-bit TIFF of %d x %d x %d (%.1f MB), %d workers, best of %d\n", W, H, D,
                fs::file_size(file) / 1e6, workerCount(), reps);
    uint64_t sum = 0;
    double plain = 1e30, fresh = 1e30, kept = 1e30, twice = 1e30;
    for (int r = 0; r < reps; ++r) {
        plain = std::min(plain, plainTiff(file.string(), sum));
        fresh = std::min(fresh, plainTiffFresh(file.string(), size_t(W) * H * D, sum));
        kept = std::min(kept, wideLoad(file.string(), true, sum));
        twice = std::min(twice, wideLoad(file.string(), false, sum));
    }
    fs::remove(file);
    if (plain < 0 || fresh < 0 || kept < 0 || twice < 0) return 1;
    std::printf("plain one-thread libtiff read          %8.3f s\n", plain);
    std::printf("  the same into fresh memory + volume  %8.3f s\n", fresh);
    std::printf("load keeping the originals (one pass)  %8.3f s  (%.2f x the plain read, %.2f x into fresh memory)\n", kept,
                kept / plain, kept / fresh);
    std::printf("load without them (two passes)         %8.3f s  (%.2f x, %.2f x)\n", twice, twice / plain, twice / fresh);
    std::printf("RESULT kernel=wide_load plain_s=%.3f fresh_s=%.3f kept_s=%.3f twice_s=%.3f (checksum %llu)\n", plain, fresh,
                kept, twice, static_cast<unsigned long long>(sum));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int files = 256, size = 512, reps = 3;
    reuseBuffers();  // as the program does
    bool wide = false;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--wide") wide = true;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--files") files = std::atoi(argv[i + 1]);
        if (a == "--size") size = std::atoi(argv[i + 1]);
        if (a == "--reps") reps = std::atoi(argv[i + 1]);
        if (a == "--threads") workerOverride() = std::atoi(argv[i + 1]);
    }
    if (wide) return wideBench(reps);
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("slabwright-bench-load-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::vector<std::string> paths;
    std::uintmax_t bytes = 0;
    for (int k = 0; k < files; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "layer%04d.png", k);
        paths.push_back((dir / name).string());
        if (!writePng(paths.back(), size, size, k)) return std::fprintf(stderr, "cannot write %s\n", paths.back().c_str()), 1;
        bytes += fs::file_size(paths.back());
    }
    std::printf("%d PNG files of %d x %d (%.1f MB), %d workers, best of %d\n", files, size, size, bytes / 1e6,
                workerCount(), reps);
    uint64_t sum = 0;
    double plain = 1e30, load = 1e30;
    for (int r = 0; r < reps; ++r) {  // alternated, so both see the same cache and clock
        plain = std::min(plain, plainLoop(paths, sum));
        load = std::min(load, programLoad(paths, sum));
    }
    fs::remove_all(dir);
    if (plain < 0 || load < 0) return 1;
    std::printf("plain one-thread decode loop  %8.3f s\n", plain);
    std::printf("load (stackio plan + build)   %8.3f s\n", load);
    std::printf("ratio plain / load            %8.2f   (checksum %llu)\n", plain / load,
                static_cast<unsigned long long>(sum));
    return 0;
}
