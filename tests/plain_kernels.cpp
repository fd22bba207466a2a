#include "plain_kernels.h"

#include <algorithm>
#include <cmath>

#include "appFrame.h"
#include "camera.h"
#include "slicer.h"
#include "voxelmap.h"

namespace plain {

namespace {

// Runs one filter over the whole volume: computes every voxel with filterAt(x, y, z),
// which reads the unfiltered map, into a copy, then swaps the copy's array in.
// Voxels are visited by integer world coordinate, z outermost, then y, then x: exactly
// the coordinates the integer lookup accepts.
template <typename FilterAt>
void filterVolume(voxelmap* map, const char* /*message*/, FilterAt filterAt) {
    if (!map || !map->loaded || map->numVoxels <= 0) return;
    voxelmap temp;
    temp.copyMap(map);
    if (!temp.loaded) return;  // no memory for the copy: the volume stays as it was
    temp.origin = map->origin;  // write at the same world coordinates as we read

    const int x0 = static_cast<int>(map->origin.x());
    const int y0 = static_cast<int>(map->origin.y());
    const int z0 = static_cast<int>(map->origin.z());
    for (int z = z0; z - z0 < map->depth; ++z) {
        for (int y = y0; y - y0 < map->height; ++y)
            for (int x = x0; x - x0 < map->width; ++x) temp.setVoxel(x, y, z, filterAt(x, y, z));
    }
    map->voxels = std::move(temp.voxels);  // releases the old array; temp no longer owns one
}

// Truncates a channel result known to lie in 0..255.
unsigned char filterByte(double v) { return static_cast<unsigned char>(static_cast<int>(v)); }

// The low byte of trunc(v), as the 8-bit channels keep it; 0 where no integer holds v.
unsigned char lowByte(double v) {
    if (!(std::fabs(v) < 9.0e18)) return 0;
    return static_cast<unsigned char>(static_cast<long long>(v));
}

}  // namespace

void key(voxelmap* map, voxel keyColour, int range, int falloff, int premultiply) {
    const float edge0 = static_cast<float>(range);
    const float edge1 = static_cast<float>(static_cast<long long>(range) + falloff);
    filterVolume(map, "Keying", [&](int x, int y, int z) {
        voxel v = map->getVoxel(x, y, z);
        const int dr = keyColour.r - v.r, dg = keyColour.g - v.g, db = keyColour.b - v.b;
        const int d2 = dr * dr + dg * dg + db * db;
        const float dist = static_cast<float>(std::sqrt(static_cast<double>(d2)));
        const double f = smoothstep(edge0, edge1, dist);
        if (premultiply != 0) {
            v.r = filterByte(v.r * f);
            v.g = filterByte(v.g * f);
            v.b = filterByte(v.b * f);
        }
        v.a = filterByte(v.a * f);
        return v;
    });
}

void blur(voxelmap* map, int radius) {
    int code = KERNEL_BLUR1;
    double normaliser = 4.25;
    if (radius == 2) {
        code = KERNEL_BLUR2;
        normaliser = 16.5;
    } else if (radius == 3) {
        code = KERNEL_BLUR3;
        normaliser = 43.75;
    } else {
        radius = 1;  // the loops must stay within the chosen 3 x 3 x 3 table
    }
    filterVolume(map, "Blurring can be slow", [&](int x, int y, int z) {
        double r = 0, g = 0, b = 0, a = 0;
        for (int dz = -radius; dz <= radius; ++dz)
            for (int dy = -radius; dy <= radius; ++dy)
                for (int dx = -radius; dx <= radius; ++dx) {
                    const double w = weight(dx, dy, dz, radius, code);
                    const voxel v = map->getVoxel(x + dx, y + dy, z + dz);
                    r += v.r * w;
                    g += v.g * w;
                    b += v.b * w;
                    a += v.a * w;
                }
        return voxel(filterByte(r / normaliser), filterByte(g / normaliser), filterByte(b / normaliser),
                     filterByte(a / normaliser));
    });
}

void edges(voxelmap* map) {
    static constexpr int codes[3] = {KERNEL_SOBELX, KERNEL_SOBELY, KERNEL_SOBELZ};
    filterVolume(map, "Edge detecting can be SUPER slow.", [&](int x, int y, int z) {
        double sum[3][4] = {};  // [kernel][r, g, b, a]
        for (int dz = -1; dz <= 1; ++dz)
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const voxel v = map->getVoxel(x + dx, y + dy, z + dz);
                    for (int kn = 0; kn < 3; ++kn) {
                        const double w = weight(dx, dy, dz, 1, codes[kn]);
                        sum[kn][0] += v.r * w;
                        sum[kn][1] += v.g * w;
                        sum[kn][2] += v.b * w;
                        sum[kn][3] += v.a * w;
                    }
                }
        unsigned char out[4];
        for (int c = 0; c < 4; ++c) {
            const double gx = sum[0][c] / 12, gy = sum[1][c] / 12, gz = sum[2][c] / 12;
            out[c] = gx * gx + gy * gy + gz * gz > 128.0 * 128.0 ? 250 : 1;
        }
        return voxel(out[0], out[1], out[2], out[3]);
    });
}

