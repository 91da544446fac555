"""Tests of the Python module: conversions, errors, lifetimes and the GIL, against the built
grp and Tarnpak (GRP_EXE, TARNPAK_EXE) and the shipped sample (TARNPAK_SAMPLE)."""

import contextlib
import errno
import io
import hashlib
import json
import os
import shutil
import signal
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
    offset, directory = 16 + dir_size, []
    for name, body in files:
        directory.append(struct.pack("<H", len(name)) + name)
        directory.append(struct.pack("<iiHH", offset, len(body), 0x2E21, 0x6000))
        offset += len(body)
    data = b"".join(body for _, body in files)
    length = 16 + dir_size + len(data)
    header = b"FPRG" + struct.pack("<III", 1, len(files), dir_size)
    return header + scrambled(b"".join(directory), length) + data


def many_files_group(path, count=3000):
    """A group of count small files in seven levels: an unpack of it with one thread takes
    seconds on these machines."""
    files = [(b"D%d\\F%04d" % (i % 7, i), bytes([i % 251]) * (4000 + i)) for i in range(count)]
    with open(path, "wb") as f:
        f.write(group_bytes(files))
    return files


def in_the_module(error):
    """Whether error was raised inside the package (its traceback passes through it)."""
    tb = error.__traceback__
    while tb:
        if os.path.dirname(tb.tb_frame.f_code.co_filename) == os.path.dirname(tarnpak.__file__):
            return True
        tb = tb.tb_next
    return False


class BusyJob:
    """An unpack of a large group on a thread of its own, holding the module's job lock for
    seconds; entered once it has begun writing."""

    def __init__(self, test):
        self.group, self.dest = test.path("busy.grp"), test.path("busy")
        self.count = len(many_files_group(self.group))
        os.mkdir(self.dest)
        self.thread = threading.Thread(target=self.run)

    def run(self):
        tarnpak.set_threads(1)
        try:
            tarnpak.unpack(self.group, self.dest)
        finally:
            tarnpak.set_threads(0)

    def __enter__(self):
        self.thread.start()
        until = time.monotonic() + 20
        while not os.listdir(self.dest) and time.monotonic() < until:
            time.sleep(0.001)
        return self

    def __exit__(self, *exc):
        self.thread.join()


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
        with self.assertRaises(FileNotFoundError) as e:
            tarnpak.Group(self.path("missing.grp"))
        self.assertIsInstance(e.exception, tarnpak.Error)
        self.assertEqual((e.exception.errno, e.exception.filename),
                         (errno.ENOENT, self.path("missing.grp")))
        self.assertIn("missing.grp", str(e.exception))
        # A NUL would cut the path short in the engine: refused as Python's functions do.
        with self.assertRaises(ValueError):
            tarnpak.pack(SAMPLE, self.path("wanted.grp\0.bak"))
        with self.assertRaises(ValueError):
            tarnpak.Group(self.path("bad.grp\0x"))
        self.assertFalse(os.path.exists(self.path("wanted.grp")))

    def test_os_failures_outside_the_engine_are_tarnpak_errors(self):
        out, _ = self.packed_sample()
        with open(self.path("file"), "wb") as f:
            f.write(b"x")
        for dest, kind in ((self.path("file"), FileExistsError),
                           (self.path("file", "below"), NotADirectoryError)):
            for call in (lambda: tarnpak.unpack(out, dest),
                         lambda: tarnpak.Group(out).extract(dest)):
                with self.assertRaises(kind) as e:
                    call()
                self.assertIsInstance(e.exception, tarnpak.Error)
                self.assertIn(dest, str(e.exception))
        # A relative path needs the current directory, which may be gone.
        gone = self.path("gone")
        os.mkdir(gone)
        self.addCleanup(os.chdir, os.getcwd())
        os.chdir(gone)
        os.rmdir(gone)
        with self.assertRaises(FileNotFoundError) as e:
            tarnpak.unpack(out, "relative")
        self.assertIsInstance(e.exception, tarnpak.Error)

    def test_seek_checks_whence_and_range(self):
        out, _ = self.packed_sample()
        root = self.path("root")
        os.mkdir(root)
        shutil.copy(out, os.path.join(root, "data.grp"))
        with tarnpak.Group(out) as group, tarnpak.Manager(root) as manager:
            for f in (group.open("readme.txt"), manager.open("readme.txt")):
                with self.assertRaises(ValueError):
                    f.seek(0, 3)
                with self.assertRaises(OverflowError):
                    f.seek(2 ** 64)
                f.seek(1 << 40)
                self.assertEqual(f.read(), b"")
                f.close()


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
        for threads in (1, 4):
            tarnpak.set_threads(threads)
            try:
                dest = self.path("out%d" % threads)
                os.mkdir(dest)
                os.symlink(outside, os.path.join(dest, "LINK"))
                with self.assertRaises(tarnpak.Error) as e:
                    tarnpak.unpack(hostile, dest)
                self.assertIn("'LINK' is a symbolic link", str(e.exception))
                self.assertEqual(os.listdir(outside), [])
                with open(os.path.join(dest, "OK", "A.TXT"), "rb") as f:
                    self.assertEqual(f.read(), b"a")
            finally:
                tarnpak.set_threads(0)


