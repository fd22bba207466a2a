#!/usr/bin/env python3
"""Writes the small CT series samples/scan/ct/IM0001 .. IM0012 from one real CT slice.

Source: CT_small.dcm, a 128 x 128 CT slice of a head among pydicom's test files
(Debian package python3-pydicom; Expat licence, see samples/README.md).

The series has 12 slices 5 mm apart. Slice k is the real slice cut to a ball of
40 mm radius around the middle of the stack: pixels outside the ball's cross-section
at that slice are air (-1024 HU), so the series holds a three-dimensional shape.
Every slice keeps the source's pixel spacing, rescale and orientation and gets its own
ImagePositionPatient, InstanceNumber and instance UID; all share one series UID. As
scanners often do, the instance numbers (and the file names) run from the top down,
so the names are in the opposite order of the positions along the slice normal.

Usage: /usr/bin/python3 scripts/make_dicom_sample.py   (needs python3-pydicom, numpy)
"""

import copy
import math
import os
import sys

sys.dont_write_bytecode = True  # leave no cache folder beside the scripts

import numpy as np  # noqa: E402
import pydicom  # noqa: E402
from pydicom.uid import generate_uid  # noqa: E402

SOURCE = "/usr/lib/python3/dist-packages/pydicom/data/test_files/CT_small.dcm"
SLICES, STEP, RADIUS = 12, 5.0, 40.0
OUT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "samples", "scan", "ct")


def main():
    src = pydicom.dcmread(SOURCE)
    stored = src.pixel_array.astype(np.int16)
    rows, cols = stored.shape
    dy, dx = (float(v) for v in src.PixelSpacing)  # row spacing, column spacing
    intercept = float(src.RescaleIntercept)
    air = int(round(-1024 - intercept))  # the stored value of -1024 HU
    x0, y0, z0 = (float(v) for v in src.ImagePositionPatient)
    series = generate_uid(entropy_srcs=["slabwright sample CT series"])
    os.makedirs(OUT, exist_ok=True)
    yy, xx = np.mgrid[0:rows, 0:cols]
    dist = np.hypot((xx - (cols - 1) / 2) * dx, (yy - (rows - 1) / 2) * dy)
    for k in range(SLICES):
        along = (k - (SLICES - 1) / 2) * STEP  # from the middle of the stack, in mm
        r = math.sqrt(max(RADIUS * RADIUS - along * along, 0.0))
        pixels = np.where(dist <= r, stored, np.int16(air)).astype(np.int16)
        ds = copy.deepcopy(src)
        number = SLICES - k  # instance 1 is the top slice
        ds.SOPInstanceUID = generate_uid(entropy_srcs=["slabwright sample CT slice", str(number)])
        ds.file_meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID
        ds.SeriesInstanceUID = series
        ds.SeriesDescription = "Sample head CT, a ball cut from one slice"
        ds.InstanceNumber = number
        ds.ImagePositionPatient = [x0, y0, round(z0 + along, 3)]
        ds.SliceLocation = round(z0 + along, 3)
        ds.SliceThickness = STEP
        ds.WindowCenter, ds.WindowWidth = 40, 400
        ds.PixelData = pixels.tobytes()
        ds.preamble = b"\0" * 128  # the source's holds a TIFF header
        ds.save_as(os.path.join(OUT, "IM%04d" % number), write_like_original=False)
    print("wrote %d slices into %s" % (SLICES, OUT))


if __name__ == "__main__":
    main()
