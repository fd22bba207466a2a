// Benchmarks of the volume kernels: each fast kernel against its plain version (the
// oracle in tests/plain_kernels), against a plain copy of the voxel array, and with
// the peak memory each filter needs beyond the volume and its result.
//
// Never run as a test. Runs under a display (the filters show a progress dialog):
//   xvfb-run -a build-bench/slabwright_bench [--size N] [--reps R] [--threads N]
//       [--no-plain] [--only k1,k2,...] [--dump PATH] [--big-stack] [--scratch]
// Every kernel prints a machine-readable line "RESULT kernel=NAME key=value ...".
// --dump PATH writes the volume to PATH (width x height x depth RGBA bytes, x fastest,
// then y, then z; the march's low-alpha volume is the same with alpha & 3) and the
// march and slice images beside it (PATH.march.rgb, PATH.slice_nearest.rgb, ...: RGB
// bytes, rows top to bottom), so that other programs can work on exactly the same data.
#include <wx/app.h>
#include <wx/dialog.h>
#include <wx/image.h>
#include <wx/init.h>
#include <wx/log.h>
#include <wx/modalhook.h>
#include <wx/progdlg.h>
#include <wx/spinctrl.h>
#include <wx/utils.h>

#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "appFrame.h"
#include "bigblock.h"
#include "camera.h"
#include "kernels.h"
#include "originals.h"
#include "parallel.h"
#include "plain_kernels.h"
#include "slicer.h"
#include "voxelmap.h"

// From libX11 (declared here: its header's macros clash with the toolkit's names).
extern "C" int XSync(_XDisplay* display, int discard);

namespace {

// ---- Options ----

struct Options {
    int size = 256;          // the volume is size^3 voxels
    int shape[3] = {0, 0, 0};  // --shape WxHxD: a volume of that shape instead
    double voxelSize[3] = {1, 1, 1};  // --voxel-size X,Y,Z: the march's volume has voxels of that size
    bool interactive = false;  // time the controls' refreshes in the main window instead
    int reps = 5;            // timed runs of each fast kernel (minimum taken)
    int threads = 0;         // workerOverride(); 0: one per core
    bool plain = true;       // also run the plain kernels (slow at 256^3)
    bool bigStack = false;   // the 1024 x 1024 x 256 load-and-blur check instead
    bool scratch = false;    // the filters' scratch peaks on big volumes instead
    bool window = false;     // the window's remap and a window change in the main window instead
    std::string dump;        // write the benchmark volume here
    std::set<std::string> only;  // kernels to run; empty: all
};

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: slabwright_bench [--size N] [--reps R] [--threads N] [--no-plain]\n"
                 "                        [--only key,blur1,blur2,blur3,edges,march,slice] [--dump PATH]\n"
                 "                        [--big-stack] [--scratch] [--shape WxHxD] [--voxel-size X,Y,Z] [--interactive] [--window]\n");
    std::exit(2);
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage();
            return argv[++i];
        };
        if (a == "--size") o.size = std::atoi(value().c_str());
        else if (a == "--reps") o.reps = std::atoi(value().c_str());
        else if (a == "--threads") o.threads = std::atoi(value().c_str());
        else if (a == "--no-plain") o.plain = false;
        else if (a == "--big-stack") o.bigStack = true;
        else if (a == "--scratch") o.scratch = true;
        else if (a == "--interactive") o.interactive = true;
        else if (a == "--window") o.window = true;
        else if (a == "--shape") {
            if (std::sscanf(value().c_str(), "%dx%dx%d", &o.shape[0], &o.shape[1], &o.shape[2]) != 3) usage();
        }
        else if (a == "--voxel-size") {
            if (std::sscanf(value().c_str(), "%lf,%lf,%lf", &o.voxelSize[0], &o.voxelSize[1], &o.voxelSize[2]) != 3)
                usage();
        }
        else if (a == "--dump") o.dump = value();
        else if (a == "--only") {
            std::stringstream list(value());
            std::string name;
            while (std::getline(list, name, ',')) o.only.insert(name);
        } else usage();
    }
    if (o.size < 8 || o.size > 1024 || o.reps < 1 || o.threads < 0) usage();
    if (o.shape[0] == 0) o.shape[0] = o.shape[1] = o.shape[2] = o.size;
    for (int d : o.shape)
        if (d < 1 || d > 4096) usage();
    return o;
}

// ---- Clock and memory ----

// CPU time of the whole process, or of the calling thread, in ms.
double cpuMs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec * 1e-6;
}

