#!/usr/bin/env bash
# Runs our kernel benchmark and, in the same run and on the same volume, the closest
# operations of OpenCV and VTK, and prints our times against theirs.
#
#   bench/peers.sh [benchmark options, e.g. --reps 5 --no-plain --threads 2]
#
# Installs what it needs from Debian's packages when missing (python3-opencv,
# python3-vtk9, python3-numpy, xvfb), brings the benchmark in build-bench (or
# $BENCH_BUILD_DIR) up to date, and writes the volume to a temporary file
# that is removed afterwards. The benchmark's own output is kept in $BENCH_LOG
# (default: build-bench/bench-peers.log).
#
# The peers are then timed in PEER_ROUNDS rounds (default 3), each of which first runs
# our fast kernels again (PEER_REPS timed runs each, default 5) and then every peer
# operation, so that both sides are timed within seconds of each other; each side's
# figure is its minimum. PEER_SAVE=DIR keeps both ray-cast pictures as PNG files.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"
build="${BENCH_BUILD_DIR:-$root/build-bench}"
log="${BENCH_LOG:-$build/bench-peers.log}"
python=/usr/bin/python3  # Debian's python: the one that sees the python3-* packages

run_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for pkg in python3-opencv python3-vtk9 python3-numpy xvfb; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing ${missing[*]}"
    run_root apt-get update
    run_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

# Configured once; the build itself does nothing when the benchmark is up to date.
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSLABWRIGHT_TEST_ONLY="test_vector3.cpp" >/dev/null
fi
cmake --build "$build" -j2 --target slabwright_bench

tmp="$(mktemp -d "${TMPDIR:-/tmp}/slabwright-peers-XXXXXX")"
trap 'rm -rf "$tmp"' EXIT
volume="$tmp/volume.rgba"

state="$(git -C "$root" log -1 --format=%h 2>/dev/null || echo unknown)"
git -C "$root" diff --quiet HEAD -- src 2>/dev/null || state="$state + uncommitted changes in src/"
echo "== our kernels ($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load: $(cut -d' ' -f1-3 /proc/loadavg), source: $state)"
xvfb-run -a -s "-screen 0 1280x1024x24" "$build/slabwright_bench" --dump "$volume" "$@" | tee "$log"

echo
echo "== peers on the same volume"
# The rounds run our benchmark with the same volume size and thread count.
same=()
args=("$@")
for ((i = 0; i < ${#args[@]}; ++i)); do
    case "${args[i]}" in --size | --shape | --threads | --voxel-size) same+=("${args[i]}" "${args[i + 1]:-}") ;; esac
done
xvfb-run -a -s "-screen 0 1280x1024x24" "$python" "$here/peers.py" --log "$log" --volume "$volume" \
    --bench "$build/slabwright_bench" --bench-args "${same[*]:-}" \
    --reps "${PEER_REPS:-5}" --rounds "${PEER_ROUNDS:-3}" ${PEER_SAVE:+--save "$PEER_SAVE"}
