#!/usr/bin/env python3
"""Differential test of ziptool: archives made here by independent producers (Info-ZIP zip,
Python's zipfile, bsdtar, 7z) are read by `ziptool list`, `cat` and `extract` and by two oracles,
Python's zipfile and Info-ZIP unzip; names, sizes, folder flags, times and every byte must agree.

Where our reader deliberately differs, the case names the difference (the Difference values below)
and the test checks that exactly the named entries differ, in the way stated (ziptool reports what
it does not write), and that everything else in the archive still matches.

usage: differential_test.py ZIPTOOL SCRATCH
Under a Windows build ZIPTOOL is ziptool.exe and runs through QUORVANE_WINE_RUN; Wine starts are
slow, so there `cat` runs for a few entries of each archive only.
"""
import calendar
import os
import random
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

sys.dont_write_bytecode = True  # the shared helpers are imported from the source tree: no cache there
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from zip_test_tools import Unseekable, tree_contents  # noqa: E402

ZIPTOOL, SCRATCH = (os.path.abspath(p) for p in sys.argv[1:3])
WINE = shlex.split(os.environ.get("QUORVANE_WINE_RUN", ""))
PASSWORD = "secret"
MTIME = calendar.timegm((2021, 6, 15, 9, 30, 14))  # even seconds: DOS times hold it exactly
# UTC everywhere: DOS times are local times, and the producers, the oracles and ziptool must agree
# on which zone that is.
ENV = dict(os.environ, TZ="UTC", LC_ALL="C.UTF-8")


# The deliberate differences: what ziptool does instead of what the oracles do.
class Difference:
    def __init__(self, reason, listed, written, opened=True):
        self.reason = reason
        self.listed = listed  # `list` describes the entry (else: "failed 0x00000700: <why>" and status 1)
        self.written = written  # `extract` writes it (under ziptool's own name for it)
        self.opened = opened  # the archive opens at all

    def __repr__(self):
        return self.reason


UNSUPPORTED = Difference("method other than stored or deflated: not described, not extracted", False, False)
ZIP64 = Difference("ZIP64 sizes in the local header (32-bit fields only): not described, not extracted", False, False)
REFUSED = Difference("name leaves the target folder: refused, where zipfile and unzip drop the parent steps",
                     True, False)
SANITISED = Difference("leading separator or parent step: the name is what follows it, where zipfile and unzip "
                       "keep more of it", True, True)
# Damage that the rules refuse, where an oracle may still read the bytes
OVERLAPPING = Difference("its bytes are another entry's too: not described, not extracted", False, False)
MISCOUNTED = Difference("the end record's count disagrees with the directory: the archive is refused, where "
                        "zipfile reads on", False, False, opened=False)
DAMAGED = Difference("damaged empty entry: reported, not extracted, as unzip -t reports it", True, False)

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message)
    return condition


def host_path(path):
    return "Z:" + path.replace("/", "\\") if WINE else path


def ziptool(*args):
    converted = [host_path(a) if a.startswith("/") else a for a in args]
    # Files, not pipes: a wineserver that the run starts inherits them and would hold a pipe open
    # until it exits, seconds after the program.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        status = subprocess.run(WINE + [ZIPTOOL] + converted, stdout=out, stderr=err, env=ENV,
                                timeout=120).returncode
        out.seek(0)
        err.seek(0)
        return status, out.read(), err.read().decode("utf-8", "replace")


# ---------------------------------------------------------------------------------------------
# The files the producers pack