double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// Minimum time of fn over at least `reps` runs, going on (up to 1000 runs) until the
// runs add up to minTotalMs, so that short kernels are timed over many runs.
// setup() runs untimed before each run.
double minTime(int reps, double minTotalMs, const std::function<void()>& fn,
               const std::function<void()>& setup = nullptr) {
    double best = 1e300, total = 0;
    for (int n = 0; n < 1000 && (n < reps || total < minTotalMs); ++n) {
        if (setup) setup();
        const double t0 = nowMs();
        fn();
        const double t = nowMs() - t0;
        best = std::min(best, t);
        total += t;
    }
    return best;
}

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM").
int64_t statusBytes(const char* field) {
    std::ifstream f("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(f, line))
        if (line.compare(0, prefix.size(), prefix) == 0) return std::atoll(line.c_str() + prefix.size()) * 1024;
    return -1;
}

// Resets the resident high-water mark to the current resident size, after handing
// the allocator's free memory back to the system (so that a kernel's buffers cannot
// hide in memory the process already held).
bool resetPeak() {
    malloc_trim(0);
    std::ofstream f("/proc/self/clear_refs");
    f << "5";
    f.flush();
    return static_cast<bool>(f);
}

constexpr double kMiB = 1024.0 * 1024.0;

// The 1-minute load average of the machine: timings mean little while others compute.
std::string loadAverage() {
    std::ifstream f("/proc/loadavg");
    std::string one;
    f >> one;
    return one.empty() ? "na" : one;
}

// ---- The benchmark volume ----

// w x h x d random RGBA voxels from a fixed seed.
void randomVolume(voxelmap& map, const int (&shape)[3]) {
    if (!map.allocate(shape[0], shape[1], shape[2])) {
        std::fprintf(stderr, "cannot allocate a %d x %d x %d volume\n", shape[0], shape[1], shape[2]);
        std::exit(1);
    }
    std::mt19937 rng(20240601u);
    voxel* v = map.voxels.get();
    for (int64_t i = 0; i < map.numVoxels; ++i) {
        const uint32_t r = rng();
        v[i] = voxel(r & 255, (r >> 8) & 255, (r >> 16) & 255, (r >> 24) & 255);
    }
}

// The same colours with alpha reduced to its two low bits (0..3). The marcher's alpha
// then never climbs above about 170, so no ray stops early: every ray that meets the
// volume crosses it whole.
void lowAlphaVolume(const voxelmap& src, voxelmap& map) {
    map.copyMap(const_cast<voxelmap*>(&src));
    voxel* v = map.voxels.get();
    for (int64_t i = 0; i < map.numVoxels; ++i) v[i].a = static_cast<unsigned char>(v[i].a & 3);
}

// Sum of the array's 64-bit little-endian words, modulo 2^64: says whether two runs
// (or another program reading the dumped file) work on the same volume.
uint64_t checksum(const voxelmap& map) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(map.voxels.get());
    const int64_t n = map.numVoxels * static_cast<int64_t>(sizeof(voxel));
    uint64_t sum = 0;
    for (int64_t i = 0; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        sum += word;
    }
    return sum;
}

bool sameVoxels(const voxelmap& a, const voxelmap& b) {
    return a.numVoxels == b.numVoxels &&
           std::memcmp(a.voxels.get(), b.voxels.get(), static_cast<size_t>(a.numVoxels) * sizeof(voxel)) == 0;
}

bool sameImage(const wxImage& a, const wxImage& b) {
    return a.GetWidth() == b.GetWidth() && a.GetHeight() == b.GetHeight() &&
           std::memcmp(a.GetData(), b.GetData(), static_cast<size_t>(a.GetWidth()) * a.GetHeight() * 3) == 0;
}

// Writes an image's RGB bytes (rows top to bottom) to path.
void writeRgb(const std::string& path, const wxImage& image) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(image.GetData()),
            static_cast<std::streamsize>(image.GetWidth()) * image.GetHeight() * 3);
}

// ---- The filters' kernels, called without a dialog ----

using KernelRun = std::function<kernels::Outcome(const voxelmap&, voxel*)>;

kernels::Outcome keyKernel(const voxelmap& m, voxel* out) {
    return kernels::keyVolume(m, out, voxel(128, 64, 32, 0), 1,
                              [](int d2) { return smoothstep(50, 100, static_cast<float>(std::sqrt(double(d2)))); },
                              nullptr);
}
KernelRun blurKernel(int r) {
    const double normaliser[] = {0, 4.25, 16.5, 43.75};
    return [r, n = normaliser[r]](const voxelmap& m, voxel* out) { return kernels::blurVolume(m, out, r, n, nullptr); };
}
kernels::Outcome edgeKernel(const voxelmap& m, voxel* out) { return kernels::edgeVolume(m, out, nullptr); }

// ---- The benchmark ----

class Bench {
public:
    explicit Bench(const Options& o) : opt_(o) {}

    int run() {
        const int n = opt_.size;
        std::printf("Slabwright kernel benchmark\n");
        std::printf("INFO cores=%u threads=%d size=%d reps=%d plain=%s load=%s\n", std::thread::hardware_concurrency(),
                    workerCount(), n, opt_.reps, opt_.plain ? "yes" : "no", loadAverage().c_str());
        randomVolume(volume_, opt_.shape);
        std::printf("INFO shape=%dx%dx%d\n", volume_.width, volume_.height, volume_.depth);
        arrayBytes_ = volume_.numVoxels * static_cast<int64_t>(sizeof(voxel));
        std::printf("INFO volume_checksum=%llu\n", static_cast<unsigned long long>(checksum(volume_)));
        if (!opt_.dump.empty()) dump();

        timeCopy();
        timeDialog();
        if (wanted("key"))
            filter("key", [](voxelmap* m) { key(m, voxel(128, 64, 32, 0), 50, 50, 1); },
                   [](voxelmap* m) { plain::key(m, voxel(128, 64, 32, 0), 50, 50, 1); }, keyKernel);
        for (int r = 1; r <= 3; ++r) {
            const std::string name = "blur" + std::to_string(r);
            if (wanted(name))
                filter(name, [r](voxelmap* m) { blur(m, r); }, [r](voxelmap* m) { plain::blur(m, r); },
                       blurKernel(r));
        }
        if (wanted("edges"))
            filter("edges", [](voxelmap* m) { edges(m); }, [](voxelmap* m) { plain::edges(m); }, edgeKernel);
        if (wanted("march")) march();
        if (wanted("slice")) {
            slice(false);
            slice(true);
        }
        std::printf("\nRESULT kernel=dialog ms=%.3f updates=1 (lowest of all its runs)\n", dialogMs_);
        std::printf("INFO load_at_end=%s\n", loadAverage().c_str());
        return failures_ == 0 ? 0 : 1;
    }

private:
    bool wanted(const std::string& name) const {
        if (opt_.only.empty()) return true;
        if (opt_.only.count(name)) return true;
        return name.compare(0, 4, "blur") == 0 && opt_.only.count("blur");
    }

