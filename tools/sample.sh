#!/usr/bin/env bash
# Packs the sample game directory with the built tool, unpacks the group again and checks
# that every file the build list names came back with the same bytes.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-build}"
tool="$top/$build/Tarnpak"
out="$top/$build/sample"
rm -rf "$out" && mkdir -p "$out/unpacked"

(cd "$out" && "$tool" "$top/examples/sample")
echo "packed examples/sample into $build/sample/newgrp.grp ($(stat -c %s "$out/newgrp.grp") bytes)"
(cd "$out/unpacked" && "$tool" ../newgrp.grp)
echo "unpacked it into $build/sample/unpacked:"
(cd "$out/unpacked" && find . -type f | sort | sed 's|^\./|  |')

check() {  # stored name, source file
  cmp -s "$out/unpacked/$1" "$top/examples/sample/$2" || { echo "mismatch: $1" >&2; exit 1; }
}
check LEVDEMO9.LEV levdemo9.lev
check PICS.PPM pics.ppm
check PICS_INDEX.TXT pics_index.txt
check SOUNDS/STEP.WAV sounds/step.wav
check SOUNDS/MATERIAL/METAL.WAV sounds/material/metal.wav
check LEVELS/LEVDEMO9.LEV levels/levdemo9.lev
check README.TXT readme.txt
echo "round trip OK"
