#!/usr/bin/env bash
# The site package built from this tree unpacks into a scratch root, holds every
# piece it should, and its programs run from there.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null)
deb=$(ls "$work"/out/*.deb)
dpkg -x "$deb" "$work/root"
for f in usr/bin/gatesimd usr/bin/boardbox usr/bin/boardbox-mtd usr/lib/libgatesim.so \
  usr/include/gatesim/libgatesim.h usr/share/man/man1/gatesimd.1 usr/share/man/man8/gwlinkd.8 \
  usr/share/man/man3/libgatesim.3; do
  [ -e "$work/root/$f" ] || { echo "missing from $deb: $f"; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q libstdc++ || { echo "no library dependencies recorded"; exit 1; }
# The program finds the library beside it in the install root, not in the build.
out=$(env -u LD_LIBRARY_PATH "$work/root/usr/bin/gatesimd" --help)
echo "$out" | grep -q "^usage: gatesimd" || { echo "gatesimd --help from the package: $out"; exit 1; }
ldd "$work/root/usr/bin/gatesimd" | grep libgatesim | grep -q "$work/root" ||
  { echo "gatesimd does not load the packaged libgatesim"; ldd "$work/root/usr/bin/gatesimd"; exit 1; }
echo "site package: $(basename "$deb") installs and runs"
