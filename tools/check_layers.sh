#!/usr/bin/env bash
# The rules engine/gf's include lines must keep. engine/gf is four wings, one folder each:
# base (the group format, names, opening a group), manager (the file manager behind gfStart),
# pack (the jobs that write groups) and unpack (the job that writes files from a group).
#   - The jobs (pack, unpack) never include the manager; the manager never includes a job;
#     the pack and unpack wings never include each other; the base includes no other wing.
#     So every arrow between wings goes into the base.
#   - Inside a wing the units stand in one straight order of layers, and a unit includes only
#     layers at or below its own.
#   - Nothing below engine/gf (kestin, platform, t_list, debug, stdinputoutput, the public
#     headers: every other folder of the engine) includes engine/gf, and below it the
#     modules keep their own order: (stdinputoutput, t_list, debug) -> kestin -> platform.
#   - engine/gf's units include each other only as "engine/gf/WING/NAME.h", so these lines
#     are all there is to check; every file lies in a wing folder and in its wing's order.
# Fails, naming the file, the line and the rule, when an include breaks one of them.
#   check_layers.sh ENGINE_DIR
set -euo pipefail
engine="${1:-$(dirname "$0")/../engine}"
gf="$engine/gf"

# Each wing's layers from the bottom up, separated by '|'; a layer is the name of its header
# (where it has one) and the units that belong to it besides.
declare -A layers=(
  [base]="group_format | names | group_open"
  [manager]="reader | table appended | groups | scan | loose_files | file | cache_list | cache | find | lifecycle"
  [pack]="write_list | range_compare | sums sums_file | group_writer copier | looks | collect spellings found | builder | group_edit group_patch"
  [unpack]="unpack_listing | unpack_met | unpack_write | unpack_levels | unpack_tasks | unpacker"
)
# The wings each wing may include besides itself.
declare -A may_use=([base]="" [manager]="base" [pack]="base" [unpack]="base")

# The rule an include from one wing into another breaks.
broken_rule() {
  case "$1:$2" in
    base:*) echo "the base includes no other wing" ;;
    manager:*) echo "the manager never includes a job" ;;
    *:manager) echo "the jobs never include the manager" ;;
    *) echo "the pack and unpack wings never include each other" ;;
  esac
}

declare -A level
for wing in "${!layers[@]}"; do
  i=0
  IFS='|' read -ra steps <<<"${layers[$wing]}"
  for step in "${steps[@]}"; do
    for unit in $step; do level[$wing/$unit]=$i; done
    i=$((i + 1))
  done
done

status=0
fail() { echo "$*"; status=1; }

while IFS= read -r -d '' file; do
  relative=${file#"$gf"/}
  wing=${relative%%/*}
  unit=${file##*/}
  unit=${unit%.*}
  if [ -z "${layers[$wing]+set}" ] || [ "$relative" != "$wing/$unit.${file##*.}" ]; then
    fail "$file: lies in no wing folder of engine/gf (base, manager, pack, unpack)"
    continue
  fi
  own=${level[$wing/$unit]:-}
  if [ -z "$own" ]; then
    fail "$file: '$unit' is in no layer of the $wing wing's order in $0"
    continue
  fi
  while IFS=: read -r line included; do
    case "$included" in
      engine/gf/*/*.h) used=${included#engine/gf/}; used=${used%.h} ;;
      engine/gf/*) fail "$file:$line: includes '$included', which is in no wing"; continue ;;
      engine/* | tarnpak/*) continue ;;
      *) fail "$file:$line: includes '$included'; engine/gf includes its own headers as" \
              "\"engine/gf/WING/NAME.h\" and the others as \"engine/...\" or \"tarnpak/...\""
         continue ;;
    esac
    used_wing=${used%%/*}
    below=${level[$used]:-}
    if [ -z "$below" ] || [ ! -f "$gf/$used.h" ]; then
      fail "$file:$line: includes '$included', which is no header of a wing's order"
    elif [ "$used_wing" = "$wing" ]; then
      if [ "$below" -gt "$own" ]; then
        fail "$file:$line: '$unit' includes '${used#*/}', a layer above its own in the $wing wing"
      fi
    elif [[ " ${may_use[$wing]} " != *" $used_wing "* ]]; then
      fail "$file:$line: the $wing wing includes the $used_wing wing ('$used'):" \
           "$(broken_rule "$wing" "$used_wing")"
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*\("\|<engine/\)' "$file" |
           sed -E 's#^([0-9]+):[^"<]*["<]([^">]*)[">].*#\1:\2#')
done < <(find "$gf" -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z)

# Below engine/gf: every other folder of the engine.
for module in "$engine"/*/; do
  module=${module%/}
  [ "$(basename "$module")" = gf ] && continue
  pattern='^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]engine/gf/'
  if found=$(grep -rn --include='*.cpp' --include='*.h' "$pattern" "$module"); then
    fail "$found"$'\n'"engine/$(basename "$module") lies below engine/gf and must not include it"
  fi
done

# And their own order: (stdinputoutput, t_list, debug) -> kestin -> platform. Each rule: a
# module and the modules above it, which it must not include.
rules=(
  "kestin:stdinputoutput t_list debug"
  "platform:kestin stdinputoutput t_list debug"
)
for rule in "${rules[@]}"; do
  module=${rule%%:*}
  [ -d "$engine/$module" ] || continue
  for above in ${rule#*:}; do
    pattern="#[[:space:]]*include[[:space:]]*\"engine/$above/"
    if found=$(grep -rn --include='*.cpp' --include='*.h' "$pattern" "$engine/$module"); then
      fail "$found"$'\n'"engine/$module lies below engine/$above and must not include it"
    fi
  done
done

if [ $status -eq 0 ]; then
  echo "engine/gf keeps its rules: every arrow between wings goes into the base, each wing's"
  echo "includes follow its layer order, and nothing below engine/gf includes it or one above"
fi
exit $status
