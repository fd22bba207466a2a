#!/usr/bin/env python3
"""Writes samples/scan/brain-128x96x24.tif, a real scan to open at once.

The source is the 4D MRI series example4d.nii.gz that Debian's python3-nibabel ships
as test data (/usr/lib/python3/dist-packages/nibabel/tests/data/). Its first volume,
128 x 96 x 24 signed 16-bit samples (0..1162), becomes one TIFF of 24 pages: page k
is slice k, row 0 the slice's last y row (so the front of the head is at the top).
The TIFF is little-endian, 16-bit grey, one deflate-compressed strip per page.

Needs python3-nibabel (apt-get install python3-nibabel); only for this one-off step.
Usage: /usr/bin/python3 scripts/make_scan_sample.py   (writes into samples/scan/)
"""

import os
import struct
import sys
import zlib

sys.dont_write_bytecode = True

import nibabel  # noqa: E402
import numpy  # noqa: E402

SOURCE = "/usr/lib/python3/dist-packages/nibabel/tests/data/example4d.nii.gz"
HERE = os.path.dirname(os.path.abspath(__file__))
TARGET = os.path.join(HERE, "..", "samples", "scan", "brain-128x96x24.tif")


def pages_of(volume):
    """One bytes object of little-endian uint16 rows per slice."""
    width, height, depth = volume.shape
    for k in range(depth):
        rows = volume[:, ::-1, k].T  # rows top to bottom, columns along x
        yield width, height, rows.astype("<u2").tobytes()


def tiff(pages):
    out = bytearray(b"II*\x00\x00\x00\x00\x00")
    link = 4  # where the offset of the next directory goes
    for width, height, data in pages:
        strip = zlib.compress(data, 9)
        strip_at = len(out)
        out += strip
        if len(out) % 2:
            out += b"\x00"
        entries = [  # tag, type (3 short, 4 long), value
            (256, 4, width),
            (257, 4, height),
            (258, 3, 16),
            (259, 3, 8),  # deflate
            (262, 3, 1),  # min-is-black
            (273, 4, strip_at),
            (277, 3, 1),
            (278, 4, height),
            (279, 4, len(strip)),
            (284, 3, 1),
            (339, 3, 1),  # unsigned samples
        ]
        ifd = len(out)
        out[link:link + 4] = struct.pack("<I", ifd)
        out += struct.pack("<H", len(entries))
        for tag, kind, value in entries:
            if kind == 3:
                out += struct.pack("<HHIHH", tag, kind, 1, value, 0)
            else:
                out += struct.pack("<HHII", tag, kind, 1, value)
        link = len(out)
        out += b"\x00\x00\x00\x00"
    return bytes(out)


def main():
    image = nibabel.load(SOURCE)
    volume = numpy.asanyarray(image.dataobj)[..., 0]  # the first volume of the series
    if volume.shape != (128, 96, 24) or volume.min() < 0:
        sys.exit("unexpected data in %s: %s" % (SOURCE, volume.shape))
    os.makedirs(os.path.dirname(TARGET), exist_ok=True)
    with open(TARGET, "wb") as f:
        f.write(tiff(pages_of(volume)))
    print("wrote %s: %d x %d x %d, samples %d..%d" % (os.path.normpath(TARGET), volume.shape[0], volume.shape[1],
                                                      volume.shape[2], volume.min(), volume.max()))


if __name__ == "__main__":
    main()