def make_tree(tree):
    rng = random.Random(77)
    files = {
        "readme.txt": b"Differential test of the reader.\n" * 90,
        "empty.txt": b"",
        "data/random.bin": bytes(rng.getrandbits(8) for _ in range(70000)),
        "data/exact16384.bin": bytes(rng.getrandbits(8) for _ in range(16384)),
        "data/pattern40000.txt": (b"0123456789abcdef" * 2500),
        "data/deeper/leaf.txt": b"leaf\n",
        "na\u00efve caf\u00e9.txt": "\u00e9t\u00e9\n".encode(),
        "\u65e5\u672c\u8a9e/\u30c6\u30b9\u30c8.txt": "\u65e5\u672c\u8a9e\n".encode() * 20,
        "emoji \U0001F600.txt": b"four-byte character in the name\n",
        "spaces and (parens).txt": b"x" * 333,
    }
    for name, data in files.items():
        path = os.path.join(tree, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)
    os.makedirs(os.path.join(tree, "data", "empty folder"))
    for folder, folders, names in os.walk(tree, topdown=False):
        for name in names + folders:
            os.utime(os.path.join(folder, name), (MTIME, MTIME))


def top_level(tree):
    return sorted(os.listdir(tree))


def run(command, cwd, stdout=None, stdin=None, text=None):
    subprocess.run(command, cwd=cwd, env=ENV, check=True, stdout=stdout or subprocess.DEVNULL, stdin=stdin,
                   input=text, stderr=subprocess.PIPE)


# ---------------------------------------------------------------------------------------------
# Producers: each writes one archive and answers its path

def info_zip(*options):
    def make(tree, path):
        run(["zip", "-q", "-r", *options, path, *top_level(tree)], tree)
    return make


def info_zip_streamed(tree, path):
    """zip writing to a pipe cannot seek back: data descriptors follow the data."""
    result = subprocess.run(["zip", "-q", "-r", "-", *top_level(tree)], cwd=tree, env=ENV, check=True,
                            stdout=subprocess.PIPE)
    with open(path, "wb") as out:
        out.write(result.stdout)


def info_zip_from_pipe(zip64):
    """Data read from a pipe: zip cannot know the size, so it prepares ZIP64 fields unless told not to."""
    def make(tree, path):
        with open(os.path.join(tree, "data", "pattern40000.txt"), "rb") as data:
            run(["zip", "-q"] + ([] if zip64 else ["-fz-"]) + [path, "-"], tree, stdin=data)
    return make


def info_zip_commented(tree, path):
    info_zip()(tree, path)
    run(["zip", "-q", "-z", path], tree, text=b"an archive comment of 1,560 bytes\n" * 40)


def info_zip_prefixed(adjust):
    """A self-extractor's stub in front; `zip -A` moves the offsets to count from the file's start."""
    def make(tree, path):
        info_zip()(tree, path + ".body")
        with open(path, "wb") as out:
            out.write(b"MZ" + bytes(random.Random(3).getrandbits(8) for _ in range(7000)))
            with open(path + ".body", "rb") as body:
                out.write(body.read())
        os.remove(path + ".body")
        if adjust:
            run(["zip", "-q", "-A", path], tree)
    return make


def tree_entries(tree):
    for folder, folders, files in os.walk(tree):
        folders.sort()
        relative = os.path.relpath(folder, tree)
        if relative != ".":
            yield relative + "/", None
        for file in sorted(files):
            yield os.path.relpath(os.path.join(folder, file), tree), os.path.join(folder, file)


def python_zip(compression, streamed=False, comment=b"", zip64=False):
    def make(tree, path):
        with open(path, "wb") as raw:
            stream = Unseekable(raw) if streamed else raw
            with zipfile.ZipFile(stream, "w", compression) as archive:
                for name, source in tree_entries(tree):
                    if source is None:
                        archive.writestr(zipfile.ZipInfo(name, (2021, 6, 15, 9, 30, 14)), b"")
                    elif zip64:
                        with open(source, "rb") as data, archive.open(name, "w", force_zip64=True) as entry:
                            entry.write(data.read())
                    else:
                        archive.write(source, name)
                archive.comment = comment
    return make