    void dump() {
        std::ofstream f(opt_.dump, std::ios::binary);
        f.write(reinterpret_cast<const char*>(volume_.voxels.get()), static_cast<std::streamsize>(arrayBytes_));
        f.close();
        if (!f) {
            std::fprintf(stderr, "cannot write %s\n", opt_.dump.c_str());
            std::exit(1);
        }
        std::printf("DUMP path=%s width=%d height=%d depth=%d bytes=%lld layout=rgba,x-fastest lowalpha=a&3\n",
                    opt_.dump.c_str(), volume_.width, volume_.height, volume_.depth,
                    static_cast<long long>(arrayBytes_));
    }

    // A plain copy of the voxel array into memory already written once.
    void timeCopy() {
        std::vector<voxel> dst(static_cast<size_t>(volume_.numVoxels));
        std::memset(static_cast<void*>(dst.data()), 1, static_cast<size_t>(arrayBytes_));
        copyMs_ = minTime(std::max(opt_.reps, 10), 300, [&] {
            std::memcpy(static_cast<void*>(dst.data()), volume_.voxels.get(), static_cast<size_t>(arrayBytes_));
        });
        std::printf("\nplain copy of the voxel array (%.0f MiB, memcpy into pre-touched memory): %.2f ms\n",
                    arrayBytes_ / kMiB, copyMs_);
        std::printf("RESULT kernel=copy ms=%.3f bytes=%lld\n", copyMs_, static_cast<long long>(arrayBytes_));
    }

    // What the filters' progress dialog costs by itself, with their style and maximum:
    // as they drive it now (opened, updated at most every 50 ms: for a filter of this
    // size the final update only, closed), and, for comparison, one update per layer.
    // Its cost varies from run to run with the display server: it is timed again before
    // every timed filter run, and the minimum so far is what the filters are judged without.
    void timeDialog() {
        dialogMs_ = minTime(std::max(opt_.reps, 10), 0, [&] { dialogOnce(false); });
        const double perLayer = minTime(std::max(opt_.reps, 10), 0, [&] { dialogOnce(true); });
        std::printf("progress dialog alone: %.2f ms as the filters use it (one update); with %d updates %.2f ms "
                    "(open %.2f, updates %.2f, close %.2f)\n",
                    dialogMs_, volume_.depth, perLayer, dialogOpen_, dialogUpdates_, dialogClose_);
        std::printf("RESULT kernel=dialog ms=%.3f updates=1\n", dialogMs_);
        std::printf("RESULT kernel=dialog_per_layer ms=%.3f updates=%d\n", perLayer, volume_.depth);
    }

    // One dialog: opened, updated once per layer or only with the last, closed; returns its time.
    double dialogOnce(bool everyLayer) {
        const long style =
            wxPD_APP_MODAL | wxPD_AUTO_HIDE | wxPD_ELAPSED_TIME | wxPD_ESTIMATED_TIME | wxPD_REMAINING_TIME;
        const int depth = volume_.depth;
        const double t0 = nowMs();
        auto* progress = new wxProgressDialog("Please wait", "Blurring can be slow", depth, nullptr, style);
        const double t1 = nowMs();
        for (int k = everyLayer ? 0 : depth - 1; k < depth; ++k) progress->Update(k, wxEmptyString);
        const double t2 = nowMs();
        delete progress;
        const double t3 = nowMs();
        if (everyLayer) {
            dialogOpen_ = std::min(dialogOpen_, t1 - t0);
            dialogUpdates_ = std::min(dialogUpdates_, t2 - t1);
            dialogClose_ = std::min(dialogClose_, t3 - t2);
        }
        return t3 - t0;
    }

