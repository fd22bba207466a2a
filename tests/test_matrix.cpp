// CMatrix: row-vector convention, left composition of Rotate, Scale and SetTranslate.
#include <gtest/gtest.h>

#include <cmath>

#include "matrix.h"
#include "testutil.h"

namespace {

CMatrix fromRows(std::initializer_list<float> values) {
    CMatrix m(0);
    int k = 0;
    for (float v : values) m.m[k++] = v;
    return m;
}

using testutil::expectExact;

// Vector components within 1e-6 of (x, y, z).
void expectNear(const Vector& v, double x, double y, double z) { testutil::expectNear(v, x, y, z, 1e-6); }

void expectSameMatrix(const CMatrix& a, const CMatrix& b) {
    for (int k = 0; k < 16; ++k) EXPECT_EQ(a.m[k], b.m[k]) << "element " << k;
}

const float kDeg = 0.0174532924f;

}  // namespace

TEST(Matrix, IdentityFromConstructorAndIdentity) {
    const CMatrix id(1);
    for (int k = 0; k < 16; ++k) EXPECT_EQ(id.m[k], (k == 0 || k == 5 || k == 10 || k == 15) ? 1.0f : 0.0f);
    CMatrix m = fromRows({3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3});
    m.Identity();
    expectSameMatrix(m, id);
}

