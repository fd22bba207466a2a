// CMatrix: the 4x4 single-precision transform of the slicing plane and the camera orbit.
//
// Row-major, points are row vectors (x, y, z, 1) multiplied on the left, so rows
// 0..2 hold the linear part, m12..m14 the translation, and A * B applies A first.
// The fourth column (m3, m7, m11, m15) is never read when a point is transformed.
// Angles are in degrees.
#pragma once

#include <cmath>

#include "vector3.h"

class CMatrix {
public:
    float m[16];  // m[4 * row + column]

    // Non-zero: the identity. Zero: elements left unset, for results written in full.
    explicit CMatrix(int init) {
        if (init) Identity();
    }

    void Identity() {
        for (int k = 0; k < 16; ++k) m[k] = (k % 5 == 0) ? 1.0f : 0.0f;
    }

    // this * b, summed left to right in single precision.
    CMatrix operator*(const CMatrix& b) const {
        CMatrix p(0);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                p.m[4 * r + c] = m[4 * r] * b.m[c] + m[4 * r + 1] * b.m[4 + c] + m[4 * r + 2] * b.m[8 + c] +
                                 m[4 * r + 3] * b.m[12 + c];
        return p;
    }

    // The point v transformed, in double precision (no w division).
    Vector operator*(const Vector& v) const {
        return Vector(v.x() * m[0] + v.y() * m[4] + v.z() * m[8] + m[12],
                      v.x() * m[1] + v.y() * m[5] + v.z() * m[9] + m[13],
                      v.x() * m[2] + v.y() * m[6] + v.z() * m[10] + m[14]);
    }

    // Single-axis writers: each overwrites only its own four elements.
    void RotX(float deg) {
        m[5] = cosf(deg * kDegToRad);
        m[6] = sinf(deg * kDegToRad);
        m[9] = sinf(deg * -kDegToRad);
        m[10] = cosf(deg * kDegToRad);
    }
    void RotY(float deg) {
        m[0] = cosf(deg * kDegToRad);
        m[2] = sinf(deg * -kDegToRad);
        m[8] = sinf(deg * kDegToRad);
        m[10] = cosf(deg * kDegToRad);
    }
    void RotZ(float deg) {
        m[0] = cosf(deg * kDegToRad);
        m[1] = sinf(deg * kDegToRad);
        m[4] = sinf(deg * -kDegToRad);
        m[5] = cosf(deg * kDegToRad);
    }

    // this := R * this, with R a rotation through -deg about the axis whose flag is
    // exactly 1; the new rotation acts on a point before the previous transform.
    void Rotate(float deg, int ax, int ay, int az) {
        CMatrix r(1);
        if (ax == 1) r.RotX(-deg);
        if (ay == 1) r.RotY(-deg);
        if (az == 1) r.RotZ(-deg);
        *this = r * *this;
    }

    // this := S * this: scales rows 0, 1, 2; the translation row stays.
    void Scale(float sx, float sy, float sz) {
        for (int c = 0; c < 4; ++c) {
            m[c] *= sx;
            m[4 + c] *= sy;
            m[8 + c] *= sz;
        }
    }

    // Replaces the whole fourth row by v taken through the linear part.
    void SetTranslate(const Vector& v) {
        for (int c = 0; c < 4; ++c) m[12 + c] = static_cast<float>(v.x() * m[c] + v.y() * m[4 + c] + v.z() * m[8 + c]);
    }

private:
    // The single-precision float nearest to pi / 180.
    static constexpr float kDegToRad = 0.0174532924f;
};
