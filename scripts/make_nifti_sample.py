#!/usr/bin/env python3
"""Writes samples/nifti/head-128x96x24.nii.gz, a real NIfTI volume to open at once.

The source is the 4D MRI series example4d.nii.gz that Debian's python3-nibabel ships as
test data (/usr/lib/python3/dist-packages/nibabel/tests/data/). Its first volume, 128 x 96
x 24 signed 16-bit samples, is written as a 3D NIfTI-1 file with the source's header: the
same voxel size (2 x 2 x 2.2 mm), the same qform and sform (orientation LAS), no scaling.

Needs python3-nibabel (apt-get install python3-nibabel); only for this one-off step.
Usage: /usr/bin/python3 scripts/make_nifti_sample.py   (writes into samples/nifti/)
"""

import gzip
import os
import sys

sys.dont_write_bytecode = True

import nibabel  # noqa: E402
import numpy  # noqa: E402

SOURCE = "/usr/lib/python3/dist-packages/nibabel/tests/data/example4d.nii.gz"
HERE = os.path.dirname(os.path.abspath(__file__))
TARGET = os.path.join(HERE, "..", "samples", "nifti", "head-128x96x24.nii.gz")


def main():
    source = nibabel.load(SOURCE)
    volume = numpy.asanyarray(source.dataobj.get_unscaled())[..., 0]  # the first volume, as stored
    if volume.shape != (128, 96, 24) or volume.dtype != numpy.int16:
        sys.exit("unexpected data in %s: %s %s" % (SOURCE, volume.shape, volume.dtype))
    header = source.header.copy()  # its qform, sform, voxel size and units
    header.set_data_shape(volume.shape)
    header["vox_offset"] = 352  # right after the header and its four extension bytes (none follow)
    os.makedirs(os.path.dirname(TARGET), exist_ok=True)
    # Written through gzip with a fixed time stamp, so that running it again gives the same bytes.
    with open(TARGET, "wb") as raw, gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=9, mtime=0) as out:
        out.write(header.binaryblock + b"\x00" * 4)
        out.write(volume.astype(header.get_data_dtype()).tobytes(order="F"))  # i fastest, then j, then k
    check = nibabel.load(TARGET)
    if not numpy.array_equal(numpy.asanyarray(check.dataobj), volume):
        sys.exit("%s does not read back as written" % TARGET)
    print("wrote %s: %d x %d x %d, samples %d..%d, axes %s, voxels %s %s" % (
        os.path.normpath(TARGET), *volume.shape, volume.min(), volume.max(),
        "".join(nibabel.aff2axcodes(check.affine)), check.header.get_zooms(), check.header.get_xyzt_units()[0]))


if __name__ == "__main__":
    main()
