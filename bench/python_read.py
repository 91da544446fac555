#!/usr/bin/env python3
"""Reading benchmark of the Python module: every file of a 20,000-file group through
tarnpak.Group.read against Python's zipfile reading the same tree from a stored zip (zip -0),
alternating, and the C++ read pass of read_bench ("tarnpak group": gfStart, gfOpen, gfRead)
on the same group in the same run. Ratios are peer time / our time (above 1: tarnpak faster).

    bench/python_read.py [rounds] [files]      (defaults: 7 rounds, 20000 files of 1-16 KiB)

Builds the bench preset (build-bench, which has the module where pybind11 is installed),
installs zip when missing, and works in a fresh directory under $TMPDIR, removed at the end.
Run it with the interpreter the module is built for (/usr/bin/python3).
"""

import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_tree import make_tree  # noqa: E402  (the tree of bench/read_bench.sh)

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(TOP, "build-bench")


def read_group(tarnpak, path):
    group = tarnpak.Group(path)
    total = 0
    for entry in group:
        total += len(group.read(entry.name))
    return total


def read_zip(path):
    total = 0
    with zipfile.ZipFile(path) as z:
        for info in z.infolist():
            if not info.is_dir():
                total += len(z.read(info))
    return total


def timed(fn):
    wall, cpu = time.perf_counter(), time.process_time()
    n = fn()
    return time.perf_counter() - wall, time.process_time() - cpu, n


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    files = int(sys.argv[2]) if len(sys.argv) > 2 else 20000
    subprocess.run([os.path.join(TOP, "tools/install-deps.sh"), "--only", "zip"], check=True)
    subprocess.run("cmake --preset bench >/dev/null && cmake --build --preset bench -j2 >/dev/null",
                   shell=True, check=True, cwd=TOP)
    sys.path.insert(0, os.path.join(BUILD, "python"))
    import tarnpak

    work = tempfile.mkdtemp(prefix="tarnpak-pyread-")
    try:
        small = os.path.join(work, "small")
        tree = os.path.join(small, "tree")
        make_tree(tree, files, 1024, 16384, 40)
        with open(os.path.join(tree, "group.cfg"), "w") as f:
            f.write("*.* r\n")
        os.makedirs(os.path.join(small, "grp"))
        group = os.path.join(small, "grp", "tree.grp")
        tarnpak.pack(tree, group)
        subprocess.run(["zip", "-0", "-r", "-q", "../tree.zip", "."], cwd=tree, check=True)
        archive = os.path.join(small, "tree.zip")
        subprocess.run(["sync"])

        ours, peer = [], []
        want = read_group(tarnpak, group)  # warm-up round: page cache filled for both
        if read_zip(archive) != want:
            sys.exit("python_read: zipfile and tarnpak read different byte counts")
        for r in range(rounds):
            pair = [("tarnpak", lambda: read_group(tarnpak, group), ours),
                    ("zipfile", lambda: read_zip(archive), peer)]
            for name, fn, out in (pair if r % 2 == 0 else pair[::-1]):
                out.append(timed(fn))
        # The C++ read pass of read_bench on the same group, in its own alternation.
        cpp = subprocess.run([os.path.join(BUILD, "bench", "read_bench"), "--rounds", str(rounds),
                              "--only", "read", "--small", small],
                             capture_output=True, text=True, check=True).stdout
        row = re.search(r"^\s*tarnpak group\s+([0-9.]+)", cpp, re.M)
        cpp_total = float(row.group(1)) if row else None

        med = lambda xs, k: statistics.median(x[k] for x in xs)
        print("reading every file of a %d-file group (%.1f MiB), %d rounds, medians; load: %s"
              % (files, want / (1 << 20), rounds, os.getloadavg()[0]))
        print("  %-32s %9s %9s" % ("contender", "wall s", "cpu s"))
        print("  %-32s %9.4f %9.4f" % ("tarnpak.Group.read", med(ours, 0), med(ours, 1)))
        print("  %-32s %9.4f %9.4f" % ("zipfile (zip -0)", med(peer, 0), med(peer, 1)))
        if cpp_total:
            print("  %-32s %9.4f" % ("C++ read_bench 'tarnpak group'", cpp_total))
        print("ratios (peer time / our time; above 1: tarnpak faster):")
        print("  zipfile / tarnpak.Group.read: %.2f wall, %.2f cpu (target >= 5)"
              % (med(peer, 0) / med(ours, 0), med(peer, 1) / med(ours, 1)))
        if cpp_total:
            print("  C++ read pass / tarnpak.Group.read: %.2f wall (target >= 0.67: within 1.5x)"
                  % (cpp_total / med(ours, 0)))
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
