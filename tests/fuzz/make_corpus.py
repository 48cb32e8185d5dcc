#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpus: small archives, each a plain ZIP file, most written field
by field here so that every case the reader distinguishes has a seed, a few by Python's zipfile.

Usage: make_corpus.py OUT_FOLDER   (the committed corpus is tests/fuzz/corpus; the output is
deterministic, so running it again changes nothing unless this script changed).

The fuzz targets read the archive's last byte as a variant switch (password, source kind, buffer
length, a second pass); an archive that wants a variant ends with a comment whose last byte is it.
"""
import io
import os
import shutil
import struct
import sys
import zipfile
import zlib

sys.dont_write_bytecode = True  # the shared helpers are imported from the source tree: no cache there
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from zip_test_tools import Unseekable  # noqa: E402

PASSWORD = b"secret"  # the reader target's password for variant 1
DOS_TIME = (9 << 11) | (30 << 5) | 7  # 09:30:14
DOS_DATE = ((2021 - 1980) << 9) | (6 << 5) | 15  # 2021-06-15

# Variant bits of the last byte, as the targets read them.
V_PASSWORD = 0x01
V_EMPTY_PASSWORD = 0x02
V_FILE = 0x04
V_LENT_HANDLE = 0x08
V_SMALL_BUFFER = 0x10
V_ABANDON = 0x20


def crc_table():
    table = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
        table.append(c)
    return table


CRC_TABLE = crc_table()


class Cipher:
    """The traditional PKWARE encryption, as the application note describes it."""

    def __init__(self, password):
        self.keys = [0x12345678, 0x23456789, 0x34567890]
        for b in password:
            self.update(b)

    @staticmethod
    def step(k, b):
        return CRC_TABLE[(k ^ b) & 0xFF] ^ (k >> 8)

    def update(self, b):
        k0, k1, k2 = self.keys
        k0 = self.step(k0, b)
        k1 = ((k1 + (k0 & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        k2 = self.step(k2, k1 >> 24)
        self.keys = [k0, k1, k2]

    def encrypt(self, data):
        out = bytearray()
        for p in data:
            t = (self.keys[2] & 0xFFFF) | 2
            out.append(p ^ (((t * (t ^ 1)) >> 8) & 0xFF))
            self.update(p)
        return bytes(out)


def deflate(data):
    compressor = zlib.compressobj(6, zlib.DEFLATED, -15)
    return compressor.compress(data) + compressor.flush()


def ut_field(flags, *times):
    body = bytes([flags]) + b"".join(struct.pack("<i", t) for t in times)
    return b"UT" + struct.pack("<H", len(body)) + body


class Entry:
    def __init__(self, name, data=b"", method=8, **fields):
        self.name = name.encode("utf-8") if isinstance(name, str) else name
        self.data = data
        self.method = method
        self.flags = fields.get("flags", 0x800 if any(c >= 0x80 for c in self.name) else 0)
        self.password = fields.get("password")
        self.descriptor = fields.get("descriptor", False)
        self.extra = fields.get("extra", b"")
        self.local_extra = fields.get("local_extra", self.extra)
        self.made_by = fields.get("made_by", (3 << 8) | 20)
        self.external = fields.get("external", 0o100644 << 16)
        self.crc = fields.get("crc", zlib.crc32(data))
        self.size = fields.get("size", len(data))
        self.local_method = fields.get("local_method", method)
        self.stored_method = fields.get("stored_method", method)  # what the headers say
        self.comment = fields.get("comment", b"")


def payload(entry):
    body = deflate(entry.data) if entry.method == 8 else entry.data
    if entry.password is not None:
        cipher = Cipher(entry.password)
        check = (DOS_TIME >> 8) if entry.descriptor else (entry.crc >> 24)
        header = bytes((i * 37 + 11) & 0xFF for i in range(11)) + bytes([check & 0xFF])
        body = cipher.encrypt(header) + cipher.encrypt(body)
    return body


def build(entries, comment=b"", prefix=b"", trailing=b""):
    """An archive; offsets count from the archive's start, so a prefix makes them small."""
    out = bytearray()
    central = bytearray()
    for e in entries:
        body = payload(e)
        flags = e.flags | (1 if e.password is not None else 0) | (8 if e.descriptor else 0)
        offset = len(out)
        crc, csize, usize = (0, 0, 0) if e.descriptor else (e.crc, len(body), e.size)
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, e.local_method, DOS_TIME, DOS_DATE, crc, csize,
                           usize, len(e.name), len(e.local_extra))
        out += e.name + e.local_extra + body
        if e.descriptor:
            out += struct.pack("<IIII", 0x08074B50, e.crc, len(body), e.size)
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, e.made_by, 20, flags, e.stored_method, DOS_TIME,
                               DOS_DATE, e.crc, len(body), e.size, len(e.name), len(e.extra), len(e.comment), 0, 0,
                               e.external, offset)
        central += e.name + e.extra + e.comment
    directory_offset = len(out)
    out += central
    out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central), directory_offset,
                       len(comment))
    out += comment
    return prefix + bytes(out) + trailing


