#!/usr/bin/env bash
# Installs the Debian 12 packages Slabwright needs to build, run and test, when missing.
set -euo pipefail

packages=(g++ cmake make libwxgtk3.2-dev libgtest-dev libtiff-dev libpng-dev libjpeg-dev libgdcm-dev libnifti2-dev zlib1g-dev python3-nibabel python3-pydicom xvfb xauth xdotool imagemagick clang libclang-rt-14-dev
  libblosc-dev libzstd-dev nlohmann-json3-dev libcurl4-openssl-dev python3-zarr python3-dask
  lintian desktop-file-utils appstream shared-mime-info xdg-utils dpkg-dev libglib2.0-bin)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