HOSTILE = {  # stored name -> ziptool's name for it, and how it differs
    "../evil1.txt": ("../evil1.txt", REFUSED),
    "..\\evil2.txt": ("..\\evil2.txt", REFUSED),
    "safe/../../evil3.txt": ("../evil3.txt", REFUSED),
    "/absolute.txt": ("absolute.txt", SANITISED),
    "keep/../inside.txt": ("inside.txt", SANITISED),
}


def python_hostile(tree, path):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name in list(HOSTILE) + ["fine.txt"]:
            archive.writestr(zipfile.ZipInfo(name, (2021, 6, 15, 9, 30, 14)), b"hostile " + name.encode())


def directory(data):
    """Each name's directory records as (position, length, local header offset), and the end record's position."""
    end = data.rfind(b"PK\x05\x06")
    size, offset = struct.unpack_from("<II", data, end + 12)
    records, position = {}, offset
    while position < offset + size:
        lengths = struct.unpack_from("<HHH", data, position + 28)
        name = data[position + 46:position + 46 + lengths[0]].decode()
        records.setdefault(name, []).append((position, 46 + sum(lengths), struct.unpack_from("<I", data, position + 42)[0]))
        position += 46 + sum(lengths)
    return records, end


def change_le(data, offset, change, fmt="<I"):
    struct.pack_into(fmt, data, offset, change(struct.unpack_from(fmt, data, offset)[0]))


def patched(name, **changes):
    """Changes fields of the entry's local header and directory record (the maker's system and the
    attributes: the record only)."""
    def mutate(data):
        (record, _, header), = directory(data)[0][name]
        for field, change in changes.items():
            local, central, fmt = {"crc": (14, 16, "<I"), "compressed": (18, 20, "<I"), "size": (22, 24, "<I"),
                                   "system": (None, 5, "<B"), "attributes": (None, 38, "<I")}[field]
            if local is not None:
                change_le(data, header + local, change, fmt)
            change_le(data, record + central, change, fmt)
    return mutate


def counted(delta):
    def mutate(data):
        end = directory(data)[1]
        change_le(data, end + 8, lambda n: n + delta, "<H")
        change_le(data, end + 10, lambda n: n + delta, "<H")
    return mutate


def shared_header(name):
    """A second directory record for the entry: two entries on one local header."""
    def mutate(data):
        records, end = directory(data)
        (record, length, _), = records[name]
        data[end:end] = data[record:record + length]
        for field, delta, fmt in ((8, 1, "<H"), (10, 1, "<H"), (12, length, "<I")):
            change_le(data, end + length + field, lambda n: n + delta, fmt)
    return mutate


def damaged(mutate, seen_by):
    """Python's deflated archive with one mutation; seen_by: the oracles that must find it damaged too."""
    def make(tree, path):
        python_zip(zipfile.ZIP_DEFLATED)(tree, path)
        with open(path, "rb") as f:
            data = bytearray(f.read())
        mutate(data)
        with open(path, "wb") as f:
            f.write(data)
    make.seen_by = seen_by
    return make


def bsdtar(*options):
    def make(tree, path):
        run(["bsdtar", "--format", "zip", *options, "-cf", path, *top_level(tree)], tree)
    return make


def seven_zip(*options):
    def make(tree, path):
        run(["7z", "a", "-tzip", "-bd", *options, path, *top_level(tree)], tree)
    return make


def method_other_than_stored_or_deflated(info):
    return info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED)


