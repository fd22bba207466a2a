#include "camera.h"

#include <wx/dcclient.h>
#include <wx/image.h>
#include <wx/pen.h>
#include <wx/window.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "bilinear.h"
#include "slicer.h"
#include "parallel.h"
#include "voxelmap.h"

namespace {

// a / 255.0 for every byte a: the same doubles as the division, without dividing per sample.
const struct Over255 {
    double v[256];
    Over255() {
        for (int a = 0; a < 256; ++a) v[a] = a / 255.0;
    }
    double operator[](int a) const { return v[a]; }
} kOver255;

// Projected coordinates are kept within this many pixels of zero: far beyond any
// window, yet safe for int arithmetic and for the device context's fixed-point paths.
constexpr double kProjectLimit = 1000000.0;

// The low byte of trunc(v), as the 8-bit channels keep it; 0 for values no integer
// holds (NaN, infinities), which only an opacity outside [0, 1] can produce.
unsigned char lowByte(double v) {
    if (!(std::fabs(v) < 9.0e18)) return 0;
    return static_cast<unsigned char>(static_cast<long long>(v));
}

// trunc(v) for a projected coordinate, clamped to the safe range; NaN gives fallback.
int toPixel(double v, int fallback) {
    if (std::isnan(v)) return fallback;
    return static_cast<int>(std::clamp(v, -kProjectLimit, kProjectLimit));
}

// Projects point with the camera's frame. Returns false, storing the view's centre,
// when the point has no projection: at depth 0 (in the plane through the eye
// perpendicular to dir) or at an undefined (NaN) depth.
bool projectPoint(const camera& c, Vector point, int* px, int* py, int width, int height) {
    const int cx = static_cast<int>(width * 0.5);
    const int cy = static_cast<int>(height * 0.5);
    const Vector d = point - c.eye;
    const double z = d.dot(c.dir);
    if (z == 0 || std::isnan(z)) {
        *px = cx;
        *py = cy;
        return false;
    }
    const double a = d.dot(c.right);
    const double b = d.dot(-c.up);
    const double sx = c.zoom * a / z;
    const double sy = c.zoom * b / z;
    *px = toPixel(width * (0.5 * sx + 0.5), cx);
    *py = toPixel(height * (0.5 * sy + 0.5), cy);
    return true;
}

}  // namespace

Vector vectorLerp(Vector a, Vector b, double t) { return b * t + a * (1 - t); }

void camera::march(voxelmap* map, wxImage& image) {
    // Camera frame; right and up are left unnormalised (shorter when dir tilts toward y).
    dir = lookAt - eye;
    dir.normalize();
    const Vector C = eye + dir * zoom;
    right = Vector(0, 1, 0).cross(dir);
    up = right.cross(dir);

    // Image-plane corners: A first row first column, B first row last column,
    // D last row first column, E last row last column.
    const Vector A = C - right + up;
    const Vector B = C + right + up;
    const Vector D = C - right - up;
    const Vector E = C + right - up;

    const Vector boxMin(-map->width / 2.0, -map->height / 2.0, 100);
    const Vector boxMax(map->width / 2.0, map->height / 2.0, map->depth + 100.0);

    if (!image.IsOk()) return;
    // A map without voxels (empty or cleared) has nothing for the rays to meet.
    const bool hasVolume = map->loaded;
    // Only the part of the square that fits into the image is written.
    const int rows = std::min(resolution, image.GetHeight());
    const int cols = std::min(resolution, image.GetWidth());

    // The nearest lookup finds a voxel only while pos - origin lies in (-1, n) on every
    // axis. Each coordinate of pos moves monotonically (the same step is added every
    // time), so once one has left that interval in the direction of its step, every
    // later sample is transparent black and adds nothing: the ray can stop there
    // instead of running on to the 1000-unit radius.
    const Vector origin = map->origin;
    const double size[3] = {static_cast<double>(map->width), static_cast<double>(map->height),
                            static_cast<double>(map->depth)};
    auto leftForGood = [&](const Vector& pos, const Vector& step) {
        const Vector d = pos - origin;
        for (int i = 0; i < 3; ++i) {
            if (d[i] <= -1.0 && step[i] <= 0) return true;
            if (d[i] >= size[i] && step[i] >= 0) return true;
        }
        return false;
    };

    // Rows on all cores, straight into the image's own pixels (made exclusive first,
    // so an image sharing them keeps its own).
    image.UnShare();
    unsigned char* const data = image.GetData();
    const int64_t stride = 3 * static_cast<int64_t>(image.GetWidth());
    parallelBands(rows, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const double p = static_cast<double>(y) / resolution;
            unsigned char* out = data + y * stride;
            for (int x = 0; x < cols; ++x) {
                const double q = static_cast<double>(x) / resolution;
                const Vector L = vectorLerp(A, D, p);
                const Vector R = vectorLerp(B, E, p);
                const Vector P = vectorLerp(L, R, q);

                voxel acc;
                Vector rd = P - eye;
                rd.normalize();
                const Vector step = rd * stepLength;

                // A zero step (zero ray direction or zero step length) would never leave
                // the sphere: such a ray gives a black pixel.
                Vector pos = eye;
                if (hasVolume && step.length2() > 0 && rayHitsCube(boxMin, boxMax, rd, &pos)) {
                    while (pos.length() < 1000 && acc.a <= 249) {
                        const voxel s = map->getVoxel(pos);
                        if (s.a != 0) {
                            const double w = kOver255[s.a] * (1 - kOver255[acc.a]) * opacity;
                            acc.r = static_cast<unsigned char>(acc.r + lowByte(s.r * w));
                            acc.g = static_cast<unsigned char>(acc.g + lowByte(s.g * w));
                            acc.b = static_cast<unsigned char>(acc.b + lowByte(s.b * w));
                            acc.a = static_cast<unsigned char>(acc.a + lowByte(255 * w));
                        } else if (leftForGood(pos, step)) {
                            break;
                        }
                        pos += step;
                    }
                }
                out[3 * x] = acc.r;  // the accumulated alpha is not shown
                out[3 * x + 1] = acc.g;
                out[3 * x + 2] = acc.b;
            }
        }
    });
}