    // Times a filter's kernel alone (no display: minimum of reps, each into a freshly
    // allocated output array), the whole filter with its dialog (minimum of reps, each on
    // a fresh copy of the volume) and the plain filter (once), checks that all give the
    // same bytes, and measures the peak resident memory beyond the volume and its result.
    void filter(const std::string& name, const std::function<void(voxelmap*)>& fast,
                const std::function<void(voxelmap*)>& slow, const KernelRun& kernel) {
        voxelmap kernelOut;
        kernelOut.copyMap(&volume_);
        kernels::Outcome outcome;
        const double kernelMs = minTime(opt_.reps, 0, [&] {
            VoxelArray out = allocateVoxels(volume_.numVoxels);
            outcome = kernel(volume_, out.get());
            kernelOut.voxels = std::move(out);
        });
        if (!outcome.done) {
            std::printf("\n%s: the kernel could not get its scratch memory\n", name.c_str());
            ++failures_;
            return;
        }
        std::printf("\n%s: kernel alone %.1f ms = %.1fx the plain copy; scratch %.2f MiB on %d threads\n", name.c_str(),
                    kernelMs, kernelMs / copyMs_, outcome.scratchBytes / kMiB, outcome.workers);
        voxelmap work;
        double extraPeak = 0;
        bool peakKnown = true;
        double best = 1e300, workerCpu = 1e300;
        for (int i = 0; i < opt_.reps; ++i) {
            dialogMs_ = std::min(dialogMs_, dialogOnce(false));
            work.copyMap(&volume_);
            if (!resetPeak()) peakKnown = false;
            const int64_t before = statusBytes("VmRSS");
            const double c0 = cpuMs(CLOCK_PROCESS_CPUTIME_ID);
            const double t0 = nowMs();
            fast(&work);
            best = std::min(best, nowMs() - t0);
            // All threads, this one included: it computes bands too, between updates of the dialog.
            workerCpu = std::min(workerCpu, cpuMs(CLOCK_PROCESS_CPUTIME_ID) - c0);
            const int64_t peak = statusBytes("VmHWM");
            extraPeak = std::max(extraPeak, static_cast<double>(peak - before - arrayBytes_));
        }
        const double noDialog = best - dialogMs_;
        std::printf("\n%s: fast %.1f ms (%.1f ms without the progress dialog's %.1f ms) = %.1fx the plain copy\n",
                    name.c_str(), best, noDialog, dialogMs_, noDialog / copyMs_);
        std::printf("%s: CPU time of the filter's threads %.1f ms (%.1f ms per thread over %d threads)\n", name.c_str(),
                    workerCpu, workerCpu / workerCount(), workerCount());
        if (peakKnown)
            std::printf("%s: peak memory beyond the volume and its result: %.1f MiB\n", name.c_str(),
                        extraPeak / kMiB);
        std::string plainFields = "plain_ms=na speedup=na identical=na";
        if (opt_.plain) {
            voxelmap ref;
            ref.copyMap(&volume_);
            const double t0 = nowMs();
            slow(&ref);
            const double plainMs = nowMs() - t0;
            const bool same = sameVoxels(work, ref) && sameVoxels(kernelOut, ref);
            if (!same) ++failures_;
            std::printf("%s: plain %.0f ms (one run); the kernel is %.1fx faster, the filter with its dialog %.1fx; %s\n",
                        name.c_str(), plainMs, plainMs / kernelMs, plainMs / best,
                        same ? "bytes identical" : "BYTES DIFFER");
            char buf[200];
            std::snprintf(buf, sizeof buf, "plain_ms=%.1f speedup=%.1f speedup_kernel=%.1f identical=%s", plainMs,
                          plainMs / best, plainMs / kernelMs, same ? "yes" : "no");
            plainFields = buf;
        }
        std::printf("RESULT kernel=%s kernel_ms=%.2f kernel_copy_x=%.2f scratch_mib=%.3f fast_ms=%.2f dialog_ms=%.2f "
                    "fast_nodialog_ms=%.2f cpu_ms=%.2f peak_extra_mib=%s %s\n",
                    name.c_str(), kernelMs, kernelMs / copyMs_, outcome.scratchBytes / kMiB, best, dialogMs_, noDialog,
                    workerCpu, peakKnown ? std::to_string(extraPeak / kMiB).c_str() : "na", plainFields.c_str());
    }

    // The start pose of a load, at resolution 256 and step 1.0, on the low-alpha volume.
    void march() {
        voxelmap low;
        lowAlphaVolume(volume_, low);
        low.setVoxelSize(Vector(opt_.voxelSize[0], opt_.voxelSize[1], opt_.voxelSize[2]));
        camera c;
        c.startFor(low);
        c.zoom = 2;
        c.opacity = 1;
        c.resolution = 256;
        c.stepLength = 1.0;
        wxImage fastImage(c.resolution, c.resolution), plainImage(c.resolution, c.resolution);
        const double fastMs = minTime(opt_.reps, 500, [&] { c.march(&low, fastImage); });
        std::printf("\nmarch %dx%d, step %.1f, low alpha: fast %.2f ms\n", c.resolution, c.resolution, c.stepLength,
                    fastMs);
        std::printf("CAMERA eye=0,0,-200 lookat=0,0,%.17g zoom=2 resolution=%d step=%.1f spacing=1,%.17g,%.17g\n",
                    c.lookAt.z(), c.resolution, c.stepLength, low.span.y(), low.span.z());
        if (!opt_.dump.empty()) writeRgb(opt_.dump + ".march.rgb", fastImage);
        if (!opt_.plain) {
            std::printf("RESULT kernel=march fast_ms=%.3f plain_ms=na speedup=na identical=na\n", fastMs);
            return;
        }
        camera p = c;
        const double plainMs = minTime(std::min(opt_.reps, 3), 0, [&] { plain::march(p, &low, plainImage); });
        const bool same = sameImage(fastImage, plainImage);
        if (!same) ++failures_;
        std::printf("march: plain %.1f ms; fast is %.1fx faster; %s\n", plainMs, plainMs / fastMs,
                    same ? "pixels identical" : "PIXELS DIFFER");
        std::printf("RESULT kernel=march fast_ms=%.3f plain_ms=%.2f speedup=%.2f identical=%s\n", fastMs, plainMs,
                    plainMs / fastMs, same ? "yes" : "no");
    }