class EditTest(TempDir):
    def test_add_replace_remove_and_create(self):
        out, _ = self.packed_sample()
        src = self.path("src")
        os.makedirs(os.path.join(src, "maps"))
        with open(os.path.join(src, "maps", "e1m1.map"), "wb") as f:
            f.write(b"map one")
        with open(os.path.join(src, "readme.txt"), "wb") as f:
            f.write(b"new readme")
        group = tarnpak.Group(out)
        before = len(group)
        group.add(["maps", "readme.txt"], root=src)
        self.assertEqual((len(group), group.read("maps/e1m1.map"), group.read("README.TXT")),
                         (before + 1, b"map one", b"new readme"))
        group.remove(["Maps/E1M1.map"])
        self.assertNotIn("maps/e1m1.map", group)
        with self.assertRaises(tarnpak.Error):
            group.remove(["no/such.name"])
        with self.assertRaises(FileNotFoundError):
            group.add(["absent.txt"], root=src)
        self.assertEqual(len(tarnpak.Group(out)), before)  # a refused edit changes nothing
        made = tarnpak.Group.create(self.path("new.grp"), ["maps"], root=src)
        self.assertEqual([e.name for e in made], ["MAPS\\E1M1.MAP"])


class PatchTest(TempDir):
    def test_patch_holds_what_changed_dated_to_win(self):
        old, new = self.path("old.grp"), self.path("new.grp")
        for path, files in ((old, [(b"GONE.TXT", b"x"), (b"SAME.TXT", b"same"),
                                   (b"TICK.TXT", b"abc")]),
                            (new, [(b"ADDED.TXT", b"new"), (b"SAME.TXT", b"same"),
                                   (b"TICK.TXT", b"abd")])):
            with open(path, "wb") as f:
                f.write(group_bytes(files))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            names = tarnpak.patch(old, new, self.path("patch.grp"))
        self.assertEqual([(n.name, n.change, n.redated) for n in names],
                         [("ADDED.TXT", "added", False), ("GONE.TXT", "stays visible", False),
                          ("TICK.TXT", "changed", True)])
        self.assertEqual(names[2].mtime.isoformat(), "2003-01-01T12:00:02+00:00")
        said = " ".join(str(w.message) for w in caught)
        self.assertIn("stays visible: a patch cannot remove it", said)
        self.assertIn("the patch stores it dated 2003-01-01T12:00:02Z", said)
        self.assertEqual([e.name for e in tarnpak.Group(self.path("patch.grp"))],
                         ["ADDED.TXT", "TICK.TXT"])
        with self.assertRaises(tarnpak.Error):
            tarnpak.patch(old, new, old)
        self.assertEqual(len(tarnpak.Group(old)), 3)