TEST(Matrix, ProductIsRowsOfThisTimesColumnsOfArgument) {
    const CMatrix a = fromRows({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    const CMatrix b = fromRows({2, 0, 1, 0, 0, 1, 0, 3, 1, 0, 0, 1, 0, 2, 1, 0});
    expectSameMatrix(a * b, fromRows({5, 10, 5, 9, 17, 22, 13, 25, 29, 34, 21, 41, 41, 46, 29, 57}));
    expectSameMatrix(b * a, fromRows({11, 14, 17, 20, 44, 48, 52, 56, 14, 16, 18, 20, 19, 22, 25, 28}));
    expectSameMatrix(a * CMatrix(1), a);
    expectSameMatrix(CMatrix(1) * a, a);
}

TEST(Matrix, ProductSumsInSinglePrecisionLeftToRight) {
    // Row (2^24, 1, -2^24, 0) times a column of ones: 2^24 + 1 rounds to 2^24 in float,
    // so the sum is 0; in double, or summed in another order, it would be 1.
    CMatrix a(1);
    a.m[0] = 16777216.0f;
    a.m[1] = 1.0f;
    a.m[2] = -16777216.0f;
    CMatrix b(0);
    for (float& v : b.m) v = 1.0f;
    EXPECT_EQ((a * b).m[0], 0.0f);
}

TEST(Matrix, PointsAreRowVectorsAndTheFourthColumnIsIgnored) {
    CMatrix m = fromRows({1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 1});
    // (1, -2, 3, 1) * M
    expectExact(m * Vector(1, -2, 3), 24, 27, 30);
    m.m[3] = 99;
    m.m[7] = -5;
    m.m[11] = 0.5f;
    m.m[15] = 0;  // no w division
    expectExact(m * Vector(1, -2, 3), 24, 27, 30);
}

TEST(Matrix, PointTransformIsInDoublePrecision) {
    CMatrix m(1);
    m.m[0] = 3.0f;
    // 0.1 * 3 in double is 0.30000000000000004; in float it would be 0.3f.
    EXPECT_EQ((m * Vector(0.1, 0, 0)).x(), 0.1 * 3.0);
}

TEST(Matrix, ProductAppliesTheReceiverFirst) {
    CMatrix s(1);
    s.Scale(2, 2, 2);
    CMatrix t(1);
    t.SetTranslate(Vector(1, 2, 3));
    expectExact((s * t) * Vector(1, 1, 1), 3, 4, 5);  // scaled, then moved
    expectExact((t * s) * Vector(1, 1, 1), 4, 6, 8);  // moved, then scaled
}

TEST(Matrix, SingleAxisRotationsTurnPositively) {
    CMatrix x(1), y(1), z(1);
    x.RotX(90);
    y.RotY(90);
    z.RotZ(90);
    expectNear(x * Vector(0, 1, 0), 0, 0, 1);   // +y toward +z
    expectNear(y * Vector(0, 0, 1), 1, 0, 0);   // +z toward +x
    expectNear(z * Vector(1, 0, 0), 0, 1, 0);   // +x toward +y
    expectNear(z * Vector(0, 1, 0), -1, 0, 0);
}

TEST(Matrix, SingleAxisWritersUseTheFloatConstantAndTouchOnlyTheirElements) {
    for (float deg : {1.0f, 30.0f, 45.0f, 77.7f, 123.4f, -200.0f}) {
        const float c = cosf(deg * kDeg), s = sinf(deg * kDeg), ns = sinf(deg * -kDeg);
        CMatrix x(0), y(0), z(0);
        for (int k = 0; k < 16; ++k) x.m[k] = y.m[k] = z.m[k] = 7.0f;
        x.RotX(deg);
        y.RotY(deg);
        z.RotZ(deg);
        for (int k = 0; k < 16; ++k) {
            float ex = 7.0f, ey = 7.0f, ez = 7.0f;
            if (k == 5 || k == 10) ex = c;
            if (k == 6) ex = s;
            if (k == 9) ex = ns;
            if (k == 0 || k == 10) ey = c;
            if (k == 2) ey = ns;
            if (k == 8) ey = s;
            if (k == 0 || k == 5) ez = c;
            if (k == 1) ez = s;
            if (k == 4) ez = ns;
            EXPECT_EQ(x.m[k], ex) << "RotX(" << deg << ") element " << k;
            EXPECT_EQ(y.m[k], ey) << "RotY(" << deg << ") element " << k;
            EXPECT_EQ(z.m[k], ez) << "RotZ(" << deg << ") element " << k;
        }
    }
}

TEST(Matrix, RotateTurnsThroughTheNegatedAngle) {
    CMatrix rz(1);
    rz.RotZ(90);
    CMatrix r(1);
    r.Rotate(90, 0, 0, 1);
    expectNear(rz * Vector(1, 0, 0), 0, 1, 0);
    expectNear(r * Vector(1, 0, 0), 0, -1, 0);
    CMatrix ry(1);
    ry.Rotate(90, 0, 1, 0);
    expectNear(ry * Vector(0, 0, 1), -1, 0, 0);
}

TEST(Matrix, RotateComposesOnTheLeft) {
    CMatrix twice(1);
    twice.Rotate(30, 0, 1, 0);
    twice.Rotate(30, 0, 1, 0);
    CMatrix once(1);
    once.Rotate(60, 0, 1, 0);
    for (int k = 0; k < 16; ++k) EXPECT_NEAR(twice.m[k], once.m[k], 1e-6) << "element " << k;

    // Rotate about x, then about z: the z rotation acts on the point first.
    // Rz(-90) takes (1, 0, 0) to (0, -1, 0), then Rx(-90) takes that to (0, 0, 1).
    // Composed the other way round the point would end at (0, -1, 0).
    CMatrix m(1);
    m.Rotate(90, 1, 0, 0);
    m.Rotate(90, 0, 0, 1);
    expectNear(m * Vector(1, 0, 0), 0, 0, 1);
}

TEST(Matrix, RotateKeepsTheTranslationRow) {
    CMatrix m(1);
    m.SetTranslate(Vector(1, 2, 3));
    m.Rotate(40, 1, 0, 0);
    EXPECT_EQ(m.m[12], 1.0f);
    EXPECT_EQ(m.m[13], 2.0f);
    EXPECT_EQ(m.m[14], 3.0f);
    expectNear(m * Vector(0, 0, 0), 1, 2, 3);
}

TEST(Matrix, RotateCountsOnlyAFlagOfExactlyOne) {
    CMatrix m(1);
    m.Rotate(90, 2, -1, 0);
    expectSameMatrix(m, CMatrix(1));
}

TEST(Matrix, ScaleAccumulatesAndKeepsTheTranslation) {
    CMatrix m(1);
    m.Scale(2, 3, 4);
    expectExact(m * Vector(1, 1, 1), 2, 3, 4);
    m.Scale(2, 3, 4);
    expectExact(m * Vector(1, 1, 1), 4, 9, 16);

    CMatrix t = fromRows({1, 0, 0, 5, 0, 1, 0, 6, 0, 0, 1, 7, 10, 20, 30, 1});
    t.Scale(2, 3, 4);
    expectSameMatrix(t, fromRows({2, 0, 0, 10, 0, 3, 0, 18, 0, 0, 4, 28, 10, 20, 30, 1}));
}

TEST(Matrix, SetTranslateReplacesThroughTheLinearPart) {
    CMatrix m(1);
    m.SetTranslate(Vector(1, 2, 3));
    m.SetTranslate(Vector(1, 2, 3));
    EXPECT_EQ(m.m[12], 1.0f);
    EXPECT_EQ(m.m[13], 2.0f);
    EXPECT_EQ(m.m[14], 3.0f);
    EXPECT_EQ(m.m[15], 0.0f);
    for (int k = 0; k < 12; ++k) EXPECT_EQ(m.m[k], CMatrix(1).m[k]);

    CMatrix s(1);
    s.Scale(2, 2, 2);
    s.SetTranslate(Vector(1, 2, 3));
    expectExact(s * Vector(0, 0, 0), 2, 4, 6);

    // Rows (0, 1, 0, 0), (-1, 0, 0, 0), (0, 0, 1, 2): the fourth row becomes
    // 1 * row0 + 2 * row1 + 3 * row2, including column 3.
    CMatrix r = fromRows({0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1, 2, 9, 9, 9, 9});
    r.SetTranslate(Vector(1, 2, 3));
    EXPECT_EQ(r.m[12], -2.0f);
    EXPECT_EQ(r.m[13], 1.0f);
    EXPECT_EQ(r.m[14], 3.0f);
    EXPECT_EQ(r.m[15], 6.0f);
}
