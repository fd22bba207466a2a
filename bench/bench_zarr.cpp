// slabwright_bench_zarr: opening level 1 of an OME-Zarr pyramid of uint16 samples against a
// plain loop that reads and decompresses the same chunks into fresh memory on one thread.
// Writes the pyramid's level 1 (chunks of 64^3, once zstd, once blosc-lz4 with shuffle; level
// 0's metadata only, as the load reads no chunk of it) in a temporary folder, then times in
// one run: the plain loop and the program's load (plan at level 1, build). Prints both and
// the ratio. The finest level is 2048 x 2048 x 512 by default; an argument N makes it
// N x N x N/4. No display needed.
#include <blosc.h>
#include <unistd.h>
#include <zstd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "stackio.h"
#include "voxelmap.h"

namespace {

using Clock = std::chrono::steady_clock;
double seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void write(const std::string& path, const void* data, size_t n) {
    std::ofstream(path, std::ios::binary).write(static_cast<const char*>(data), std::streamsize(n));
}
std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string zarray(int64_t w, int64_t h, int64_t d, const std::string& compressor) {
    return R"({"zarr_format":2,"shape":[)" + std::to_string(d) + "," + std::to_string(h) + "," + std::to_string(w) +
           R"(],"chunks":[64,64,64],"dtype":"<u2","compressor":)" + compressor +
           R"(,"fill_value":0,"filters":null,"order":"C"})";
}

}  // namespace

int main(int argc, char** argv) {
    const int64_t n = argc > 1 ? std::atoll(argv[1]) : 2048;
    const int64_t w = n / 2, h = n / 2, d = n / 8;  // level 1
    const std::string root = (std::filesystem::temp_directory_path() / ("slabwright-bench-zarr-" + std::to_string(getpid()))).string();
    for (const bool blosc : {false, true}) {
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root + "/0");
        std::filesystem::create_directories(root + "/1");
        const std::string comp = blosc ? R"({"id":"blosc","cname":"lz4","clevel":5,"shuffle":1,"blocksize":0})" : R"({"id":"zstd","level":3})";
        const std::string attrs = R"({"multiscales":[{"version":"0.4","axes":["z","y","x"],"datasets":[{"path":"0"},{"path":"1"}]}]})";
        write(root + "/.zattrs", attrs.data(), attrs.size());
        const std::string a0 = zarray(n, n, n / 4, comp), a1 = zarray(w, h, d, comp);
        write(root + "/0/.zarray", a0.data(), a0.size());
        write(root + "/1/.zarray", a1.data(), a1.size());
        // Chunks of a smooth field with noise, as microscopy compresses.
        std::vector<uint16_t> chunk(64 * 64 * 64);
        std::vector<char> packed(ZSTD_compressBound(chunk.size() * 2) + BLOSC_MAX_OVERHEAD);
        std::vector<std::string> keys;
        uint32_t seed = 1;
        for (int64_t cz = 0; cz < d / 64; ++cz)
            for (int64_t cy = 0; cy < h / 64; ++cy)
                for (int64_t cx = 0; cx < w / 64; ++cx) {
                    for (size_t i = 0; i < chunk.size(); ++i) {
                        seed = seed * 1664525u + 1013904223u;
                        chunk[i] = uint16_t(1000 + (i % 64) * 8 + (i / 4096) * 4 + (seed >> 28));
                    }
                    const size_t bytes = chunk.size() * 2;
                    const size_t size = blosc ? size_t(blosc_compress_ctx(5, 1, 2, bytes, chunk.data(), packed.data(), packed.size(), "lz4", 0, 1))
                                              : ZSTD_compress(packed.data(), packed.size(), chunk.data(), bytes, 3);
                    keys.push_back(root + "/1/" + std::to_string(cz) + "." + std::to_string(cy) + "." + std::to_string(cx));
                    write(keys.back(), packed.data(), size);
                }
        // The plain loop: each chunk read and decompressed into fresh memory, on one thread.
        size_t sum = 0;
        auto t0 = Clock::now();
        for (const std::string& k : keys) {
            const std::string s = read(k);
            std::vector<uint16_t> out(64 * 64 * 64);
            if (blosc)
                blosc_decompress_ctx(s.data(), out.data(), out.size() * 2, 1);
            else
                ZSTD_decompress(out.data(), out.size() * 2, s.data(), s.size());
            sum += out[size_t(sum % out.size())];
        }
        const double plain = seconds(t0);
        t0 = Clock::now();
        stackio::Plan p;
        std::string problem;
        stackio::Region level1;
        level1.level = 1;
        voxelmap v;
        if (!stackio::plan({root}, p, problem, -1, {}, 1, level1)) {
            std::fprintf(stderr, "%s\n", problem.c_str());
            return 1;
        }
        const stackio::Outcome o = stackio::build(p, v, [](int) { return true; });
        const double load = seconds(t0);
        if (!o.problem.empty()) {
            std::fprintf(stderr, "%s\n", o.problem.c_str());
            return 1;
        }
        std::printf("OME-Zarr level 1 of %lld x %lld x %lld uint16, %s chunks of 64^3 (checksum %zu): plain one-thread read and "
                    "decompress %.3f s, the program's load %.3f s (%d x %d x %d), ratio load/plain %.2f\n",
                    (long long)n, (long long)n, (long long)(n / 4), blosc ? "blosc-lz4" : "zstd", sum, plain, load, v.width,
                    v.height, v.depth, load / plain);
    }
    std::filesystem::remove_all(root);
    return 0;
}
