// slabwright_bench_view: the 3D view on a CT-like volume. Makes 512 x 512 x 300 16-bit
// samples in HU (air -1000, a body of soft tissue -100..80, a skull-like shell and a spine
// of bone 300..1500), keeps them as a wide load does, and times in one run:
//   the volume made from them (the window's remap) and with the "Bone" ramp after it;
//   the march at resolution 512, step 1, from the start pose and turned, "Bone" against
//   "Opaque"; the preview frames at 256 and 128 rays a side;
//   the maximum-intensity march at resolution 256 on the same kind of volume at 256^3,
//   "Opaque" and "Bone";
// each fast march checked against the plain one at resolution 64. No display needed.
//
//   slabwright_bench_view [--reps R] [--threads N] [--dump DIR]
//
// --dump DIR writes the Bone volume (DIR/ct512.rgba) and the opaque 256^3 one
// (DIR/ct256.rgba), layer by layer, four bytes a voxel, for bench/peers_view.py.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include <wx/image.h>

#include "bigblock.h"
#include "camera.h"
#include "opacity.h"
#include "originals.h"
#include "parallel.h"
#include "plain_kernels.h"
#include "voxelmap.h"

namespace {

using Clock = std::chrono::steady_clock;

double minMs(int reps, const std::function<void()>& fn) {
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = Clock::now();
        fn();
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    return best;
}

// A CT-like head and neck of w x h x d voxels, in HU.
bool ctLike(Originals& o, int w, int h, int d) {
    OriginalLayer layer;
    layer.kind = Held::Signed16;
    if (!o.allocate(w, h, Held::Signed16, std::vector<OriginalLayer>(size_t(d), layer), false)) return false;
    o.valueUnit = "HU";
    o.lo = -1000;
    o.hi = 1500;
    parallelBands(d, [&](int k0, int k1) {
        for (int k = k0; k < k1; ++k) {
            int16_t* s = o.data<int16_t>(k);
            unsigned seed = 977u * k + 1;
            for (int j = 0; j < h; ++j)
                for (int i = 0; i < w; ++i) {
                    seed = seed * 1103515245u + 12345u;
                    const double x = (i - w / 2.0) / (0.42 * w), y = (j - h / 2.0) / (0.36 * h);
                    const double r = std::sqrt(x * x + y * y);
                    const double sx = (i - w / 2.0) / (0.05 * w), sy = (j - 0.62 * h) / (0.05 * h);
                    int v = -1000;
                    if (r < 1) v = -100 + int(seed >> 16) % 181;                           // soft tissue
                    if ((r > 0.86 && r < 0.93 && k > d / 3) || sx * sx + sy * sy < 1)      // skull, spine
                        v = 300 + int(seed >> 12) % 1201;
                    s[size_t(j) * w + i] = int16_t(v);
                }
        }
    });
    return true;
}

double marchMs(int reps, camera c, voxelmap& m) {
    wxImage image(c.resolution, c.resolution);
    return minMs(reps, [&] { c.march(&m, image); });
}

// The fast march against the plain one at resolution 64: the same bytes.
bool identical(camera c, voxelmap& m) {
    c.resolution = 64;
    camera p = c;
    wxImage fast(64, 64), plainImage(64, 64);
    c.march(&m, fast);
    plain::march(p, &m, plainImage);
    return std::equal(fast.GetData(), fast.GetData() + 64 * 64 * 3, plainImage.GetData());
}

void dump(const std::string& path, const voxelmap& m) {
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(m.voxels.get(), sizeof(voxel), size_t(m.numVoxels), f);
        std::fclose(f);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 3;
    std::string dumpDir;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--reps") reps = std::max(1, std::atoi(argv[i + 1]));
        if (a == "--threads") workerOverride() = std::atoi(argv[i + 1]);
        if (a == "--dump") dumpDir = argv[i + 1];
    }
    reuseBuffers();
    int failures = 0;
    OpacityRamp bone;
    bone.on = true, bone.lo = 200, bone.hi = 800;  // the "Bone" preset

