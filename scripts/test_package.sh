#!/usr/bin/env bash
# Checks the Debian package:  scripts/test_package.sh [BUILD_DIR | FILE.deb]
# Without a .deb it packages BUILD_DIR's program (default build/, already built) with cpack,
# which saves the Release build scripts/package.sh makes; given a .deb, it checks that one.
# Each check that needs a missing tool is skipped with a message naming it. Ends with
# "package: N passed, N failed, N skipped" and a non-zero status on any failure.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arg=${1:-build}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
passed=0 failed=0 skipped=0
pass() { echo "PASS: $1"; passed=$((passed + 1)); }
fail() { echo "FAIL: $1"; failed=$((failed + 1)); }
skip() { echo "SKIP: $1"; skipped=$((skipped + 1)); }
check() { local what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }
# Whether the commands are there; names the Debian package otherwise.
have() {
  local cmd=$1 pkg=$2 what=$3
  command -v "$cmd" >/dev/null && return 0
  skip "$what: $cmd not installed (Debian package $pkg)"
  return 1
}
finish() {
  echo "package: $passed passed, $failed failed, $skipped skipped"
  [ "$failed" -eq 0 ]
  exit
}

# 1. The package.
if [[ $arg == *.deb ]]; then
  deb=$arg
else
  build=$(cd "$arg" 2>/dev/null || cd "$root/$arg" && pwd)
  prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt" 2>/dev/null)
  [ "$prefix" = /usr ] || echo "note: $build was configured for $prefix, not /usr: its program looks for" \
    "its pictures under $prefix/share/slabwright (configure a fresh folder for a true package)"
  if have cpack cmake "the package builds" && have dpkg-shlibdeps dpkg-dev "the package builds"; then
    if (cd "$build" && cpack -G DEB -B "$tmp/cpack") >"$tmp/cpack.log" 2>&1; then
      deb=$(ls "$tmp"/cpack/slabwright_*.deb 2>/dev/null | head -1)
    fi
    check "the package builds from $build" test -n "${deb:-}"
    [ -n "${deb:-}" ] || { tail -20 "$tmp/cpack.log"; }
  fi
fi
if [ -z "${deb:-}" ] || ! have dpkg-deb dpkg "the package's contents"; then
  finish
fi
version=$(dpkg-deb -f "$deb" Version)
echo "checking $(basename "$deb") (version $version)"

# 2. Its files.
dpkg-deb --contents "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$tmp/contents"
missing=()
for f in /usr/bin/slabwright /usr/share/applications/slabwright.desktop \
  /usr/share/mime/packages/slabwright.xml /usr/share/metainfo/org.example.slabwright.metainfo.xml \
  /usr/share/man/man1/slabwright.1.gz /usr/share/icons/hicolor/scalable/apps/slabwright.svg \
  /usr/share/icons/hicolor/{48x48,128x128,256x256}/apps/slabwright.png \
  /usr/share/slabwright/images/novoxmap{2d,3d}.png \
  /usr/share/doc/slabwright/copyright /usr/share/doc/slabwright/changelog.gz; do
  grep -qxF "$f" "$tmp/contents" || missing+=("$f")
