// Vector: the one point and direction type of the program (three doubles).
#pragma once

#include <cmath>
#include <iosfwd>

class Vector {
public:
    // Starts as the zero vector. Nothing relies on that value, but a copy of a
    // never-assigned vector then reads defined numbers.
    Vector() : e{0, 0, 0} {}
    Vector(double x, double y, double z) : e{x, y, z} {}
    Vector(const Vector& o) = default;
    Vector& operator=(const Vector& o) = default;

    double x() const { return e[0]; }
    double y() const { return e[1]; }
    double z() const { return e[2]; }
    void x(double v) { e[0] = v; }
    void y(double v) { e[1] = v; }
    void z(double v) { e[2] = v; }
    // Component by axis number 0, 1, 2 (x, y, z); used by the box test of the marcher.
    double operator[](int i) const { return e[i]; }

    Vector operator+(const Vector& b) const { return Vector(e[0] + b.e[0], e[1] + b.e[1], e[2] + b.e[2]); }
    // This minus the argument.
    Vector operator-(const Vector& b) const { return Vector(e[0] - b.e[0], e[1] - b.e[1], e[2] - b.e[2]); }
    Vector operator-() const { return Vector(-e[0], -e[1], -e[2]); }
    Vector operator*(double s) const { return Vector(e[0] * s, e[1] * s, e[2] * s); }
    Vector& operator+=(const Vector& b) {
        e[0] += b.e[0];
        e[1] += b.e[1];
        e[2] += b.e[2];
        return *this;
    }

    double dot(const Vector& b) const { return e[0] * b.e[0] + e[1] * b.e[1] + e[2] * b.e[2]; }
    // Right-handed product: this x argument.
    Vector cross(const Vector& b) const {
        return Vector(e[1] * b.e[2] - e[2] * b.e[1], e[2] * b.e[0] - e[0] * b.e[2], e[0] * b.e[1] - e[1] * b.e[0]);
    }
    double length2() const { return e[0] * e[0] + e[1] * e[1] + e[2] * e[2]; }
    double length() const { return std::sqrt(length2()); }

    // Scales to unit length in place and returns the previous length. An exact
    // zero vector is left as it is (and 0 returned): no epsilon, no failure.
    double normalize() {
        const double l = length();
        if (l == 0) return l;
        e[0] /= l;
        e[1] /= l;
        e[2] /= l;
        return l;
    }
    // A unit-length copy; this vector is unchanged.
    Vector normal() const;

private:
    double e[3];  // x, y, z in world units (or any unit the caller uses)
};

inline Vector operator*(double s, const Vector& v) { return v * s; }

// Writes "[x, y, z]" with the stream's own number formatting; no newline.
std::ostream& operator<<(std::ostream& os, const Vector& v);
