#!/usr/bin/env python3
"""Packs a vendor's payload folder (ImgRes, Drivers or SoftQuorvane) into its archive.

usage: pack_payload.py [-h] FOLDER ARCHIVE

The archive depends only on the names and bytes below FOLDER: entries in sorted order with "/"
separators, a folder entry for every folder, files deflated at level 9, every entry stamped with
one time (SOURCE_DATE_EPOCH when set, else the payload's fixed release date) and the attributes a
Windows archiver records. File times, permissions, owners and the order the file system lists
names in are left out, so the same folder gives the same bytes on every machine with the same zlib.

Links and special files are refused rather than followed: a link could pull files from outside
the folder into a shipped program, or loop. So are names that are not UTF-8 text, and two names in
one folder that Windows takes for one file (Qv.dll and QV.DLL): only one of them could be
installed. Prints one line per refused name, every one of them in one run, and exits with 1; else
one line that sums up what was packed, naming the files and folders whose names start with a dot
(packed like any other, but often left there by a tool rather than meant for the client).
"""

import argparse
import functools
import os
import re
import shutil
import stat
import sys
import time
import zipfile
from pathlib import Path

FIXED_DATE = (2024, 3, 18, 9, 30, 0)  # the default payload's release date (make_payload.py)
DOS_DATE_RANGE = ((1980, 1, 1, 0, 0, 0), (2107, 12, 31, 23, 59, 58))
FILE_ATTRIBUTES = 0x20  # FILE_ATTRIBUTE_ARCHIVE, as Windows archivers record a file
FOLDER_ATTRIBUTES = 0x10  # FILE_ATTRIBUTE_DIRECTORY
MADE_ON_WINDOWS = 0  # the "version made by" host, whatever the build host is
ZIP_VERSION = 20  # deflate and folders: what every reader of this payload supports
COMPRESS_LEVEL = 9


def entry_date(environment=os.environ):
    """The one time every entry carries: SOURCE_DATE_EPOCH (UTC) when set, kept within the DOS
    date range, else the fixed release date."""
    epoch = environment.get("SOURCE_DATE_EPOCH", "").strip()
    if not epoch:
        return FIXED_DATE
    if not epoch.isdigit():
        raise ValueError(f"SOURCE_DATE_EPOCH={epoch!r} is not a count of seconds")
    date = time.gmtime(min(int(epoch), 2**32 * 2))[:6]
    return min(max(date, DOS_DATE_RANGE[0]), DOS_DATE_RANGE[1])


# The upper-case table that the release tool's reader compares names with on every build, taken
# from the Windows build (tools/regen-upcase-table.sh): UTF-16 units that change, and their upper case.
UPCASE_TABLE = Path(__file__).resolve().parents[1] / "platform" / "upcase_table.inc"


@functools.lru_cache(maxsize=None)
def windows_upcase():
    pairs = re.findall(r"\{0x([0-9A-F]{4}), 0x([0-9A-F]{4})\}", UPCASE_TABLE.read_text(encoding="ascii"))
    return {int(lower, 16): int(upper, 16) for lower, upper in pairs}


def windows_name_key(name):
    """What Windows compares when it looks a name up: every UTF-16 unit through its upper-case table,
    one for one, as the reader does (ß stays ß, ı is not I; a letter beyond U+FFFF keeps its case)."""
    return name.translate(windows_upcase())


def scan(folder):
    """(entries, problems): entries are (name, path or None for a folder) in name order;
    problems name what cannot be packed."""
    entries, problems = [], []

    def unlisted(error):  # a folder that cannot be listed would silently drop files from the archive
        problems.append(f"{error.filename}: cannot be listed ({error.strerror})")

    for parent, folders, files in os.walk(folder, onerror=unlisted):
        first, repeated = {}, set()
        for name in sorted(folders + files):
            other = first.setdefault(windows_name_key(name), name)
            if other != name:
                repeated.add(name)  # named here, and left out of what the check tries
                problems.append(f"{os.path.join(parent, other)} and {name}: Windows takes them for one file; "
                                f"rename or remove one of them")
        for name in folders + files:
            path = os.path.join(parent, name)
            relative = Path(os.path.relpath(path, folder)).as_posix()
            mode = os.lstat(path).st_mode
            try:
                relative.encode("utf-8")
            except UnicodeEncodeError:
                problems.append(f"{path}: the name is not UTF-8 text")
                continue
            if stat.S_ISLNK(mode):
                problems.append(f"{path}: a link; put the file or folder itself in the payload")
            elif stat.S_ISDIR(mode):
                if name not in repeated:
                    entries.append((relative + "/", None))
            elif stat.S_ISREG(mode):
                unreadable = readable_problem(path)
                if unreadable:
                    problems.append(unreadable)
                elif name not in repeated:
                    entries.append((relative, path))
            else:
                problems.append(f"{path}: not a regular file")
    entries.sort(key=lambda entry: entry[0].encode("utf-8"))
    return entries, problems