done
check "dpkg-deb --contents lists the program, desktop, MIME, metainfo, icon, manual and picture files" \
  test ${#missing[@]} -eq 0
[ ${#missing[@]} -eq 0 ] || printf '  missing: %s\n' "${missing[@]}"
check "nothing of the tests, benchmarks or fuzz targets is installed" \
  bash -c "! grep -Eq 'slabwright_(tests|bench)|fuzz_' '$tmp/contents'"

# 3. Lintian: no errors (the accepted warnings are listed in README.md).
if have lintian lintian "lintian reports no errors"; then
  lintian --fail-on error "$deb" >"$tmp/lintian.log" 2>&1
  status=$?
  grep -v 'running with root privileges' "$tmp/lintian.log" | sed 's/^/  /' || true
  check "lintian reports no errors" test "$status" -eq 0
fi

dpkg-deb -x "$deb" "$tmp/root"
usr=$tmp/root/usr

# 4. The desktop's files.
if have appstreamcli appstream "appstreamcli validate"; then
  check "appstreamcli validate passes" appstreamcli validate --no-net "$usr"/share/metainfo/*.metainfo.xml
fi
if have desktop-file-validate desktop-file-utils "desktop-file-validate"; then
  check "desktop-file-validate passes" desktop-file-validate "$usr/share/applications/slabwright.desktop"
fi

# 5. The unpacked program runs.
out=$("$usr/bin/slabwright" --version 2>&1)
check "the unpacked slabwright --version prints \"Slabwright $version\" (it printed \"$out\")" \
  test "$out" = "Slabwright $version"

# 6. The file types: the system's MIME data with ours, in a folder of its own.
nii=$root/samples/nifti/head-128x96x24.nii.gz
for f in /usr/lib/python3/dist-packages/nibabel/tests/data/anatomical.nii "$root/samples/nifti/anatomical.nii"; do
  [ -f "$f" ] && nii=$f
done
if [[ $nii != *anatomical.nii ]]; then
  skip "MIME types: no anatomical.nii (Debian package python3-nibabel)"
elif have update-mime-database shared-mime-info "MIME types" && have gio libglib2.0-bin "MIME types"; then
  mkdir -p "$tmp/data/mime/packages" "$tmp/files"
  cp /usr/share/mime/packages/freedesktop.org.xml "$usr/share/mime/packages/slabwright.xml" "$tmp/data/mime/packages/"
  update-mime-database "$tmp/data/mime" >/dev/null 2>&1
  cp "$nii" "$tmp/files/anatomical.nii"
  cp "$nii" "$tmp/files/anatomical"  # no name to go by: the magic at byte 344
  cp "$root/samples/scan/ct/IM0001" "$tmp/files/"
  typeOf() { XDG_DATA_HOME=$tmp/data XDG_DATA_DIRS=$tmp/data gio info -a standard::content-type "$1" |
               sed -n 's/.*standard::content-type: //p'; }
  cases=("anatomical.nii application/x-nifti" "anatomical application/x-nifti" "IM0001 application/dicom")
  # A NIfTI-2 file and the header of a NIfTI-1 pair, without a name to go by.
  if /usr/bin/python3 -c "import nibabel, numpy as np
v = np.zeros((2, 2, 2), np.int16)
nibabel.save(nibabel.Nifti2Image(v, np.eye(4)), '$tmp/files/n2.nii')
nibabel.save(nibabel.Nifti1Pair(v, np.eye(4)), '$tmp/files/pair.hdr')" 2>/dev/null; then
    mv "$tmp/files/n2.nii" "$tmp/files/nifti2"
    mv "$tmp/files/pair.hdr" "$tmp/files/pairheader"
    cases+=("nifti2 application/x-nifti" "pairheader application/x-nifti")
  else
    skip "NIfTI-2 and pair types: nibabel cannot write them (Debian package python3-nibabel)"
  fi
  for c in "${cases[@]}"; do
    set -- $c
    got=$(typeOf "$tmp/files/$1")
    check "$1 is typed $2 (got $got)" test "$got" = "$2"
  done
fi

# 7. The manual page names the options --help names, no more and no fewer.
"$usr/bin/slabwright" --help >"$tmp/help" 2>&1
grep -oE '^ +-{1,2}[a-z][a-z-]*(, --[a-z][a-z-]*)?' "$tmp/help" | grep -oE -- '-{1,2}[a-z][a-z-]*' | sort -u >"$tmp/help.options"
zcat "$usr/share/man/man1/slabwright.1.gz" | sed -n '/^\.SH OPTIONS/,/^\.SH /p' | grep -E '^\.(B|BR|BI) ' |
  sed 's/\\-/-/g' | grep -oE -- '(^| )"?-{1,2}[a-z][a-z-]*' | tr -d ' "' | sort -u >"$tmp/man.options"
sameOptions() { [ -s "$tmp/help.options" ] && cmp -s "$tmp/help.options" "$tmp/man.options"; }
check "the manual's options are those of --help ($(tr '\n' ' ' <"$tmp/help.options"))" sameOptions
diff "$tmp/help.options" "$tmp/man.options" | sed -n 's/^</  only in --help:/p; s/^>/  only in the manual:/p'

# 8. What the desktop hands over: a folder and several files, named with a space and a
# non-ASCII letter, opened by the unpacked program in the C locale; a load that fails shows
# its "Load Images" message, one that works grows the window beyond its empty size.
if have xvfb-run xvfb "opening non-ASCII names" && have xdotool xdotool "opening non-ASCII names"; then
  dir="$tmp/Größe scan"
  mkdir -p "$dir"
  cp "$root"/samples/scan/ct/IM000[1-4] "$dir/"
  cat >"$tmp/open.sh" <<'EOF'
#!/usr/bin/env bash
# open.sh PROGRAM [PATH...]: the width of its window once settled, or "failed" on a load's message.
"$@" >/dev/null 2>&1 &
pid=$! width=0 same=0
for _ in $(seq 80); do
  sleep 0.25
  if [ -n "$(xdotool search --name '^Load Images$' 2>/dev/null)" ]; then width=failed; break; fi
  w=$(xdotool search --onlyvisible --pid $pid --name '^Slabwright$' 2>/dev/null | head -1)
  [ -n "$w" ] || continue
  now=$(xdotool getwindowgeometry "$w" | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p')
  if [ "$now" = "$width" ]; then same=$((same + 1)); else same=0 width=$now; fi
  [ $same -ge 8 ] && break  # two seconds unchanged
done
kill $pid 2>/dev/null; wait $pid 2>/dev/null
echo "$width"
EOF
  chmod +x "$tmp/open.sh"
  run() { (cd "$1" && shift && LC_ALL=C timeout 60 xvfb-run -a -s '-screen 0 1280x800x24' "$tmp/open.sh" "$@" 2>/dev/null | tail -1); }
  empty=$(run "$tmp" "$usr/bin/slabwright")
  folder=$(run "$tmp" "$usr/bin/slabwright" "$dir")
  files=$(run "$dir" "$usr/bin/slabwright" IM0001 "../Größe scan/IM0002" "$dir/IM0003")
  grew() { [[ $1 =~ ^[0-9]+$ && $empty =~ ^[0-9]+$ && $1 -gt $empty ]]; }
  check "a folder named \"Größe scan\" opens from the command line (window $empty, then $folder wide)" grew "$folder"
  check "several files in it, relative and absolute, open together (window $files wide)" grew "$files"
fi
finish
