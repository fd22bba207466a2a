// slabwright_bench_zarr: opening one level of an OME-Zarr pyramid against a plain loop that
// reads and decompresses the same chunks. Writes a 2048 x 2048 x 512 uint16 pyramid twice
// (zstd chunks and blosc-lz4 chunks of 64^3) into a temporary folder; only level 1
// (1024 x 1024 x 256, 1024 chunks) is written, level 0 has its metadata alone, as only
// level 1 is read. Then times, in one run and per codec: the plain loop (one thread: each
// chunk file read whole and decompressed into a fresh 512 MiB array), the program's load of
// level 1 from the folder, and the same over HTTP on the loopback interface (the tests' Python
// server, which this bench starts and stops). No display needed.
//
//   slabwright_bench_zarr [--dir /tmp] [--runs 3]
#include <blosc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bigblock.h"
#include "stackio.h"
#include "voxelmap.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

constexpr int kW = 1024, kH = 1024, kD = 256, kC = 64;  // level 1, and the chunk side

void writeText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string zarray(int d, int h, int w, bool lz4) {
    const std::string compressor = lz4 ? R"({"id": "blosc", "cname": "lz4", "clevel": 5, "shuffle": 1, "blocksize": 0})"
                                       : R"({"id": "zstd", "level": 3})";
    return "{\"zarr_format\": 2, \"shape\": [" + std::to_string(d) + ", " + std::to_string(h) + ", " +
           std::to_string(w) + "], \"chunks\": [64, 64, 64], \"dtype\": \"<u2\", \"compressor\": " + compressor +
           ", \"fill_value\": 0, \"order\": \"C\", \"filters\": null, \"dimension_separator\": \"/\"}";
}

// The pyramid's metadata and level 1's chunks: smooth values with a little noise, as a scan.
bool writePyramid(const std::string& root, bool lz4) {
    fs::create_directories(root + "/0");
    writeText(root + "/.zgroup", R"({"zarr_format": 2})");
    writeText(root + "/.zattrs", R"({"multiscales": [{"version": "0.4", "axes": [
        {"name": "z", "type": "space", "unit": "micrometer"}, {"name": "y", "type": "space", "unit": "micrometer"},
        {"name": "x", "type": "space", "unit": "micrometer"}],
        "datasets": [{"path": "0", "coordinateTransformations": [{"type": "scale", "scale": [1, 0.5, 0.5]}]},
                     {"path": "1", "coordinateTransformations": [{"type": "scale", "scale": [2, 1, 1]}]}]}]})");
    writeText(root + "/0/.zarray", zarray(2 * kD, 2 * kH, 2 * kW, lz4));
    fs::create_directories(root + "/1");
    writeText(root + "/1/.zarray", zarray(kD, kH, kW, lz4));
    std::vector<uint16_t> chunk(size_t(kC) * kC * kC);
    std::vector<char> packed(chunk.size() * 2 + 64 + ZSTD_compressBound(chunk.size() * 2));
    unsigned seed = 1;
    for (int cz = 0; cz < kD / kC; ++cz)
        for (int cy = 0; cy < kH / kC; ++cy)
            for (int cx = 0; cx < kW / kC; ++cx) {
                size_t i = 0;
                for (int z = 0; z < kC; ++z)
                    for (int y = 0; y < kC; ++y)
                        for (int x = 0; x < kC; ++x) {
                            seed = seed * 1103515245u + 12345u;
                            const int X = cx * kC + x, Y = cy * kC + y, Z = cz * kC + z;
                            chunk[i++] = static_cast<uint16_t>(1000 + (X * 3 + Y * 5 + Z * 7) % 2000 + (seed >> 28));
                        }
                const size_t bytes = chunk.size() * 2;
                const size_t n = lz4 ? size_t(std::max(0, blosc_compress_ctx(5, BLOSC_SHUFFLE, 2, bytes, chunk.data(),
                                                                            packed.data(), packed.size(), "lz4", 0, 1)))
                                     : ZSTD_compress(packed.data(), packed.size(), chunk.data(), bytes, 3);
                if (n == 0 || (!lz4 && ZSTD_isError(n))) return false;
                const std::string dir = root + "/1/" + std::to_string(cz) + "/" + std::to_string(cy);
                fs::create_directories(dir);
                std::ofstream(dir + "/" + std::to_string(cx), std::ios::binary).write(packed.data(), std::streamsize(n));
            }
    return true;
}

