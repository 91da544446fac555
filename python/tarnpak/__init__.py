r"""Group files (.grp) and the Tarnpak engine's file manager, for pipeline scripts.

    import tarnpak
    tarnpak.pack("game", "game.grp")             # warnings through the warnings module
    with tarnpak.Group("game.grp") as group:
        for entry in group:                      # name, size, mtime (UTC), offset
            print(entry.name, entry.size, entry.mtime.isoformat())
        data = group.read("textures/wall.tga")   # any case, '/' or '\\'
    with tarnpak.Manager("game") as files:       # loose files and groups, newest wins
        with files.open("scripts\\main.cfg") as f:
            first = f.readline()

Failures raise tarnpak.Error, a subclass of OSError carrying the engine's message, with
errno and filename where the engine gave a system reason (then also FileNotFoundError,
PermissionError, ... as open() raises). Calls that read or write files let other Python
threads run meanwhile, and no call changes the process's current directory.

KeyboardInterrupt out of pack, unpack, Group.extract, Group.add, Group.remove or
Group.create means that Ctrl-C stopped the job, or stopped the call before or while it waited
for another thread's job: an older group is as it was, and of an unpack only finished files
are there. A Ctrl-C that comes once the job has ended does not stop it: the call finishes
and the interrupt is raised as it returns, in the caller, with a note saying so.

A child forked (os.fork) while another thread runs a job can run jobs of its own. A Manager
running when the process forked cannot be used in the child: it and any Manager started
there raise Error.
"""

from __future__ import annotations

import atexit
import datetime as _datetime
import functools
import io
import os
import re
import warnings
from typing import (Any, Callable, Dict, Iterable, Iterator, List, NamedTuple, Optional,
                    TypeVar, Union, cast)

from . import _tarnpak
from ._tarnpak import Error

__version__: str = _tarnpak.__version__
__all__ = ["Error", "TarnpakWarning", "Entry", "Record", "Group", "GroupFile", "Manager",
           "ManagerFile", "PatchEntry", "pack", "patch", "unpack", "set_threads", "__version__"]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Name = Union[str, bytes]


# ---- errors ------------------------------------------------------------------------------
# The engine's messages end in the system's reason ("...: No such file or directory"); its
# errno makes the error the OSError subclass open() would raise, and the first quoted name
# is the file the message is about.
_ERRNO_OF_REASON = {os.strerror(n): n for n in range(1, 256)}
_QUOTED = re.compile(r"'((?:[^'\\]|\\.)*)'")
_SUBCLASSES = {}


def _error_str(self) -> str:
    return str(self.args[0]) if self.args else ""


Error.__str__ = _error_str  # the engine's message, not "[Errno N] reason: 'file'"


def _error_class(number: Optional[int]) -> type:
    kind = type(OSError(number, "")) if number else OSError
    if kind is OSError:
        return Error
    if kind not in _SUBCLASSES:
        _SUBCLASSES[kind] = type(kind.__name__, (Error, kind), {"__module__": __name__})
    return _SUBCLASSES[kind]


def _make_error(message: str) -> Error:
    number, reason = None, None
    for line in message.splitlines():
        for cut in range(len(line)):
            if line.startswith(": ", cut) and line[cut + 2:] in _ERRNO_OF_REASON:
                reason = line[cut + 2:]
                number = _ERRNO_OF_REASON[reason]
                break
        if number:
            break
    error = _error_class(number)(message)
    quoted = _QUOTED.search(message)
    error.errno, error.strerror = number, reason
    error.filename = quoted.group(1) if quoted else None
    return error


_tarnpak._set_error_factory(_make_error)

_F = TypeVar("_F", bound=Callable[..., Any])


def _deferring(func: _F) -> _F:
    """func as an entry point of the package: an interrupt after its job's end is raised in
    the caller once it returns, never inside it (see the C++ core's Deferring)."""
    return cast(_F, _tarnpak._Deferring(func))


class TarnpakWarning(UserWarning):
    """A warning of the builder: the group was written, but the build list looks wrong."""


