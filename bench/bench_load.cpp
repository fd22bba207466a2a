// slabwright_bench_load: how long loading a stack takes against decoding the same
// files one after another on one thread. Writes 256 PNG files of 512 x 512 (RGB,
// compressed by libpng as a camera or a tool would) into a temporary folder, then times
// in one run: the plain loop (each file decoded by libpng into an RGBA buffer) and the
// program's load (headers, background decoding, copying into the volume). Prints both
// and the ratio. No display needed.
//
// --huge: one multi-page TIFF of big grey pages (default 12 of 16000 x 16000, 8-bit, in
// strips of 64 rows, about 3 GB; --bits 16, --pages, --size, --rows 0 for one strip a page,
// --deflate for compressed strips, --bands-only to leave out the slow load of whole pages)
// opened at 1/2: a plain one-thread libtiff read of its strips into one buffer against the
// load with its pages read in bands and with them read whole, each load in a child process
// of its own, whose peak memory (VmHWM) is set against the reduced volume's bytes.
//
// --wide: one multi-page 16-bit grey TIFF of 512 x 512 x 300 (uncompressed) instead: a plain
// one-thread libtiff read of its strips against the load, which keeps the original samples
// (each page decoded once), and against the load without room for them (each page twice).
#include <png.h>
#include <tiffio.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

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

// ---- Huge pages at 1/2 ----

bool writeHugeTiff(const std::string& path, int size, int pages, int bits, int rows, bool deflate) {
    TIFF* t = TIFFOpen(path.c_str(), "w8");
    if (!t) return false;
    const int bytes = bits / 8;
    std::vector<unsigned char> row(size_t(size) * bytes);
    for (int k = 0; k < pages; ++k) {
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(size));
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(size));
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, uint32_t(rows > 0 ? rows : size));
        TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        if (deflate) TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE), TIFFSetField(t, TIFFTAG_ZIPQUALITY, 1);
        for (int y = 0; y < size; ++y) {
            unsigned seed = 7u * unsigned(y) + 131u * unsigned(k);
            for (int x = 0; x < size * bytes; ++x) {
                seed = seed * 1103515245u + 12345u;
                row[size_t(x)] = static_cast<unsigned char>(((x + y) >> 6) + (seed >> 28));
            }
            if (TIFFWriteScanline(t, row.data(), uint32_t(y), 0) < 0) return TIFFClose(t), false;
        }
        if (!TIFFWriteDirectory(t)) return TIFFClose(t), false;
    }
    TIFFClose(t);
    return true;
}

// Processor seconds this process (and its threads) spent, user and system.
double cpuSeconds() {
    rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The plain read: every strip of every page read on this thread into one reused buffer.
double plainStrips(const std::string& path, uint64_t& checksum) {
    const auto t0 = Clock::now();
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (!t) return -1;
    std::vector<unsigned char> buffer;
    do {
        buffer.resize(size_t(TIFFStripSize(t)));
        for (tstrile_t s = 0; s < TIFFNumberOfStrips(t); ++s) {
            const tmsize_t n = TIFFReadEncodedStrip(t, s, buffer.data(), -1);
            if (n < 0) return TIFFClose(t), -1;
            checksum += buffer[size_t(n) / 2];
        }
    } while (TIFFReadDirectory(t));
    TIFFClose(t);
    return seconds(t0);
}

int64_t statusKb(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::atoll(line.c_str() + std::strlen(key));
    return -1;
}

// Writing the reduced volume's bytes once into fresh memory, as the load must: on a virtual
// machine the first write of each page can cost as much as the plain read itself.
double freshWrite(double mib) {
    const size_t bytes = size_t(mib * 1048576.0);
    const auto t0 = Clock::now();
    BigArray<unsigned char> block = allocateBig<unsigned char>(bytes);
    if (!block) return -1;
    std::memset(block.get(), 1, bytes);
    return seconds(t0);
}

// The load at 1/2 in a child process: its time (and processor time: the machine may be
// busy), and its peak memory beyond what it held before. With warmMiB, the child first
// writes that much fresh memory and frees it (its time in *warmS): the load then finds free
// big pages that the host has just backed.
bool hugeLoad(const std::string& path, bool inBands, double& s, double& cpu, double& peakMiB, double& volumeMiB,
              double warmMiB = 0, double* warmS = nullptr) {
    int out[2];
    if (pipe(out) != 0) return false;
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        close(out[0]);
        double r[5] = {-1, 0, 0, 0, 0};
        if (warmMiB > 0) r[4] = freshWrite(warmMiB);
        std::ofstream("/proc/self/clear_refs") << "5";  // VmHWM from here
        const int64_t before = statusKb("VmHWM:");
        const double cpuBefore = cpuSeconds();
        const auto t0 = Clock::now();
        stackio::Plan plan;
        std::string problem;
        if (stackio::plan({path}, plan, problem, -1, {}, 2)) {
            plan.inBands = inBands;
            voxelmap map;
            const stackio::Outcome o = stackio::build(plan, map, [](int) { return true; });
            if (o.problem.empty()) r[0] = seconds(t0), r[2] = double(map.numVoxels) * sizeof(voxel) / 1048576.0;
            else problem = o.problem;
        }
        if (!problem.empty()) std::fprintf(stderr, "%s\n", problem.c_str());
        r[1] = double(statusKb("VmHWM:") - before) / 1024.0;
        r[3] = cpuSeconds() - cpuBefore;
        if (write(out[1], r, sizeof r) != sizeof r) _exit(1);
        _exit(0);
    }
    close(out[1]);
    double r[5] = {-1, 0, 0, 0, 0};
    const bool read = ::read(out[0], r, sizeof r) == sizeof r;
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    s = r[0], peakMiB = r[1], volumeMiB = r[2], cpu = r[3];
    if (warmS) *warmS = r[4];
    return read && s >= 0;
}


