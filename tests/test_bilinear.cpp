// The bilinear patch: evaluation, tangents, normal, and the ray intersection with
// its helpers QuadraticRoot, getu and computet.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "bilinear.h"

namespace {

void expectVec(const Vector& v, double x, double y, double z) {
    EXPECT_DOUBLE_EQ(v.x(), x);
    EXPECT_DOUBLE_EQ(v.y(), y);
    EXPECT_DOUBLE_EQ(v.z(), z);
}

BilinearPatch unitSquare() {
    return BilinearPatch(Vector(0, 0, 0), Vector(0, 1, 0), Vector(1, 0, 0), Vector(1, 1, 0));
}

// The unit square with P11 lifted to (1, 1, 1): the surface z = u v over the square.
BilinearPatch twisted() {
    return BilinearPatch(Vector(0, 0, 0), Vector(0, 1, 0), Vector(1, 0, 0), Vector(1, 1, 1));
}

}  // namespace

TEST(BilinearPatch, SrfEvalWeightsTheCornersByUAndV) {
    // Distinct corners, so each weight is seen on its own.
    const BilinearPatch p(Vector(0, 0, 0), Vector(0, 8, 1), Vector(4, 0, 2), Vector(4, 8, 7));
    expectVec(p.SrfEval(0, 0), 0, 0, 0);
    expectVec(p.SrfEval(0, 1), 0, 8, 1);  // v runs toward P01
    expectVec(p.SrfEval(1, 0), 4, 0, 2);  // u runs toward P10
    expectVec(p.SrfEval(1, 1), 4, 8, 7);
    // (0.25, 0.5): weights 0.375, 0.375, 0.125, 0.125.
    expectVec(p.SrfEval(0.25, 0.5), 1, 4, 0.375 + 0.25 + 0.875);
    expectVec(twisted().SrfEval(0.5, 0.5), 0.5, 0.5, 0.25);
}

TEST(BilinearPatch, TangentsAndNormalOfAFlatPatch) {
    const BilinearPatch sq = unitSquare();
    for (double s : {0.0, 0.3, 1.0}) {
        expectVec(sq.TanU(s), 1, 0, 0);
        expectVec(sq.TanV(s), 0, 1, 0);
        expectVec(sq.Normal(s, 1 - s), 0, 0, 1);
    }
    // A plane laid out like the slicer's at rest, 8 x 6 units: TanU x TanV = (0, 0, 48).
    const BilinearPatch plane(Vector(-4, -3, 100), Vector(-4, 3, 100), Vector(4, -3, 100), Vector(4, 3, 100));
    expectVec(plane.TanU(0.7), 8, 0, 0);
    expectVec(plane.TanV(0.2), 0, 6, 0);
    expectVec(plane.Normal(0.2, 0.7), 0, 0, 48);
}

TEST(BilinearPatch, TangentsOfATwistedPatchVaryWithTheParameter) {
    const BilinearPatch p = twisted();
    expectVec(p.TanU(0), 1, 0, 0);
    expectVec(p.TanU(1), 1, 0, 1);
    expectVec(p.TanU(0.5), 1, 0, 0.5);
    expectVec(p.TanV(0), 0, 1, 0);
    expectVec(p.TanV(1), 0, 1, 1);
    // Normal(u, v) = TanU(v) x TanV(u), in that order.
    expectVec(p.Normal(0, 0), 0, 0, 1);
    expectVec(p.Normal(1, 1), -1, -1, 1);
    expectVec(p.Normal(1, 0), 0, -1, 1);  // TanU(0) x TanV(1) = (1,0,0) x (0,1,1)
    expectVec(p.Normal(0, 1), -1, 0, 1);  // TanU(1) x TanV(0) = (1,0,1) x (0,1,0)
}

TEST(QuadraticRoot, TwoRootsKeepTheirComputedOrder) {
    double roots[2] = {7, 7};
    ASSERT_EQ(QuadraticRoot(1, 3, 2, -10, 10, roots), 2);
    EXPECT_EQ(roots[0], -1);  // c / q
    EXPECT_EQ(roots[1], -2);  // q / a
    ASSERT_EQ(QuadraticRoot(1, -3, 2, -10, 10, roots), 2);
    EXPECT_EQ(roots[0], 1);
    EXPECT_EQ(roots[1], 2);
}

TEST(QuadraticRoot, TheSingleRootInRangeIsAlwaysFirst) {
    double roots[2] = {7, 7};
    // Roots computed as (1, 2); only 2 lies in (1.5, 10): swapped to the front.
    ASSERT_EQ(QuadraticRoot(1, -3, 2, 1.5, 10, roots), 1);
    EXPECT_EQ(roots[0], 2);
    EXPECT_EQ(roots[1], 1);
    // Only 1 lies in (0, 1.5): no swap.
    ASSERT_EQ(QuadraticRoot(1, -3, 2, 0, 1.5, roots), 1);
    EXPECT_EQ(roots[0], 1);
    EXPECT_EQ(roots[1], 2);
    // Neither in range: 0, the computed roots left in place.
    ASSERT_EQ(QuadraticRoot(1, -3, 2, 5, 10, roots), 0);
    EXPECT_EQ(roots[0], 1);
    EXPECT_EQ(roots[1], 2);
}