class Entry(NamedTuple):
    """One directory entry of a group file, as stored (the keys of `grp list --json`).

    name: the stored name (backslashes, upper case); bytes that are not UTF-8 appear as
    lone surrogates, as os.fsdecode shows them. mtime: the stored date as an aware datetime
    in UTC, or None when the stored date is no valid date. offset: where the bytes start.
    """
    name: str
    size: int
    mtime: Optional[_datetime.datetime]
    offset: int


class Record(NamedTuple):
    """One record of a running manager's table; source is the group's file name relative
    to the root, or None for a loose file."""
    name: str
    size: int
    mtime: Optional[_datetime.datetime]
    offset: int
    source: Optional[str]


@functools.lru_cache(maxsize=4096)  # the files of one pack mostly share a few dates
def _mtime(date: int, time: int) -> Optional[_datetime.datetime]:
    seconds = _tarnpak.unix_time(date, time)
    if seconds is None:
        return None
    return _datetime.datetime.fromtimestamp(seconds, _datetime.timezone.utc)


def _path(path: PathLike) -> str:
    text = os.fsdecode(path)
    if "\0" in text:  # the engine would take the path up to it: another file
        raise ValueError("embedded null byte")
    try:
        return os.path.abspath(text)  # a relative path needs the current directory
    except OSError as e:
        raise _make_error("cannot find '%s': the current directory: %s"
                          % (text, e.strerror)) from None


def _warn(notes: List[str]) -> None:
    for note in notes:
        warnings.warn(note, TarnpakWarning, stacklevel=3)


def _unpack_into(group: str, dest: PathLike, names: Optional[List[Name]]) -> None:
    dest = _path(dest)
    try:
        os.makedirs(dest, exist_ok=True)
    except OSError as e:
        raise _make_error("cannot create directory '%s': %s" % (dest, e.strerror)) from None
    status, errors = _tarnpak.unpack(group, dest, names)
    if status:
        raise _make_error("\n".join(errors) or "cannot unpack '%s'" % group)


def _position(offset: int, whence: int, current: int, size: int) -> int:
    """The position a seek asks for, checked as io's files check it."""
    offset = offset.__index__()
    if whence not in (io.SEEK_SET, io.SEEK_CUR, io.SEEK_END):
        raise ValueError("invalid whence (%r, should be 0, 1 or 2)" % (whence,))
    target = {io.SEEK_SET: 0, io.SEEK_CUR: current, io.SEEK_END: size}[whence] + offset
    if target < 0:
        raise ValueError("negative seek position %d" % target)
    if target >= 1 << 63:
        raise OverflowError("seek position %d is too large" % target)
    return target


class GroupFile(io.RawIOBase):
    """A stored file of a Group, read-only: read, readinto, readline, seek, tell, iteration
    by lines, and use as a context manager. Each read goes to the group file on disk."""

    def __init__(self, group: "_tarnpak._Group", index: int, entry: Entry) -> None:
        super().__init__()
        self._group = group
        self._index = index
        self._pos = 0
        self.name = entry.name
        self.size = entry.size

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        self._checkClosed()
        view = memoryview(buffer).cast("B")
        if self._pos >= self.size:
            return 0
        n = self._group.read_into(self._index, self._pos, view)
        self._pos += n
        return n

    def readall(self) -> bytes:
        self._checkClosed()
        if self._pos >= self.size:
            return b""
        data = bytearray(self.size - self._pos)
        n = self.readinto(data)
        return bytes(data[:n])

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        self._checkClosed()
        self._pos = _position(offset, whence, self._pos, self.size)
        return self._pos

    def tell(self) -> int:
        self._checkClosed()
        return self._pos


