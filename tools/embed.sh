#!/usr/bin/env bash
# Installs the built project into a temporary prefix, then builds examples/embed against
# the installed engine library twice, with its CMake package and with pkg-config, and runs
# both on the sample game directory.
#   tools/embed.sh [build dir]   (default: build)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$top/${1:-build}"
work="$(mktemp -d "${TMPDIR:-/tmp}/tarnpak-embed-XXXXXX")"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null
echo "installed into a temporary prefix:"
(cd "$prefix" && find . -type f -o -type l | sort | sed 's|^\./|  |')

# The installed programs find the installed library by themselves.
status=0
"$prefix/bin/Tarnpak" >/dev/null || status=$?
[ "$status" -eq 2 ] || { echo "the installed Tarnpak did not run (status $status)" >&2; exit 1; }
"$prefix/bin/grp" --help >/dev/null

# The Python module, where the build has it, imports from the prefix alone and reads a
# group with the installed engine library.
site=$(find "$prefix" -name _tarnpak*.so -printf '%h\n' | head -1)
if [ -n "$site" ]; then
  echo "== the Python module"
  (cd "$work" && PYTHONPATH="$(dirname "$site")" /usr/bin/python3 -W ignore -c "
import sys, tarnpak
tarnpak.pack(sys.argv[1], 'sample.grp')
print('tarnpak', tarnpak.__version__, 'from', tarnpak.__file__, '-', len(tarnpak.Group('sample.grp')), 'entries')
assert tarnpak.__file__.startswith(sys.argv[2])
" "$top/examples/sample" "$prefix")
fi

names=(levdemo9.lev SOUNDS\\STEP.WAV pics_index.txt)

echo "== with the CMake package"
cmake -S "$top/examples/embed" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH="$prefix/lib:$prefix/lib/$(gcc -print-multiarch 2>/dev/null || true)" \
  "$work/cmake/embed" "$top/examples/sample" "${names[@]}"

echo "== with pkg-config"
pcdir=$(dirname "$(find "$prefix" -name tarnpak-engine.pc | head -1)")
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs tarnpak-engine)
g++ -std=c++17 -o "$work/embed-pc" "$top/examples/embed/main.cpp" $flags
libdir=$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir tarnpak-engine)
LD_LIBRARY_PATH="$libdir" "$work/embed-pc" "$top/examples/sample" "${names[@]}"

man -l "$prefix/share/man/man1/Tarnpak.1" >/dev/null 2>&1 || [ ! -x "$(command -v man)" ]
echo "embedding OK"
