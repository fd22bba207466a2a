#!/usr/bin/env bash
# Builds Release into build-release/ (only the program and what it installs) and makes the
# Debian package build/slabwright_VERSION_ARCH.deb with CPack. Install it with
#   sudo apt install ./build/slabwright_*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
dir=$root/build-release
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
# Debian's hardening flags (fortified functions, read-only relocations bound at start-up);
# CMake's Release flags come after them, so -O3 stays. No -g: the package is stripped.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS | sed 's/^-g //')"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export CXXFLAGS LDFLAGS
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DSLABWRIGHT_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" --target slabwright slabwright_docs
mkdir -p "$root/build"
(cd "$dir" && cpack -G DEB -B "$dir/package")
deb=$(ls "$dir"/package/slabwright_*.deb)
mv "$deb" "$root/build/"
echo "made build/$(basename "$deb")"
