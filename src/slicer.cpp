#include "slicer.h"

#include <wx/image.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "cpu.h"
#include "parallel.h"
#include "voxelmap.h"

slicer::slicer(Vector position, int w, int h) : centre(0, 0, position.z()), width(w), height(h) {
    // Integer halves: a plane of odd width spans width - 1 units.
    const double hw = w / 2;
    const double hh = h / 2;
    baseP00 = centre + Vector(-hw, -hh, 0);
    baseP01 = centre + Vector(-hw, +hh, 0);
    baseP10 = centre + Vector(+hw, -hh, 0);
    baseP11 = centre + Vector(+hw, +hh, 0);
    patch = std::make_unique<BilinearPatch>(baseP00, baseP01, baseP10, baseP11);
}

void slicer::setP(Vector t) {
    translation.SetTranslate(t);
    applyMatrix();
}

void slicer::setR(float rx, float ry, float rz) {
    // Each Rotate acts before the ones already in the matrix: z first, then y, then x.
    rotation.Identity();
    rotation.Rotate(rx, 1, 0, 0);
    rotation.Rotate(ry, 0, 1, 0);
    rotation.Rotate(rz, 0, 0, 1);
    applyMatrix();
}

void slicer::pose(Vector t, float rx, float ry, float rz, float sx, float sy, float sz) {
    setP(t);
    setR(rx, ry, rz);
    setS(sx, sy, sz);
}

void slicer::setS(float sx, float sy, float sz) {
    // The scaling shapes only the corners computed here; it is gone again afterwards.
    scaling.Scale(sx / 100.0f, sy / 100.0f, sz / 100.0f);
    applyMatrix();
    scaling.Identity();
}

void slicer::applyMatrix() {
    // Rotation, then scaling along the world axes, then translation, all about centre.
    transform = rotation * scaling * translation;
    auto place = [this](const Vector& base) { return (transform * (base - centre)) + centre; };
    patch->P00 = place(baseP00);
    patch->P01 = place(baseP01);
    patch->P10 = place(baseP10);
    patch->P11 = place(baseP11);
}

