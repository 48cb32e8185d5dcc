#!/usr/bin/env python3
"""Checks a vendor's payload folder before the build embeds it.

usage: check_payload.py PAYLOAD_DIR

Each of ImgRes.zip, Drivers.zip and SoftQuorvane.zip must exist and be ZIP data, and
SoftQuorvane.zip must name QuorvaneSoftware.exe at its top level, since the release tool launches
that file after unpacking. The check is deliberately lenient beyond that: the archives are the
vendor's, and damaged or hostile ones are embedded on purpose to test the release tool's reader,
so nothing here reads entry data or trusts the counts and offsets an archive claims.

Prints one line per problem, each naming its file, and exits with 1 if there is any.
"""

import struct
import sys
from pathlib import Path

ARCHIVES = ("ImgRes.zip", "Drivers.zip", "SoftQuorvane.zip")
CLIENT_ARCHIVE = "SoftQuorvane.zip"
CLIENT_EXECUTABLE = "QuorvaneSoftware.exe"

LOCAL_HEADER = b"PK\x03\x04"
CENTRAL_HEADER = b"PK\x01\x02"
CENTRAL_HEADER_SIZE = 46
END_RECORD = b"PK\x05\x06"
END_RECORD_SIZE = 22
END_SEARCH_SPAN = 65535 + END_RECORD_SIZE  # the end record sits before a comment of at most 65535 bytes


def is_zip_data(data):
    """ZIP data starts with a local header or holds an end record (an empty archive is only that)."""
    return data.startswith(LOCAL_HEADER) or END_RECORD in data


def walk_directory(data):
    """Names from the central directory that the last end record points at, or None when that
    record or the directory is not where it says. Data may precede the archive (a stub), so the
    directory is also looked for just before the end record."""
    end = data.rfind(END_RECORD, max(0, len(data) - END_SEARCH_SPAN))
    if end < 0 or end + END_RECORD_SIZE > len(data):
        return None
    count, size, offset = struct.unpack_from("<HII", data, end + 10)
    for start in (offset, end - size):
        if 0 <= start <= end and data.startswith(CENTRAL_HEADER, start):
            break
    else:
        return None
    names = []
    position = start
    for _ in range(count):
        if position + CENTRAL_HEADER_SIZE > end or not data.startswith(CENTRAL_HEADER, position):
            return None
        name_length, extra_length, comment_length = struct.unpack_from("<HHH", data, position + 28)
        name_start = position + CENTRAL_HEADER_SIZE
        names.append(data[name_start:name_start + name_length])
        position = name_start + name_length + extra_length + comment_length
    return names


def scan_directory(data):
    """Every name that a central header anywhere in the file gives: the fallback when the end
    record or the directory offset is damaged."""
    names = []
    position = data.find(CENTRAL_HEADER)
    while position >= 0:
        if position + CENTRAL_HEADER_SIZE <= len(data):
            name_length = struct.unpack_from("<H", data, position + 28)[0]
            start = position + CENTRAL_HEADER_SIZE
            names.append(data[start:start + name_length])
        position = data.find(CENTRAL_HEADER, position + 4)
    return names


def central_names(data):
    names = walk_directory(data)
    return scan_directory(data) if names is None else names


def names_top_level_file(names, wanted):
    # Windows finds the file whatever the case of its name; a name with a separator lies in a folder.
    wanted = wanted.encode("ascii").lower()
    return any(name.lower() == wanted for name in names)


def problems_in(folder):
    problems = []
    for archive in ARCHIVES:
        path = folder / archive
        if not path.is_file():
            problems.append(f"{path}: missing (the payload folder must hold {', '.join(ARCHIVES)})")
            continue
        data = path.read_bytes()
        if not is_zip_data(data):
            problems.append(f"{path}: not a ZIP archive")
            continue
        if archive == CLIENT_ARCHIVE and not names_top_level_file(central_names(data), CLIENT_EXECUTABLE):
            problems.append(f"{path}: has no {CLIENT_EXECUTABLE} at its top level, "
                            f"so the release tool would have nothing to launch")
    return problems


def warnings_in(folder):
    """What the build accepts but the release tool's reader will likely refuse."""
    warnings = []
    for archive in ARCHIVES:
        path = folder / archive
        if path.is_file():
            data = path.read_bytes()
            if is_zip_data(data) and END_RECORD not in data[-END_SEARCH_SPAN:]:
                warnings.append(f"{path}: no ZIP end record in its last {END_SEARCH_SPAN} bytes")
    return warnings


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    folder = Path(argv[1])
    for warning in warnings_in(folder):
        print("warning: " + warning)
    problems = problems_in(folder)
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
