#include "orientation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace orientation {

void setIdentity(Axes& a) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) a[r][c] = r == c ? 1 : 0;
}

Vector column(const Axes& a, int c) { return Vector(a[0][c], a[1][c], a[2][c]); }

Vector toPatient(const Axes& a, const Vector& w) {
    return column(a, 0) * w.x() + column(a, 1) * w.y() + column(a, 2) * w.z();
}

// The axes are orthonormal, so their inverse is their transpose.
Vector toWorld(const Axes& a, const Vector& p) { return Vector(column(a, 0).dot(p), column(a, 1).dot(p), column(a, 2).dot(p)); }

std::string axesProblem(const Axes& a) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            if (!std::isfinite(a[r][c])) return "they hold a value that is not a number";
    constexpr double kTolerance = 1e-3;
    for (int c = 0; c < 3; ++c)
        if (column(a, c).length() == 0) return "it gives no direction for an axis";
    for (int c = 0; c < 3; ++c)
        if (std::fabs(column(a, c).length() - 1) > kTolerance) return "a direction is not of unit length";
    for (int c = 0; c < 3; ++c)
        if (std::fabs(column(a, c).dot(column(a, (c + 1) % 3))) > kTolerance) return "they are not at right angles";
    return {};
}

void normalizeColumns(Axes& a) {
    for (int c = 0; c < 3; ++c) {
        const double l = column(a, c).length();
        if (l > 0)
            for (int r = 0; r < 3; ++r) a[r][c] /= l;
    }
}

std::string letters(const Vector& p) {
    static const char* const kPositive = "LPS";
    static const char* const kNegative = "RAI";
    int order[3] = {0, 1, 2};
    std::stable_sort(order, order + 3, [&](int i, int j) { return std::fabs(p[i]) > std::fabs(p[j]); });
    const double size = p.length();
    std::string out;
    if (size == 0 || !std::isfinite(size)) return out;
    for (int n = 0; n < 2; ++n) {
        const int i = order[n];
        // The second letter only where that component is at least a third of the direction.
        if (n == 1 && std::fabs(p[i]) < size / 3) break;
        out += p[i] > 0 ? kPositive[i] : kNegative[i];
    }
    return out;
}

// The slicer turns a rest offset by R = Rx(-rx) Ry(-ry) Rz(-rz) (right-handed rotations,
// the z turn first). R's columns are where +x, +y and +z go: right, down, right x down.
Angles anglesFor(const Vector& right, const Vector& down) {
    const Vector n = right.cross(down);
    const double R[3][3] = {{right.x(), down.x(), n.x()}, {right.y(), down.y(), n.y()}, {right.z(), down.z(), n.z()}};
    constexpr double kDeg = 180 / M_PI;
    const double b = std::asin(std::clamp(R[0][2], -1.0, 1.0));
    double a, c;
    if (std::fabs(R[0][2]) < 1 - 1e-9) {
        a = std::atan2(-R[1][2], R[2][2]);
        c = std::atan2(-R[0][1], R[0][0]);
    } else {  // y turned a quarter: only the sum of the x and z turns counts; the z turn is 0
        a = std::atan2(R[2][1], R[1][1]);
        c = 0;
    }
    // +0.0: no "-0" in the controls.
    return Angles{-a * kDeg + 0.0, -b * kDeg + 0.0, -c * kDeg + 0.0};
}

void planeDirections(int which, const Axes& a, Vector& right, Vector& down) {
    switch (which) {
        case Axial:  // from the feet: L to the right, P down
            right = toWorld(a, Vector(1, 0, 0));
            down = toWorld(a, Vector(0, 1, 0));
            return;
        case Coronal:  // from the front: L to the right, I down
            right = toWorld(a, Vector(1, 0, 0));
            down = toWorld(a, Vector(0, 0, -1));
            return;
        case Sagittal:  // from the left: P to the right, I down
            right = toWorld(a, Vector(0, 1, 0));
            down = toWorld(a, Vector(0, 0, -1));
            return;
        case PlaneXZ:
            right = Vector(1, 0, 0);
            down = Vector(0, 0, 1);
            return;
        case PlaneYZ:
            right = Vector(0, 1, 0);
            down = Vector(0, 0, 1);
            return;
        default:
            right = Vector(1, 0, 0);
            down = Vector(0, 1, 0);
            return;
    }
}

double barLength(double width) {
    if (!(width > 0) || !std::isfinite(width)) return 0;
    const double lo = width / 5, hi = width / 3;
    const double decade = std::pow(10.0, std::floor(std::log10(lo)));
    double best = 0, bestMiss = HUGE_VAL;
    for (double scale : {decade / 10, decade, decade * 10})
        for (double step : {1.0, 2.0, 5.0}) {
            const double l = step * scale;
            // How far outside lo..hi, as a ratio: 0 within.
            const double miss = std::max({std::log(lo / l), std::log(l / hi), 0.0});
            if (miss < bestMiss) {
                bestMiss = miss;
                best = l;
            }
        }
    return best;
}

std::string lengthText(double length, const std::string& unit) {
    char digits[64];
    const double a = std::fabs(length);
    const char* const format = a >= 100 ? "%.0f" : a >= 10 ? "%.1f" : a >= 1 ? "%.2f" : "%.3g";
    std::snprintf(digits, sizeof digits, format, length);
    return std::string(digits) + " " + (unit.empty() ? "voxels" : unit);
}

}  // namespace orientation
