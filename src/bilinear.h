// BilinearPatch: a four-corner surface P(u, v) = (1-u)(1-v) P00 + (1-u) v P01
// + u (1-v) P10 + u v P11, with its tangents, normal and ray intersection.
#pragma once

#include "vector3.h"

class BilinearPatch {
public:
    Vector P00;  // corner at (u, v) = (0, 0)
    Vector P01;  // corner at (0, 1)
    Vector P10;  // corner at (1, 0)
    Vector P11;  // corner at (1, 1)

    BilinearPatch(Vector p00, Vector p01, Vector p10, Vector p11) : P00(p00), P01(p01), P10(p10), P11(p11) {}

    Vector getP00() const { return P00; }
    Vector getP01() const { return P01; }
    Vector getP10() const { return P10; }
    Vector getP11() const { return P11; }

    // The point of the patch at (u, v), in double precision.
    Vector SrfEval(double u, double v) const;

    // Derivative along u at parameter v, and along v at parameter u.
    Vector TanU(double v) const;
    Vector TanV(double u) const;
    // TanU(v) x TanV(u), not normalised.
    Vector Normal(double u, double v) const;

    // Whether the ray r + t q meets the patch in front of r (t > 0). uv receives
    // (u, v, t) of the hit (the nearer one when there are two), or of the last
    // rejected candidate; (-2, -2, -2) when no root lies in the parameter interval.
    // The direction q must have a non-zero z component.
    int RayPatchIntersection(Vector r, Vector q, Vector& uv) const;
};

// Roots of a x^2 + b x + c strictly between min and max (0, 1 or 2 of them), in
// roots[0] (and roots[1]); a single root in range is always roots[0].
int QuadraticRoot(double a, double b, double c, double min, double max, double* roots);
// u belonging to a root v of the two bilinear relations M u v + J u + K v + R = 0.
double getu(double v, double M1, double M2, double J1, double J2, double K1, double K2, double R1, double R2);
// Ray parameter t of the point pos on orig + t dir, along dir's dominant axis.
double computet(Vector dir, Vector orig, Vector pos);