class Group:
    r"""One group file, its directory read once and checked by the engine.

    Iterating gives the entries in directory order. Lookups take a name in any case with
    '/' or '\\' between levels and, of several copies of a name, find the one the file
    manager would use (the later date). The group file stays open until close() (or the
    end of a with block): reads come from the file whose directory was read, even when a
    pack has since replaced the group under its name.
    """

    def __init__(self, path: PathLike) -> None:
        self.path = _path(path)
        self._core = _tarnpak._Group(self.path)
        self._stale = False  # the group was edited since _core was read
        self._entries: Optional[List[Entry]] = None

    @property
    def _group(self) -> "_tarnpak._Group":
        if self._stale:
            self._reopen()
        return self._core

    @classmethod
    @_deferring
    def create(cls, path: PathLike, paths: Iterable[PathLike], root: PathLike = ".") -> "Group":
        """Writes a new group file path (replacing any file of that name) holding the files
        that paths name below root, as Group.add takes them, and opens it."""
        _edit(_path(path), root, paths, [], True)
        return cls(path)

    def __enter__(self) -> "Group":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        self._stale = False
        self._core.close()

    def __len__(self) -> int:
        return len(self._group)

    def __iter__(self) -> Iterator[Entry]:
        return iter(self.entries())

    def __contains__(self, name: Name) -> bool:
        return self._group.find(name) >= 0

    def entries(self) -> List[Entry]:
        """Every entry in directory order."""
        group = self._group
        if self._entries is None:
            self._entries = [Entry(n, size, _mtime(d, t), off)
                             for n, size, d, t, off in group.entries()]
        return list(self._entries)

    def _find(self, name: Name) -> int:
        index = self._group.find(name)
        if index < 0:
            raise KeyError(name)
        return index

    def entry(self, name: Name) -> Entry:
        """The entry a lookup of name finds; KeyError when there is none."""
        return self.entries()[self._find(name)]

    def read(self, name: Name) -> bytes:
        """The stored bytes of name; KeyError when the group holds no such name."""
        return self._group.read(self._find(name))

    def sha256(self, name: Name) -> str:
        """The SHA-256 of the stored bytes of name (the copy read() gives), in hex."""
        return self._group.sha256(self._find(name))

    def sums(self) -> Dict[str, str]:
        """The SHA-256 in hex of every stored file by name, in directory order, as grp sum
        lists them: '/' between levels (also what sha256() and read() take), and of several
        copies of a name the one an unpack leaves (the last)."""
        return dict(self._group.sums())

    def open(self, name: Name) -> GroupFile:
        """A read-only binary file object over the stored bytes of name."""
        index = self._find(name)
        return GroupFile(self._group, index, self.entries()[index])

    @_deferring
    def extract(self, dest: PathLike, names: Optional[Iterable[Name]] = None) -> None:
        """Writes the stored files (all, or those named) below dest with the engine's
        unpacker, which refuses absolute names, drive letters, '..' levels and symbolic
        links on the way. A refused or failed file raises Error after the rest was written.
        The process's current directory is left alone: other threads may use relative paths
        meanwhile."""
        chosen = None
        if names is not None:
            chosen = list(names)
            for n in chosen:
                self._find(n)
        _unpack_into(self.path, dest, chosen)

    @_deferring
    def add(self, paths: Iterable[PathLike], root: PathLike = ".") -> None:
        r"""Adds the files that paths (relative to root) name, stored under those paths
        upper-cased with '\\' between levels; a directory gives its files recursively. Every
        copy of a name added is replaced. The group is rewritten in one commit under the
        engine's edit lock; on any failure (Error) or KeyboardInterrupt it stays as it was (a
        Ctrl-C after the new group is in place is raised once the call returns). This Group
        then reads the new group; files opened before keep reading the old one."""
        self._stale = True  # read again before use, should this call end early after the edit
        _edit(self.path, root, paths, [], False)
        self._reopen()

    @_deferring
    def remove(self, names: Iterable[Name]) -> None:
        r"""Removes every copy of each name (any case, '/' or '\\'); a name that matches no
        entry is an Error and nothing is removed. See add for how the group is rewritten."""
        if isinstance(names, (str, bytes)):
            raise TypeError("remove takes a list of names, not one name")
        self._stale = True
        _edit(self.path, ".", [], list(names), False)
        self._reopen()

    def _reopen(self) -> None:
        self._core = _tarnpak._Group(self.path)
        self._stale = False
        self._entries = None

    def verify(self) -> List[str]:
        """Problems beyond what every read checks, one line each; an empty list when none:
        entries out of the builder's order, data areas that overlap the directory or each
        other, names the unpacker refuses, and names holding '/'. The directory is read
        again first (Error when it has become unreadable)."""
        group = _tarnpak._Group(self.path)
        entries = [Entry(n, size, None, off) for n, size, d, t, off in group.entries()]
        problems = []
        for i in range(1, len(entries)):
            if group.compare(i - 1, i) > 0:
                problems.append("entry %d (%s) is out of the builder's order" % (i, entries[i].name))
        reach, owner = 16 + group.dir_size, None
        for i in sorted((i for i, e in enumerate(entries) if e.size > 0),
                        key=lambda i: (entries[i].offset, i)):
            e = entries[i]
            if e.offset < reach:
                other = "the header or the directory" if owner is None else entries[owner].name
                problems.append("entry %d (%s): its data overlaps %s" % (i, e.name, other))
            if e.offset + e.size > reach:
                reach, owner = e.offset + e.size, i
        for i, e in enumerate(entries):
            why = _tarnpak.unsafe_name(e.name)
            if why:
                problems.append("entry %d (%s): the unpacker refuses the name: %s" % (i, e.name, why))
            if "/" in e.name:
                problems.append("entry %d (%s): the name holds '/', which the format never "
                                "stores: it is unpacked as a level, like '\\'" % (i, e.name))
        return problems

    def __repr__(self) -> str:
        return "tarnpak.Group(%r)" % self.path


