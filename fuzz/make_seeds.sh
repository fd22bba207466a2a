#!/usr/bin/env bash
# Writes small valid seed files of every kind the readers take into fuzz/corpus/{png,jpeg,tiff,stack}
# (with ImageMagick, from a 16 x 12 picture). Run once when a reader learns a new kind; the
# corpus is committed. The hostile files come from the tests (see the README's fuzzing section).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
c=$root/fuzz/corpus
mkdir -p "$c/png" "$c/jpeg" "$c/tiff" "$c/stack"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# A 16 x 12 picture with colour, a gradient and partly transparent pixels.
src=$tmp/src.png
convert -size 16x12 gradient:red-blue \( -size 16x12 gradient:white-none -rotate 90 -resize 16x12! \) \
  -compose over -composite -alpha set \( +clone -channel A -fx 'i<4?0:1' \) -compose copy-opacity -composite -depth 8 "$src"
m() { convert "$src" "$@"; }

m -strip -define png:exclude-chunks=date,time PNG32:"$c/png/rgba8.png"
m -strip -define png:exclude-chunks=date,time -alpha off PNG24:"$c/png/rgb8.png"
m -strip -define png:exclude-chunks=date,time -colorspace gray -alpha off -depth 8 PNG8:"$c/png/grey8.png"
m -strip -define png:exclude-chunks=date,time -colorspace gray -alpha off -depth 1 "$c/png/grey1.png"
m -strip -define png:exclude-chunks=date,time -colorspace gray -alpha off -depth 4 -define png:bit-depth=4 -define png:color-type=0 "$c/png/grey4.png"
m -strip -define png:exclude-chunks=date,time -depth 16 PNG64:"$c/png/rgba16.png"
m -strip -define png:exclude-chunks=date,time -colorspace gray -depth 16 -define png:color-type=4 "$c/png/greyalpha16.png"
m -strip -define png:exclude-chunks=date,time -colors 8 PNG8:"$c/png/palette-trns.png"
m -strip -define png:exclude-chunks=date,time -interlace PNG PNG32:"$c/png/interlaced.png"

m -alpha off -quality 80 "$c/jpeg/rgb.jpg"
m -alpha off -quality 80 -sampling-factor 2x2 -define jpeg:restart-interval=1 "$c/jpeg/restart-420.jpg"
m -alpha off -interlace JPEG "$c/jpeg/progressive.jpg"
m -alpha off -colorspace gray "$c/jpeg/grey.jpg"
m -alpha off -colorspace cmyk "$c/jpeg/cmyk.jpg"
m -alpha off -define jpeg:arithmetic-coding=true "$c/jpeg/arithmetic.jpg" 2>/dev/null || true

t=$c/tiff
m -compress none "$t/rgba8.tif"
m -alpha off -compress lzw -define tiff:rows-per-strip=3 "$t/rgb-lzw-strips.tif"
m -alpha off -compress zip -define tiff:endian=msb "$t/rgb-zip-be.tif"
m -compress rle -define tiff:tile-geometry=16x16 "$t/rgba-tiles.tif"
m -alpha off -compress none -interlace plane "$t/rgb-planes.tif"
m -depth 16 -compress none -define tiff:alpha=associated "$t/rgba16-assoc.tif"
m -colorspace gray -alpha off -depth 16 -compress lzw "$t/grey16.tif"
m -colorspace gray -alpha off -depth 32 -define quantum:format=floating-point -compress zip "$t/grey-float.tif"
m -alpha off -depth 32 -compress zip -define tiff:tile-geometry=16x16 "$t/rgb32-tiles.tif"
m -colorspace gray -alpha off -depth 1 -compress group4 "$t/bilevel-g4.tif"
m -alpha off -colors 6 -type palette -compress none "$t/palette.tif"
m -alpha off -compress jpeg "$t/rgb-jpeg.tif"
m -alpha off -colorspace cmyk -compress none "$t/cmyk.tif"
m -alpha off -orient right-top -compress none "$t/orient-righttop.tif"
convert "$src" \( "$src" -negate \) -compress none "$t/two-pages.tif"

# Stacks: files joined by the separator of fuzz/fuzzfile.h.
sep='#slab-next-file#'
join() { local out=$1; shift; : >"$out"; local first=1; for f in "$@"; do
  [ $first = 1 ] || printf '%s' "$sep" >>"$out"; first=0; [ -n "$f" ] && cat "$f" >>"$out"; done; }