TEST(QuadraticRoot, LinearDoubleAndComplexCases) {
    double roots[2] = {7, 7};
    ASSERT_EQ(QuadraticRoot(0, 2, -1, 0, 1, roots), 1);  // 2x - 1 = 0
    EXPECT_EQ(roots[0], 0.5);
    EXPECT_EQ(roots[1], 0);  // cleared to min - min
    EXPECT_EQ(QuadraticRoot(0, 2, -1, 0.6, 1, roots), 0);
    EXPECT_EQ(roots[0], 0.5);
    EXPECT_EQ(QuadraticRoot(0, 0, 1, -10, 10, roots), 0);  // constant: no root
    EXPECT_EQ(roots[0], 0);

    ASSERT_EQ(QuadraticRoot(1, -2, 1, 0, 2, roots), 1);  // (x - 1)^2: the double root
    EXPECT_EQ(roots[0], 1);
    EXPECT_EQ(QuadraticRoot(1, -2, 1, 1.5, 2, roots), 0);
    EXPECT_EQ(QuadraticRoot(1, 0, 1, -10, 10, roots), 0);  // x^2 + 1: none
    EXPECT_EQ(QuadraticRoot(std::numeric_limits<double>::quiet_NaN(), 1, 1, -10, 10, roots), 0);
}

TEST(QuadraticRoot, IntervalBoundsAreExcluded) {
    double roots[2];
    EXPECT_EQ(QuadraticRoot(0, 1, -1, 0, 1, roots), 0);  // root 1 = max
    EXPECT_EQ(QuadraticRoot(0, 1, 0, 0, 1, roots), 0);   // root 0 = min
    EXPECT_EQ(QuadraticRoot(1, -2, 1, 1, 2, roots), 0);  // double root 1 = min
    // x^2 - 3x + 2: roots 1 and 2 on the bounds of [1, 2] and of [0, 2].
    EXPECT_EQ(QuadraticRoot(1, -3, 2, 1, 2, roots), 0);
    ASSERT_EQ(QuadraticRoot(1, -3, 2, 0, 2, roots), 1);
    EXPECT_EQ(roots[0], 1);
}

TEST(GetU, UsesTheRelationWithTheLargerDenominator) {
    // First relation: 2uv + 1u + 3v - 4 = 0; second: 1uv - 2u + 0v + 1 = 0.
    // At v = 1: denom = (2 - 1) + 1 + 2 = 4 > d2 = 2 + 1 = 3, so the difference is used:
    // u = ((0 - 3) * 1 + 1 + 4) / 4 = 0.5.
    EXPECT_EQ(getu(1, 2, 1, 1, -2, 3, 0, -4, 1), 0.5);
    // At v = -1: denom = -1 + 3 = 2, d2 = -2 + 1 = -1; |2| > |-1|, still the difference:
    // u = ((0 - 3) * -1 + 1 + 4) / 2 = 4 (the first relation alone would give -1).
    EXPECT_EQ(getu(-1, 2, 1, 1, -2, 3, 0, -4, 1), 4);
    // Equal magnitudes take the first relation: M1 = M2 = 0, J1 = 2, J2 = 0 gives
    // denom = 2 = d2; u = -(v K1 + R1) / d2 = -(1 * 3 - 1) / 2 = -1.
    EXPECT_EQ(getu(1, 0, 0, 2, 0, 3, 100, -1, 100), -1);
    // A larger d2: J1 = 2, J2 = 3 gives denom = -1, d2 = 2: first relation.
    EXPECT_EQ(getu(1, 0, 0, 2, 3, 3, 100, -1, 100), -1);
}

TEST(ComputeT, DividesAlongTheDominantAxis) {
    EXPECT_EQ(computet(Vector(1, 1, 0), Vector(0, 0, 0), Vector(2, 2, 0)), 2);  // tie: x
    // Tie in x and y, pos inconsistent in y: the x answer shows which axis was used.
    EXPECT_EQ(computet(Vector(-2, 2, 1), Vector(1, 0, 0), Vector(-3, 50, 0)), 2);
    EXPECT_EQ(computet(Vector(0, 2, 2), Vector(0, 1, 0), Vector(0, 7, 99)), 3);  // tie y, z: y
    EXPECT_EQ(computet(Vector(0.5, -1, 4), Vector(0, 0, -1), Vector(0, 0, 7)), 2);  // z
}

