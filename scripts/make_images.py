#!/usr/bin/env python3
"""Draws the two placeholder pictures shown before a volume is loaded.

images/novoxmap3d.png (3D view): a shaded blue cube with light edges.
images/novoxmap2d.png (slice view): a green slicing plane with a grid.

Both are 200 x 200 RGB on a dark background that brightens slowly with x and y,
so neighbouring regions of a picture differ. Only the Python standard library is
used: the PNG files are written with zlib and struct.

Usage: python3 scripts/make_images.py   (from anywhere; writes into images/)
"""

import os
import struct
import zlib

SIZE = 200


def write_png(path, width, height, rows, alpha=False):
    """Writes an 8-bit RGB (or RGBA) PNG; rows is a list of bytes, one per row."""
    channels = 4 if alpha else 3
    raw = bytearray()
    for row in rows:
        if len(row) != width * channels:
            raise ValueError("row of wrong length")
        raw.append(0)  # filter type 0: the row as it is
        raw.extend(row)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    colour_type = 6 if alpha else 2
    ihdr = struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0)
    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(data)


def background(x, y, tint):
    """Dark, slowly brightening with x and y (never black)."""
    return (tint[0] + x // 5, tint[1] + y // 5, tint[2] + (x + y) // 20)


def seg_dist(px, py, ax, ay, bx, by):
    """Distance from point p to segment ab."""
    dx, dy = bx - ax, by - ay
    l2 = dx * dx + dy * dy
    t = 0.0 if l2 == 0 else max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / l2))
    qx, qy = ax + t * dx - px, ay + t * dy - py
    return (qx * qx + qy * qy) ** 0.5


def inside(px, py, poly):
    """Even-odd point-in-polygon test."""
    result = False
    n = len(poly)
    for i in range(n):
        ax, ay = poly[i]
        bx, by = poly[(i + 1) % n]
        if (ay > py) != (by > py):
            xcross = ax + (py - ay) * (bx - ax) / (by - ay)
            if px < xcross:
                result = not result
    return result


def cube_picture():
    """An isometric cube filling the centre, three faces in shades of blue."""
    cx, cy, s = 100.0, 100.0, 62.0
    top = (cx, cy - s)
    upper_left = (cx - s * 0.866, cy - s * 0.5)
    upper_right = (cx + s * 0.866, cy - s * 0.5)
    centre = (cx, cy)
    lower_left = (cx - s * 0.866, cy + s * 0.5)
    lower_right = (cx + s * 0.866, cy + s * 0.5)
    bottom = (cx, cy + s)
    faces = [
        ([top, upper_right, centre, upper_left], (110, 160, 240)),  # top face
        ([upper_left, centre, bottom, lower_left], (50, 95, 205)),  # left face
        ([centre, upper_right, lower_right, bottom], (30, 62, 160)),  # right face
    ]
    edges = [
        (top, upper_right), (upper_right, lower_right), (lower_right, bottom), (bottom, lower_left),
        (lower_left, upper_left), (upper_left, top), (upper_left, centre), (upper_right, centre),
        (centre, bottom),
    ]
    rows = []
    for y in range(SIZE):
        row = bytearray()
        for x in range(SIZE):
            px, py = x + 0.5, y + 0.5
            colour = background(x, y, (8, 10, 30))
            for poly, fill in faces:
                if inside(px, py, poly):
                    colour = fill
            if any(seg_dist(px, py, a[0], a[1], b[0], b[1]) < 1.3 for a, b in edges):
                colour = (190, 225, 255)
            row.extend(colour)
        rows.append(bytes(row))
    return rows


def plane_picture():
    """A slanted green plane with an 8 x 8 grid, filling the centre."""
    ox, oy = 30.0, 40.0  # corner of the plane
    ux, uy = 150.0, -20.0  # first edge
    vx, vy = -10.0, 140.0  # second edge
    det = ux * vy - uy * vx
    lu = (ux * ux + uy * uy) ** 0.5
    lv = (vx * vx + vy * vy) ** 0.5
    rows = []
    for y in range(SIZE):
        row = bytearray()
        for x in range(SIZE):
            px, py = x + 0.5 - ox, y + 0.5 - oy
            s = (px * vy - py * vx) / det
            t = (ux * py - uy * px) / det
            colour = background(x, y, (8, 24, 12))
            if -0.01 <= s <= 1.01 and -0.01 <= t <= 1.01:
                colour = (40, 150 - int(40 * t), 70)
                ds = abs(s * 8 - round(s * 8)) * lu / 8  # pixels to the nearest grid line
                dt = abs(t * 8 - round(t * 8)) * lv / 8
                if min(ds, dt) < 1.0:
                    colour = (150, 235, 160)
            row.extend(colour)
        rows.append(bytes(row))
    return rows


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = os.path.join(root, "images")
    os.makedirs(out, exist_ok=True)
    write_png(os.path.join(out, "novoxmap3d.png"), SIZE, SIZE, cube_picture())
    write_png(os.path.join(out, "novoxmap2d.png"), SIZE, SIZE, plane_picture())


if __name__ == "__main__":
    main()
