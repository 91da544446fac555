#!/usr/bin/env bash
# Installs the Python module the ways a user would, each into a fresh venv of Debian's
# python3, with nothing from a package index: `pip install --no-build-isolation` of the
# clone, then packs and reads a group; and the wheel of `python3 -m build --wheel
# --no-isolation`, then runs the module's tests there against the built grp.
#   tools/python-check.sh [build dir]   (default: build; its grp is used by the tests)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$top/${1:-build}"
work="$(mktemp -d "${TMPDIR:-/tmp}/tarnpak-python-XXXXXX")"
trap 'rm -rf "$work"' EXIT
python=/usr/bin/python3

echo "== pip install --no-build-isolation of the clone"
$python -m venv "$work/pip"
"$work/pip/bin/pip" install --no-index --no-build-isolation "$top" >"$work/pip.log" 2>&1 ||
  { cat "$work/pip.log" >&2; exit 1; }
(cd "$work" && "$work/pip/bin/python" -W ignore -c "
import sys, tarnpak
tarnpak.pack(sys.argv[1], 'sample.grp')
group = tarnpak.Group('sample.grp')
assert group.read('readme.txt') and tarnpak.__file__.startswith(sys.argv[2])
print('tarnpak', tarnpak.__version__, 'packed and read', len(group), 'entries')
" "$top/examples/sample" "$work/pip")

echo "== the wheel, in a fresh venv, with the module's tests"
(cd "$top" && $python -m build --wheel --no-isolation --outdir "$work/dist" >"$work/build.log" 2>&1) ||
  { cat "$work/build.log" >&2; exit 1; }
$python -m venv "$work/wheel"
"$work/wheel/bin/pip" install --no-index "$work"/dist/*.whl >/dev/null
(cd "$work" && GRP_EXE="$build/grp/grp" TARNPAK_SAMPLE="$top/examples/sample" \
  "$work/wheel/bin/python" "$top/python/tests/test_tarnpak.py")