    // A plane of the volume's width x height through the middle of the volume, rotated
    // (30, 20, 10) degrees, sampled nearest or interpolated.
    void slice(bool interpolated) {
        const int n = volume_.width, m = volume_.height;
        slicer s(volume_.origin, n, m);
        s.setP(Vector(0, 0, volume_.depth / 2));
        s.setR(30, 20, 10);
        s.setS(100, 100, 100);
        s.aaLookups = interpolated;
        const std::string name = interpolated ? "slice_linear" : "slice_nearest";
        if (!interpolated) {
            // The plane in voxel index space: pixel (j, i) samples origin + j du + i dv
            // (the patch is a parallelogram: its bilinear form is affine).
            const Vector o = s.patch->P00 - volume_.origin;
            const Vector du = (s.patch->P10 - s.patch->P00) * (1.0 / n);
            const Vector dv = (s.patch->P01 - s.patch->P00) * (1.0 / m);
            std::printf("\nPLANE width=%d height=%d origin=%.17g,%.17g,%.17g du=%.17g,%.17g,%.17g dv=%.17g,%.17g,%.17g\n",
                        n, m, o.x(), o.y(), o.z(), du.x(), du.y(), du.z(), dv.x(), dv.y(), dv.z());
        }
        wxImage fastImage(n, m), plainImage(n, m);
        const double fastMs = minTime(opt_.reps, 500, [&] { s.evaluateSlice(&volume_, fastImage); });
        if (!opt_.dump.empty()) writeRgb(opt_.dump + "." + name + ".rgb", fastImage);
        const double plainMs = minTime(opt_.reps, 500, [&] { plain::evaluateSlice(s, &volume_, plainImage); });
        const bool same = sameImage(fastImage, plainImage);
        if (!same) ++failures_;
        std::printf("%s %dx%d: fast %.3f ms, plain %.3f ms, fast is %.2fx faster; %s\n", name.c_str(), n, m, fastMs,
                    plainMs, plainMs / fastMs, same ? "pixels identical" : "PIXELS DIFFER");
        std::printf("RESULT kernel=%s fast_ms=%.4f plain_ms=%.4f speedup=%.2f identical=%s\n", name.c_str(), fastMs,
                    plainMs, plainMs / fastMs, same ? "yes" : "no");
    }

    const Options& opt_;
    voxelmap volume_;
    int64_t arrayBytes_ = 0;
    double copyMs_ = 0;
    double dialogMs_ = 1e300;
    double dialogOpen_ = 1e300, dialogUpdates_ = 1e300, dialogClose_ = 1e300;
    int failures_ = 0;
};

// ---- The big stack: 1024 x 1024 x 256 loaded from PNG files and blurred ----

void pump() {
    for (int i = 0; i < 3; ++i) {
        wxTheApp->ProcessPendingEvents();
        wxTheApp->Yield(true);
    }
}

int bigStack() {
    constexpr int W = 1024, H = 1024, D = 256;
    constexpr double kArray = double(W) * H * D * sizeof(voxel);
    std::printf("Big stack: %d x %d x %d (%.0f MiB of voxels)\n", W, H, D, kArray / kMiB);

    std::string dir = (std::filesystem::temp_directory_path() / "slabwright-bench-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) {
        std::fprintf(stderr, "cannot make a temporary folder\n");
        return 1;
    }
    // Simple layers (bands of colour that shift with the layer) compress well.
    double t0 = nowMs();
    wxArrayString paths;
    {
        wxImage img(W, H, false);
        for (int k = 0; k < D; ++k) {
            unsigned char* p = img.GetData();
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x, p += 3) {
                    p[0] = static_cast<unsigned char>(((x + k) / 64) * 40);
                    p[1] = static_cast<unsigned char>(((y + 2 * k) / 32) * 20);
                    p[2] = static_cast<unsigned char>(k);
                }
            char name[32];
            std::snprintf(name, sizeof name, "/layer%03d.png", k);
            const std::string path = dir + name;
            if (!img.SaveFile(path, wxBITMAP_TYPE_PNG)) {
                std::fprintf(stderr, "cannot write %s\n", path.c_str());
                std::filesystem::remove_all(dir);
                return 1;
            }
            paths.Add(path);
        }
    }
    uintmax_t onDisk = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) onDisk += e.file_size();
    std::printf("wrote %d PNG files (%.1f MiB) in %.1f s\n", D, onDisk / kMiB, (nowMs() - t0) / 1000);

    auto* frame = new AppFrame("Slabwright", wxPoint(150, 100), wxSize(625, 290));  // owned by the toolkit
    frame->Show(true);
    pump();

    resetPeak();
    int64_t before = statusBytes("VmRSS");
    t0 = nowMs();
    frame->loadStack(paths);
    const double loadMs = nowMs() - t0;
    int64_t peak = statusBytes("VmHWM");
    const bool loaded = myVoxmap->loaded && myVoxmap->numVoxels == int64_t(W) * H * D;
    std::printf("load: %s in %.1f s; peak resident beyond the start: %.0f MiB = %.3f arrays\n",
                loaded ? "loaded" : "NOT LOADED", loadMs / 1000, (peak - before) / kMiB, (peak - before) / kArray);
    std::printf("RESULT kernel=bigstack_load ms=%.0f peak_arrays=%.4f peak_extra_mib=%.1f\n", loadMs,
                (peak - before) / kArray, (peak - before - kArray) / kMiB);
    std::filesystem::remove_all(dir);
    if (!loaded) return 1;
    pump();

    resetPeak();
    before = statusBytes("VmRSS");
    t0 = nowMs();
    blur(myVoxmap, 3);
    const double blurMs = nowMs() - t0;
    peak = statusBytes("VmHWM");
    std::printf("blur radius 3: %.1f s; peak resident beyond the loaded volume: %.0f MiB = one more array + %.1f MiB\n",
                blurMs / 1000, (peak - before) / kMiB, (peak - before - kArray) / kMiB);
    std::printf("RESULT kernel=bigstack_blur3 ms=%.0f peak_arrays_total=%.4f peak_extra_mib=%.1f\n", blurMs,
                (peak - before) / kArray + 1.0, (peak - before - kArray) / kMiB);
    frame->Destroy();
    pump();
    return 0;
}

