// orientation: where a volume lies in the patient, as plain geometry (no window code).
//
// A volume's axes are a 3 x 3 matrix whose columns are the directions of its x, y and z
// in patient coordinates, LPS as DICOM counts them (+x towards the patient's left, +y
// posterior, +z superior). The world the views sample is the volume stretched by its voxel
// size, so the same matrix takes a direction in the world to the patient.
//
// Here: the axes' check, the letters of a direction, the plane angles that show a standard
// plane, and the round lengths of a scale bar.
#pragma once

#include <string>

#include "vector3.h"

namespace orientation {

using Axes = double[3][3];  // axes[row][column]; column c is the direction of volume axis c

// Identity axes: the volume's x, y and z are the patient's L, P and S.
void setIdentity(Axes& a);
// Column c as a vector.
Vector column(const Axes& a, int c);
// A direction in the volume's world (x, y, z) in patient coordinates, and back.
Vector toPatient(const Axes& a, const Vector& world);
Vector toWorld(const Axes& a, const Vector& patient);

// Why a cannot be a volume's axes, or empty: a component that is not finite, a column
// that is not of unit length or two that are not at right angles (within 1e-3).
std::string axesProblem(const Axes& a);
// Columns scaled to unit length (zero columns left as they are).
void normalizeColumns(Axes& a);

// The patient direction a unit direction faces: "L", "R", "P", "A", "S" or "I" for its
// largest component, followed by the letter of the second when that is at least 1/3
// ("RA"); empty for a zero direction.
std::string letters(const Vector& patient);

// The plane's rotation (degrees, as the slicer's RX, RY and RZ take them) that turns its
// rest directions, +x to the right of the slice and +y down it, onto the unit world
// directions right and down (at right angles to each other).
struct Angles {
    double rx = 0, ry = 0, rz = 0;
};
Angles anglesFor(const Vector& right, const Vector& down);

// The standard planes, in the order of the View menu.
enum Plane { Axial, Coronal, Sagittal, PlaneXY, PlaneXZ, PlaneYZ };
// The world directions a standard plane shows to the right and down the slice. The
// patient planes are shown as radiology viewers show them: axial from the feet (the
// patient's left on the right, anterior up), coronal from the front (left on the right,
// superior up), sagittal from the patient's left (anterior on the left, superior up).
// The volume planes show x (XY, XZ) or y (YZ) to the right and y (XY) or z down.
void planeDirections(int which, const Axes& a, Vector& right, Vector& down);

// The round length (1, 2 or 5 times a power of ten) for a scale bar on a view `width`
// long (in the bar's unit): between a fifth and a third of it where such a length exists,
// else the one nearest that range (as a ratio). 0 for a width that is not positive.
double barLength(double width);
// A length with its unit: "23.4 mm", "0.25 mm", "150 voxels"; three significant digits.
std::string lengthText(double length, const std::string& unit);

}  // namespace orientation