def readable_problem(path):
    """Why a file cannot be packed although it is listed, or None: found now, with the others."""
    try:
        with open(path, "rb"):
            return None
    except OSError as error:
        return f"{path}: cannot be read ({error.strerror})"


def entry_info(name, date, is_folder):
    info = zipfile.ZipInfo(name, date_time=date)
    info.create_system = MADE_ON_WINDOWS
    info.create_version = info.extract_version = ZIP_VERSION
    info.external_attr = FOLDER_ATTRIBUTES if is_folder else FILE_ATTRIBUTES
    info.compress_type = zipfile.ZIP_STORED if is_folder else zipfile.ZIP_DEFLATED
    return info


def write_archive(entries, archive, date):
    """Writes the entries (as scan gives them) next to the archive's final name and moves the
    archive there only when complete."""
    partial = Path(str(archive) + ".partial")
    partial.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(partial, "w", compresslevel=COMPRESS_LEVEL) as output:
        for name, path in entries:
            info = entry_info(name, date, path is None)
            if path is None:
                output.writestr(info, b"")
                continue
            info.file_size = os.path.getsize(path)
            with open(path, "rb") as source, output.open(info, "w") as target:
                shutil.copyfileobj(source, target, 1 << 20)
    os.replace(partial, archive)


def pack(folder, archive, date):
    """The problems that keep the folder from being packed, or [] once the archive is written."""
    entries, problems = scan(folder)
    if problems:
        return problems
    write_archive(entries, archive, date)
    return []


def dot_names(entries):
    """The outermost entries whose name starts with a dot ("a/.git/", not what lies below it)."""
    named = []
    for name, _ in entries:
        parts = name.rstrip("/").split("/")
        dotted = [i for i, part in enumerate(parts) if part.startswith(".")]
        if dotted and dotted[0] == len(parts) - 1:
            named.append(name)
    return named


def summary(folder, archive, entries):
    files = [path for _, path in entries if path]
    size = sum(os.path.getsize(path) for path in files)
    folders = len(entries) - len(files)
    line = (f"{folder}{os.sep}: packed {len(files)} file{'s' * (len(files) != 1)} and {folders} "
            f"folder{'s' * (folders != 1)}, {size:,} bytes, into {archive}")
    dotted = dot_names(entries)
    if dotted:
        shown = ", ".join(dotted[:10]) + (f" and {len(dotted) - 10} more" if len(dotted) > 10 else "")
        line += f"; names that start with a dot, packed too: {shown}"
    return line


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("folder", type=Path, metavar="FOLDER", help="the payload folder to pack (ImgRes, Drivers or "
                        "SoftQuorvane); its name need not match, the archive's contents are what lies below it")
    parser.add_argument("archive", type=Path, metavar="ARCHIVE", help="the archive to write, replaced only once "
                        "it is complete; SOURCE_DATE_EPOCH sets the one time its entries carry")
    options = parser.parse_args(argv[1:])
    folder, archive = options.folder, options.archive
    if not folder.is_dir():
        print(f"{folder}: {'not a folder' if folder.exists() else 'no such folder'}")
        return 1
    try:
        entries, problems = scan(folder)
        if not problems:
            write_archive(entries, archive, entry_date())
    except (OSError, ValueError) as error:
        problems = [f"{folder}: {error}"]
    for problem in problems:
        print(problem)
    if problems:
        return 1
    print(summary(folder, archive, entries))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