// ---- The filters' scratch memory on big volumes ----

// Each filter's kernel once on 256^3, 1024 x 1024 x 64 and 10000 x 10000 x 2 (random
// voxels): its time and its peak resident memory beyond the volume and its result.
int scratchPeaks() {
    struct Shape {
        int w, h, d;
    } const shapes[] = {{256, 256, 256}, {1024, 1024, 64}, {10000, 10000, 2}};
    const std::pair<const char*, KernelRun> runs[] = {
        {"key", keyKernel}, {"blur1", blurKernel(1)}, {"blur2", blurKernel(2)},
        {"blur3", blurKernel(3)}, {"edges", edgeKernel}};
    int failures = 0;
    for (const Shape& sh : shapes) {
        voxelmap volume;
        if (!volume.allocate(sh.w, sh.h, sh.d)) {
            std::fprintf(stderr, "cannot allocate a %d x %d x %d volume\n", sh.w, sh.h, sh.d);
            return 1;
        }
        std::mt19937 rng(7);
        voxel* v = volume.voxels.get();
        for (int64_t i = 0; i < volume.numVoxels; ++i) {
            const uint32_t r = rng();
            v[i] = voxel(r & 255, (r >> 8) & 255, (r >> 16) & 255, (r >> 24) & 255);
        }
        const double arrayBytes = double(volume.numVoxels) * sizeof(voxel);
        for (const auto& [name, kernel] : runs) {
            resetPeak();
            const int64_t before = statusBytes("VmRSS");
            const double t0 = nowMs();
            VoxelArray out = allocateVoxels(volume.numVoxels);
            const kernels::Outcome o = out ? kernel(volume, out.get()) : kernels::Outcome{};
            const double ms = nowMs() - t0;
            const double extra = statusBytes("VmHWM") - before - arrayBytes;
            if (!o.done) ++failures;
            std::printf("%d x %d x %d %s: %s in %.0f ms on %d threads; scratch %.2f MiB, peak beyond the two "
                        "arrays %.2f MiB\n",
                        sh.w, sh.h, sh.d, name, o.done ? "done" : "NOT DONE", ms, o.workers, o.scratchBytes / kMiB,
                        extra / kMiB);
            std::printf("RESULT kernel=scratch_%s size=%dx%dx%d ms=%.1f threads=%d scratch_mib=%.3f peak_extra_mib=%.3f\n",
                        name, sh.w, sh.h, sh.d, ms, o.workers, o.scratchBytes / kMiB, extra / kMiB);
        }
    }
    return failures == 0 ? 0 : 1;
}

// ---- Interactive refresh: from a control change to refreshed views ----

// Waits until the display server has carried out every drawing request made so far.
void syncDisplay() {
    if (_XDisplay* d = wxGetX11Display()) XSync(d, 0);
}

// A value change of a spin control as the user makes it, and the refresh it posts.
void spinTo(wxSpinCtrl* c, int value) {
    c->SetValue(value);
    wxSpinEvent ev(wxEVT_SPINCTRL, c->GetId());
    ev.SetEventObject(c);
    c->ProcessWindowEvent(ev);
    wxTheApp->ProcessPendingEvents();
}

struct Spread {
    double min, median, max;
};

Spread spreadOf(std::vector<double> t) {
    std::sort(t.begin(), t.end());
    return {t.front(), t[t.size() / 2], t.back()};
}