namespace {

// One pixel the straightforward way: the patch evaluated, then the lookup.
inline voxel samplePixel(const BilinearPatch& patch, const voxelmap& map, bool interpolated, float u, float v) {
    const Vector point = patch.SrfEval(u, v);
    return interpolated ? map.getAAVoxel(point) : map.getVoxel(point);
}

inline void putRGB(unsigned char* out, const voxel& s) {
    out[0] = s.r;  // alpha is not shown
    out[1] = s.g;
    out[2] = s.b;
}

// What the vector rows share: the plane, the map, and each column's u (the float
// j / width as a double) and 1 - u.
struct SliceRows {
    const BilinearPatch* patch;
    const voxelmap* map;
    const double* u;
    const double* omu;
    int cols;
};

#if defined(__x86_64__)
#define SLAB_AVX2 __attribute__((target("avx2")))

// Four pixels' points, computed as SrfEval computes them (the same products and the
// same left-to-right sums, one pixel per lane).
struct Corners4 {
    __m256d x[4], y[4], z[4];  // P00, P01, P10, P11
};

SLAB_AVX2 inline void cornersOf(const BilinearPatch& P, Corners4& c) {
    const Vector* k[4] = {&P.P00, &P.P01, &P.P10, &P.P11};
    for (int n = 0; n < 4; ++n) {
        c.x[n] = _mm256_set1_pd(k[n]->x());
        c.y[n] = _mm256_set1_pd(k[n]->y());
        c.z[n] = _mm256_set1_pd(k[n]->z());
    }
}

// ((w00 k0 + w01 k1) + w10 k2) + w11 k3, left to right as SrfEval adds.
SLAB_AVX2 inline __m256d weighted(const __m256d* k, __m256d w00, __m256d w01, __m256d w10, __m256d w11) {
    __m256d s = _mm256_add_pd(_mm256_mul_pd(w00, k[0]), _mm256_mul_pd(w01, k[1]));
    s = _mm256_add_pd(s, _mm256_mul_pd(w10, k[2]));
    return _mm256_add_pd(s, _mm256_mul_pd(w11, k[3]));
}

SLAB_AVX2 inline void points4(const Corners4& c, const SliceRows& rows, int j, __m256d omv, __m256d v, __m256d& px,
                              __m256d& py, __m256d& pz) {
    const __m256d u = _mm256_loadu_pd(rows.u + j);
    const __m256d omu = _mm256_loadu_pd(rows.omu + j);
    const __m256d w00 = _mm256_mul_pd(omu, omv);
    const __m256d w01 = _mm256_mul_pd(omu, v);
    const __m256d w10 = _mm256_mul_pd(u, omv);
    const __m256d w11 = _mm256_mul_pd(u, v);
    px = weighted(c.x, w00, w01, w10, w11);
    py = weighted(c.y, w00, w01, w10, w11);
    pz = weighted(c.z, w00, w01, w10, w11);
}

// Lanes where a lies in (-1, n): where truncation gives an index in [0, n).
SLAB_AVX2 inline __m256d within(__m256d a, __m256d n) {
    return _mm256_and_pd(_mm256_cmp_pd(a, _mm256_set1_pd(-1.0), _CMP_GT_OQ), _mm256_cmp_pd(a, n, _CMP_LT_OQ));
}

// Nearest lookups, four pixels at a time: the range test and truncation of
// voxelmap::getVoxel(Vector) per lane, then one gather of the four voxels.
SLAB_AVX2 void nearestRowAvx2(const SliceRows& rows, float vf, unsigned char* out) {
    const voxelmap& m = *rows.map;
    Corners4 c;
    cornersOf(*rows.patch, c);
    const double vd = vf;
    const __m256d v = _mm256_set1_pd(vd), omv = _mm256_set1_pd(1 - vd);
    const __m256d ox = _mm256_set1_pd(m.origin.x()), oy = _mm256_set1_pd(m.origin.y()),
                  oz = _mm256_set1_pd(m.origin.z());
    const __m256d w = _mm256_set1_pd(m.width), h = _mm256_set1_pd(m.height), d = _mm256_set1_pd(m.depth);
    const bool cubic = m.cubic();
    const __m256d ry = _mm256_set1_pd(m.span.y()), rz = _mm256_set1_pd(m.span.z());
    const __m256i layer = _mm256_set1_epi64x(static_cast<int64_t>(m.width) * m.height);
    const __m256i rowLen = _mm256_set1_epi64x(m.width);
    const __m256i lowHalves = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    const __m128i rgbOnly = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const int* vox = reinterpret_cast<const int*>(m.voxels.get());
    const int cols = rows.cols;
    int j = 0;
    for (; j + 4 <= cols; j += 4) {
        __m256d px, py, pz;
        points4(c, rows, j, omv, v, px, py, pz);
        const __m256d dx = _mm256_sub_pd(px, ox);
        __m256d dy = _mm256_sub_pd(py, oy), dz = _mm256_sub_pd(pz, oz);
        if (!cubic) {
            // World to voxel, as the nearest lookup divides.
            dy = _mm256_div_pd(dy, ry);
            dz = _mm256_div_pd(dz, rz);
        }
        const __m256d in = _mm256_and_pd(_mm256_and_pd(within(dx, w), within(dy, h)), within(dz, d));
        const __m256i ix = _mm256_cvtepi32_epi64(_mm256_cvttpd_epi32(dx));
        const __m256i iy = _mm256_cvtepi32_epi64(_mm256_cvttpd_epi32(dy));
        const __m256i iz = _mm256_cvtepi32_epi64(_mm256_cvttpd_epi32(dz));
        const __m256i index =
            _mm256_add_epi64(_mm256_add_epi64(_mm256_mul_epi32(iz, layer), _mm256_mul_epi32(iy, rowLen)), ix);
        const __m128i mask =
            _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(in), lowHalves));
        const __m128i got = _mm256_mask_i64gather_epi32(_mm_setzero_si128(), vox, index, mask, 4);
        const __m128i rgb = _mm_shuffle_epi8(got, rgbOnly);
        if (j + 6 <= cols) {
            // 16 bytes: the last four belong to pixels j + 4 and j + 5, written next.
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * j), rgb);
        } else {
            alignas(16) unsigned char bytes[16];
            _mm_store_si128(reinterpret_cast<__m128i*>(bytes), rgb);
            std::memcpy(out + 3 * j, bytes, 12);
        }
    }
    for (; j < cols; ++j) putRGB(out + 3 * j, samplePixel(*rows.patch, m, false, static_cast<float>(rows.u[j]), vf));
}

