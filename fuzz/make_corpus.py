#!/usr/bin/env python3
"""Writes the seed corpus fuzz/corpus/<target>/ from the cases below.

record_fuzzer and config_fuzzer read their input through FuzzedDataProvider:
integers come from the end of the input (first byte read is the most
significant, a range of n+1 values takes input % (n+1)), byte runs and
strings from the front. `Provider` lays both ends out in reading order, so
each seed reads back as the case written here. Run it again after changing
how a fuzzer reads its input.
"""
import base64
import hashlib
import pathlib
import shutil
import struct

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"


class Provider:
    def __init__(self):
        self.front = bytearray()
        self.back = []  # integer bytes, in the order they are read

    def integral(self, value, size):
        self.back += value.to_bytes(size, "big")
        return self

    def in_range(self, value, low, high):
        span, size = high - low, 0
        while span >> (8 * size):
            size += 1
        return self.integral(value - low, size) if size else self

    def flag(self, value):
        return self.integral(int(value), 1)

    def text(self, data):
        # A backslash and any other byte end a string; "\\\\" is one backslash.
        self.front += data.replace(b"\\", b"\\\\") + b"\\ "
        return self

    def raw(self, data):
        self.front += data
        return self

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


def write(target, cases):
    folder = ROOT / target
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    for name, data in cases:
        (folder / f"{name}-{hashlib.sha1(data).hexdigest()[:8]}").write_bytes(data)


# --- record_fuzzer: a length's bits, then fields (found by name?, values) ---

def track(seconds, fields):
    p = Provider().integral(struct.unpack("<Q", struct.pack("<d", seconds))[0], 8)
    p.in_range(len(fields), 0, 12)
    for name, values, found in fields:
        p.in_range(1 if found else 0, 0, 7).in_range(len(values), 0, 3)
        p.text(name.encode() if isinstance(name, str) else name)
        for value in values:
            p.text(value.encode() if isinstance(value, str) else value)
    return p.bytes()


record_cases = [
    ("example", track(215.4, [("title", ["Song"], True), ("artist", ["Band"], True)])),
    ("nothing", track(0.0, [])),
    ("tune-tags", track(3600.5, [("artist", ["A"], True), ("album", ["B"], True), ("tracknumber", ["07"], True),
                                 ("rating", ["5"], True), ("uri", ["file:///x.flac"], True), ("TITLE", ["t"], True)])),
    ("multi-value", track(-0.4, [("genre", ["Rock", "Pop", "Jazz"], True), ("comment", [], True)])),
    ("missed-lookup", track(2.5, [("title", ["first"], False), ("title", ["second"], True), ("x", ["y"], False)])),
    ("utf8-and-escapes", track(-1.5, [("t\u00eftle", ["\u65e5\u672c <&>'\"\\"], True), ("", [""], True)])),
    ("zero-in-value", track(float("nan"), [("title", [b"ab\0cd"], True), (b"na\0me", ["v"], True)])),
    ("infinite", track(float("-inf"), [("length", ["999"], True)])),
    ("longest-length", track(-1e253, [("a", ["b"], True)])),
    ("too-long-length", track(1e254, [("a", ["b"], True)])),
    ("twelve-fields", track(1e-300, [(f"f{i}", [f"v{i}"], i % 3 != 0) for i in range(12)])),
]


# --- config_fuzzer: variables, a stream, then what each variable's load does ---

READ_SOME, READ_ALL, SKIP_SOME, SKIP_ALL, DATA_ERROR, ABORT = range(6)
GUIDS = [struct.pack("<IHH8B", 0, 0, 0, *[0] * 8),
         struct.pack("<IHH8B", 0x80000000, 0x7FFF, 0x0080, 0xFF, 0, 0x80, 0x7F, 1, 2, 3, 4),
         struct.pack("<IHH8B", 0xFFFFFFFF, 0xFFFF, 0xFFFF, *[0xFF] * 8)]


def steps(p, plan):
    p.in_range(len(plan), 0, 4)
    for kind, amount in plan:
        p.in_range(kind, READ_SOME, ABORT)
        small = amount < 256
        p.flag(small)
        p.integral(amount, 1 if small else 4 if kind in (READ_SOME, READ_ALL) else 8)


