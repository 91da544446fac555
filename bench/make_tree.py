#!/usr/bin/env python3
"""Makes the benchmarks' generated trees: random bytes, 7 subdirectories in each of DIRS
directories, and BIG files of BIGSIZE bytes at the top (if any).

    make_tree.py ROOT FILES MIN MAX DIRS [BIG [BIGSIZE]]
"""
import os
import random
import sys


def make_tree(root, count, lo, hi, dirs, big=0, bigsize=0):
    rnd = random.Random(7)
    pool = rnd.randbytes(1 << 20)
    for i in range(count):
        d = os.path.join(root, "dir%03d" % (i % dirs), "sub%d" % ((i // dirs) % 7))
        os.makedirs(d, exist_ok=True)
        n = rnd.randint(lo, hi)
        at = rnd.randrange(0, len(pool) - n + 1)
        with open(os.path.join(d, "file%06d.dat" % i), "wb") as f:
            f.write(pool[at:at + n])
    for i in range(big):
        with open(os.path.join(root, "big%d.pak" % i), "wb") as f:
            for _ in range(bigsize >> 20):
                f.write(rnd.randbytes(1 << 20))


if __name__ == "__main__":
    make_tree(sys.argv[1], *(int(a) for a in sys.argv[2:]))
