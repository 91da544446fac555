#!/usr/bin/env bash
# Packs one generated tree with the Linux build and with the Windows build (under Wine), each
# in a different time zone, and checks that the two groups are the same bytes (masks that
# Windows' own search would widen by the 8.3 short names take the same files on both), that the sums
# each writes while packing and each grp sum prints are the same lines (which sha256sum
# accepts), and that each group unpacks with the other tool to the same files.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
linux="$top/${1:-build}/Tarnpak"
windows="$top/${2:-build-mingw}/Tarnpak.exe"
linux_grp="$top/${1:-build}/grp/grp"
windows_grp="$top/${2:-build-mingw}/grp.exe"
wine="$top/tools/wine-run.sh"
out="$(mktemp -d "${TMPDIR:-/tmp}/tarnpak-cross-XXXXXX")"
trap 'rm -rf "$out"' EXIT

game="$out/game"
mkdir -p "$game/levels/deep" "$game/sounds"
head -c 300000 /dev/urandom >"$game/levels/big.lev"
printf 'small' >"$game/readme.txt"
printf 'deep' >"$game/levels/deep/Mixed.Case.dat"
: >"$game/sounds/empty.wav"
head -c 44 /dev/urandom >"$game/sounds/step.wav"
# Short-name traps: Windows' search matches INDEX~1.HTM (index.html) for *.htm, and alike.
mkdir "$game/traps"
for name in Animate.lua~ init.lua index.html index.htm longname.jpeg photo.jpe; do
  printf '%s' "$name" >"$game/traps/$name"
done
printf 'readme.txt\nlevels\\*.* r\nsounds\\*.*\ntraps\\*.lua\ntraps\\*.htm\ntraps\\*.jpe\n' \
  >"$game/group.cfg"
# Dates that fall on different days in the two time zones below, and one odd second.
touch -d '2003-01-01 23:30:00 UTC' "$game/readme.txt"
touch -d '1999-12-31 23:59:59 UTC' "$game/levels/big.lev"
touch -d '2024-02-29 00:15:01 UTC' "$game/levels/deep/Mixed.Case.dat"

mkdir "$out/linux" "$out/windows"
(cd "$out/linux" && TZ=Asia/Tokyo "$linux" --sums packed.sums "$game")
(cd "$out/windows" && TZ=America/New_York "$wine" "$windows" --sums packed.sums "$game")
cmp "$out/linux/newgrp.grp" "$out/windows/newgrp.grp"
echo "the Linux and Windows groups are the same $(stat -c %s "$out/linux/newgrp.grp") bytes"
traps="$("$linux_grp" list "$out/linux/newgrp.grp" | grep '^TRAPS' | tr '\n' ' ')"
[ "$traps" = 'TRAPS\INDEX.HTM TRAPS\INIT.LUA TRAPS\PHOTO.JPE ' ] ||
  { echo "the masks took other files than their long names match: $traps" >&2; exit 1; }
echo "the masks took only what the long names match, on both"

# A name outside ASCII is read in another encoding by each host (UTF-8 on Linux, the ANSI
# code page on Windows): it cannot come out the same, and both builds say so.
mkdir -p "$out/accents/game" "$out/accents/linux" "$out/accents/windows"
printf 'caf' >"$out/accents/game/café.png"
printf '*.png\n' >"$out/accents/game/group.cfg"
for side in linux windows; do
  if [ "$side" = linux ]; then run=("$linux"); else run=("$wine" "$windows"); fi
  (cd "$out/accents/$side" && "${run[@]}" ../game) 2>"$out/accents/$side.err"
  grep -q "is not portable: the name has bytes outside ASCII" "$out/accents/$side.err" ||
    { echo "the $side build did not warn of a name outside ASCII:" >&2
      cat "$out/accents/$side.err" >&2; exit 1; }
done
echo "both builds warn of a name outside ASCII as not portable"

# The sums: written while packing and by grp sum, on both hosts, the same bytes.
"$linux_grp" sum "$out/linux/newgrp.grp" >"$out/linux/grp.sums"
(cd "$out/windows" && "$wine" "$windows_grp" sum newgrp.grp) >"$out/windows/grp.sums"
for sums in "$out/linux/grp.sums" "$out/windows/packed.sums" "$out/windows/grp.sums"; do
  cmp "$out/linux/packed.sums" "$sums"
done
echo "the Linux and Windows sums are the same $(wc -l <"$out/linux/packed.sums") lines"

# Each group unpacked by the other platform's tool.
mkdir "$out/linux/unpacked" "$out/windows/unpacked"
(cd "$out/linux/unpacked" && "$wine" "$windows" ../newgrp.grp)
(cd "$out/windows/unpacked" && "$linux" ../newgrp.grp)
diff -r "$out/linux/unpacked" "$out/windows/unpacked"
cmp "$out/linux/unpacked/LEVELS/BIG.LEV" "$game/levels/big.lev"
cmp "$out/windows/unpacked/LEVELS/DEEP/MIXED.CASE.DAT" "$game/levels/deep/Mixed.Case.dat"
(cd "$out/linux/unpacked" && sha256sum --quiet -c ../packed.sums)
echo "each unpacks with the other tool to the same $(find "$out/linux/unpacked" -type f | wc -l) files, which sha256sum -c finds as summed"

# A patch from that group to a changed one, made on each host: the same bytes, dated alike (a
# file rewritten within its old date tick is stored two seconds after it on both).
cp -a "$game" "$out/game2"
printf 'SMALL' >"$out/game2/readme.txt"
touch -d '2003-01-01 23:30:00 UTC' "$out/game2/readme.txt"
printf 'added' >"$out/game2/levels/added.dat"
touch -d '2010-06-01 08:00:00 UTC' "$out/game2/levels/added.dat"
rm "$out/game2/sounds/step.wav"
mkdir "$out/v2"
(cd "$out/v2" && TZ=Asia/Tokyo "$linux" -q "$out/game2" && mv newgrp.grp "$out/linux/new.grp")
(cd "$out/linux" && "$linux_grp" patch newgrp.grp new.grp patch.grp 2>/dev/null)
cp "$out/linux/new.grp" "$out/windows/"  # its newgrp.grp is the same bytes (above)
(cd "$out/windows" && TZ=America/New_York "$wine" "$windows_grp" patch newgrp.grp new.grp \
  patch.grp 2>/dev/null)
cmp "$out/linux/patch.grp" "$out/windows/patch.grp"
echo "the Linux and Windows patches are the same $(stat -c %s "$out/linux/patch.grp") bytes"