def config(variables, records, loads):
    """records: (guid index, declared length, data); loads: one step plan per
    record whose GUID a variable has, in stream order."""
    p = Provider().in_range(len(variables), 0, 4)
    for v in variables:
        p.in_range(v, 0, 2)
    p.flag(False).in_range(len(records), 0, 8)
    for g, length, data in records:
        p.in_range(g, 0, 2)
        p.flag(length < 256).integral(length, 1 if length < 256 else 4)
        p.raw(data)  # all of it: a short run would eat into the integers at the end
    for plan in loads:
        steps(p, plan)
    return p.bytes()


def raw_stream(variables, data, loads=()):
    p = Provider().in_range(len(variables), 0, 4)
    for v in variables:
        p.in_range(v, 0, 2)
    p.flag(True).integral(len(data), 2).raw(data)
    for plan in loads:
        steps(p, plan)
    return p.bytes()


config_cases = [
    ("read-all", config([0, 1], [(0, 4, b"abcd"), (2, 3, b"xyz"), (1, 8, b"12345678")],
                        [[(READ_ALL, 4)], [(READ_SOME, 3), (SKIP_ALL, 5)]])),
    ("left-unread", config([1], [(1, 6, b"ABCDEF"), (1, 2, b"gh")], [[(READ_SOME, 2)], []])),
    ("past-the-end", config([0], [(0, 5, b"hello")], [[(READ_SOME, 200), (SKIP_SOME, 1 << 40), (READ_ALL, 1)]])),
    ("data-error", config([0, 2], [(0, 3, b"abc"), (2, 2, b"de")], [[(READ_SOME, 1), (DATA_ERROR, 0)], [(READ_ALL, 2)]])),
    ("abort", config([0, 1], [(0, 1, b"a"), (1, 1, b"b"), (0, 1, b"c")], [[(READ_ALL, 1)], [(ABORT, 0)]])),
    ("unknown-only", config([], [(0, 3, b"abc"), (1, 0, b""), (2, 1, b"z")], [])),
    ("shared-guid", config([1, 1, 1, 1], [(1, 3, b"xyz")], [[(SKIP_SOME, 1), (READ_ALL, 2)]])),
    ("partial-guid", raw_stream([0], GUIDS[0][:9])),
    ("partial-length", raw_stream([0], GUIDS[0] + b"\x04\x00")),
    ("truncated", raw_stream([2], GUIDS[2] + struct.pack("<I", 100000) + b"0123456789",
                             [[(READ_SOME, 4), (SKIP_ALL, 2 ** 64 - 1)]])),
    ("raw-record", raw_stream([1], GUIDS[1] + b"\x02\x00\x00\x00hi" + GUIDS[2] + b"\xff\xff\xff\xff",
                              [[(READ_ALL, 2)]])),
]


# --- title_fuzzer: a window title; also its first byte picks a length and
# the rest, split at zero bytes, gives name/value pairs ---

def b64(text):
    return base64.b64encode(text + b"\0").decode()


def title(fields, length=b"215"):
    return "".join(f"{b64(n)}:{b64(v)};" for n, v in fields + [(b"length", length)]).encode()


example = title([(b"title", b"Song"), (b"artist", b"Band")])
title_cases = [
    ("example", example),
    ("stop", b"STOP"),
    ("only-length", title([], b"-0")),
    ("tune-tags", title([(b"Artist", b"<&>'\""), (b"ALBUM", b"B"), (b"tracknumber", b"7"), (b"rating", b"5"),
                         (b"uri", b"file:///a"), (b"title", b"\xe6\x97\xa5\xff\xc0\x80")], b"-9223372036854775808")),
    ("empty-texts", title([(b"", b"")])),
    ("missing-semicolon", example[:-1]),
    ("bad-padding", b"dGl0bGUA:U29uZwB=;bGVuZ3RoAA==:MjE1AA==;"),
    ("no-terminator", b"dGl0bGU=:U29uZwA=;bGVuZ3RoAA==:MjE1AA==;"),
    ("zero-inside", title([(b"ti\0tle", b"x")])),
    ("leading-zero-length", title([], b"0215")),
    ("length-not-last", title([(b"length", b"1"), (b"title", b"x")], b"2")[:-len(b64(b"length")) - len(b64(b"2")) - 2]),
    ("stop-newline", b"STOP\n"),
    ("fields", b"\x02title\0Song\0artist\0Band\0\xff\xfe\0"),
]

write("record_fuzzer", record_cases)
write("config_fuzzer", config_cases)
write("title_fuzzer", title_cases)