    {
        Originals o;
        voxelmap opaque, ramped;
        if (!ctLike(o, 512, 512, 300) || !opaque.allocate(512, 512, 300) || !ramped.allocate(512, 512, 300)) {
            std::fprintf(stderr, "not enough memory for the 512 x 512 x 300 volume\n");
            return 1;
        }
        const double remapMs = minMs(reps, [&] { o.remap(o.lo, o.hi, opaque.voxels.get()); });
        const double rampMs = minMs(reps, [&] {
            o.remap(o.lo, o.hi, ramped.voxels.get());
            applyRamp(bone, o, ramped.voxels.get());
        });
        std::printf("CT-like 512 x 512 x 300, %d threads\n", workerCount());
        if (!dumpDir.empty()) dump(dumpDir + "/ct512.rgba", ramped);
        std::printf("volume made: window only %.1f ms, window and Bone ramp %.1f ms (%.2fx)\n", remapMs, rampMs,
                    rampMs / remapMs);
        for (int yaw : {0, 40}) {
            camera c;
            c.startFor(opaque);
            c.orbit(yaw, yaw / 2, 0);
            c.resolution = 512;
            c.stepLength = 1;
            const double opaqueMs = marchMs(reps, c, opaque), boneMs = marchMs(reps, c, ramped);
            // The frames of a preview share what they learn of the blocks, as in the program:
            // the first frame of a burst looks at them, the later ones (timed: the minimum) reuse it.
            camera half = c, quarter = c, eighth = c;
            half.resolution = 256;
            quarter.resolution = 128;
            eighth.resolution = 64;
            half.blockCache = makeBlockCache();
            quarter.blockCache = eighth.blockCache = half.blockCache;
            const double halfMs = marchMs(reps + 1, half, ramped), quarterMs = marchMs(reps, quarter, ramped);
            std::printf("yaw %d: preview frame of 64 x 64 rays, Bone: %.1f ms\n", yaw, marchMs(reps, eighth, ramped));
            const bool same = identical(c, ramped) && identical(c, opaque);
            failures += !same;
            std::printf("yaw %d: march 512 Opaque %.1f ms, Bone %.1f ms (Bone / Opaque %.2f); preview 256: %.1f ms, "
                        "128: %.1f ms; %s\n",
                        yaw, opaqueMs, boneMs, boneMs / opaqueMs, halfMs, quarterMs,
                        same ? "bytes as the plain march" : "BYTES DIFFER");
            std::printf("RESULT kernel=ct_march yaw=%d opaque_ms=%.2f bone_ms=%.2f preview256_ms=%.2f "
                        "preview128_ms=%.2f identical=%s\n",
                        yaw, opaqueMs, boneMs, halfMs, quarterMs, same ? "yes" : "no");
        }
    }
    {
        Originals o;
        voxelmap opaque, ramped;
        if (!ctLike(o, 256, 256, 256) || !opaque.allocate(256, 256, 256) || !ramped.allocate(256, 256, 256)) return 1;
        o.remap(o.lo, o.hi, opaque.voxels.get());
        o.remap(o.lo, o.hi, ramped.voxels.get());
        applyRamp(bone, o, ramped.voxels.get());
        if (!dumpDir.empty()) dump(dumpDir + "/ct256.rgba", opaque);
        camera c;
        c.startFor(opaque);
        c.resolution = 256;
        c.stepLength = 1;
        c.blend = Blend::Maximum;
        camera composite = c;
        composite.blend = Blend::Composite;
        const double mipOpaque = marchMs(reps, c, opaque), mipBone = marchMs(reps, c, ramped);
        const double compOpaque = marchMs(reps, composite, opaque);
        const bool same = identical(c, opaque) && identical(c, ramped);
        failures += !same;
        std::printf("256^3, resolution 256: Maximum Opaque %.1f ms, Maximum Bone %.1f ms, Composite Opaque %.1f ms; %s\n",
                    mipOpaque, mipBone, compOpaque, same ? "bytes as the plain march" : "BYTES DIFFER");
        std::printf("RESULT kernel=mip256 opaque_ms=%.2f bone_ms=%.2f composite_opaque_ms=%.2f identical=%s\n",
                    mipOpaque, mipBone, compOpaque, same ? "yes" : "no");
    }
    return failures ? 1 : 0;
}
