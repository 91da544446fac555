#!/usr/bin/env bash
# Times Tarnpak against GNU tar, bsdtar and the squashfs tools (no compression) packing and
# unpacking the same generated trees, alternating the tools in one run, and prints medians,
# ratios and peak memory. Tarnpak and the squashfs tools run with every processor the
# process may use (tarnpak, squashfs) and with one thread (tarnpak1, squashfs1); Tarnpak
# packs durably (its group flushed before it takes its name), and once more with --no-sync
# (nosync, pack only: the difference is the flush's share). Each pack starts after sync.
# The floor (pack only) is the disk's own bound: dd writing the finished group's bytes to a
# new file and flushing them, timed beside the tools: a durable pack cannot be faster, so
# its ratio near 1 says the pack waits for the disk and nothing else.
# BENCH_OLD names another Tarnpak (an older build, say) timed beside as "old".
# BENCH_TOOLS picks the columns (default: every one installed).
#   bench/compare_tar.sh [rounds] [trees...]      (defaults: 5 rounds; small mixed large scale)
# Trees: small (20,000 files of 1-16 KiB in about 230 directories), mixed (5,000 small
# files and 4 of 32 MiB), large (8 files of 64 MiB), scale (5,000, 20,000 and 80,000
# small files, 3 rounds at most), rss (packing 100,000 small files, one round), game (a
# real game's data: the directory BENCH_GAME names, copied; for example Debian's
# wesnoth-1.16-data unpacked with `apt-get download wesnoth-1.16-data && dpkg-deb -x
# wesnoth-1.16-data_*.deb /tmp/wes`, BENCH_GAME=/tmp/wes/usr/share/games/wesnoth/1.16).
# Uses the release build in build-bench (made when missing), or the Tarnpak BENCH_TOOL names.
# Ratios are peer time divided by Tarnpak's time: above 1 means Tarnpak is faster. Unpacked trees are kept until every
# tool has run (see timed); BENCH_SETTLE=0 skips the waits for a quick look.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
rounds="${1:-5}"
shift || true
trees=("$@")
[ ${#trees[@]} -gt 0 ] || trees=(small mixed large scale)
tool="${BENCH_TOOL:-$top/build-bench/Tarnpak}"
if [ -z "${BENCH_TOOL:-}" ] && [ ! -x "$tool" ]; then
  (cd "$top" && cmake --preset bench >/dev/null && cmake --build --preset bench -j2 >/dev/null)
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/tarnpak-bench-XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir "$work/kept"

tools=(tarnpak tarnpak1 nosync floor gnutar)
[ -n "${BENCH_OLD:-}" ] && tools+=(old)
command -v bsdtar >/dev/null && tools+=(bsdtar)
command -v mksquashfs >/dev/null && command -v unsquashfs >/dev/null && tools+=(squashfs squashfs1)
if [ -n "${BENCH_TOOLS:-}" ]; then
  read -r -a tools <<<"$BENCH_TOOLS"
  case " ${tools[*]} " in *" tarnpak "*) ;; *) tools=(tarnpak "${tools[@]}") ;; esac
  case " ${tools[*]} " in *" tarnpak1 "*) ;; *) tools+=(tarnpak1) ;; esac
fi
cpus="$(nproc)"
sqfs=(-noI -noD -noF -noX -no-xattrs -quiet -processors)  # mksquashfs DIR OUT "${sqfs[@]}" N

