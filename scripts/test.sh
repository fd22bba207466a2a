#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the ordinary build, the Debian package made
# from it (scripts/test_package.sh), then the AddressSanitizer + UndefinedBehaviorSanitizer
# build of the same tests, then every fuzz target for 30 s (built while the tests run).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

"$root/scripts/build.sh" build
# The fuzz targets are built meanwhile at the lowest priority: from the processors the tests
# leave idle.
fuzzlog=$(mktemp)
setsid nice -n 19 "$root/scripts/fuzz.sh" build >"$fuzzlog" 2>&1 &
fuzzbuild=$!  # (its own process group: a failing step below stops it with its compilers)
trap 'kill -- -"$fuzzbuild" 2>/dev/null || true; rm -f "$fuzzlog"' EXIT
(cd "$root/build" && ctest --output-on-failure -j "$(nproc)")
"$root/scripts/test_package.sh" build

"$root/scripts/build.sh" build-asan -DSLABWRIGHT_SANITIZE=ON
(cd "$root/build-asan" && ctest --output-on-failure -j "$(nproc)")

if ! wait "$fuzzbuild"; then
  cat "$fuzzlog" >&2
  echo "the fuzz targets did not build" >&2
  exit 1
fi
"$root/scripts/fuzz.sh" all 30
