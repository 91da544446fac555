#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora: group images (sound, empty, nested, damaged) for
the directory reader and the unpacker, build-list lines for the text utilities, text files
for the line readers, parameter strings, and masks with names.

Run from anywhere: python3 fuzz/make_corpus.py. The output replaces fuzz/corpus/<target>/
files of the same names; reproducers that fuzzing found are kept beside them.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
PLAIN = 0x80000000  # build-flag bit that tells the harness to scramble the directory itself
DATE, TIME = 0x2E21, 0x6000  # 2003-01-01 12:00:00


def scramble(directory, length):
    state, out = (length + 24817) % 65535, bytearray(directory)
    for j in range(len(out)):
        state = (state * 214013 + 2531011) & 0xFFFFFFFF
        out[j] ^= ((state >> 16) & 0x7FFF) % 255
    return bytes(out)


def group(files, flag=1, scrambled=True, count=None, dir_size=None):
    """files: (name, data) pairs in directory order."""
    size = sum(len(n) + 14 for n, _ in files)
    offset, directory = 16 + size, b""
    for name, data in files:
        directory += struct.pack("<H", len(name)) + name
        directory += struct.pack("<iiHH", offset, len(data), DATE, TIME)
        offset += len(data)
    data = b"".join(d for _, d in files)
    length = 16 + size + len(data)
    if scrambled:
        directory = scramble(directory, length)
    header = struct.pack("<4sIii", b"FPRG", flag, len(files) if count is None else count,
                         size if dir_size is None else dir_size)
    return header + directory + data


def plain(files, **kw):
    return group(files, flag=1 | PLAIN, scrambled=False, **kw)


def groups():
    one = [(b"A.TXT", b"abc")]
    nested = [(b"DATA\\LEVELS\\E1M1.LEV", b"level"), (b"DATA\\PICS\\WALL.TGA", b"\0\1\2\3"),
              (b"DATA\\SOUNDS\\HIT.WAV", b"RIFF"), (b"README.TXT", b"hello\n")]
    twice = [(b"SAME.TXT", b"new"), (b"SAME.TXT", b"old"), (b"Z", b"")]
    valid = group(one)
    yield "valid-38", valid
    yield "valid-38-plain", plain(one)
    yield "empty", group([])
    yield "nested", group(nested)
    yield "nested-plain", plain(nested)
    yield "duplicates-plain", plain(twice)
    yield "appended-byte", valid + b"x"
    yield "cut-short", valid[:30]
    yield "header-only-cut", valid[:10]
    yield "wrong-magic", b"GRPF" + valid[4:]
    yield "too-many-entries-plain", plain(one, count=5)
    yield "dir-past-end-plain", plain(one, dir_size=400)
    yield "negative-dir-plain", plain(one, dir_size=-14)
    yield "data-past-end-plain", plain(one)[:-1]
    yield "unsafe-names-plain", plain([(b"..\\OUT.TXT", b"x"), (b"\\ABS.TXT", b"y"),
                                       (b"C:DRIVE.TXT", b"z"), (b"OK\\..\\..\\UP", b"w")])
    yield "file-and-dir-plain", plain([(b"A", b"1"), (b"A\\B", b"2")])
    yield "long-name-plain", plain([(b"N" * 255, b"")])


LINES = [b"levdemo9.lev", b"pics\\*.* r", b"  sounds*.*\t\trec   extra words  ",
         b"soundsmaterial\\*.*", b"my file.txt", b"\t \t", b"", b"x" * 600,
         b'"quoted name.txt" r \\"escaped\\" \\x41\\065 end\\', b"*.* r1\r\n",
         b"a a a a a a a a a a a a a a a a a a a a a a a a a a a a a a a a a a a a a a a"]


# The line readers' first byte picks the buffer size: 1 + byte % 64 (0xff gives 64).
TEXTS = [(0xff, b"ab\r\ncd\ne"), (3, b"abcdef\ng\n"), (0xff, b"Subject: a\r\n b\r\nTo: c\r\n\r\n"),
         (0xff, b"A:\tx\r\n\ty\r\n"), (5, b"Long: header\r\n folded\r\n again\r\nNext: x\r\n"),
         (1, b"\nfirst byte a line feed\n"), (0xff, b"levdemo9.lev\npics\\*.* r\n\nafter"),
         (7, b"no line end at all, longer than the buffer")]

# Separator choice (0 space, 1 backslash, 2 comma), index, a 32-bit number, the string,
# then after a NUL the value, topic or searched text.
PARAMS = [(0, 1, 0, b"a b c", b"xyz"), (0, 2, 0xFFFFFFFF, b"a b ", b"q"),
          (0, 0, 7, b"colors: red green sizes: big", b"colors"),
          (1, 2, 42, b"c:\\games\\data\\textures\\walls\\brick.bmp", b"..."),
          (0, 1, 0, b'a "b x" d \\x41 "A\\x41\\t\\"" "\\065\\\\"', b"b"),
          (2, 3, 12, b"1.5e3,,-12h,+7,0x10", b"")]

MASKS = [b"*.bmp\0a.bmp", b"*.bmp\0dir\\a.bmp", b"textures\\*.bmp\0textures\\a.bmp",
         b"a?c\0ABC", b"*a.txt\0banana.txt", b"*.TXT\0a.txt", b"?\0\\", b"*X\0abx",
         b"PICS\\*.*\0PICS\\WALL.TGA"]


def write(target, name, data):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


for name, data in groups():
    write("fuzz_directory", name + ".grp", data)
    write("fuzz_unpack", name + ".grp", data)
for i, line in enumerate(LINES):
    write("fuzz_buildlist", "line-%02d" % i, line)
for i, (size, text) in enumerate(TEXTS):
    write("fuzz_lines", "text-%02d" % i, bytes([size]) + text)
for i, (sep, idx, value, string, text) in enumerate(PARAMS):
    write("fuzz_params", "params-%02d" % i,
          struct.pack("<BBI", sep, idx, value) + string + b"\0" + text)
for i, pair in enumerate(MASKS):
    write("fuzz_mask", "mask-%02d" % i, pair)