# make_tree dir smallFiles largeFiles largeMiB
make_tree() {
  python3 - "$@" <<'PY'
import os, random, sys
root, small, large, large_mib = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
rnd = random.Random(7)
dirs = max(7, small // 100)
for i in range(small):
    d = os.path.join(root, "dir%03d" % ((i % dirs) // 7), "sub%d" % (i % 7))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "file%06d.dat" % i), "wb") as f:
        f.write(rnd.randbytes(rnd.randint(1024, 16384)))
os.makedirs(os.path.join(root, "big"), exist_ok=True)
for i in range(large):
    block = rnd.randbytes(1 << 20)  # a block of its own: no file is a copy of another
    with open(os.path.join(root, "big", "blob%d.bin" % i), "wb") as f:
        for _ in range(large_mib):
            f.write(block)
with open(os.path.join(root, "group.cfg"), "w") as f:
    f.write("*.* r\n")
PY
}

# A fresh output directory in an unused area of the disk for every run.
fresh() {
  local d="$work/out.$RANDOM$RANDOM"
  mkdir "$d"
  chattr +T "$d" 2>/dev/null || true
  echo "$d"
}

# Runs a command in a fresh directory; prints its wall time in seconds and its peak RSS
# in KiB. With keep set the directory stays until settle: ext4 without a journal skips
# every inode freed in the last 30 seconds when it makes a file (perf: 86% of an unpack
# right after another tool's output was deleted went to find_inode_bit/recently_deleted),
# so deleting unpacked trees between runs would time the file system, not the tools.
timed() {
  local keep="$1" d start end
  shift
  d="$(fresh)"
  sync
  start=$(date +%s.%N)
  (cd "$d" && /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null)
  end=$(date +%s.%N)
  if [ "$keep" = keep ]; then mv "$d" "$work/kept/"; else rm -rf "$d"; fi
  echo "$(echo "$end - $start" | bc -l) $(tail -1 "$work/rss")"
}

# Deletes the kept trees and waits out the file system's 30 seconds (BENCH_SETTLE).
settle() {
  rm -rf "$work/kept"
  mkdir "$work/kept"
  sync
  sleep "${BENCH_SETTLE:-35}"
}

median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
largest() { sort -g | tail -1; }

run_job() {  # job tool tree
  case "$1:$2" in
    unpack:tarnpak) timed keep "$tool" "$work/$3.grp" ;;
    unpack:tarnpak1) timed keep env TARNPAK_THREADS=1 "$tool" "$work/$3.grp" ;;
    unpack:old) timed keep "$BENCH_OLD" "$work/$3.grp" ;;
    unpack:squashfs) timed keep unsquashfs -q -p "$cpus" -d out "$work/$3.sqfs" ;;
    unpack:squashfs1) timed keep unsquashfs -q -p 1 -d out "$work/$3.sqfs" ;;
    unpack:gnutar) timed keep tar -xf "$work/$3.tar" ;;
    unpack:bsdtar) timed keep bsdtar -xf "$work/$3.tar" ;;
    pack:tarnpak) timed drop "$tool" "$work/$3" ;;
    pack:tarnpak1) timed drop env TARNPAK_THREADS=1 "$tool" "$work/$3" ;;
    pack:nosync) timed drop "$tool" --no-sync "$work/$3" ;;
    pack:floor) timed drop dd if="$work/$3.grp" of=out.grp bs=4M conv=fdatasync status=none ;;
    pack:old) timed drop "$BENCH_OLD" "$work/$3" ;;
    pack:squashfs) timed drop mksquashfs "$work/$3" out.sqfs "${sqfs[@]}" "$cpus" ;;
    pack:squashfs1) timed drop mksquashfs "$work/$3" out.sqfs "${sqfs[@]}" 1 ;;
    pack:gnutar) timed drop tar -cf out.tar -C "$work/$3" . ;;
    pack:bsdtar) timed drop bsdtar -cf out.tar -C "$work/$3" . ;;
  esac
}

declare -A secs rss
# bench_tree name rounds: times every job and tool, alternating the tools each round.
bench_tree() {
  local name="$1" n="$2" job t r out
  (cd "$work" && "$tool" "$work/$name" && mv newgrp.grp "$name.grp")
  tar -cf "$work/$name.tar" -C "$work/$name" .
  if command -v mksquashfs >/dev/null; then
    mksquashfs "$work/$name" "$work/$name.sqfs" "${sqfs[@]}" "$cpus" >/dev/null
  fi
  settle
  for job in pack unpack; do
    for ((r = 0; r < n; r++)); do
      for t in "${tools[@]}"; do
        case "$job:$t" in unpack:nosync | unpack:floor) continue ;; esac  # unpacks flush nothing
        out="$(run_job "$job" "$t" "$name")"
        secs[$name:$job:$t]+="${out% *} "
        rss[$name:$job:$t]+="${out#* } "
      done
    done
  done
}