// voxelLerp of four channels held as doubles: the result as doubles (whole numbers),
// and in `bad` the lanes where voxelLerp would take its extended-precision blend
// (a whole-number sum with a non-zero product).
SLAB_AVX2 inline __m256d lerp4(__m256d a, __m256d b, __m256d t, __m256d& bad) {
    const __m256d p = _mm256_mul_pd(_mm256_sub_pd(b, a), t);
    const __m256d s = _mm256_add_pd(a, p);
    const __m256d k = _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(s));
    const __m256d whole = _mm256_cmp_pd(k, s, _CMP_EQ_OQ);
    const __m256d moved = _mm256_cmp_pd(p, _mm256_setzero_pd(), _CMP_NEQ_UQ);
    bad = _mm256_or_pd(bad, _mm256_and_pd(whole, moved));
    return k;
}

SLAB_AVX2 inline __m256d channels(const voxel* p) {
    int bytes;
    std::memcpy(&bytes, p, 4);
    return _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(bytes)));
}

// The bilinear blend within one layer, from the voxel at q (the plane's x0, y0).
SLAB_AVX2 inline __m256d planeBlend(const voxel* q, int64_t rowLen, __m256d tx, __m256d ty, __m256d& bad) {
    const __m256d lower = lerp4(channels(q), channels(q + 1), tx, bad);
    const __m256d upper = lerp4(channels(q + rowLen), channels(q + rowLen + 1), tx, bad);
    return lerp4(lower, upper, ty, bad);
}

// Interpolated lookups: the points and their floors four at a time; then per pixel,
// where all eight neighbours lie inside the volume, the seven blends of
// voxelmap::getAAVoxel on the four channels at once. Pixels near the volume's faces,
// and the rare blend that needs extended precision, take getAAVoxel itself.
SLAB_AVX2 void linearRowAvx2(const SliceRows& rows, float vf, unsigned char* out) {
    const voxelmap& m = *rows.map;
    Corners4 c;
    cornersOf(*rows.patch, c);
    const double vd = vf;
    const __m256d v = _mm256_set1_pd(vd), omv = _mm256_set1_pd(1 - vd);
    // Points in voxel steps, and the step of voxel 0, as voxelmap::steps counts them: a
    // cubic axis as it is, counted from the truncated origin; another rescaled about the
    // origin of a map of cubes.
    const Vector cubes = voxelmap::originFor(m.width, m.height);
    const bool sy = m.span.y() != 1, sz = m.span.z() != 1;
    const double oxi = static_cast<double>(static_cast<int64_t>(m.origin.x()));
    const double oyi = static_cast<double>(static_cast<int64_t>(sy ? cubes.y() : m.origin.y()));
    const double ozi = static_cast<double>(static_cast<int64_t>(sz ? cubes.z() : m.origin.z()));
    const __m256d wy = _mm256_set1_pd(m.origin.y()), wz = _mm256_set1_pd(m.origin.z());
    const __m256d cy = _mm256_set1_pd(cubes.y()), cz = _mm256_set1_pd(cubes.z());
    const __m256d ry = _mm256_set1_pd(m.span.y()), rz = _mm256_set1_pd(m.span.z());
    const __m256d ox = _mm256_set1_pd(oxi), oy = _mm256_set1_pd(oyi), oz = _mm256_set1_pd(ozi);
    const double W = m.width, H = m.height, D = m.depth;
    const int64_t rowLen = m.width, layer = static_cast<int64_t>(m.width) * m.height;
    const voxel* vox = m.voxels.get();
    const int cols = rows.cols;
    int j = 0;
    for (; j + 4 <= cols; j += 4) {
        __m256d px, py, pz;
        points4(c, rows, j, omv, v, px, py, pz);
        alignas(32) double P[3][4], L[3][4];
        alignas(16) float T[3][4];
        _mm256_store_pd(P[0], px);
        _mm256_store_pd(P[1], py);
        _mm256_store_pd(P[2], pz);
        if (sy) py = _mm256_add_pd(cy, _mm256_div_pd(_mm256_sub_pd(py, wy), ry));
        if (sz) pz = _mm256_add_pd(cz, _mm256_div_pd(_mm256_sub_pd(pz, wz), rz));
        const __m256d fx = _mm256_floor_pd(px), fy = _mm256_floor_pd(py), fz = _mm256_floor_pd(pz);
        _mm256_store_pd(L[0], _mm256_sub_pd(fx, ox));
        _mm256_store_pd(L[1], _mm256_sub_pd(fy, oy));
        _mm256_store_pd(L[2], _mm256_sub_pd(fz, oz));
        _mm_store_ps(T[0], _mm256_cvtpd_ps(_mm256_sub_pd(px, fx)));
        _mm_store_ps(T[1], _mm256_cvtpd_ps(_mm256_sub_pd(py, fy)));
        _mm_store_ps(T[2], _mm256_cvtpd_ps(_mm256_sub_pd(pz, fz)));
        for (int n = 0; n < 4; ++n) {
            unsigned char* o = out + 3 * (j + n);
            const double lx = L[0][n], ly = L[1][n], lz = L[2][n];
            // No neighbour inside (NaN points included): transparent black.
            if (!(lx >= -1 && lx <= W - 1 && ly >= -1 && ly <= H - 1 && lz >= -1 && lz <= D - 1)) {
                o[0] = o[1] = o[2] = 0;
                continue;
            }
            const Vector point(P[0][n], P[1][n], P[2][n]);
            if (!(lx >= 0 && lx <= W - 2 && ly >= 0 && ly <= H - 2 && lz >= 0 && lz <= D - 2)) {
                putRGB(o, m.getAAVoxel(point));
                continue;
            }
            const voxel* b = vox + static_cast<int64_t>(lz) * layer + static_cast<int64_t>(ly) * rowLen +
                             static_cast<int64_t>(lx);
            const __m256d tx = _mm256_set1_pd(T[0][n]), ty = _mm256_set1_pd(T[1][n]), tz = _mm256_set1_pd(T[2][n]);
            __m256d bad = _mm256_setzero_pd();
            const __m256d below = planeBlend(b, rowLen, tx, ty, bad);
            const __m256d above = planeBlend(b + layer, rowLen, tx, ty, bad);
            const __m256d s = lerp4(below, above, tz, bad);
            if (_mm256_movemask_pd(bad) != 0) {
                putRGB(o, m.getAAVoxel(point));
                continue;
            }
            alignas(16) int k[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(k), _mm256_cvttpd_epi32(s));
            o[0] = static_cast<unsigned char>(k[0]);
            o[1] = static_cast<unsigned char>(k[1]);
            o[2] = static_cast<unsigned char>(k[2]);
        }
    }
    for (; j < cols; ++j) putRGB(out + 3 * j, samplePixel(*rows.patch, m, true, static_cast<float>(rows.u[j]), vf));
}
#endif

}  // namespace

