#include "bilinear.h"

Vector BilinearPatch::SrfEval(double, double) const { return P00; }
Vector BilinearPatch::TanU(double) const { return Vector(0, 0, 0); }
Vector BilinearPatch::TanV(double) const { return Vector(0, 0, 0); }
Vector BilinearPatch::Normal(double, double) const { return Vector(0, 0, 0); }
int BilinearPatch::RayPatchIntersection(Vector, Vector, Vector& uv) const {
    uv = Vector(-2, -2, -2);
    return 0;
}
int QuadraticRoot(double, double, double, double, double, double*) { return 0; }
double getu(double, double, double, double, double, double, double, double, double) { return 0; }
double computet(Vector, Vector, Vector) { return 0; }