// A 512 x 512 x 64 stack (random colours, alpha & 3 as the march's low-alpha volume,
// so every ray crosses the volume) loaded into a main window through its own load; then
// spin changes driven through the real handlers, each timed from the event to the
// display server having drawn both views.
int interactive(const Options& opt) {
    constexpr int W = 512, H = 512, D = 64;
    const int reps = std::max(opt.reps, 15);
    std::string dir = (std::filesystem::temp_directory_path() / "slabwright-bench-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) return 1;
    wxArrayString paths;
    {
        std::mt19937 rng(20240601u);
        wxImage img(W, H, false);
        img.SetAlpha();
        for (int k = 0; k < D; ++k) {
            unsigned char* p = img.GetData();
            unsigned char* a = img.GetAlpha();
            for (int i = 0; i < W * H; ++i) {
                const uint32_t r = rng();
                p[3 * i] = r & 255;
                p[3 * i + 1] = (r >> 8) & 255;
                p[3 * i + 2] = (r >> 16) & 255;
                a[i] = (r >> 24) & 3;
            }
            char name[32];
            std::snprintf(name, sizeof name, "/layer%03d.png", k);
            img.SaveFile(dir + name, wxBITMAP_TYPE_PNG);
            paths.Add(dir + name);
        }
    }
    auto* frame = new AppFrame("Slabwright", wxPoint(0, 0), wxSize(625, 290));  // owned by the toolkit
    frame->Show(true);
    pump();
    frame->loadStack(paths);
    std::filesystem::remove_all(dir);
    pump();
    if (!myVoxmap->loaded) {
        std::fprintf(stderr, "the stack did not load\n");
        return 1;
    }
    auto timeRuns = [&](const std::string& name, const std::function<void(int)>& change,
                        const std::function<void()>& kernel) {
        std::vector<double> total, compute;
        for (int k = 1; k <= reps; ++k) {
            syncDisplay();
            const double t0 = nowMs();
            change(k);
            syncDisplay();
            total.push_back(nowMs() - t0);
            const double t1 = nowMs();
            kernel();
            compute.push_back(nowMs() - t1);
        }
        const Spread a = spreadOf(total), b = spreadOf(compute);
        std::printf("%s: change to drawn views min %.1f / median %.1f / max %.1f ms; the computation alone min %.1f / "
                    "median %.1f ms\n",
                    name.c_str(), a.min, a.median, a.max, b.min, b.median);
        std::printf("RESULT kernel=%s min_ms=%.2f median_ms=%.2f max_ms=%.2f compute_min_ms=%.2f compute_median_ms=%.2f\n",
                    name.c_str(), a.min, a.median, a.max, b.min, b.median);
    };
    // In the window's start size, then grown so that each view shows its whole picture.
    for (const wxSize size : {wxSize(625, 290), wxSize(2 * W * frame->vpScale + 200, H * frame->vpScale + 250)}) {
        frame->SetSize(size);
        pump();
        const wxSize v3 = frame->view3D->GetClientSize(), vs = frame->sliceView->GetClientSize();
        const std::string tag = size.x == 625 ? "" : "_big";
        std::printf("\nInteractive refresh: %d x %d x %d, viewport scale %d (pictures %d x %d); window %d x %d, views "
                    "%d x %d and %d x %d on screen; %d runs each; load %s\n",
                    W, H, D, frame->vpScale, W * frame->vpScale, H * frame->vpScale, size.x, size.y, v3.x, v3.y,
                    vs.x, vs.y, reps, loadAverage().c_str());
        wxImage sliceCopy(W, H), marchCopy(1, 1);
        auto sliceKernel = [&] { theslicer->evaluateSlice(myVoxmap, sliceCopy); };
        if (theslicer->aaLookups) {
            wxCommandEvent off(wxEVT_MENU, ID_AASLICE);
            frame->ProcessWindowEvent(off);
        }
        timeRuns("refresh_slice_nearest" + tag, [&](int k) { spinTo(frame->spinTX, k % 2 ? 3 : -3); }, sliceKernel);
        wxCommandEvent aa(wxEVT_MENU, ID_AASLICE);
        frame->ProcessWindowEvent(aa);
        timeRuns("refresh_slice_linear" + tag, [&](int k) { spinTo(frame->spinRZ, k % 2 ? 10 : 20); }, sliceKernel);
        for (int res : {256, 512}) {
            cam->resolution = res;
            marchCopy = wxImage(res, res);
            timeRuns("refresh_camera_" + std::to_string(res) + tag,
                     [&](int k) { spinTo(frame->spinYaw, k % 2 ? 10 : 20); },
                     [&] {
                         camera c = *cam;
                         c.march(myVoxmap, marchCopy);
                     });
        }
    }
    frame->Destroy();
    pump();
    return 0;
}

// ---- The window over the original samples ----

// Originals of a 512 x 512 x 256 stack held as held: grey values spread over 977..4095
// (16-bit) or -0.5..1.25 (float).
std::unique_ptr<Originals> benchOriginals(Held held, int W, int H, int D) {
    auto o = std::make_unique<Originals>();
    OriginalLayer layer;
    layer.kind = held;
    if (!o->allocate(W, H, held, std::vector<OriginalLayer>(size_t(D), layer), false)) return nullptr;
    std::mt19937 rng(7u);
    for (int k = 0; k < D; ++k)
        for (int64_t n = 0; n < int64_t(W) * H; ++n) {
            const uint32_t r = rng();
            if (held == Held::Unsigned16)
                o->data<uint16_t>(k)[n] = static_cast<uint16_t>(977 + r % 3119);
            else
                o->data<float>(k)[n] = -0.5f + float(r % 10000) * 1.75e-4f;
        }
    o->lo = held == Held::Unsigned16 ? 977 : -0.5;
    o->hi = held == Held::Unsigned16 ? 4095 : 1.25;
    return o;
}

// The remap against a plain copy of the RGBA volume (both into an array written before, and
// into a fresh one), then a window change in the main window timed until the display server
// has drawn both views.
int windowBench(const Options& opt) {
    constexpr int W = 512, H = 512, D = 256;
    const int64_t n = int64_t(W) * H * D;
    const int reps = std::max(opt.reps, 5);
    std::printf("Window: %d x %d x %d, %d threads; load %s\n", W, H, D, workerCount(), loadAverage().c_str());
    VoxelArray src = allocateVoxels(n), dst = allocateVoxels(n);
    if (!src || !dst) return 1;
    std::memset(static_cast<void*>(src.get()), 7, size_t(n) * 4);
    std::memset(static_cast<void*>(dst.get()), 0, size_t(n) * 4);
    const double copyWarm = minTime(reps, 1000, [&] {
        parallelBands(D, [&](int k0, int k1) {
            std::memcpy(static_cast<void*>(dst.get() + int64_t(k0) * W * H), src.get() + int64_t(k0) * W * H,
                        size_t(k1 - k0) * W * H * 4);
        });
    });
    const double copyFresh = minTime(reps, 1000, [&] {
        VoxelArray fresh = allocateVoxels(n);
        parallelBands(D, [&](int k0, int k1) {
            std::memcpy(static_cast<void*>(fresh.get() + int64_t(k0) * W * H), src.get() + int64_t(k0) * W * H,
                        size_t(k1 - k0) * W * H * 4);
        });
    });
    std::printf("plain copy of the RGBA volume: %.1f ms into a written array, %.1f ms into a fresh one\n", copyWarm,
                copyFresh);
    src.reset();
    for (const Held held : {Held::Unsigned16, Held::Float32}) {
        const char* name = held == Held::Unsigned16 ? "remap_u16" : "remap_f32";
        std::unique_ptr<Originals> o = benchOriginals(held, W, H, D);
        if (!o) return 1;
        const double lo = held == Held::Unsigned16 ? 1200 : 0.1, hi = held == Held::Unsigned16 ? 2400 : 0.9;
        const double warm = minTime(reps, 1000, [&] { o->remap(lo, hi, dst.get()); });
        const double fresh = minTime(reps, 1000, [&] {
            VoxelArray a = allocateVoxels(n);
            o->remap(lo, hi, a.get());
        });
        std::printf("%s: %.1f ms into a written array (%.2f x the copy), %.1f ms into a fresh one (%.2f x)\n", name,
                    warm, warm / copyWarm, fresh, fresh / copyFresh);
        std::printf("RESULT kernel=%s warm_ms=%.2f fresh_ms=%.2f copy_warm_ms=%.2f copy_fresh_ms=%.2f\n", name, warm,
                    fresh, copyWarm, copyFresh);
        double alo, ahi;
        const double t0 = nowMs();
        o->autoWindow(alo, ahi);
        std::printf("%s auto window %g..%g in %.1f ms\n", name, alo, ahi, nowMs() - t0);
    }
    dst.reset();

    // A window change in the main window: new volume, slice and march, both views drawn.
    auto* frame = new AppFrame("Slabwright", wxPoint(0, 0), wxSize(625, 290));  // owned by the toolkit
    frame->Show(true);
    pump();
    std::unique_ptr<Originals> o = benchOriginals(Held::Unsigned16, W, H, D);
    if (!o || !myVoxmap->allocate(W, H, D)) return 1;
    o->remap(o->lo, o->hi, myVoxmap->voxels.get());
    cam = std::make_unique<camera>();
    cam->startFor(D);
    viewportImage = wxImage(cam->resolution, cam->resolution);
    theslicer = std::make_unique<slicer>(myVoxmap->origin, W, H);
    screenImage = wxImage(W, H);
    const double lo = o->lo, hi = o->hi;
    frame->keepOriginals(std::move(o), lo, hi);
    frame->showLoadedState();
    pump();
    // Wall time, and the CPU time of the whole process (on a machine shared with other work
    // the wall time waits for cores; the CPU time, spread over 2 cores, does not).
    std::vector<double> times, cpu;
    for (int k = 0; k < reps * 2; ++k) {
        syncDisplay();
        const double t0 = nowMs(), c0 = cpuMs(CLOCK_PROCESS_CPUTIME_ID);
        frame->setWindow(1000 + 10 * k, 3000 - 10 * k);
        syncDisplay();
        times.push_back(nowMs() - t0);
        cpu.push_back(cpuMs(CLOCK_PROCESS_CPUTIME_ID) - c0);
    }
    const Spread sp = spreadOf(times), sc = spreadOf(cpu);
    std::printf("window change on %d x %d x %d 16-bit, both views drawn: min %.1f / median %.1f / max %.1f ms; "
                "CPU time min %.1f / median %.1f ms (Undo keeps %zu volumes)\n",
                W, H, D, sp.min, sp.median, sp.max, sc.min, sc.median, frame->undoLevels.size());
    std::printf("RESULT kernel=window_change min_ms=%.2f median_ms=%.2f max_ms=%.2f cpu_min_ms=%.2f cpu_median_ms=%.2f\n",
                sp.min, sp.median, sp.max, sc.min, sc.median);
    frame->Destroy();
    pump();
    return 0;
}

// ---- Toolkit start ----

class BenchApp : public wxApp {
public:
    bool OnInit() override { return true; }
};

// No dialog may wait for a user here: report it and cancel it.
class CancelDialogs : public wxModalDialogHook {
protected:
    int Enter(wxDialog* dialog) override {
        std::fprintf(stderr, "unexpected dialog \"%s\" cancelled\n", static_cast<const char*>(dialog->GetTitle().utf8_str()));
        return wxID_CANCEL;
    }
    void Exit(wxDialog*) override {}
};

}  // namespace