void march(camera& c, voxelmap* map, wxImage& image) {
    c.dir = c.lookAt - c.eye;
    c.dir.normalize();
    const Vector C = c.eye + c.dir * c.zoom;
    c.right = Vector(0, 1, 0).cross(c.dir);
    c.up = c.right.cross(c.dir);
    const Vector A = C - c.right + c.up;
    const Vector B = C + c.right + c.up;
    const Vector D = C - c.right - c.up;
    const Vector E = C + c.right - c.up;
    // The box in world units: a voxel spans map->span (one unit along each axis for cubes).
    const double extentX = map->width, extentY = map->height * map->span.y(), extentZ = map->depth * map->span.z();
    const Vector boxMin(-extentX / 2.0, -extentY / 2.0, 100);
    const Vector boxMax(extentX / 2.0, extentY / 2.0, extentZ + 100.0);
    if (!image.IsOk()) return;
    const bool hasVolume = map->loaded;
    const int rows = std::min(c.resolution, image.GetHeight());
    const int cols = std::min(c.resolution, image.GetWidth());
    for (int y = 0; y < rows; ++y) {
        const double p = static_cast<double>(y) / c.resolution;
        for (int x = 0; x < cols; ++x) {
            const double q = static_cast<double>(x) / c.resolution;
            const Vector L = vectorLerp(A, D, p);
            const Vector R = vectorLerp(B, E, p);
            const Vector P = vectorLerp(L, R, q);
            voxel acc;
            Vector rd = P - c.eye;
            rd.normalize();
            const Vector step = rd * c.stepLength;
            Vector pos = c.eye;
            if (hasVolume && step.length2() > 0 && c.rayHitsCube(boxMin, boxMax, rd, &pos)) {
                const bool maximum = c.blend == Blend::Maximum;
                while (pos.length() < 1000 && (maximum || acc.a <= 249)) {
                    const voxel s = map->getVoxel(pos);
                    if (s.a != 0 && maximum) {
                        acc.r = std::max(acc.r, s.r);
                        acc.g = std::max(acc.g, s.g);
                        acc.b = std::max(acc.b, s.b);
                    } else if (s.a != 0) {
                        const double w = (s.a / 255.0) * (1 - acc.a / 255.0) * c.opacity;
                        acc.r = static_cast<unsigned char>(acc.r + lowByte(s.r * w));
                        acc.g = static_cast<unsigned char>(acc.g + lowByte(s.g * w));
                        acc.b = static_cast<unsigned char>(acc.b + lowByte(s.b * w));
                        acc.a = static_cast<unsigned char>(acc.a + lowByte(255 * w));
                    }
                    pos += step;
                }
            }
            image.SetRGB(x, y, acc.r, acc.g, acc.b);
        }
    }
}

void evaluateSlice(const slicer& s, voxelmap* map, wxImage& image) {
    if (!image.IsOk()) return;
    const bool hasVolume = map->loaded;
    const int rows = std::min(s.height, image.GetHeight());
    const int cols = std::min(s.width, image.GetWidth());
    for (int i = 0; i < rows; ++i) {
        for (int j = 0; j < cols; ++j) {
            const float u = static_cast<float>(j) / static_cast<float>(s.width);
            const float v = static_cast<float>(i) / static_cast<float>(s.height);
            const Vector point = s.patch->SrfEval(u, v);
            const voxel sample = !hasVolume ? voxel() : s.aaLookups ? map->getAAVoxel(point) : map->getVoxel(point);
            image.SetRGB(j, i, sample.r, sample.g, sample.b);
        }
    }
}

}  // namespace plain
