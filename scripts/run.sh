#!/usr/bin/env bash
# Sets up, builds and starts Slabwright (from the project folder, where images/ is found).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" build
cd "$root"
exec ./build/slabwright