def variant(bits, text=b"variant "):
    return text + bytes([bits])


TEXT = b"The quick brown fox jumps over the lazy dog.\n" * 3
FOLDER = 0o40755 << 16 | 0x10


def crafted():
    cases = {}
    cases["empty.zip"] = build([])
    cases["stored_one.zip"] = build([Entry("hello.txt", b"hello, world\n", method=0)])
    cases["mixed.zip"] = build([
        Entry("readme.txt", TEXT),
        Entry("raw.bin", bytes(range(256)), method=0),
        Entry("folder/", b"", method=0, external=FOLDER),
        Entry("folder/inner.txt", b"inner\n"),
        Entry("empty.txt", b"", method=0),
        Entry("nofolder/sub/leaf.txt", b"leaf without folder entries\n"),
    ])
    cases["mixed_abandon.zip"] = build(cases_entries_for_abandon(), comment=variant(V_ABANDON))
    cases["mixed_small_buffer.zip"] = build(cases_entries_for_abandon(), comment=b"small buffer \x07" + bytes([V_SMALL_BUFFER]))
    cases["dos_host.zip"] = build([
        Entry("READONLY.TXT", b"ro", method=0, made_by=20, external=0x21),
        Entry("HIDDEN.SYS", b"hs", method=0, made_by=(11 << 8) | 20, external=0x26),
        Entry("DIR\\", b"", method=0, made_by=20, external=0x10),
        Entry("DIR\\FILE.TXT", b"in a dos folder", method=0, made_by=20, external=0x20),
    ])
    big_field = b"\x99\x99" + struct.pack("<H", 300) + bytes(300)
    cases["timestamps.zip"] = build([
        Entry("ut7.txt", b"all three", extra=ut_field(7, 0, -86400, 1600000000)),
        Entry("ut1.txt", b"write only", extra=ut_field(1, 1234567890)),
        Entry("ut_after_big.txt", b"after a 300-byte field", extra=big_field + ut_field(3, 1, 2)),
        Entry("ut_cut.txt", b"times run past the field", local_extra=b"UT\x05\x00\x07\x01\x02\x03\x04"),
        Entry("bad_date.txt", b"x", method=0),
    ])
    cases["descriptor.zip"] = build([
        Entry("streamed.txt", TEXT * 4, descriptor=True),
        Entry("streamed_stored.bin", bytes(range(200)), method=0, descriptor=True),
    ])
    cases["encrypted.zip"] = build([
        Entry("secret_stored.txt", b"stored behind the password\n", method=0, password=PASSWORD),
        Entry("secret_deflated.txt", TEXT, password=PASSWORD),
        Entry("secret_descriptor.txt", TEXT, password=PASSWORD, descriptor=True),
        Entry("plain.txt", b"not encrypted"),
    ], comment=variant(V_PASSWORD))
    cases["encrypted_no_password.zip"] = build([
        Entry("secret.txt", TEXT, password=PASSWORD),
        Entry("empty_password.txt", b"the empty password", method=0, password=b""),
    ])
    cases["encrypted_empty_password.zip"] = build([
        Entry("empty_password.txt", TEXT, password=b""),
    ], comment=variant(V_EMPTY_PASSWORD))
    cases["prefixed_file.zip"] = build([Entry("after_stub.txt", TEXT)], comment=variant(V_FILE, b"read from a file "),
                                       prefix=b"MZ" + bytes(range(200)))
    cases["prefixed_handle.zip"] = build([Entry("lent.txt", TEXT, method=0)], comment=variant(V_LENT_HANDLE),
                                         prefix=b"#!/bin/sh\nexit 0\n")
    fake_end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 9, 9, 99, 99, 0)
    cases["end_record_in_comment.zip"] = build([Entry("a.txt", b"a")], comment=b"look: " + fake_end[:12] + b"\x00")
    cases["names_non_ascii.zip"] = build([
        Entry("caf\u00e9.txt", b"utf-8 flagged"),
        Entry(b"cp437 \x82t\x82.txt", b"no utf-8 flag, not utf-8", flags=0),
        Entry("\u65e5\u672c/\u30d5\u30a1\u30a4\u30eb.txt", b"nihongo"),
        Entry("emoji \U0001F600.txt", b"four bytes"),
        Entry(b"bad \xc3\x28 \xed\xa0\x80.txt", b"malformed utf-8"),
    ])
    cases["names_hostile.zip"] = build([
        Entry(name, b"escape attempt " + name.encode(), method=0) for name in (
            "../evil.txt", "..\\evil2.txt", "C:\\windows\\win.txt", "/etc/abs.txt", "a/../../up.txt",
            "dir\\..\\..\\x.txt", "a/..", "CON", "nul.txt", "sub/AUX.log", "stream.txt:hidden", ". ./dots", "",
            "ok/..../four.txt", "\\\\server\\share\\unc.txt")
    ])
    long_name = ("n" * 120 + "/") * 2 + "x" * 60 + ".txt"
    cases["names_long.zip"] = build([
        Entry(long_name, b"name of 305 bytes"),
        Entry("\u00e9" * 130 + ".txt", b"cut inside a two-byte character"),
        Entry("d" * 259, b"259 bytes fit"),
    ])
    pattern = bytes((i * 7) & 0xFF for i in range(64))
    cases["chunk_sizes.zip"] = build([
        Entry("exact16384.bin", pattern * 256),
        Entry("exact32768.bin", pattern * 512),
        Entry("deflated40000.bin", (pattern * 625)[:40000]),
        Entry("stored1000.bin", (pattern * 16)[:1000], method=0),
    ], comment=b"a 13-byte buffer \x0c" + bytes([V_SMALL_BUFFER]))
    cases["unsupported_methods.zip"] = build([
        Entry("bzip2.bin", b"BZh9 pretend", method=0, stored_method=12, local_method=12),
        Entry("lzma.bin", b"pretend lzma", method=0, stored_method=14, local_method=14),
        Entry("local_differs.bin", b"local says deflate", method=0, local_method=8),
        Entry("fine.txt", b"still readable"),
    ])
    cases["damaged_data.zip"] = build([
        Entry("bad_crc.txt", TEXT, crc=0xDEADBEEF),
        Entry("declared_longer.txt", TEXT, size=len(TEXT) + 1000),
        Entry("declared_longer_stored.txt", TEXT, method=0, size=len(TEXT) + 10),
        Entry("declared_shorter.txt", TEXT, size=10),
        Entry("bomb_claim.bin", b"\x00" * 5000, size=0xFFFFFFFF),
    ])
    cases["zip64_claim.zip"] = build([
        Entry("big.bin", b"small really", method=0, size=0xFFFFFFFF,
              extra=struct.pack("<HHQQ", 1, 16, 12, 12)),
    ])
    cases["many_entries.zip"] = build([Entry("f%03d" % i, bytes([i]) * (i % 5), method=i % 2 * 8)
                                       for i in range(64)])
    return cases