# The medians of one tree, with ratios to Tarnpak's and the largest peak RSS.
report_tree() {
  local name="$1" files="$2" job t m ours ours1 ratio ratio1 kib
  for job in pack unpack; do
    ours=$(echo ${secs[$name:$job:tarnpak]} | tr ' ' '\n' | median)
    ours1=$(echo ${secs[$name:$job:tarnpak1]} | tr ' ' '\n' | median)
    for t in "${tools[@]}"; do
      case "$job:$t" in unpack:nosync | unpack:floor) continue ;; esac
      m=$(echo ${secs[$name:$job:$t]} | tr ' ' '\n' | median)
      ratio=$(echo "$m / $ours" | bc -l)
      ratio1=$(echo "$m / $ours1" | bc -l)
      kib=$(echo ${rss[$name:$job:$t]} | tr ' ' '\n' | largest)
      printf '%-7s %-7s %-9s median %7.3f s  %6.1f us/file  ratio %5.2f  1-thread ratio %5.2f  peak RSS %6.1f MiB\n' \
        "$name" "$job" "$t" "$m" "$(echo "$m * 1000000 / $files" | bc -l)" "$ratio" "$ratio1" \
        "$(echo "$kib / 1024" | bc -l)"
    done
  done
}

# Times the tree at $work/name (rounds) and reports it with its file count.
measure() {
  bench_tree "$1" "$2"
  settle
  report_tree "$1" "$(find "$work/$1" -type f ! -name group.cfg | wc -l)"
  rm -rf "${work:?}/$1" "$work/$1.grp" "$work/$1.tar" "$work/$1.sqfs"
}

# tree name smallFiles largeFiles largeMiB rounds
tree() {
  echo "generating $1: $2 small files, $3 of $4 MiB" >&2
  make_tree "$work/$1" "$2" "$3" "$4"
  measure "$1" "$5"
}

# A copy of a real game's data tree (BENCH_GAME), packed whole.
game() {
  [ -d "${BENCH_GAME:-}" ] || { echo "game: set BENCH_GAME to a game's data directory" >&2; exit 2; }
  cp -a "$BENCH_GAME" "$work/game"
  printf '*.* r\n' >"$work/game/group.cfg"
  measure game "$1"
}

echo "ratio = peer time / Tarnpak time with $cpus threads, 1-thread ratio = peer time / Tarnpak time"
echo "with one thread (above 1: Tarnpak is faster); medians of $rounds rounds, outputs in fresh directories"
echo "targets, 2 threads, durable: pack >= 2 x tar on small, >= 1.8 x on game, >= 1.5 x on large;"
echo "unpack >= 2 x tar on all three and >= 1.2 x bsdtar on large; the floor's ratio is the share"
echo "of a durable pack's time the disk needs for the group's bytes alone (1: the disk's bound)"
echo "load before: $(uptime)"
few=$((rounds < 3 ? rounds : 3))
for t in "${trees[@]}"; do
  case "$t" in
    small) tree small 20000 0 0 "$rounds" ;;
    mixed) tree mixed 5000 4 32 "$rounds" ;;
    large) tree large 0 8 64 "$rounds" ;;
    scale) for n in 5000 20000 80000; do tree "s$n" "$n" 0 0 "$few"; done ;;
    rss) tree s100000 100000 0 0 1 ;;
    game) game "$rounds" ;;
    *) echo "unknown tree '$t'" >&2; exit 2 ;;
  esac
done
echo "load after: $(uptime)"
