// Vector: operand order, in-place operations, normalisation and printing.
#include <gtest/gtest.h>

#include <cmath>
#include <iomanip>
#include <sstream>

#include "testutil.h"
#include "vector3.h"

using testutil::expectExact;

TEST(Vector, ConstructAndSetComponents) {
    Vector v(1.5, -2, 3.25);
    expectExact(v, 1.5, -2, 3.25);
    v.y(7);
    expectExact(v, 1.5, 7, 3.25);
    EXPECT_EQ(v[0], 1.5);
    EXPECT_EQ(v[1], 7);
    EXPECT_EQ(v[2], 3.25);
}

TEST(Vector, SubtractionTakesTheArgumentFromTheReceiver) {
    expectExact(Vector(5, 5, 5) - Vector(1, 2, 3), 4, 3, 2);
    expectExact(Vector(1, 2, 3) - Vector(5, 5, 5), -4, -3, -2);
}

TEST(Vector, NegationAndScalingLeaveTheOperandUnchanged) {
    const Vector v(1, -2, 3.5);
    expectExact(-v, -1, 2, -3.5);
    expectExact(v * 2, 2, -4, 7);
    expectExact(2 * v, 2, -4, 7);
    expectExact(v, 1, -2, 3.5);
}

TEST(Vector, PlusEqualsChangesAndReturnsTheReceiver) {
    Vector a(1, 2, 3);
    Vector& r = (a += Vector(10, 20, 30));
    EXPECT_EQ(&r, &a);
    expectExact(a, 11, 22, 33);
    (a += Vector(1, 1, 1)) += Vector(1, 1, 1);  // chained on the same object
    expectExact(a, 13, 24, 35);
}

TEST(Vector, DotSumsLeftToRight) {
    EXPECT_EQ(Vector(1, 2, 3).dot(Vector(4, -5, 6)), 12);
    // (1 + 1e16) rounds to 1e16 before -1e16 is added: 0, where x + (y + z) would give 1.
    EXPECT_EQ(Vector(1, 1e16, -1e16).dot(Vector(1, 1, 1)), 0);
}

TEST(Vector, CrossIsRightHandedReceiverTimesArgument) {
    expectExact(Vector(1, 0, 0).cross(Vector(0, 1, 0)), 0, 0, 1);
    expectExact(Vector(0, 1, 0).cross(Vector(1, 0, 0)), 0, 0, -1);
    expectExact(Vector(0, 1, 0).cross(Vector(0, 0, 1)), 1, 0, 0);
    expectExact(Vector(0, 0, 1).cross(Vector(1, 0, 0)), 0, 1, 0);
    // (2*6 - 3*5, 3*4 - 1*6, 1*5 - 2*4)
    expectExact(Vector(1, 2, 3).cross(Vector(4, 5, 6)), -3, 6, -3);
}

TEST(Vector, Lengths) {
    EXPECT_EQ(Vector(3, 0, 4).length2(), 25);
    EXPECT_EQ(Vector(3, 0, 4).length(), 5);
    EXPECT_EQ(Vector(-2, 3, -6).length(), 7);
}

TEST(Vector, NormalizeDividesAndReturnsThePreviousLength) {
    Vector v(3, 0, 4);
    EXPECT_EQ(v.normalize(), 5);
    // 3 / 5 is exactly the double 0.6; 3 * (1 / 5) would be 0.6000000000000001.
    expectExact(v, 0.6, 0, 0.8);
    EXPECT_EQ(Vector(0, -7, 0).normalize(), 7);
}

TEST(Vector, NormalizeOfZeroLeavesZero) {
    Vector z(0, 0, 0);
    EXPECT_EQ(z.normalize(), 0);
    expectExact(z, 0, 0, 0);  // no division by zero: no NaN
    expectExact(Vector(0, 0, 0).normal(), 0, 0, 0);
    // Only an exact zero is skipped: a tiny vector still becomes unit length.
    Vector tiny(0, std::ldexp(1.0, -100), 0);
    EXPECT_EQ(tiny.normalize(), std::ldexp(1.0, -100));
    expectExact(tiny, 0, 1, 0);
}

TEST(Vector, NormalReturnsAUnitCopy) {
    const Vector v(0, 3, 4);
    expectExact(v.normal(), 0, 0.6, 0.8);
    expectExact(v, 0, 3, 4);
}

TEST(Vector, PrintsWithTheStreamsFormatting) {
    std::ostringstream os;
    os << Vector(1, 2.5, -3) << "|" << Vector(0, 0, 0);
    EXPECT_EQ(os.str(), "[1, 2.5, -3]|[0, 0, 0]");
    std::ostringstream p;
    p << std::setprecision(3) << Vector(1.0 / 3, 2.0 / 3, 1e-7);
    EXPECT_EQ(p.str(), "[0.333, 0.667, 1e-07]");
}
