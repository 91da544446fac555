"""Tests of the Python module: conversions, errors, lifetimes and the GIL, against the built
grp and Tarnpak (GRP_EXE, TARNPAK_EXE) and the shipped sample (TARNPAK_SAMPLE)."""

import json
import os
import shutil
import struct
import subprocess
import tempfile
import threading
import time
import unittest
import warnings

import tarnpak

GRP = os.environ.get("GRP_EXE", "grp")
SAMPLE = os.environ["TARNPAK_SAMPLE"]


def scrambled(directory: bytes, length: int) -> bytes:
    state = (length + 24817) % 65535
    out = bytearray(directory)
    for j in range(len(out)):
        state = (state * 214013 + 2531011) & 0xFFFFFFFF
        out[j] ^= ((state >> 16) & 0x7FFF) % 255
    return bytes(out)


def group_bytes(files):
    """A group file holding (name, data) pairs as given, in that order."""
    dir_size = sum(len(n) + 14 for n, _ in files)
    offset, directory, data = 16 + dir_size, b"", b""
    for name, body in files:
        directory += struct.pack("<H", len(name)) + name
        directory += struct.pack("<iiHH", offset, len(body), 0x2E21, 0x6000)
        offset += len(body)
        data += body
    length = 16 + dir_size + len(data)
    header = b"FPRG" + struct.pack("<III", 1, len(files), dir_size)
    return header + scrambled(directory, length) + data


