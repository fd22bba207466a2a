#include "bilinear.h"

#include <cmath>
#include <iostream>
#include <utility>

namespace {
// Open parameter interval of the intersection: (-kEps, 1 + kEps).
constexpr double kEps = 1e-12;
constexpr double kOneEps = 1.000000000001;

// Whether x lies strictly inside (min, max); false for NaN.
bool inside(double x, double min, double max) { return x > min && x < max; }
}  // namespace

Vector BilinearPatch::SrfEval(double u, double v) const {
    const double w00 = (1 - u) * (1 - v);
    const double w01 = (1 - u) * v;
    const double w10 = u * (1 - v);
    const double w11 = u * v;
    return Vector(w00 * P00.x() + w01 * P01.x() + w10 * P10.x() + w11 * P11.x(),
                  w00 * P00.y() + w01 * P01.y() + w10 * P10.y() + w11 * P11.y(),
                  w00 * P00.z() + w01 * P01.z() + w10 * P10.z() + w11 * P11.z());
}

Vector BilinearPatch::TanU(double v) const {
    const Vector lower = P10 - P00;
    const Vector upper = P11 - P01;
    return Vector((1 - v) * lower.x() + v * upper.x(), (1 - v) * lower.y() + v * upper.y(),
                  (1 - v) * lower.z() + v * upper.z());
}

Vector BilinearPatch::TanV(double u) const {
    const Vector left = P01 - P00;
    const Vector right = P11 - P10;
    return Vector((1 - u) * left.x() + u * right.x(), (1 - u) * left.y() + u * right.y(),
                  (1 - u) * left.z() + u * right.z());
}

Vector BilinearPatch::Normal(double u, double v) const { return TanU(v).cross(TanV(u)); }

// The ray R(t) = r + t q meets P(u, v) where P(u, v) - r = t q. Taking the x and y
// equations each against the z one eliminates t and leaves two bilinear relations
// in u and v; eliminating u between them leaves a quadratic in v.
int BilinearPatch::RayPatchIntersection(Vector r, Vector q, Vector& uv) const {
    uv = Vector(-2, -2, -2);

    // Power form: P(u, v) = a u v + b u + c v + P00.
    const Vector a = ((P11 - P10) - P01) + P00;
    const Vector b = P10 - P00;
    const Vector c = P01 - P00;
    const Vector d = P00 - r;

    const double A1 = a.x() * q.z() - a.z() * q.x();
    const double A2 = a.y() * q.z() - a.z() * q.y();
    const double B1 = b.x() * q.z() - b.z() * q.x();
    const double B2 = b.y() * q.z() - b.z() * q.y();
    const double C1 = c.x() * q.z() - c.z() * q.x();
    const double C2 = c.y() * q.z() - c.z() * q.y();
    const double D1 = d.x() * q.z() - d.z() * q.x();
    const double D2 = d.y() * q.z() - d.z() * q.y();

    const double A = A2 * C1 - A1 * C2;
    const double B = (A2 * D1 - A1 * D2) + B2 * C1 - B1 * C2;
    const double C = B2 * D1 - B1 * D2;

    double vsol[2];
    const int n = QuadraticRoot(A, B, C, -kEps, kOneEps, vsol);

    auto uFor = [&](double v) { return getu(v, A2, A1, B2, B1, C2, C1, D2, D1); };
    auto tFor = [&](double u, double v) { return computet(q, r, SrfEval(u, v)); };
    // A candidate is a hit when u lies in the open interval and the point is in front of r.
    auto accepted = [](const Vector& hit) { return inside(hit.x(), -kEps, kOneEps) && hit.z() > 0; };
    auto candidate = [&](double v) {
        const double u = uFor(v);
        return Vector(u, v, tFor(u, v));
    };

    switch (n) {
        case 0:
            return false;
        case 1:
            uv = candidate(vsol[0]);
            return accepted(uv);
        case 2: {
            uv = candidate(vsol[0]);
            if (!accepted(uv)) {
                uv = candidate(vsol[1]);
                return accepted(uv);
            }
            // Both roots may be hits: keep the nearer one (a tie goes to the second).
            const Vector second = candidate(vsol[1]);
            if (accepted(second) && second.z() <= uv.z()) uv = second;
            return true;
        }
        default:
            // QuadraticRoot returns 0, 1 or 2; this guards the root count.
            std::cout << " ERROR: We don't get here in Ray Patch Intersection" << std::endl;
            return false;
    }
}

int QuadraticRoot(double a, double b, double c, double min, double max, double* roots) {
    roots[1] = min - min;
    roots[0] = min - min;

    if (a == 0) {
        // Linear: b x + c = 0.
        if (b == 0) return 0;
        roots[0] = -c / b;
        return inside(roots[0], min, max) ? 1 : 0;
    }

    const double d = b * b + (a * (-4)) * c;
    if (d <= 0) {
        if (d < 0) return 0;
        roots[0] = -b / (2 * a);  // double root
        return inside(roots[0], min, max) ? 1 : 0;
    }
    if (!(d > 0)) return 0;  // NaN coefficients: no roots

    // q carries the sign of b, so b + s never cancels.
    const double s = std::copysign(std::sqrt(d), b);
    const double q = -0.5 * (b + s);
    roots[0] = c / q;
    roots[1] = q / a;

    const bool in0 = inside(roots[0], min, max);
    const bool in1 = inside(roots[1], min, max);
    if (in0 && in1) return 2;
    if (in0) return 1;
    if (in1) {
        std::swap(roots[0], roots[1]);
        return 1;
    }
    return 0;
}

double getu(double v, double M1, double M2, double J1, double J2, double K1, double K2, double R1, double R2) {
    // Solve for u from whichever relation has the larger coefficient of u: the
    // difference of the two, or the first one alone.
    const double denom = (M1 - M2) * v + J1 - J2;
    const double d2 = v * M1 + J1;
    if (std::fabs(denom) > std::fabs(d2)) return ((K2 - K1) * v + R2 - R1) / denom;
    return -(v * K1 + R1) / d2;
}

double computet(Vector dir, Vector orig, Vector pos) {
    const double ax = std::fabs(dir.x());
    const double ay = std::fabs(dir.y());
    const double az = std::fabs(dir.z());
    if (ax >= ay && ax >= az) return (pos.x() - orig.x()) / dir.x();
    if (ay >= az) return (pos.y() - orig.y()) / dir.y();
    return (pos.z() - orig.z()) / dir.z();
}