int hugeBench(int size, int pages, int bits, int rows, bool deflate, bool wholeToo) {
    namespace fs = std::filesystem;
    const fs::path file = fs::temp_directory_path() / ("slabwright-bench-huge-" + std::to_string(getpid()) + ".tif");
    const double fileBytes = double(size) * size * pages * (bits / 8);
    struct statvfs disk {};
    if (statvfs(fs::temp_directory_path().c_str(), &disk) == 0 && double(disk.f_bavail) * disk.f_frsize < 1.5 * fileBytes)
        return std::fprintf(stderr, "not room enough in %s for %.1f GB\n", fs::temp_directory_path().c_str(), fileBytes / 1e9), 1;
    if (!writeHugeTiff(file.string(), size, pages, bits, rows, deflate)) {
        fs::remove(file);
        return std::fprintf(stderr, "cannot write %s\n", file.c_str()), 1;
    }
    std::printf("one %d-bit TIFF of %d pages of %d x %d (%.2f GB, %s%s), at 1/2, %d workers\n", bits, pages, size, size,
                fs::file_size(file) / 1e9, rows > 0 ? (std::to_string(rows) + "-row strips").c_str() : "one strip a page",
                deflate ? ", deflated" : "", workerCount());
    uint64_t sum = 0;
    const double cpu0 = cpuSeconds();
    const double plain = plainStrips(file.string(), sum), plainCpu = cpuSeconds() - cpu0;
    double bands = 0, bandsCpu = 0, bandsPeak = 0, whole = 0, wholeCpu = 0, wholePeak = 0, volume = 0;
    double ready = 0, readyCpu = 0, readyPeak = 0, fresh = 0;
    const bool ok = plain >= 0 && hugeLoad(file.string(), true, bands, bandsCpu, bandsPeak, volume) &&
                    hugeLoad(file.string(), true, ready, readyCpu, readyPeak, volume, volume, &fresh) &&
                    (!wholeToo || hugeLoad(file.string(), false, whole, wholeCpu, wholePeak, volume));
    fs::remove(file);
    if (!ok) return 1;
    std::printf("plain one-thread libtiff read of the strips  %7.2f s, processor %7.2f s\n", plain, plainCpu);
    std::printf("first write of the volume's %.0f MiB of fresh memory, one thread, in a fresh process  %.2f s\n", volume,
                fresh);
    const auto line = [&](const char* what, double s, double cpu, double peak) {
        std::printf("load, pages %-6s %7.2f s (%.2f x the plain read), processor %7.2f s (%.2f x), peak %6.0f MiB = volume "
                    "%.0f MiB + %.1f %%\n",
                    what, s, s / plain, cpu, cpu / plainCpu, peak, volume, 100 * (peak - volume) / volume);
    };
    line("in bands", bands, bandsCpu, bandsPeak);
    line("in bands, after that first write (free big pages ready)", ready, readyCpu, readyPeak);
    if (wholeToo) line("whole", whole, wholeCpu, wholePeak);
    std::printf("RESULT kernel=huge_load plain_s=%.2f plain_cpu_s=%.2f bands_s=%.2f bands_cpu_s=%.2f whole_s=%.2f "
                "whole_cpu_s=%.2f bands_peak_mib=%.0f whole_peak_mib=%.0f volume_mib=%.0f fresh_s=%.2f ready_s=%.2f "
                "(checksum %llu)\n",
                plain, plainCpu, bands, bandsCpu, whole, wholeCpu, bandsPeak, wholePeak, volume, fresh, ready,
                static_cast<unsigned long long>(sum));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int files = 256, size = 512, reps = 3;
    reuseBuffers();  // as the program does
    bool wide = false, huge = false, deflate = false, wholeToo = true;
    int hugeSize = 16000, hugePages = 12, hugeBits = 8, hugeRows = 64;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--wide") wide = true;
        if (std::string(argv[i]) == "--huge") huge = true;
        if (std::string(argv[i]) == "--bands-only") wholeToo = false;
        if (std::string(argv[i]) == "--deflate") deflate = true;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--files") files = std::atoi(argv[i + 1]);
        if (a == "--size") size = std::atoi(argv[i + 1]);
        if (a == "--reps") reps = std::atoi(argv[i + 1]);
        if (a == "--threads") workerOverride() = std::atoi(argv[i + 1]);
    }
    for (int i = 1; i + 1 < argc; ++i) {  // (--huge takes no value: its options are read wherever they stand)
        const std::string a = argv[i];
        if (a == "--size") hugeSize = std::atoi(argv[i + 1]);
        if (a == "--pages") hugePages = std::atoi(argv[i + 1]);
        if (a == "--bits") hugeBits = std::atoi(argv[i + 1]) == 16 ? 16 : 8;
        if (a == "--rows") hugeRows = std::atoi(argv[i + 1]);
    }
    if (huge) return hugeBench(hugeSize, hugePages, hugeBits, hugeRows, deflate, wholeToo);
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