# name, producer, password, expected differences: {entry name: (ziptool's name, Difference)}, or a
# predicate on zipfile's ZipInfo with the Difference of the entries it picks
CASES = [
    ("infozip_pipe_zip64.zip", info_zip_from_pipe(True), None, {"-": ("-", ZIP64)}),
    ("infozip_pipe.zip", info_zip_from_pipe(False), None, {}),
    ("infozip_streamed.zip", info_zip_streamed, None, {}),
    ("infozip_commented.zip", info_zip_commented, None, {}),
    ("infozip_prefixed_adjusted.zip", info_zip_prefixed(True), None, {}),
    ("infozip_prefixed_raw.zip", info_zip_prefixed(False), None, {}),
    ("infozip_encrypted_store.zip", info_zip("-0", "-P", PASSWORD), PASSWORD, {}),
    ("python_streamed.zip", python_zip(zipfile.ZIP_DEFLATED, streamed=True), None, {}),
    ("python_commented.zip", python_zip(zipfile.ZIP_STORED, comment=b"c" * 3000), None, {}),
    ("python_zip64.zip", python_zip(zipfile.ZIP_DEFLATED, zip64=True), None,
     (lambda info: not info.is_dir(), ZIP64)),
    ("python_hostile.zip", python_hostile, None, HOSTILE),
    ("bsdtar_deflate.zip", bsdtar(), None, {}),
    ("bsdtar_store.zip", bsdtar("--options", "zip:compression=store"), None, {}),
    ("bsdtar_encrypted.zip", bsdtar("--options", "zip:encryption=zipcrypt", "--passphrase", PASSWORD), PASSWORD, {}),
    ("7z_deflate.zip", seven_zip("-mm=Deflate"), None, {}),
    ("7z_store.zip", seven_zip("-mx=0"), None, {}),
    ("7z_zipcrypto.zip", seven_zip("-p" + PASSWORD, "-mem=ZipCrypto"), PASSWORD, {}),
    ("7z_zipcrypto_store.zip", seven_zip("-mx=0", "-p" + PASSWORD, "-mem=ZipCrypto"), PASSWORD, {}),
    ("7z_bzip2.zip", seven_zip("-mm=BZip2"), None, (method_other_than_stored_or_deflated, UNSUPPORTED)),
    ("7z_lzma.zip", seven_zip("-mm=LZMA"), None, (method_other_than_stored_or_deflated, UNSUPPORTED)),
    ("7z_deflate64.zip", seven_zip("-mm=Deflate64"), None,
     (method_other_than_stored_or_deflated, UNSUPPORTED)),
    ("7z_aes.zip", seven_zip("-p" + PASSWORD, "-mem=AES256"), PASSWORD,
     (method_other_than_stored_or_deflated, UNSUPPORTED)),
    ("damaged_shared_header.zip", damaged(shared_header("data/random.bin"), ["unzip"]), None,
     {"data/random.bin": ("data/random.bin", OVERLAPPING)}),
    ("damaged_data_over_next_header.zip", damaged(patched("readme.txt", compressed=lambda n: n + 40), []), None,
     {"readme.txt": ("readme.txt", OVERLAPPING), "spaces and (parens).txt": ("spaces and (parens).txt", OVERLAPPING)}),
    ("damaged_count_below.zip", damaged(counted(-1), ["unzip"]), None, (lambda info: True, MISCOUNTED)),
    ("damaged_count_above.zip", damaged(counted(1), ["unzip"]), None, (lambda info: True, MISCOUNTED)),
    ("damaged_empty_crc.zip", damaged(patched("empty.txt", crc=lambda n: n ^ 1), ["zipfile", "unzip"]), None,
     {"empty.txt": ("empty.txt", DAMAGED)}),
    # zipfile believes the size of 0 and reads nothing; the data inflate to 5 bytes.
    ("damaged_empty_inflates.zip", damaged(patched("data/deeper/leaf.txt", size=lambda n: 0, crc=lambda n: 0), ["unzip"]), None,
     {"data/deeper/leaf.txt": ("data/deeper/leaf.txt", DAMAGED)}),
    # A DOS folder attribute on an entry with data: a file to zipfile and unzip alike.
    ("damaged_folder_attribute.zip", damaged(patched("readme.txt", system=lambda n: 0, attributes=lambda n: 0x10), []), None, {}),
]


def files(infos):
    return [i for i in infos if not i.is_dir()]


