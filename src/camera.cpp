#include "camera.h"

#include <wx/dcclient.h>
#include <wx/pen.h>
#include <wx/window.h>

#include <algorithm>
#include <cmath>

#include "bilinear.h"
#include "matrix.h"
#include "slicer.h"
#include "voxelmap.h"

namespace {

// Projected coordinates are kept within this many pixels of zero: far beyond any
// window, yet safe for int arithmetic and for the device context's fixed-point paths.
constexpr double kProjectLimit = 1000000.0;

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

void camera::startFor(int depth) {
    eye = Vector(0, 0, -200);
    home = eye;
    lookAt = Vector(0, 0, depth / 2 + voxelmap::worldZ);
}

void camera::startFor(const voxelmap& map) {
    startFor(0);
    // The box's depth halved and truncated: depth / 2 for cubes.
    lookAt = Vector(0, 0, std::trunc(map.extent().z() / 2) + voxelmap::worldZ);
}

void camera::orbit(int yaw, int pitch, int truck) {
    CMatrix Y(1);
    CMatrix P(1);
    Y.Rotate(static_cast<float>(yaw), 0, 1, 0);
    P.Rotate(static_cast<float>(pitch), 1, 0, 0);
    const CMatrix O = P * Y;
    const Vector offset = (home - lookAt) + Vector(0, 0, truck);
    eye = O * offset;
    eye = eye + lookAt;
}