def cases_entries_for_abandon():
    pattern = bytes((i * 13) & 0xFF for i in range(97))
    return [
        Entry("first.bin", pattern * 400),
        Entry("second.bin", pattern * 300),
        Entry("stored.bin", pattern * 10, method=0),
        Entry("third.txt", TEXT),
    ]


def by_zipfile():
    cases = {}
    stream = io.BytesIO()
    with zipfile.ZipFile(stream, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(zipfile.ZipInfo("zipfile/", (2020, 1, 2, 3, 4, 6)), b"")
        archive.writestr(zipfile.ZipInfo("zipfile/deflated.txt", (2020, 1, 2, 3, 4, 6)), TEXT * 3,
                         zipfile.ZIP_DEFLATED)
        archive.writestr(zipfile.ZipInfo("stored.txt", (2020, 1, 2, 3, 4, 6)), TEXT, zipfile.ZIP_STORED)
        archive.comment = b"written by zipfile"
    cases["zipfile_plain.zip"] = stream.getvalue()

    unseekable = Unseekable()
    with zipfile.ZipFile(unseekable, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(zipfile.ZipInfo("piped.txt", (2020, 1, 2, 3, 4, 6)), TEXT * 2)
    cases["zipfile_streamed.zip"] = bytes(unseekable.data)

    stream = io.BytesIO()
    with zipfile.ZipFile(stream, "w", zipfile.ZIP_STORED) as archive:
        info = zipfile.ZipInfo("forced64.txt", (2020, 1, 2, 3, 4, 6))
        with archive.open(info, "w", force_zip64=True) as entry:
            entry.write(b"zip64 extra fields on a small entry\n")
    cases["zipfile_zip64.zip"] = stream.getvalue()
    return cases


def main():
    out = sys.argv[1]
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    cases = crafted()
    cases.update(by_zipfile())
    for name, data in sorted(cases.items()):
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
