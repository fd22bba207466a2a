#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the ordinary build, the Debian package made
# from it (scripts/test_package.sh), then the AddressSanitizer + UndefinedBehaviorSanitizer
# build of the same tests, then every fuzz target for 30 s.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

"$root/scripts/build.sh" build
(cd "$root/build" && ctest --output-on-failure -j "$(nproc)")
"$root/scripts/test_package.sh" build

"$root/scripts/build.sh" build-asan -DSLABWRIGHT_SANITIZE=ON
(cd "$root/build-asan" && ctest --output-on-failure -j "$(nproc)")

"$root/scripts/fuzz.sh" all 30