TEST(RayPatchIntersection, HitsTheUnitSquare) {
    const BilinearPatch sq = unitSquare();
    Vector uv(9, 9, 9);
    EXPECT_TRUE(sq.RayPatchIntersection(Vector(0.25, 0.5, -1), Vector(0, 0, 1), uv));
    expectVec(uv, 0.25, 0.5, 1);
    // t is in units of q.
    EXPECT_TRUE(sq.RayPatchIntersection(Vector(0.25, 0.5, -1), Vector(0, 0, 4), uv));
    expectVec(uv, 0.25, 0.5, 0.25);
    // From above, looking down.
    EXPECT_TRUE(sq.RayPatchIntersection(Vector(0.75, 0.125, 3), Vector(0, 0, -1), uv));
    expectVec(uv, 0.75, 0.125, 3);
}

TEST(RayPatchIntersection, MissesBehindAndOutside) {
    const BilinearPatch sq = unitSquare();
    Vector uv(9, 9, 9);
    // The plane lies behind the origin: the candidate is kept, t = -1.
    EXPECT_FALSE(sq.RayPatchIntersection(Vector(0.25, 0.5, -1), Vector(0, 0, -1), uv));
    expectVec(uv, 0.25, 0.5, -1);
    // u outside: uv holds the rejected candidate.
    EXPECT_FALSE(sq.RayPatchIntersection(Vector(2, 0.5, -1), Vector(0, 0, 1), uv));
    expectVec(uv, 2, 0.5, 1);
    EXPECT_FALSE(sq.RayPatchIntersection(Vector(1.1, 0.5, -1), Vector(0, 0, 1), uv));
    // v outside: no root in the interval, uv stays at its reset value.
    EXPECT_FALSE(sq.RayPatchIntersection(Vector(0.5, 2, -1), Vector(0, 0, 1), uv));
    expectVec(uv, -2, -2, -2);
}

TEST(RayPatchIntersection, EdgesOfTheSquareAreInside) {
    const BilinearPatch sq = unitSquare();
    Vector uv;
    EXPECT_TRUE(sq.RayPatchIntersection(Vector(1, 0.5, -1), Vector(0, 0, 1), uv));
    expectVec(uv, 1, 0.5, 1);
    EXPECT_TRUE(sq.RayPatchIntersection(Vector(0, 0.5, -1), Vector(0, 0, 1), uv));
    expectVec(uv, 0, 0.5, 1);
    EXPECT_TRUE(sq.RayPatchIntersection(Vector(0.5, 1, -1), Vector(0, 0, 1), uv));
    expectVec(uv, 0.5, 1, 1);
    // A hit exactly at the origin (t = 0) is not in front of it.
    EXPECT_FALSE(sq.RayPatchIntersection(Vector(0.5, 0.5, 0), Vector(0, 0, 1), uv));
    expectVec(uv, 0.5, 0.5, 0);
}

TEST(RayPatchIntersection, TwoHitsOnATwistedPatchGiveTheNearerOne) {
    // The diagonal ray x = y = t, z = t - 0.1875 meets z = u v at t = 0.25 and 0.75;
    // the roots come out as v = 0.25 then 0.75.
    const BilinearPatch p = twisted();
    Vector uv;
    EXPECT_TRUE(p.RayPatchIntersection(Vector(0, 0, -0.1875), Vector(1, 1, 1), uv));
    expectVec(uv, 0.25, 0.25, 0.25);
    // The reversed ray meets the same points in the other order: the nearer is the second root.
    EXPECT_TRUE(p.RayPatchIntersection(Vector(1, 1, 0.8125), Vector(-1, -1, -1), uv));
    expectVec(uv, 0.75, 0.75, 0.25);
    // Starting between the two hits: the one behind the origin (second root, t = -0.25) is not taken.
    EXPECT_TRUE(p.RayPatchIntersection(Vector(0.5, 0.5, 0.3125), Vector(-1, -1, -1), uv));
    expectVec(uv, 0.25, 0.25, 0.25);
}

TEST(RayPatchIntersection, TheSecondRootMustBeAProperHitInFront) {
    const BilinearPatch p = twisted();
    Vector uv;
    // Roots v = 0.5 (u = 1, t = 1) and v = 0.75 (u = 0, t = 0.5): the nearer hit lies
    // on the edge u = 0 and is the one returned.
    EXPECT_TRUE(p.RayPatchIntersection(Vector(-1, 1, -0.5), Vector(2, -0.5, 1), uv));
    expectVec(uv, 0, 0.75, 0.5);
    // The origin (0.25, 1, 0.25) lies on the patch itself (root v = 1, t = 0): that is
    // not a hit in front of it; the hit at t = 0.25 on the edge u = 0 is.
    EXPECT_TRUE(p.RayPatchIntersection(Vector(0.25, 1, 0.25), Vector(-1, -1, -1), uv));
    expectVec(uv, 0, 0.75, 0.25);
}
