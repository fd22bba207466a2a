#!/usr/bin/env python3
"""Writes the sample stack samples/layer00.png .. samples/layer47.png.

The stack is a 64 x 64 x 48 RGBA volume holding three solids:
  - a red sphere, centre (20, 22, 24), radius 14;
  - a green box, x 38..58, y 8..28, z 0..20 (so the first layer is not empty);
  - a blue torus lying on its side (axis along y), centre (42, 46, 28),
    ring radius 12, tube radius 5.
Each layer is the cross-section at z = layer index, sampled at voxel centres.
Voxels inside a solid are opaque (alpha 255) and lit by a fixed light; voxels
outside every solid are transparent black (0, 0, 0, 0).

Usage: python3 scripts/make_samples.py   (from anywhere; writes into samples/)
"""

import math
import os
import sys

sys.dont_write_bytecode = True  # leave no cache folder beside the scripts
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_images import write_png  # noqa: E402

WIDTH, HEIGHT, DEPTH = 64, 64, 48
LIGHT = (-0.4, -0.5, -0.77)  # towards the viewer at z < 0, up and to the left


def lit(colour, normal):
    """colour scaled by 0.45 + 0.55 * max(0, normal . light)."""
    n = math.sqrt(sum(c * c for c in normal)) or 1.0
    ll = math.sqrt(sum(c * c for c in LIGHT))
    d = sum(a * b for a, b in zip(normal, LIGHT)) / (n * ll)
    f = 0.45 + 0.55 * max(0.0, d)
    return tuple(min(255, int(c * f)) for c in colour)


def sample(x, y, z):
    """The RGBA voxel at the voxel centre (x, y, z)."""
    # Red sphere.
    dx, dy, dz = x - 20.0, y - 22.0, z - 24.0
    if dx * dx + dy * dy + dz * dz <= 14.0 * 14.0:
        return lit((235, 40, 35), (dx, dy, dz)) + (255,)
    # Green box: the normal of the nearest face.
    if 38 <= x <= 58 and 8 <= y <= 28 and 0 <= z <= 20:
        faces = [(x - 38, (-1, 0, 0)), (58 - x, (1, 0, 0)), (y - 8, (0, -1, 0)), (28 - y, (0, 1, 0)),
                 (z - 0, (0, 0, -1)), (20 - z, (0, 0, 1))]
        return lit((40, 210, 60), min(faces)[1]) + (255,)
    # Blue torus, axis along y.
    px, py, pz = x - 42.0, y - 46.0, z - 28.0
    ring = math.hypot(px, pz)
    if ring > 0:
        qx, qz = px - 12.0 * px / ring, pz - 12.0 * pz / ring  # from the ring's centre line
        if qx * qx + py * py + qz * qz <= 5.0 * 5.0:
            return lit((45, 80, 240), (qx, py, qz)) + (255,)
    return (0, 0, 0, 0)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = os.path.join(root, "samples")
    os.makedirs(out, exist_ok=True)
    for z in range(DEPTH):
        rows = []
        for y in range(HEIGHT):
            row = bytearray()
            for x in range(WIDTH):
                row.extend(sample(x + 0.5, y + 0.5, z + 0.5))
            rows.append(bytes(row))
        write_png(os.path.join(out, "layer%02d.png" % z), WIDTH, HEIGHT, rows, alpha=True)


if __name__ == "__main__":
    main()