void slicer::evaluateSlice(voxelmap* map, wxImage& image) const {
    if (!image.IsOk()) return;
    // A map without voxels (empty or cleared) shows black.
    const bool hasVolume = map->loaded;
    // Only the part of the plane that fits into the image is written.
    const int rows = std::min(height, image.GetHeight());
    const int cols = std::min(width, image.GetWidth());
    if (rows <= 0 || cols <= 0) return;
    // Rows are sampled on all cores, straight into the image's own pixels (made
    // exclusive first, so an image sharing them keeps its own).
    image.UnShare();
    unsigned char* const data = image.GetData();
    const int64_t stride = 3 * static_cast<int64_t>(image.GetWidth());

    // The vector rows need each column's u once, and index arithmetic that fits:
    // a layer below 2^31 voxels, and extents well inside the lookups' far bound.
    std::vector<double> u, omu;
    bool vector = false;
#if defined(__x86_64__)
    vector = hasVolume && map->numVoxels > 0 && haveAvx2() &&
             static_cast<int64_t>(map->width) * map->height < (int64_t(1) << 31) && map->width < (1 << 29) &&
             map->height < (1 << 29) && map->depth < (1 << 29);
    if (vector) {
        try {
            u.resize(cols);
            omu.resize(cols);
        } catch (const std::bad_alloc&) {
            vector = false;  // the scalar rows need nothing
        }
    }
    for (int j = 0; vector && j < cols; ++j) {
        u[j] = static_cast<float>(j) / static_cast<float>(width);
        omu[j] = 1 - u[j];
    }
#endif
    const SliceRows job{patch.get(), map, u.data(), omu.data(), cols};
    // A nearest lookup is cheap: small slices are not worth a second thread.
    const int minRows = aaLookups ? 1 : std::max(1, (1 << 15) / cols);
    parallelBands(rows, [&](int i0, int i1) {
        for (int i = i0; i < i1; ++i) {
            unsigned char* out = data + i * stride;
            const float v = static_cast<float>(i) / static_cast<float>(height);
#if defined(__x86_64__)
            if (vector) {
                if (aaLookups)
                    linearRowAvx2(job, v, out);
                else
                    nearestRowAvx2(job, v, out);
                continue;
            }
#endif
            for (int j = 0; j < cols; ++j) {
                const float uf = static_cast<float>(j) / static_cast<float>(width);
                putRGB(out + 3 * j, hasVolume ? samplePixel(*patch, *map, aaLookups, uf, v) : voxel());
            }
        }
    }, minRows);
}
