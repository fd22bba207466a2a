// Orientation: the patient's letters, the plane angles of the standard planes, the scale
// bar's round lengths and the axes' check, as plain geometry.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "orientation.h"
#include "slicer.h"

using namespace orientation;

namespace {

// Axes whose columns are x, y and z (each normalised).
void makeAxes(Axes& a, Vector x, Vector y, Vector z) {
    const Vector c[3] = {x.normal(), y.normal(), z.normal()};
    for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 3; ++k) a[r][k] = c[k][r];
}

// Where a slicer posed with these angles puts its right (+u) and down (+v) edges, as unit
// world directions.
void posedEdges(const Angles& g, Vector& right, Vector& down) {
    slicer s(Vector(0, 0, 100), 64, 64);
    s.setR(static_cast<float>(g.rx), static_cast<float>(g.ry), static_cast<float>(g.rz));
    right = (s.patch->getP10() - s.patch->getP00()).normal();
    down = (s.patch->getP01() - s.patch->getP00()).normal();
}

}  // namespace

TEST(Orientation, LettersOfDirections) {
    const struct {
        Vector p;
        const char* expected;
    } cases[] = {
        {{1, 0, 0}, "L"},   {{-1, 0, 0}, "R"},        {{0, 1, 0}, "P"},    {{0, -1, 0}, "A"},
        {{0, 0, 1}, "S"},   {{0, 0, -1}, "I"},        {{-1, -1, 0}, "RA"}, {{0.3, 0, -1}, "I"},
        {{1, 0, -0.5}, "LI"}, {{0.9, 0.2, 0.1}, "L"}, {{0, 0, 0}, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(letters(c.p), c.expected) << c.p;
}

TEST(Orientation, AnglesTurnThePlaneOntoTheDirectionsAsked) {
    const double s = std::sqrt(0.5);
    const struct {
        Vector right, down;
    } cases[] = {
        {{1, 0, 0}, {0, 1, 0}},   {{1, 0, 0}, {0, 0, 1}},   {{0, 1, 0}, {0, 0, 1}},  {{1, 0, 0}, {0, 0, -1}},
        {{0, 1, 0}, {0, 0, -1}},  {{0, 0, 1}, {0, 1, 0}},   {{0, 0, -1}, {1, 0, 0}}, {{-1, 0, 0}, {0, -1, 0}},
        {{s, s, 0}, {0, 0, -1}},  {{s, 0, s}, {0, 1, 0}},   {Vector(1, 2, 3).normal(), Vector(3, 0, -1).normal()},
    };
    for (const auto& c : cases) {
        Vector right, down;
        posedEdges(anglesFor(c.right, c.down), right, down);
        EXPECT_NEAR(right.dot(c.right), 1, 1e-6) << c.right << " " << c.down;
        EXPECT_NEAR(down.dot(c.down), 1, 1e-6) << c.right << " " << c.down;
    }
}

// With the angles in whole degrees, as the controls hold them, each patient plane's normal
// is the patient axis it names within a degree, on an axial, a sagittal and an oblique
// acquisition; the slice is seen as radiology viewers show it.
TEST(Orientation, StandardPlanesOnAcquisitions) {
    Axes axial, sagittal, oblique;
    makeAxes(axial, {1, 0, 0}, {0, 1, 0}, {0, 0, 1});
    makeAxes(sagittal, {0, 1, 0}, {0, 0, -1}, {-1, 0, 0});
    const Vector ox = Vector(0.9, 0.3, 0.1).normal();
    const Vector oy = Vector(-0.2, 0.8, 0.4).cross(ox).cross(ox) * -1.0;
    makeAxes(oblique, ox, oy.normal(), ox.cross(oy.normal()));
    ASSERT_EQ(axesProblem(oblique), "");
    const struct {
        int plane;
        Vector right, down;  // in patient coordinates
    } planes[] = {
        {Axial, {1, 0, 0}, {0, 1, 0}},
        {Coronal, {1, 0, 0}, {0, 0, -1}},
        {Sagittal, {0, 1, 0}, {0, 0, -1}},
    };
    const double withinDegree = std::cos(M_PI / 180);
    for (const Axes* a : {&axial, &sagittal, &oblique})
        for (const auto& p : planes) {
            Vector r, d;
            planeDirections(p.plane, *a, r, d);
            Angles g = anglesFor(r, d);
            g = Angles{std::round(g.rx), std::round(g.ry), std::round(g.rz)};
            posedEdges(g, r, d);
            const Vector normal = toPatient(*a, r).cross(toPatient(*a, d));  // as the slice is seen
            EXPECT_GT(normal.dot(p.right.cross(p.down)), withinDegree) << p.plane;
            EXPECT_GT(toPatient(*a, r).dot(p.right), withinDegree) << p.plane;
            EXPECT_GT(toPatient(*a, d).dot(p.down), withinDegree) << p.plane;
        }
}

TEST(Orientation, ScaleBarLengthIsRound) {
    const struct {
        double width, expected;
    } cases[] = {
        {100, 20},  {128, 50},   {256, 50},  {60, 20},   {30, 10},   {7.5, 2},  {0.9, 0.2},
        {44.8, 10}, {1000, 200}, {3.2, 1},   {0, 0},     {-5, 0},    {12, 2},
    };
    for (const auto& c : cases) {
        const double l = barLength(c.width);
        EXPECT_NEAR(l, c.expected, 1e-9 * c.expected) << c.width;
        if (c.width > 0) {
            // Within the fifth to the third where a round length lies there.
            const double m = l / std::pow(10.0, std::floor(std::log10(l) + 1e-9));
            EXPECT_TRUE(std::fabs(m - 1) < 1e-9 || std::fabs(m - 2) < 1e-9 || std::fabs(m - 5) < 1e-9) << l;
        }
    }
    EXPECT_EQ(lengthText(23.44, "mm"), "23.4 mm");
    EXPECT_EQ(lengthText(150, ""), "150 voxels");
    EXPECT_EQ(lengthText(0.254, "µm"), "0.254 µm");
}

TEST(Orientation, AxesThatCannotBe) {
    Axes good, skewed, stretched, notNumber;
    makeAxes(good, {0, 1, 0}, {0, 0, -1}, {-1, 0, 0});
    makeAxes(skewed, {1, 0, 0}, {0.1, 1, 0}, {0, 0, 1});
    makeAxes(stretched, {1, 0, 0}, {0, 1, 0}, {0, 0, 1});
    stretched[2][2] = 1.01;
    makeAxes(notNumber, {1, 0, 0}, {0, 1, 0}, {0, 0, 1});
    notNumber[1][0] = NAN;
    EXPECT_EQ(axesProblem(good), "");
    EXPECT_NE(axesProblem(skewed), "");
    EXPECT_NE(axesProblem(stretched), "");
    EXPECT_NE(axesProblem(notNumber), "");
}