// Slab test (Woo): the entry face is the one whose plane the ray reaches last.
bool camera::rayHitsCube(Vector boxMin, Vector boxMax, Vector rayDir, Vector* hit) const {
    bool inside = true;
    bool outside[3];
    double candidate[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        outside[i] = true;
        if (eye[i] < boxMin[i]) candidate[i] = boxMin[i];
        else if (eye[i] > boxMax[i]) candidate[i] = boxMax[i];
        else outside[i] = false;
        if (outside[i]) inside = false;
    }
    if (inside) {
        *hit = eye;
        return true;
    }

    double t[3];
    for (int i = 0; i < 3; ++i)
        t[i] = (outside[i] && rayDir[i] != 0) ? (candidate[i] - eye[i]) / rayDir[i] : -1;

    int k = 0;
    for (int i = 1; i < 3; ++i)
        if (t[i] > t[k]) k = i;
    if (t[k] < 0) return false;

    double h[3];
    for (int i = 0; i < 3; ++i) {
        if (i == k) {
            h[i] = candidate[k];
        } else {
            h[i] = eye[i] + t[k] * rayDir[i];
            if (h[i] < boxMin[i] || h[i] > boxMax[i]) return false;
        }
    }
    *hit = Vector(h[0], h[1], h[2]);
    return true;
}

// A point at depth 0 (or of undefined depth) stores the view's centre,
// (trunc(width / 2), trunc(height / 2)). Other coordinates are clamped to
// [-1000000, 1000000] before truncation.
void camera::project(Vector point, int* px, int* py, int width, int height) const {
    projectPoint(*this, point, px, py, width, height);
}

void camera::drawslicer3d(slicer* s, wxWindow* window, int width, int height) const {
    const BilinearPatch& patch = *s->patch;
    int x00, y00, x01, y01, x10, y10, x11, y11;
    bool all = projectPoint(*this, patch.getP00(), &x00, &y00, width, height);
    all = projectPoint(*this, patch.getP01(), &x01, &y01, width, height) && all;
    all = projectPoint(*this, patch.getP10(), &x10, &y10, width, height) && all;
    all = projectPoint(*this, patch.getP11(), &x11, &y11, width, height) && all;
    // A corner without a projection leaves no meaningful outline: draw none.
    if (!all) return;

    wxClientDC dc(window);
    wxPen pen;
    pen.SetColour(0, 230, 0);
    dc.SetPen(pen);

    dc.DrawLine(x00, y00, x01, y01);
    dc.DrawLine(x01, y01, x11, y11);
    dc.DrawLine(x11, y11, x10, y10);
    dc.DrawLine(x10, y10, x00, y00);

    dc.DrawCircle(x00, y00, 2);
    dc.DrawCircle(x01, y01, 2);
    dc.DrawCircle(x11, y11, 2);
    dc.DrawCircle(x10, y10, 2);

    dc.SetPen(wxNullPen);
}
