// slabwright_bench_load: how long loading a stack takes against decoding the same
// files one after another on one thread. Writes 256 PNG files of 512 x 512 (RGB,
// compressed by libpng as a camera or a tool would) into a temporary folder, then times
// in one run: the plain loop (each file decoded by libpng into an RGBA buffer) and the
// program's load (headers, background decoding, copying into the volume). Prints both
// and the ratio. No display needed.
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

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

}  // namespace

int main(int argc, char** argv) {
    int files = 256, size = 512, reps = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--files") files = std::atoi(argv[i + 1]);
        if (a == "--size") size = std::atoi(argv[i + 1]);
        if (a == "--reps") reps = std::atoi(argv[i + 1]);
        if (a == "--threads") workerOverride() = std::atoi(argv[i + 1]);
    }
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