class TempDir(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tarnpak-py-")
        self.addCleanup(shutil.rmtree, self.tmp)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def packed_sample(self):
        out = self.path("sample.grp")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            tarnpak.pack(SAMPLE, out)
        return out, caught


class ReadingTest(TempDir):
    def test_entries_reads_and_files_match_grp(self):
        out, caught = self.packed_sample()
        # The sample's build list ends at an empty line: a warning, not a failure.
        self.assertTrue(any(issubclass(w.category, tarnpak.TarnpakWarning) for w in caught))
        listed = json.loads(subprocess.run([GRP, "list", "--json", out], check=True,
                                           capture_output=True).stdout)
        group = tarnpak.Group(out)
        self.assertEqual(len(group), len(listed))
        for entry, row in zip(group, listed):
            self.assertEqual((entry.name, entry.size, entry.offset),
                             (row["name"], row["size"], row["offset"]))
            self.assertEqual(entry.mtime.strftime("%Y-%m-%dT%H:%M:%SZ"), row["mtime"])
            self.assertEqual(entry.mtime.utcoffset().total_seconds(), 0)
            cat = subprocess.run([GRP, "cat", out, entry.name], check=True,
                                 capture_output=True).stdout
            self.assertEqual(group.read(entry.name), cat)
        self.assertEqual(group.read("sounds/step.wav"), group.read(b"SOUNDS\\STEP.WAV"))
        self.assertIn("Pics_Index.txt", group)
        with self.assertRaises(KeyError):
            group.read("no/such.file")
        self.assertEqual(group.verify(), [])

        with group.open("pics_index.txt") as f:
            whole = group.read("pics_index.txt")
            self.assertEqual(f.readline(), whole[:whole.index(b"\n") + 1])
            self.assertEqual(f.seek(-4, os.SEEK_END), len(whole) - 4)
            buf = bytearray(10)
            self.assertEqual(f.readinto(buf), 4)
            self.assertEqual(bytes(buf[:4]), whole[-4:])
            self.assertEqual(f.read(), b"")
            f.seek(2)
            self.assertEqual((f.tell(), f.read()), (2, whole[2:]))
        with self.assertRaises(ValueError):
            f.read()

        # A pack replacing the group under its name leaves the Group on the file it read.
        readme = group.read("readme.txt")
        with open(self.path("other.grp"), "wb") as other:
            other.write(group_bytes([(b"README.TXT", b"another group's bytes")]))
        os.replace(self.path("other.grp"), out)
        self.assertEqual(group.read("readme.txt"), readme)
        self.assertEqual(tarnpak.Group(out).read("readme.txt"), b"another group's bytes")
        group.close()
        with self.assertRaises(ValueError):
            group.read("readme.txt")

    def test_errors_are_oserrors_with_the_engines_message(self):
        os.mkdir(self.path("empty"))
        with self.assertRaises(tarnpak.Error) as e:
            tarnpak.pack(self.path("empty"), self.path("x.grp"))
        self.assertIsInstance(e.exception, OSError)
        self.assertIn("group.cfg", str(e.exception))
        self.assertFalse(os.path.exists(self.path("x.grp")))
        with open(self.path("bad.grp"), "wb") as f:
            f.write(b"not a group file at all")
        with self.assertRaises(tarnpak.Error) as e:
            tarnpak.Group(self.path("bad.grp"))
        self.assertIn("bad.grp", str(e.exception))
        with self.assertRaises(tarnpak.Error):
            tarnpak.Group(self.path("missing.grp"))


class ExtractTest(TempDir):
    def test_hostile_names_are_refused_and_the_rest_written(self):
        hostile = self.path("hostile.grp")
        with open(hostile, "wb") as f:
            f.write(group_bytes([(b"..\\EVIL.TXT", b"evil"), (b"GOOD.TXT", b"good"),
                                 (b"SUB\\TWO.TXT", b"two")]))
        group = tarnpak.Group(hostile)
        self.assertEqual(len(group.verify()), 1)
        before = os.getcwd()
        with self.assertRaises(tarnpak.Error) as e:
            group.extract(self.path("out"))
        self.assertIn("EVIL.TXT", str(e.exception))
        self.assertEqual(os.getcwd(), before)
        self.assertFalse(os.path.exists(self.path("EVIL.TXT")))
        with open(self.path("out", "GOOD.TXT"), "rb") as f:
            self.assertEqual(f.read(), b"good")

        group.extract(self.path("some"), names=["sub/two.txt"])
        self.assertEqual(os.listdir(self.path("some")), ["SUB"])
        with self.assertRaises(KeyError):
            group.extract(self.path("none"), names=["absent.txt"])
        with self.assertRaises(tarnpak.Error):
            tarnpak.unpack(hostile, self.path("again"))

    def test_a_slash_is_a_level_and_never_passes_a_link(self):
        hostile = self.path("slash.grp")
        with open(hostile, "wb") as f:
            f.write(group_bytes([(b"LINK/EVIL.TXT", b"evil"), (b"OK/A.TXT", b"a")]))
        self.assertEqual(len(tarnpak.Group(hostile).verify()), 2)
        outside = self.path("outside")
        os.mkdir(outside)
        for threads in ("1", "4"):
            os.environ["TARNPAK_THREADS"] = threads
            try:
                dest = self.path("out" + threads)
                os.mkdir(dest)
                os.symlink(outside, os.path.join(dest, "LINK"))
                with self.assertRaises(tarnpak.Error) as e:
                    tarnpak.unpack(hostile, dest)
                self.assertIn("'LINK' is a symbolic link", str(e.exception))
                self.assertEqual(os.listdir(outside), [])
                with open(os.path.join(dest, "OK", "A.TXT"), "rb") as f:
                    self.assertEqual(f.read(), b"a")
            finally:
                del os.environ["TARNPAK_THREADS"]


class ManagerTest(TempDir):
    def test_sources_lifetime_and_one_at_a_time(self):
        root = self.path("root")
        os.mkdir(root)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            tarnpak.pack(SAMPLE, os.path.join(root, "data.grp"))
        with open(os.path.join(root, "loose.txt"), "wb") as f:
            f.write(b"one\ntwo\n")
        manager = tarnpak.Manager(root)
        with manager:
            with self.assertRaises(tarnpak.Error):
                tarnpak.Manager(root).start()
            sources = {r.name: r.source for r in manager.table()}
            self.assertEqual(sources["LOOSE.TXT"], None)
            self.assertEqual(sources["README.TXT"], "data.grp")
            self.assertEqual(manager.glob("*.txt"), ["LOOSE.TXT", "PICS_INDEX.TXT", "README.TXT"])
            self.assertEqual(manager.glob("sounds/*.wav"), ["SOUNDS\\STEP.WAV"])
            self.assertTrue(manager.exists("sounds/material/METAL.wav"))
            f = manager.open("Loose.txt")
            self.assertEqual([f.readline(), f.tell(), f.read()], [b"one\n", 4, b"two\n"])
            g = manager.open("levels/levdemo9.lev")
            self.assertEqual(g.read(), tarnpak.Group(os.path.join(root, "data.grp")).read(
                "levels\\levdemo9.lev"))
            with self.assertRaises(KeyError):
                manager.open("absent")
        self.assertTrue(f.closed and g.closed)
        for use in (f.read, lambda: g.seek(0), lambda: manager.open("loose.txt"),
                    manager.table, lambda: manager.glob("*")):
            with self.assertRaises(ValueError):
                use()
        with self.assertRaises(tarnpak.Error):
            manager.start()
        with tarnpak.Manager(root) as again:  # the process's manager is free again
            self.assertTrue(again.exists("loose.txt"))


class ThreadTest(TempDir):
    def test_reads_let_other_threads_run(self):
        # While one thread reads a large entry, another stamps the clock between short
        # sleeps. With the GIL kept during the read, stamps can be taken only at the
        # bytecodes around the call, a millisecond apart: never two in the first half of it.
        big = self.path("big.grp")
        with open(big, "wb") as f:
            f.write(group_bytes([(b"BIG.DAT", bytes(48 << 20))]))
        group = tarnpak.Group(big)
        stamps, stop = [], threading.Event()

        def stamper():
            while not stop.is_set():
                time.sleep(0.001)
                stamps.append(time.monotonic())

        t = threading.Thread(target=stamper)
        t.start()
        index = group._group.find("big.dat")  # the core's call alone between the stamps
        inside, until, data = 0, time.monotonic() + 10, None  # a loaded machine may starve it
        while time.monotonic() < until and inside < 2:
            data = None
            time.sleep(0.005)
            t0 = time.monotonic()
            data = group._group.read(index)
            half = (t0 + time.monotonic()) / 2
            inside = sum(t0 < s < half for s in list(stamps))
        stop.set()
        t.join()
        self.assertEqual(len(data), 48 << 20)
        self.assertGreaterEqual(inside, 2)

        out, _ = self.packed_sample()
        group = tarnpak.Group(out)
        want = {e.name: group.read(e.name) for e in group}
        seen = [{}, {}]

        def read_all(k):
            for _ in range(50):
                for e in group:
                    seen[k][e.name] = group.read(e.name)

        threads = [threading.Thread(target=read_all, args=(k,)) for k in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(seen, [want, want])


if __name__ == "__main__":
    unittest.main()
