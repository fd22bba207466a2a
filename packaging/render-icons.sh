#!/usr/bin/env bash
# Renders the icon's PNG sizes from icons/slabwright.svg; the PNGs are committed, so this runs
# only after the drawing changes. Needs rsvg-convert (Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")/icons"
for size in 48 128 256; do
  rsvg-convert -w "$size" -h "$size" slabwright.svg -o "slabwright-$size.png"
done
