#!/usr/bin/env bash
# Times Tarnpak against GNU tar (and bsdtar when installed) on the same generated tree of
# small files, alternating the tools in one run, and prints medians and ratios.
#   bench/compare_tar.sh [files] [rounds]      (defaults: 20000 files, 7 rounds)
# Uses the release build in build-bench (made when missing).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
files="${1:-20000}"
rounds="${2:-7}"
tool="$top/build-bench/Tarnpak"
if [ ! -x "$tool" ]; then
  (cd "$top" && cmake --preset bench >/dev/null && cmake --build --preset bench >/dev/null)
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/tarnpak-bench-XXXXXX")"
trap 'rm -rf "$work"' EXIT
tree="$work/tree"

echo "generating $files files under $tree"
python3 - "$tree" "$files" <<'PY'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
rnd = random.Random(7)
for i in range(count):
    d = os.path.join(root, "dir%03d" % (i % 200), "sub%d" % (i % 7))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "file%05d.dat" % i), "wb") as f:
        f.write(rnd.randbytes(rnd.randint(64, 4096)))
with open(os.path.join(root, "group.cfg"), "w") as f:
    f.write("*.* r\n")
PY
(cd "$work" && "$tool" "$tree")
mv "$work/newgrp.grp" "$work/tree.grp"
tar -cf "$work/tree.tar" -C "$tree" .

# A fresh output directory in an unused area of the disk for every run.
fresh() {
  local d="$work/out.$RANDOM$RANDOM"
  mkdir "$d"
  chattr +T "$d" 2>/dev/null || true
  echo "$d"
}

# Runs a command in a fresh directory and prints its wall time in seconds.
timed() {
  local d
  d="$(fresh)"
  sync
  local start end
  start=$(date +%s.%N)
  (cd "$d" && "$@" >/dev/null)
  end=$(date +%s.%N)
  rm -rf "$d"
  echo "$end - $start" | bc -l
}

median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

declare -A times
tools=(tarnpak gnutar)
command -v bsdtar >/dev/null && tools+=(bsdtar)

run_job() {  # job tool
  case "$1:$2" in
    unpack:tarnpak) timed "$tool" "$work/tree.grp" ;;
    unpack:gnutar) timed tar -xf "$work/tree.tar" ;;
    unpack:bsdtar) timed bsdtar -xf "$work/tree.tar" ;;
    pack:tarnpak) timed "$tool" "$tree" ;;
    pack:gnutar) timed tar -cf out.tar -C "$tree" . ;;
    pack:bsdtar) timed bsdtar -cf out.tar -C "$tree" . ;;
  esac
}

for job in unpack pack; do
  for ((r = 0; r < rounds; r++)); do
    for t in "${tools[@]}"; do
      times[$job:$t]+="$(run_job "$job" "$t") "
    done
  done
  base=$(echo ${times[$job:gnutar]} | tr ' ' '\n' | median)
  for t in "${tools[@]}"; do
    m=$(echo ${times[$job:$t]} | tr ' ' '\n' | median)
    printf '%-7s %-8s median %.3f s   ratio to GNU tar %.2f\n' "$job" "$t" "$m" "$(echo "$m / $base" | bc -l)"
  done
done
