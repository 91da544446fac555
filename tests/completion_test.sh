#!/usr/bin/env bash
# Loads the bash completion of Tarnpak and grp and completes a few words: subcommands,
# options, .grp files and directories, and the stored names of the group on the line.
#   tests/completion_test.sh COMPLETION_SCRIPT GRP
set -euo pipefail
script=$(realpath "$1")
grp_exe=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/here/game/maps"
ln -s "$grp_exe" "$work/bin/grp"
PATH=$work/bin:$PATH
cd "$work/here"
printf 'readme\n' > game/readme.txt
printf 'map\n' > game/maps/e1m1.map
grp add -C game one.grp readme.txt maps > /dev/null
: > notes.txt

# shellcheck source=/dev/null
source "$script"
failed=0
expect() {  # expect "WANTED REPLIES" COMMAND WORD...: completes the last word
  local wanted=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  "$(complete -p "$1" | sed 's/.* -F \([^ ]*\) .*/\1/')" 2> /dev/null || true
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' ')
  if [ "$got" != "$wanted" ]; then
    echo "FAIL: '$*' gave '$got', wanted '$wanted'" >&2
    failed=1
  fi
}

expect "list" grp li
expect "cat check" grp c
expect "game one.grp" grp list ""
expect "-l" grp list -l
expect "--touch" grp extract one.grp --t
# Stored names a level at a time, with '\' (escaped or quoted) or '/' between levels.
expect 'MAPS\\' grp cat one.grp m
expect 'MAPS\\ README.TXT' grp extract -C game one.grp ""
expect 'MAPS\\E1M1.MAP' grp cat one.grp 'MAPS\\e'
expect 'MAPS\\E1M1.MAP' grp cat one.grp 'maps\\'
expect 'MAPS/E1M1.MAP' grp cat one.grp maps/
expect "'MAPS\\E1M1.MAP" grp rm one.grp "'maps\\e1"
expect '"MAPS\\E1M1.MAP' grp rm one.grp '"MAPS\\'
expect "game" grp extract -C ""
expect "README.TXT" grp rm one.grp re
expect "--dry-run" grp rm --d
expect "patch" grp pa
expect "--sums" grp patch one.grp --s
expect "game one.grp" grp patch one.grp one.grp ""
expect "--json" grp check game --j
expect "game notes.txt one.grp" grp add one.grp ""
expect "--version" Tarnpak --v
expect "game one.grp" Tarnpak ""
expect "game one.grp" Tarnpak -q ""
expect "" Tarnpak game ""
expect "--no-sync" Tarnpak --n
expect "game one.grp" Tarnpak --no-sync ""
expect "game one.grp" Tarnpak --sums s.txt -q ""
expect "--no-sync" Tarnpak -q --sums s.txt --n
expect "" Tarnpak -q game ""
exit $failed
