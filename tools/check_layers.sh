#!/usr/bin/env bash
# engine/gf is built in layers. Each layer offers what it does through a header of its own
# (or through the public header alone), and a unit includes only layers at or below its own,
# so that the include lines draw the layering. This check fails when a file of engine/gf
# includes a layer above its own or is missing from the order below, and when a module below
# engine/gf (kestin, platform, t_list, debug, stdinputoutput, the public headers) includes
# anything of engine/gf.
#   check_layers.sh ENGINE_DIR
set -euo pipefail
engine="${1:-$(dirname "$0")/../engine}"

# The layers of engine/gf from the bottom up. Each line: the layer (the name of its header,
# where it has one) and the units that belong to it besides its own. The manager's layers come
# first, from the format to gfStart and gfStop; then the jobs on group files (reading them
# for tools, writing them, building, editing, unpacking), which use the format and names only.
layers=(
  "group_format"
  "names"
  "reader"
  "table appended"
  "groups"
  "scan"
  "loose_files"
  "file"
  "cache"
  "find"
  "lifecycle"
  "group_open"
  "write_list"
  "sums sums_file"
  "group_writer copier"
  "collect spellings"
  "builder"
  "group_edit"
  "unpacker unpack_levels unpack_names unpack_tasks unpack_write"
)

declare -A level
for i in "${!layers[@]}"; do
  for name in ${layers[$i]}; do level[$name]=$i; done
done

status=0
for file in "$engine"/gf/*/*.cpp "$engine"/gf/*/*.h; do
  unit=$(basename "$file")
  unit=${unit%.*}
  own=${level[$unit]:-}
  if [ -z "$own" ]; then
    echo "$file: '$unit' is in no layer of the order in $0"
    status=1
    continue
  fi
  while IFS=: read -r line used; do
    below=${level[$used]:-}
    if [ -z "$below" ]; then
      echo "$file:$line: includes '$used', which is in no layer"
      status=1
    elif [ "$below" -gt "$own" ]; then
      echo "$file:$line: '$unit' includes '$used', a layer above its own"
      status=1
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"engine/gf/' "$file" |
           sed -E 's#^([0-9]+):.*"engine/gf/([a-z]+/)?([A-Za-z0-9_]+)\.h".*#\1:\3#')
done

for module in kestin platform t_list debug stdinputoutput include; do
  [ -d "$engine/$module" ] || continue
  pattern='#[[:space:]]*include[[:space:]]*"engine/gf/'
  if found=$(grep -rn --include='*.cpp' --include='*.h' "$pattern" "$engine/$module"); then
    echo "$found"
    echo "engine/$module lies below engine/gf and must not include it"
    status=1
  fi
done

if [ $status -eq 0 ]; then
  echo "every include of engine/gf goes to a layer at or below the includer's"
fi
exit $status
