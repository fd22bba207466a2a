#!/usr/bin/env bash
# Remakes docs/screenshot.png: the program from build/ opens the CT sample under Xvfb and its
# window is captured, the camera turned a little first (ImageMagick's import; xdotool).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/screenshot.png}
if [ -z "${SLABWRIGHT_SCREENSHOT_INNER:-}" ]; then
  exec env SLABWRIGHT_SCREENSHOT_INNER=1 xvfb-run -a -s '-screen 0 1280x800x24' "$0" "$out"
fi
cd "$root"
build/slabwright samples/scan/ct >/dev/null 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null' EXIT
window=
for _ in $(seq 60); do
  sleep 0.5
  window=$(xdotool search --onlyvisible --pid $pid --name '^Slabwright$' 2>/dev/null | head -1) && [ -n "$window" ] && break
done
[ -n "$window" ] || { echo "no window appeared" >&2; exit 1; }
sleep 4  # the load, the window growing and both views drawn
eval "$(xdotool getwindowgeometry --shell "$window")"
# Orbit the camera with a right-button drag over the 3D view, so the stack shows its depth.
xdotool mousemove $((X + 130)) $((Y + 180)) mousedown 3
for step in 1 2 3 4 5 6; do
  xdotool mousemove $((X + 130 + 5 * step)) $((Y + 180 - 3 * step)) sleep 0.2
done
xdotool mouseup 3 mousemove 5 $((Y + HEIGHT + 20))  # the pointer off the window
sleep 3
mkdir -p "$(dirname "$out")"
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage -define png:compression-level=9 "$out"
echo "$out: $(stat -c %s "$out") bytes, ${WIDTH} x ${HEIGHT}"