int main(int argc, char** argv) {
    const Options opt = parseOptions(argc, argv);
    workerOverride() = opt.threads;
    reuseBuffers();  // as the program does
    wxApp::SetInstance(new BenchApp);  // owned by the toolkit from here on
    int wxArgc = 1;
    if (!wxEntryStart(wxArgc, argv) || !wxTheApp->CallOnInit()) {
        std::fprintf(stderr, "cannot start the toolkit (is there a display? try xvfb-run -a)\n");
        return 1;
    }
    wxSetWorkingDirectory(SLABWRIGHT_SOURCE_DIR);  // the main window finds its placeholder pictures here
    delete wxLog::SetActiveTarget(new wxLogStderr);
    wxImage::AddHandler(new wxTIFFHandler);
    wxImage::AddHandler(new wxJPEGHandler);
    wxImage::AddHandler(new wxPNGHandler);
    CancelDialogs hook;
    hook.Register();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    int result = 0;
    if (opt.bigStack) {
        result = bigStack();
    } else if (opt.scratch) {
        result = scratchPeaks();
    } else if (opt.interactive) {
        result = interactive(opt);
    } else if (opt.window) {
        result = windowBench(opt);
    } else {
        Bench bench(opt);
        result = bench.run();
    }

    hook.Unregister();
    wxTheApp->OnExit();
    wxEntryCleanup();
    return result;
}
