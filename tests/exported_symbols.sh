#!/usr/bin/env bash
# The engine library's exported surface is its public headers, nothing more and nothing less:
# the functions the shared library exports (by name) must be exactly those the public headers
# declare with ENGINE_API, and a public header may include only other public headers.
#   exported_symbols.sh LIBRARY PUBLIC_INCLUDE_DIR
set -euo pipefail
lib="$1"
include="$2"

exported=$(nm -D --defined-only "$lib" | c++filt | awk '$2 ~ /^[TW]$/ { $1 = ""; $2 = ""; print }' |
  sed -e 's/^ *//' | grep -v '^std::' | sed -e 's/(.*//' | sort -u)
declared=$(ls "$include"/tarnpak/*.h | grep -v '/engine_api\.h$' | xargs cat | tr '\n' ' ' |
  tr ';' '\n' | grep -o 'ENGINE_API [^({]*(' | grep -v 'ENGINE_API struct ' |
  sed -e 's/($//' -e 's/.*[ *&]//' | sort -u)

status=0
if ! diff <(echo "$declared") <(echo "$exported") >/tmp/exported_symbols.$$; then
  echo "exported functions differ from the public headers' (< declared only, > exported only):"
  grep '^[<>]' /tmp/exported_symbols.$$
  status=1
fi
rm -f /tmp/exported_symbols.$$
[ -n "$exported" ] || { echo "no exported functions found in $lib"; status=1; }

if grep -n '#include "' "$include"/tarnpak/*.h | grep -v '#include "tarnpak/'; then
  echo "a public header includes a header that is not public"
  status=1
fi
[ $status -eq 0 ] && echo "$(echo "$exported" | wc -l) exported functions, all declared in the public headers"
exit $status