def _edit(path: str, root: PathLike, adds: Iterable[PathLike], removes: List[Name],
          create: bool) -> None:
    if isinstance(adds, (str, bytes, os.PathLike)):
        raise TypeError("add takes a list of paths, not one path")
    added = [os.fsdecode(a) for a in adds]
    status, errors, notes = _tarnpak.edit(path, _path(root), added, removes, create)
    _warn(notes)
    if status:
        raise _make_error("\n".join(errors) or "cannot edit '%s'" % path)


@_deferring
def pack(game_dir: PathLike, output: PathLike, sums: Optional[PathLike] = None) -> None:
    """Packs the files that game_dir's build list (group.cfg) names into the group file
    output, which appears whole or not at all. With sums, also writes there the SHA-256 of
    every stored file, as grp sum prints them, taken while packing. Warnings of the builder
    come through the warnings module as TarnpakWarning; a failure raises Error. Ctrl-C stops
    the pack within a fraction of a second (KeyboardInterrupt), also while it waits for
    another thread's job, leaving an older output as it was; once the new group is in place,
    the pack returns and the interrupt is raised after it."""
    status, errors, notes = _tarnpak.pack(_path(game_dir), _path(output),
                                          None if sums is None else _path(sums))
    _warn(notes)
    if status:
        raise _make_error("\n".join(errors) or "cannot pack '%s'" % os.fsdecode(game_dir))


class PatchEntry(NamedTuple):
    """One name of a patch (as `grp patch --json` gives it). change: "added" or "changed"
    for a file the patch holds, "stays visible" for one the old group holds and the new one
    lacks, which a patch cannot remove. size and mtime: the patch's copy (the old group's for
    "stays visible"); redated: the patch stores a date later than the new group's own
    (new_mtime), so that it wins over the old copy."""
    name: str
    change: str
    size: int
    mtime: Optional[_datetime.datetime]
    redated: bool
    new_mtime: Optional[_datetime.datetime]


_PATCH_CHANGES = {1: "added", 2: "changed", 3: "stays visible"}


@_deferring
def patch(old: PathLike, new: PathLike, output: PathLike,
          sums: Optional[PathLike] = None) -> List[PatchEntry]:
    """Writes the group file output holding every file of the group new that the group old
    lacks or holds with other bytes (compared byte for byte), and nothing else, as
    `grp patch` does: each copy is dated later than old's copy of its name, so that beside
    old in a game directory the engine's table shows new's files. Warnings (a date moved
    for that, a name that stays visible, an empty patch) come through the warnings module
    as TarnpakWarning; a failure raises Error and writes nothing. With sums, also writes the
    patch's SHA-256 sums there. Returns the names added, changed or staying, by name."""
    status, errors, notes, names = _tarnpak.patch(
        _path(old), _path(new), _path(output), None if sums is None else _path(sums))
    _warn(notes)
    if status:
        raise _make_error("\n".join(errors) or "cannot write patch '%s'" % os.fsdecode(output))
    return [PatchEntry(n, _PATCH_CHANGES[c], size, _mtime(d, t), redated, _mtime(nd, nt))
            for n, c, size, d, t, redated, nd, nt in names]


