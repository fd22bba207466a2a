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

m -strip PNG32:"$c/png/rgba8.png"
m -strip -alpha off PNG24:"$c/png/rgb8.png"
m -strip -colorspace gray -alpha off -depth 8 PNG8:"$c/png/grey8.png"
m -strip -colorspace gray -alpha off -depth 1 "$c/png/grey1.png"
m -strip -colorspace gray -alpha off -depth 4 -define png:bit-depth=4 -define png:color-type=0 "$c/png/grey4.png"
m -strip -depth 16 PNG64:"$c/png/rgba16.png"
m -strip -colorspace gray -depth 16 -define png:color-type=4 "$c/png/greyalpha16.png"
m -strip -colors 8 PNG8:"$c/png/palette-trns.png"
m -strip -interlace PNG PNG32:"$c/png/interlaced.png"

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
