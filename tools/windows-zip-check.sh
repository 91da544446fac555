#!/usr/bin/env bash
# Makes the Windows zip of a mingw build (cpack -G ZIP), unpacks it into a directory of its
# own and runs Tarnpak.exe and grp.exe from there under Wine, started from another directory:
# a pack and an unpack of the sample, and grp's listing of the group.
#   tools/windows-zip-check.sh [mingw build dir]   (default: build-mingw)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$top/${1:-build-mingw}"
rm -rf "$build/packages"
(cd "$build" && cpack -G ZIP >/dev/null)
zip=$(ls "$build"/packages/*.zip)
echo "== $(basename "$zip")"
unzip -l "$zip" | awk 'NR > 3 && $4 { print "  " $4 }'
work="$(mktemp -d "${TMPDIR:-/tmp}/tarnpak-zip-XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir "$work/unzipped" "$work/elsewhere"
(cd "$work/unzipped" && unzip -q "$zip")
bin=$(dirname "$(find "$work/unzipped" -name Tarnpak.exe)")
for f in Tarnpak.exe grp.exe tarnpak-engine.dll ../README.md; do
  [ -f "$bin/$f" ] || { echo "the zip lacks $f" >&2; exit 1; }
done
[ -z "$(find "$work/unzipped" -name '*.h')" ] || { echo "the zip holds headers" >&2; exit 1; }
cd "$work/elsewhere"
"$top/tools/wine-run.sh" "$bin/Tarnpak.exe" --version
"$top/tools/wine-run.sh" "$bin/Tarnpak.exe" "$top/examples/sample" 2>/dev/null
# The whole listing first: head closing the pipe early would end grp with a failure status.
"$top/tools/wine-run.sh" "$bin/grp.exe" list newgrp.grp >"$work/list"
head -3 "$work/list"
# A reader that stops early (head) leaves grp quiet, as on Linux: a listing longer than a
# pipe holds.
mkdir -p many/files && printf '*.* r\n' >many/group.cfg
for ((i = 0; i < 4000; i++)); do : >"many/files/a_long_file_name_$i.txt"; done
(cd many && "$top/tools/wine-run.sh" "$bin/Tarnpak.exe" -q . >/dev/null)
"$top/tools/wine-run.sh" "$bin/grp.exe" list many/newgrp.grp 2>"$work/err" | head -n 1 >/dev/null || true
[ ! -s "$work/err" ] || { echo "grp.exe complained of a closed pipe: $(cat "$work/err")" >&2; exit 1; }
"$top/tools/wine-run.sh" "$bin/grp.exe" mount newgrp.grp mnt 2>"$work/err" && exit 1
grep -q "needs a FUSE host" "$work/err" || { echo "grp.exe mount: $(cat "$work/err")" >&2; exit 1; }
mkdir out && cd out
"$top/tools/wine-run.sh" "$bin/Tarnpak.exe" ../newgrp.grp
[ -n "$(ls)" ] || { echo "the unpack wrote nothing" >&2; exit 1; }
echo "unpacked: $(find . -type f | wc -l) files"
