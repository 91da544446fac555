#!/usr/bin/env bash
# Builds the Debian packages (the "package" preset, prefix /usr) and checks them without
# installing them on the system: their listings, lintian where it is installed, an install into a
# scratch root with dpkg --root, then Tarnpak --version, man grp, pkg-config and a CMake
# find_package consumer against that root, and a removal that must leave no file behind.
#   tools/package-check.sh
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
cmake --preset package >/dev/null
cmake --build --preset package
rm -rf build-package/packages
(cd build-package && cpack -G DEB >/dev/null)
mapfile -t debs < <(ls build-package/packages/*.deb)
[ "${#debs[@]}" -eq 3 ] || { echo "expected 3 packages, got: ${debs[*]}" >&2; exit 1; }
for deb in "${debs[@]}"; do
  echo "== $(basename "$deb")"
  dpkg-deb -f "$deb" Package Depends | sed 's/^/  /'
  dpkg-deb -c "$deb" | awk '{print "  " $6}'
done
if command -v lintian >/dev/null; then
  echo "== lintian"
  # An error fails the check. Warnings are shown: CPack's ldconfig in the library's
  # maintainer scripts (maintscript-calls-ldconfig) is one.
  lintian --fail-on error "${debs[@]}"
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/tarnpak-deb-XXXXXX")"
trap 'rm -rf "$work"' EXIT
root="$work/root"
mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info"
: > "$root/var/lib/dpkg/status"
# The scratch root holds no libc: dependencies are the real system's business. It has no
# shell either, so the maintainer scripts (CPack's, which only run ldconfig) run outside it,
# and triggers not at all.
dpkg_root=(dpkg --root="$root" --force-depends --force-script-chrootless --no-triggers
  --log=/dev/null)
"${dpkg_root[@]}" -i "${debs[@]}" >/dev/null
libdir=$(dirname "$(find "$root/usr/lib" -name 'libtarnpak-engine.so.1' | head -1)")
export LD_LIBRARY_PATH="$libdir"
echo "== installed into a scratch root"
"$root/usr/bin/Tarnpak" --version
"$root/usr/bin/grp" --version
MANPATH="$root/usr/share/man" man -P cat grp 2>/dev/null | grep -q "grp" ||
  { echo "man grp finds no page" >&2; exit 1; }
echo "man grp: found"
PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --libs tarnpak-engine
ls "$root/usr/share/bash-completion/completions/"{Tarnpak,grp} >/dev/null
cmake -S examples/embed -B "$work/consumer" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/embed" examples/sample levdemo9.lev >/dev/null
echo "find_package consumer: built and run"

"${dpkg_root[@]}" -r tarnpak libtarnpak-engine-dev libtarnpak-engine1 >/dev/null
left=$(find "$root" -path "$root/var" -prune -o ! -type d -print)
[ -z "$left" ] || { echo "dpkg -r left: $left" >&2; exit 1; }
[ -z "$(find "$root/usr" -mindepth 1 2>/dev/null)" ] || {
  echo "dpkg -r left directories: $(find "$root/usr" -mindepth 1)" >&2
  exit 1
}
echo "removed: nothing left"
