#include "camera.h"

#include <wx/dcclient.h>
#include <wx/image.h>
#include <wx/pen.h>
#include <wx/window.h>

#include <algorithm>
#include <cmath>

#include "bilinear.h"
#include "slicer.h"
#include "voxelmap.h"

namespace {

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
    for (int y = 0; y < rows; ++y) {
        const double p = static_cast<double>(y) / resolution;
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
                        const double w = (s.a / 255.0) * (1 - acc.a / 255.0) * opacity;
                        acc.r = static_cast<unsigned char>(acc.r + lowByte(s.r * w));
                        acc.g = static_cast<unsigned char>(acc.g + lowByte(s.g * w));
                        acc.b = static_cast<unsigned char>(acc.b + lowByte(s.b * w));
                        acc.a = static_cast<unsigned char>(acc.a + lowByte(255 * w));
                    }
                    pos += step;
                }
            }
            image.SetRGB(x, y, acc.r, acc.g, acc.b);  // the accumulated alpha is not shown
        }
    }
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