# What each kind of archive must really hold, so that a producer that changes its ways cannot turn a
# case into a plain one unnoticed.
SHOWS = {
    "encrypted": ("encrypted files", lambda infos, data: all(i.flag_bits & 1 for i in files(infos) if i.file_size)),
    "zipcrypto": ("encrypted files", lambda infos, data: all(i.flag_bits & 1 for i in files(infos) if i.file_size)),
    "streamed": ("data descriptors", lambda infos, data: any(i.flag_bits & 8 for i in infos)),
    "prefixed": ("a stub in front", lambda infos, data: data.startswith(b"MZ")),
    "commented": ("an archive comment", lambda infos, data: data.rfind(b"PK\x05\x06") < len(data) - 1000),
    "store": ("stored files", lambda infos, data: all(i.compress_type == 0 for i in infos)),
    "deflate": ("deflated files", lambda infos, data: any(i.compress_type == 8 for i in infos)),
    "zip64": ("ZIP64 extra fields", lambda infos, data: b"\x01\x00" in b"".join(i.extra[:2] for i in infos) or
              data[18:26] == b"\xff" * 8),
    "attribute": ("a folder attribute on data", lambda infos, data: any(i.external_attr & 0x10 and i.file_size
                                                                       for i in infos)),
    "non-ASCII": ("UTF-8 names", lambda infos, data: any(ord(c) > 127 for i in infos for c in utf8_name(i))),
}


def check_shows(case, path):
    with open(path, "rb") as f:
        data = f.read()
    with zipfile.ZipFile(path) as archive:
        infos = archive.infolist()
    words = case.replace(".", "_").split("_")
    for word, (what, holds) in SHOWS.items():
        if word in words or (word == "non-ASCII" and case != "python_hostile.zip" and "pipe" not in case):
            check(holds(infos, data), "%s: the producer made no archive with %s" % (case, what))


# ---------------------------------------------------------------------------------------------
# The oracles

def utf8_name(info):
    """Our reader takes every name as UTF-8, whatever its flag says; zipfile decodes unflagged
    names as code page 437, so they are turned back into their bytes first."""
    if info.flag_bits & 0x800:
        return info.filename
    return info.filename.encode("cp437").decode("utf-8", "replace")


def filetime(date_time):
    return (calendar.timegm(tuple(date_time) + (0, 0, 0)) * 10000000) + 116444736000000000


class OracleEntry:
    def __init__(self, archive, info, password, expected):
        self.name = utf8_name(info)
        self.is_dir = info.is_dir()
        self.size = info.file_size
        self.compressed = info.compress_size
        self.write_time = filetime(info.date_time)
        # The DOS time is local time, which the listing shows again after its round trip through UTC.
        self.local_time = "%04d-%02d-%02d %02d:%02d:%02d" % tuple(info.date_time)
        self.data = None
        if not self.is_dir:
            try:
                self.data = archive.read(info, pwd=password.encode() if password else None)
            except (NotImplementedError, RuntimeError, zipfile.BadZipFile) as error:
                self.error = error
        self.ours = self.name  # the name that ziptool gives the entry
        if isinstance(expected, tuple):
            self.difference = expected[1] if expected[0](info) else None
        elif self.name in expected:
            self.ours, self.difference = expected[self.name]
        else:
            self.difference = None


def oracle_entries(path, password, expected):
    with zipfile.ZipFile(path) as archive:
        return [OracleEntry(archive, info, password, expected) for info in archive.infolist()]