// The plain loop: every chunk of level 1 read whole and decompressed, on this thread, into a
// fresh array.
double plainLoop(const std::string& root, bool lz4, uint64_t& checksum) {
    const auto t0 = Clock::now();
    const std::unique_ptr<uint16_t[]> level(new uint16_t[size_t(kW) * kH * kD]);  // fresh, untouched
    std::vector<uint16_t> chunk(size_t(kC) * kC * kC);
    std::vector<char> packed;
    for (int cz = 0; cz < kD / kC; ++cz)
        for (int cy = 0; cy < kH / kC; ++cy)
            for (int cx = 0; cx < kW / kC; ++cx) {
                std::ifstream in(root + "/1/" + std::to_string(cz) + "/" + std::to_string(cy) + "/" + std::to_string(cx),
                                 std::ios::binary | std::ios::ate);
                packed.resize(size_t(in.tellg()));
                in.seekg(0);
                in.read(packed.data(), std::streamsize(packed.size()));
                const size_t bytes = chunk.size() * 2;
                const size_t n = lz4 ? size_t(std::max(0, blosc_decompress_ctx(packed.data(), chunk.data(), bytes, 1)))
                                     : ZSTD_decompress(chunk.data(), bytes, packed.data(), packed.size());
                if (n != bytes) return -1;
                for (int z = 0; z < kC; ++z)
                    for (int y = 0; y < kC; ++y)
                        std::memcpy(&level[(size_t(cz * kC + z) * kH + size_t(cy * kC + y)) * kW + size_t(cx) * kC],
                                    &chunk[(size_t(z) * kC + y) * kC], kC * 2);
            }
    const double s = seconds(t0);
    checksum += level[size_t(kW) * kH * kD / 2];
    return s;
}

// The program's load of level 1 (a folder or a URL).
double programLoad(const std::string& where, uint64_t& checksum) {
    const auto t0 = Clock::now();
    stackio::Listing listing;
    stackio::Plan plan;
    std::string problem;
    stackio::Region region;
    region.level = 1;
    if (!stackio::listPaths({where}, listing, problem) || !stackio::plan(listing, plan, problem, -1, {}, 1, region))
        return std::fprintf(stderr, "%s\n", problem.c_str()), -1;
    voxelmap map;
    const stackio::Outcome o = stackio::build(plan, map, [](int) { return true; });
    if (!o.problem.empty()) return std::fprintf(stderr, "%s\n", o.problem.c_str()), -1;
    const double s = seconds(t0);
    if (map.width != kW || map.height != kH || map.depth != kD) return std::fprintf(stderr, "wrong size\n"), -1;
    checksum += map.voxels[map.numVoxels / 2].r;
    return s;
}

// The tests' HTTP server (tests/httpserver.py: keeps connections, answers ranges) on
// 127.0.0.1 serving dir, on a port it chooses; stopped by the destructor.
struct Server {
    pid_t pid = -1;
    int port = 0;
    explicit Server(const std::string& dir) {
        int out[2];
        if (pipe(out) != 0) return;
        const std::string script = std::string(SLABWRIGHT_SOURCE_DIR) + "/tests/httpserver.py";
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            execlp("python3", "python3", script.c_str(), dir.c_str(), "--seconds", "3600", "--requests", "1000000",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string said;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') said += c;
        close(out[0]);  // the script prints its port and nothing more
        port = std::atoi(said.c_str());
    }
    ~Server() {
        if (pid > 0) kill(pid, SIGTERM), waitpid(pid, nullptr, 0);
    }
};

}  // namespace

int main(int argc, char** argv) {
    reuseBuffers();
    std::string base = "/tmp";
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--dir") base = argv[i + 1];
        if (std::string(argv[i]) == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    }
    const std::string dir = base + "/slabwright-bench-zarr-" + std::to_string(getpid());
    blosc_init();
    std::printf("level 1 of a 2048 x 2048 x 512 uint16 pyramid: %d x %d x %d voxels, %d chunks of 64^3\n", kW, kH, kD,
                (kW / kC) * (kH / kC) * (kD / kC));
    bool ok = true;
    for (const bool lz4 : {false, true}) {
        const std::string name = lz4 ? "blosc-lz4" : "zstd";
        const std::string root = dir + "/" + name + ".zarr";
        if (!writePyramid(root, lz4)) {
            std::fprintf(stderr, "could not write %s\n", root.c_str());
            ok = false;
            break;
        }
        const Server server(dir);
        if (server.port <= 0) std::fprintf(stderr, "the HTTP server did not start\n");
        const std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/" + name + ".zarr";
        uint64_t checksum = 0;
        for (int r = 0; r < runs; ++r) {
            const double plain = plainLoop(root, lz4, checksum);
            const double load = programLoad(root, checksum);
            const double http = server.port > 0 ? programLoad(url, checksum) : -1;
            std::printf("%-9s run %d: plain loop %.3f s, load %.3f s (%.2f x), over HTTP %.3f s (%.2f x the folder)\n",
                        name.c_str(), r + 1, plain, load, load / plain, http, http / load);
            ok = ok && plain > 0 && load > 0;
        }
        std::printf("(checksum %llu)\n", static_cast<unsigned long long>(checksum));
    }
    blosc_destroy();
    fs::remove_all(dir);
    return ok ? 0 : 1;
}