@_deferring
def unpack(group: PathLike, dest: PathLike) -> None:
    """Writes every stored file of group below dest (see Group.extract for the rules).
    Ctrl-C stops it within a fraction of a second (KeyboardInterrupt): the files finished
    stay, each whole, and no other is begun; once every file is done, the interrupt is
    raised after the call returns."""
    _unpack_into(_path(group), dest, None)


def set_threads(count: int) -> None:
    """How many threads packing, unpacking and the manager's scan use: count, or with 0 (the
    default) TARNPAK_THREADS from the environment, else the processors the process may run
    on; at most 16. The results are the same for every count."""
    _tarnpak.set_threads(count)


class ManagerFile(io.RawIOBase):
    """A file opened through a Manager, read-only. It is closed when its manager stops;
    using it afterwards raises ValueError."""

    def __init__(self, handle: "_tarnpak._Handle", name: str) -> None:
        super().__init__()
        self._handle = handle
        self.name = name

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    @property
    def closed(self) -> bool:
        return self._handle.closed

    def close(self) -> None:
        self._handle.close()

    def readinto(self, buffer) -> int:
        return self._handle.readinto(memoryview(buffer).cast("B"))

    def readall(self) -> bytes:
        left = self._handle.size() - self._handle.tell()
        data = bytearray(max(left, 0))
        n = self._handle.readinto(data) if left > 0 else 0
        return bytes(data[:n])

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        # The engine clamps a position to the file's bounds.
        if whence not in (io.SEEK_SET, io.SEEK_CUR, io.SEEK_END):
            raise ValueError("invalid whence (%r, should be 0, 1 or 2)" % (whence,))
        offset = offset.__index__()
        if not -(1 << 63) <= offset < 1 << 63:
            raise OverflowError("seek offset %d is too large" % offset)
        return self._handle.seek(offset, whence)

    def tell(self) -> int:
        return self._handle.tell()

    @property
    def size(self) -> int:
        return self._handle.size()


_running: List["Manager"] = []


class Manager:
    """The engine's file manager over root: its loose files and the group files in it as
    one table, the newest copy of each name winning. The manager is process-wide: starting
    a second one while one runs raises Error. Use it as a context manager (or start() and
    stop()); files it opened are closed when it stops, and using them or the manager
    afterwards raises ValueError. A stopped manager cannot be started again. Starting on a
    root that is no directory raises Error (FileNotFoundError, NotADirectoryError). In a
    child forked while a manager ran, that manager and any new one raise Error: the engine's
    table and its reader stayed with the parent."""

    def __init__(self, root: PathLike) -> None:
        self.root = _path(root)
        self._manager = _tarnpak._Manager(self.root)

    def start(self) -> "Manager":
        self._manager.start()
        _running.append(self)
        return self

    def stop(self) -> None:
        self._manager.stop()
        if self in _running:
            _running.remove(self)

    def __enter__(self) -> "Manager":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    @property
    def running(self) -> bool:
        return self._manager.running

    def open(self, name: Name) -> ManagerFile:
        r"""A read-only file object for name (any case, '\\' or '/'); KeyError when the
        table holds no such name."""
        shown = os.fsdecode(name)
        return ManagerFile(self._manager.open(name.replace("/", "\\") if isinstance(name, str)
                                              else name.replace(b"/", b"\\")), shown)

    def exists(self, name: Name) -> bool:
        r"""Whether the table holds name (any case, '\\' or '/')."""
        return self._manager.exists(name.replace("/", "\\") if isinstance(name, str)
                                    else name.replace(b"/", b"\\"))

    def glob(self, mask: Name) -> List[str]:
        r"""The full names of the records the engine's search finds for mask, in table
        order: '*' and '?' match without regard to case and never cross a level, so a mask
        without a directory part finds root files only ('textures\\*.tga' for a level)."""
        return self._manager.glob(mask)

    def table(self) -> List[Record]:
        """Every record of the table in table order, with its source."""
        return [Record(n, size, _mtime(d, t), off, src)
                for n, size, d, t, off, src in self._manager.table()]

    def __repr__(self) -> str:
        return "tarnpak.Manager(%r)" % self.root


@atexit.register
def _stop_running() -> None:
    for manager in list(_running):
        manager.stop()