def unzip_tree(path, password, target):
    options = ["-P", password] if password else []
    result = subprocess.run(["unzip", "-qq", "-o", *options, path, "-d", target], env=ENV, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    return result.returncode, tree_contents(target)


def expected_tree(entries):
    """What a correct extraction holds: every entry that is not a named difference, and the
    folders above each of them."""
    tree = {}
    for entry in entries:
        if entry.difference is not None and not entry.difference.written:
            continue
        name = entry.ours.rstrip("/")
        if entry.is_dir:
            tree[name + "/"] = None
        else:
            tree[name] = entry.data
        parts = name.split("/")
        for depth in range(1, len(parts)):
            tree["/".join(parts[:depth]) + "/"] = None
    return tree


# ---------------------------------------------------------------------------------------------
# The comparisons

def refused_whole(entries):
    return any(e.difference is not None and not e.difference.opened for e in entries)


def check_list(case, path, password, entries):
    status, out, err = ziptool("list", path, *([password] if password else []))
    lines = out.decode("utf-8", "replace").replace("\r\n", "\n").split("\n")
    if refused_whole(entries):
        check(status == 1 and all(line == "" or line.startswith("entry\t") for line in lines),
              "%s: list of a refused archive exits %d with %r" % (case, status, lines))
        return
    described = all(e.difference is None or e.difference.listed for e in entries)
    check(status == (0 if described else 1) and lines[-1] == "" and lines[0].startswith("entry\t"),
          "%s: list exits %d, with %r (%s)" % (case, status, lines[:1] + lines[-1:], err.strip()))
    listed = [line.split("\t") for line in lines[1:-1]]
    check(len(listed) == len(entries), "%s: list has %d entries, zipfile %d" % (case, len(listed), len(entries)))
    for index, (fields, entry) in enumerate(zip(listed, entries)):
        if entry.difference is not None and not entry.difference.listed:
            check(fields[0] == str(index) and fields[-1].startswith("Unreadable Entry: "),
                  "%s: entry %d (%s) listed as %r" % (case, index, entry.difference, fields))
            continue
        # A name the release refuses is marked so, with its reason; a name the reader cleaned shows
        # what was stored.
        remarks = fields[6] if len(fields) == 7 else ""
        if remarks.startswith('stored as "'):
            remarks = remarks.split('"; ', 1)[1] if '"; ' in remarks else ""
        refused = entry.difference is REFUSED
        if not check(len(fields) <= 7 and remarks.startswith("refused: Refused Name") == refused
                     and (refused or not remarks), "%s: entry %d listed as %r" % (case, index, fields)):
            continue
        number, attributes, write_time, compressed, size, name = fields[:6]
        ours = (int(number), name, int(size), int(compressed), write_time)
        theirs = (index, entry.ours, entry.size, entry.compressed, entry.local_time)
        check(ours == theirs, "%s: entry %d: ziptool %r, zipfile %r" % (case, index, ours, theirs))
        # Producers that store no folder attribute mark a folder by its name alone; the attribute on
        # data is listed as stored, and the entry extracted as a file.
        check(not int(attributes, 16) & 0x10 or entry.is_dir or entry.size, "%s: %s is no folder" % (case, entry.name))


def check_cat(case, path, password, entries):
    every = 1 if not WINE else max(1, len(entries) // 3)
    for index, entry in list(enumerate(entries))[::every]:
        if entry.is_dir:
            continue
        status, out, err = ziptool("cat", path, str(index), *([password] if password else []))
        if entry.difference is not None and (not entry.difference.listed or entry.difference is DAMAGED):
            check(status != 0, "%s: cat %s (%s) succeeded" % (case, entry.name, entry.difference))
        else:
            check(status == 0 and out == entry.data, "%s: cat %s: status %d, %d bytes of %d (%s)"
                  % (case, entry.name, status, len(out), len(entry.data), err.strip()))


def check_extract(case, path, password, entries, work):
    sandbox = os.path.join(work, "sandbox")
    target = os.path.join(sandbox, "ours")
    os.makedirs(sandbox)
    status, out, err = ziptool("extract", path, target, *([password] if password else []))
    ours = tree_contents(target)
    check(os.listdir(sandbox) in ([], ["ours"]), "%s: extract wrote beside its folder: %s" % (case, os.listdir(sandbox)))
    refused = [e for e in entries if e.difference is not None and not e.difference.written]
    check((status == 0) == (not refused), "%s: extract exits %d (%s)" % (case, status, err.strip()))
    reported = out.decode("utf-8", "replace").replace("\r\n", "\n")
    for entry in refused if not refused_whole(entries) else []:
        # An entry that cannot be described is reported by its number.
        index = entries.index(entry)
        check(entry.ours in reported or "#%d" % index in reported or ("\n%d\t" % index) in "\n" + reported,
              "%s: %s (%s) not reported" % (case, entry.ours, entry.difference))
    # An entry that cannot be written for anything but its name cancels the whole extraction.
    cancelled = any(e.difference is not None and not e.difference.written and e.difference is not REFUSED
                    for e in entries)
    want = {} if cancelled else expected_tree(entries)
    missing = sorted(set(want) - set(ours))
    extra = sorted(set(ours) - set(want))
    wrong = sorted(n for n in set(want) & set(ours) if want[n] != ours[n])
    check(not (missing or extra or wrong), "%s: extract against zipfile: missing %s, extra %s, different %s"
          % (case, missing, extra, wrong))
    if cancelled:
        return
    # unzip agrees on every entry that is no named difference.
    unzip_status, unzipped = unzip_tree(path, password, os.path.join(work, "unzip"))
    plain = set(expected_tree([e for e in entries if e.difference is None]))
    if any(e.difference is not None for e in entries):
        unzipped = {n: d for n, d in unzipped.items() if n in plain}
        ours = {n: d for n, d in ours.items() if n in plain}
    check(unzipped == ours, "%s: extract against unzip (status %d): only unzip %s, only ziptool %s, different %s"
          % (case, unzip_status, sorted(set(unzipped) - set(ours)), sorted(set(ours) - set(unzipped)),
             sorted(n for n in set(ours) & set(unzipped) if ours[n] != unzipped[n])))


def check_damage_seen(case, path, oracles):
    """The oracles named see the damage too: zipfile's testzip finds a bad entry, unzip -t fails."""
    try:
        with zipfile.ZipFile(path) as archive:
            zipfile_sees = archive.testzip() is not None
    except zipfile.BadZipFile:
        zipfile_sees = True
    unzip_sees = subprocess.run(["unzip", "-tqq", path], env=ENV, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL).returncode != 0
    for oracle, sees in (("zipfile", zipfile_sees), ("unzip", unzip_sees)):
        check(sees or oracle not in oracles, "%s: %s sees no damage" % (case, oracle))


def main():
    shutil.rmtree(SCRATCH, ignore_errors=True)
    tree = os.path.join(SCRATCH, "tree")
    os.makedirs(tree)
    make_tree(tree)
    # Every archive first: under Wine the ziptool runs then follow each other closely enough for
    # one wineserver to serve them all.
    made = []
    for case, producer, password, expected in CASES:
        work = os.path.join(SCRATCH, case)
        os.makedirs(work)
        path = os.path.join(work, case)
        try:
            producer(tree, path)
        except subprocess.CalledProcessError as error:
            check(False, "%s: producer failed: %s" % (case, error.stderr.decode(errors="replace")))
            continue
        check_shows(case, path)
        if hasattr(producer, "seen_by"):
            check_damage_seen(case, path, producer.seen_by)
        made.append((case, path, password, oracle_entries(path, password, expected), work, bool(expected)))
    for case, path, password, entries, work, differs in made:
        started = time.monotonic()
        named = [e for e in entries if e.difference is not None]
        check(bool(named) == differs, "%s: %d entries have the named difference" % (case, len(named)))
        check_list(case, path, password, entries)
        check_cat(case, path, password, entries)
        check_extract(case, path, password, entries, work)
        print("%-32s %2d entries, %2d named differences, %.1f s" % (case, len(entries), len(named),
                                                                   time.monotonic() - started))
    print("%d archives, %d failures" % (len(CASES), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