class InterruptTest(TempDir):
    def test_ctrl_c_stops_an_unpack_leaving_whole_files(self):
        files = many_files_group(self.path("many.grp"))
        dest = self.path("out")
        os.mkdir(dest)
        sent = []

        def interrupt_once_writing():
            until = time.monotonic() + 20
            while not os.listdir(dest) and time.monotonic() < until:
                time.sleep(0.001)
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)

        tarnpak.set_threads(1)  # the slowest unpack: it must still be running when hit
        t = threading.Thread(target=interrupt_once_writing)
        t.start()
        try:
            with self.assertRaises(KeyboardInterrupt):
                tarnpak.unpack(self.path("many.grp"), dest)
                time.sleep(5)  # finished before the signal came: it arrives here
            raised = time.monotonic()
        finally:
            t.join()
            tarnpak.set_threads(0)
        self.assertLess(raised - sent[0], 0.5)
        written = [os.path.join(d, n) for d, _, names in os.walk(dest) for n in names]
        self.assertLess(len(written), len(files))
        for path in written:
            i = int(path[-4:])
            with open(path, "rb") as f:
                self.assertEqual(f.read(), files[i][1], path)

    def test_a_job_waiting_for_another_takes_ctrl_c(self):
        # The waiting job used to sit in the job lock, deaf to Ctrl-C, until the other ended.
        small = self.path("small.grp")
        with open(small, "wb") as f:
            f.write(group_bytes([(b"A.TXT", b"a")]))
        with BusyJob(self) as busy:
            timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
            timer.start()
            try:
                with self.assertRaises(KeyboardInterrupt):
                    tarnpak.unpack(small, self.path("waiting"))
                    time.sleep(20)  # it returned at once: the signal arrives here
                busy_written = sum(len(names) for _, _, names in os.walk(busy.dest))
            finally:
                timer.join()
        self.assertLess(busy_written, busy.count,
                        "the interrupt came only when the other job ended")
        self.assertEqual(os.listdir(self.path("waiting")), [])

    def test_an_interrupt_after_the_commit_is_raised_after_the_call(self):
        # A KeyboardInterrupt out of a call means the old group is as it was. A Ctrl-C that
        # comes once the new group is in place used to be raised inside the call anyway.
        out, sums = self.path("out.grp"), self.path("out.sums")
        old = group_bytes([(b"OLD.TXT", b"the old group")])
        src = self.path("src")
        os.mkdir(src)
        with open(os.path.join(src, "new.txt"), "wb") as f:
            f.write(b"added")
        late = 0
        for k in range(60):
            with open(out, "wb") as f:
                f.write(old)
            group = tarnpak.Group(out) if k % 2 else None
            timer = threading.Timer(0.0004 * (k // 2), os.kill, (os.getpid(), signal.SIGINT))
            caught = None
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    timer.start()
                    if group:
                        group.add(["new.txt"], root=src)
                    else:
                        tarnpak.pack(SAMPLE, out, sums=sums)
                    timer.join()
                    time.sleep(1)  # the signal came after the call: it is raised here
            except KeyboardInterrupt as e:
                caught = e
            timer.join()
            with open(out, "rb") as f:
                now = f.read()
            if caught is not None and in_the_module(caught):
                self.assertEqual(now, old,
                                 "round %d: interrupted, but the new group is in place" % k)
            elif now != old:
                late += 1
                if group:
                    self.assertIn("NEW.TXT", group)  # the Group reads the new group
                else:
                    self.assertTrue(os.path.exists(sums))
        self.assertGreater(late, 0)


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

    def test_a_root_that_is_no_directory_is_refused(self):
        with open(self.path("file"), "wb") as f:
            f.write(b"not a directory")
        for root, kind in ((self.path("missing"), FileNotFoundError),
                           (self.path("file"), NotADirectoryError)):
            with self.assertRaises(kind) as e:
                with tarnpak.Manager(root):
                    pass
            self.assertIsInstance(e.exception, tarnpak.Error)
            self.assertEqual(e.exception.filename, root)
            self.assertIn("cannot read game directory", str(e.exception))
        with tarnpak.Manager(self.tmp) as manager:  # the refusals left the manager free
            self.assertEqual([r.name for r in manager.table()], ["FILE"])


class SumsTest(TempDir):
    def test_sums_are_those_of_grp_sum_and_hashlib(self):
        out, sums = self.path("sample.grp"), self.path("sample.sums")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            tarnpak.pack(SAMPLE, out, sums=sums)
        printed = subprocess.run([GRP, "sum", out], check=True, capture_output=True).stdout
        with open(sums, "rb") as f:
            self.assertEqual(f.read(), printed)
        group = tarnpak.Group(out)
        listed = group.sums()
        # Named as grp sum names them: '/' between levels. No name is stored twice here.
        self.assertEqual(list(listed), [e.name.replace("\\", "/") for e in group])
        self.assertIn("SOUNDS/STEP.WAV", listed)
        for name in listed:
            self.assertEqual(listed[name], hashlib.sha256(group.read(name)).hexdigest())
            self.assertEqual(group.sha256(name.lower()), listed[name])
        lines = ["%s  %s" % (listed[n], n) for n in listed]
        self.assertTrue(printed.startswith(b"# tarnpak group "))  # the version they are of
        self.assertEqual(printed.decode().splitlines()[1:], lines)
        with open(self.path("twice.grp"), "wb") as f:  # an unpack leaves the later copy
            f.write(group_bytes([(b"A.TXT", b"first"), (b"A.TXT", b"later")]))
        self.assertEqual(tarnpak.Group(self.path("twice.grp")).sums(),
                         {"A.TXT": hashlib.sha256(b"later").hexdigest()})


class ThreadTest(TempDir):
    def assert_other_threads_run(self, call):
        stamps, stop = [], threading.Event()

        def stamper():
            while not stop.is_set():
                time.sleep(0.001)
                stamps.append(time.monotonic())

        t = threading.Thread(target=stamper)
        t.start()
        inside, until, result = 0, time.monotonic() + 10, None  # a loaded machine may starve it
        while time.monotonic() < until and inside < 2:
            result = None
            time.sleep(0.005)
            t0 = time.monotonic()
            result = call()
            half = (t0 + time.monotonic()) / 2
            inside = sum(t0 < s < half for s in list(stamps))
        stop.set()
        t.join()
        self.assertGreaterEqual(inside, 2)
        return result

    def test_reads_let_other_threads_run(self):
        # While one thread reads (or hashes) a large entry, another stamps the clock between
        # short sleeps. With the GIL kept during the call, stamps can be taken only at the
        # bytecodes around it, a millisecond apart: never two in the first half of it.
        big = self.path("big.grp")
        with open(big, "wb") as f:
            f.write(group_bytes([(b"BIG.DAT", bytes(48 << 20))]))
        group = tarnpak.Group(big)
        index = group._group.find("big.dat")  # the core's call alone between the stamps
        data = self.assert_other_threads_run(lambda: group._group.read(index))
        self.assertEqual(len(data), 48 << 20)
        digest = self.assert_other_threads_run(lambda: group._group.sha256(index))
        self.assertEqual(digest, hashlib.sha256(bytes(48 << 20)).hexdigest())
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


class ThreadSafetyTest(TempDir):
    def test_closes_and_stops_racing_reads_raise_valueerror(self):
        root = self.path("root")
        os.mkdir(root)
        body = b"x" * (4 << 20)
        with open(os.path.join(root, "big.dat"), "wb") as f:
            f.write(body)
        out, _ = self.packed_sample()
        for round_ in range(40):
            manager = tarnpak.Manager(root).start()
            f = manager.open("big.dat")
            results = []
            together = threading.Barrier(3)

            def read():
                together.wait()
                try:
                    results.append(f.read())
                except ValueError:
                    results.append("closed")

            # Two closes (or a close and the stop) at once used to free the handle twice;
            # a read meeting them returned b"".
            ending = [f.close, f.close] if round_ % 2 else [f.close, manager.stop]
            threads = [threading.Thread(target=lambda t=t: (together.wait(), t()))
                       for t in ending] + [threading.Thread(target=read)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            manager.stop()
            self.assertTrue(results[0] == body or results[0] == "closed",
                            "a read meeting a close gave %d bytes" % len(results[0]))

        # Two threads reading one Group while a third closes it.
        group = tarnpak.Group(out)
        names = [e.name for e in group]
        outcomes = []

        def read_group():
            try:
                for _ in range(200):
                    for n in names:
                        group.read(n)
                outcomes.append("read")
            except ValueError:
                outcomes.append("closed")

        threads = [threading.Thread(target=read_group) for _ in range(2)]
        for t in threads:
            t.start()
        time.sleep(0.01)
        group.close()
        for t in threads:
            t.join()
        self.assertEqual(len(outcomes), 2)

    def test_unpack_leaves_the_current_directory_alone(self):
        out, _ = self.packed_sample()
        here = self.path("here")
        os.mkdir(here)
        self.addCleanup(os.chdir, os.getcwd())
        os.chdir(here)
        stop, made = threading.Event(), []

        def write_relative():
            n = 0
            while not stop.is_set():
                name = "relative-%d.txt" % n
                with open(name, "w") as f:
                    f.write("x")
                made.append(name)
                n += 1

        t = threading.Thread(target=write_relative)
        t.start()
        try:
            for k in range(20):
                tarnpak.unpack(out, self.path("dest%d" % k))
        finally:
            stop.set()
            t.join()
        self.assertEqual(sorted(os.listdir(here)), sorted(made))
        for k in range(20):
            self.assertFalse([n for n in os.listdir(self.path("dest%d" % k)) if n.startswith("relative")])


class ForkTest(TempDir):
    def test_a_child_forked_during_a_job_runs_jobs(self):
        # The child used to inherit the job lock held by the parent's other thread: its first
        # job waited for a thread that does not exist in it.
        root = self.path("root")
        os.mkdir(root)
        with open(os.path.join(root, "loose.txt"), "wb") as f:
            f.write(b"loose")
        manager = tarnpak.Manager(root).start()
        self.addCleanup(manager.stop)
        read_end, write_end = os.pipe()
        with BusyJob(self):
            pid = os.fork()
            if pid == 0:  # the child: reports through the pipe, never returns
                outcome = []
                try:
                    os.close(read_end)
                    with warnings.catch_warnings():
                        warnings.simplefilter("ignore")
                        tarnpak.pack(SAMPLE, self.path("child.grp"))
                    outcome.append(len(tarnpak.Group(self.path("child.grp"))))
                    for refused in (manager.table, lambda: tarnpak.Manager(root).start()):
                        try:
                            refused()
                            outcome.append("not refused")
                        except tarnpak.Error as e:
                            outcome.append("fork" in str(e))
                    manager.stop()
                except BaseException as e:
                    outcome.append(repr(e))
                finally:
                    os.write(write_end, repr(outcome).encode())
                    os._exit(0)
            os.close(write_end)
            until = time.monotonic() + 30
            while os.waitpid(pid, os.WNOHANG) == (0, 0) and time.monotonic() < until:
                time.sleep(0.05)
            hung = time.monotonic() >= until
            if hung:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            with os.fdopen(read_end, "rb") as r:
                told = r.read().decode()
        self.assertFalse(hung, "the child hung at its first job")
        self.assertEqual(told, repr([len(tarnpak.Group(self.path("child.grp"))), True, True]))
        self.assertEqual(manager.table()[0].name, "LOOSE.TXT")  # the parent's manager still works


class ReadmeTest(TempDir):
    def test_the_readme_example_runs_as_written(self):
        """The README's Python example, taken from README.md, run in the clone's layout
        (examples/sample below the working directory), so that the two cannot drift."""
        readme = os.path.join(os.path.dirname(os.path.dirname(SAMPLE)), "README.md")
        with open(readme, encoding="utf-8") as f:
            text = f.read()
        section = text[text.index("## The Python module"):]
        start = section.index("```python\n") + len("```python\n")
        example = section[start:section.index("```", start)]
        shutil.copytree(SAMPLE, self.path("examples", "sample"))
        here = os.getcwd()
        os.chdir(self.tmp)
        self.addCleanup(os.chdir, here)
        printed = io.StringIO()
        with warnings.catch_warnings(), contextlib.redirect_stdout(printed):
            warnings.simplefilter("ignore")  # the sample's build list has a slip on purpose
            exec(compile(example, readme, "exec"), {})
        self.assertIn("SOUNDS\\STEP.WAV", printed.getvalue())
        self.assertTrue(os.path.isfile(self.path("unpacked", "SOUNDS", "STEP.WAV")))

    def test_the_help_example_is_valid_python(self):
        """The example help(tarnpak) shows compiles as shown: no escape Python would take."""
        lines = tarnpak.__doc__.split("\n\n")[1]
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            compile(lines.replace("\n    ", "\n").strip(), "help(tarnpak)", "exec")


if __name__ == "__main__":
    unittest.main()