join "$c/stack/png-tiff-jpeg" "$c/png/rgba8.png" "$t/rgb-lzw-strips.tif" "$c/jpeg/rgb.jpg"
join "$c/stack/wide-kinds" "$c/png/rgba16.png" "$t/grey-float.tif" "$t/grey16.tif"
join "$c/stack/pages-and-repeat" "$t/two-pages.tif" "" "$c/png/grey8.png"
join "$c/stack/sizes-differ" "$c/png/rgb8.png" "$root/samples/layer00.png"
head -c 200 "$c/png/rgb8.png" >"$tmp/cut.png"
join "$c/stack/cut-in-the-middle" "$t/rgba8.tif" "$tmp/cut.png" "$c/jpeg/grey.jpg"

# DICOM and NIfTI: small image files of the pydicom and nibabel test data, and a few NIfTI
# files of other sample kinds, units and orientations written with nibabel.
mkdir -p "$c/dicom" "$c/nifti"
d=/usr/lib/python3/dist-packages/pydicom/data/test_files
for f in SC_rgb_small_odd SC_rgb_rle rtdose_1frame SC_rgb_small_odd_jpeg SC_rgb_rle_16bit SC_rgb_rle_2frame \
  SC_rgb_jpeg_dcmtk JPEG2000 SC_rgb_rle_32bit SC_rgb_rle_16bit_2frame image_dfl MR_small_jpeg_ls_lossless \
  MR_small_RLE MR_truncated MR_small_implicit MR_small_bigendian MR_small JPEG-lossy JPGExtended ExplVR_BigEnd \
  SC_ybr_full_422_uncompressed CT_small no_meta ExplVR_LitEndNoMeta SC_rgb_gdcm_KY; do
  cp "$d/$f.dcm" "$c/dicom/"
done
n=/usr/lib/python3/dist-packages/nibabel/tests/data
cp "$n"/{standard.nii.gz,resampled_anat_moved.nii,row_major.dconn.nii,example_nifti2.nii.gz,functional.nii} "$c/nifti/"
/usr/bin/python3 - "$c/nifti/" <<'PY'
import sys
import numpy as np, nibabel as nib
out = sys.argv[1]
a = np.arange(6 * 5 * 4, dtype=np.float32).reshape(6, 5, 4) - 20
img = nib.Nifti1Image(a, np.diag([0.5, 0.7, 2.0, 1]))
img.header.set_xyzt_units('mm')
nib.save(img, out + 'float32-mm.nii')
i16 = nib.Nifti1Image((a * 10).astype(np.int16), np.diag([-1, 1, 1, 1]))
i16.header['scl_slope'], i16.header['scl_inter'] = 0.5, -100
i16.header.set_xyzt_units('micron')
nib.save(i16, out + 'int16-scaled-LAS.nii.gz')
rgb = np.zeros((4, 3, 2), dtype=[('R', 'u1'), ('G', 'u1'), ('B', 'u1')])
rgb['R'] = np.arange(24).reshape(4, 3, 2) * 10
nib.save(nib.Nifti1Image(rgb, np.eye(4)), out + 'rgb24.nii')
nib.save(nib.Nifti1Image(np.arange(72, dtype=np.uint8).reshape(4, 3, 2, 3), np.eye(4)), out + 'uint8-4d.nii')
nib.save(nib.Nifti1Image(a.astype('>f8'), np.eye(4)), out + 'float64-bigendian.nii')
nib.save(nib.Nifti2Image(a.astype(np.uint16), np.eye(4)), out + 'uint16-nifti2.nii')
PY

# Stacks of scans: a CT series stored unsigned with a negative intercept (pydicom's signed
# slices shifted), two series and a PNG beside DICOM, and a NIfTI with a slope beside others.
/usr/bin/python3 - "$d/dicomdirtests/77654033/CT2" "$tmp/" <<'PY'
import sys, glob
import numpy as np, pydicom
src, out = sys.argv[1], sys.argv[2]
for n, f in enumerate(sorted(glob.glob(src + '/*'))[:3]):
    ds = pydicom.dcmread(f)
    a = ds.pixel_array.astype(np.int32)
    ds.PixelRepresentation = 0
    ds.RescaleIntercept = -2048
    ds.PixelData = (a + 1024).astype(np.uint16).tobytes()
    ds.save_as(out + 'ct%d.dcm' % n)
    if n == 0:
        ds.SeriesInstanceUID = ds.SeriesInstanceUID + '.9'
        ds.save_as(out + 'other-series.dcm')
PY
join "$c/stack/dicom-unsigned-rescaled" "$tmp/ct2.dcm" "$tmp/ct0.dcm" "$tmp/ct1.dcm"
join "$c/stack/dicom-two-series" "$tmp/ct0.dcm" "$tmp/other-series.dcm" "$tmp/ct1.dcm"
join "$c/stack/dicom-beside-png" "$tmp/ct0.dcm" "$c/png/grey8.png"
join "$c/stack/nifti-slope" "$c/nifti/int16-scaled-LAS.nii.gz"
join "$c/stack/nifti-beside-tiff" "$c/nifti/float32-mm.nii" "$t/grey16.tif"
