#!/usr/bin/env python3
"""Checks a vendor's payload before the build embeds it.

usage: check_payload.py [--ziptool ZIPTOOL | --structure-only] [--lenient] PAYLOAD_DIR
       check_payload.py [--ziptool ZIPTOOL | --structure-only] [--lenient] --archive ARCHIVE [--shown-as TEXT]
       check_payload.py --total [--shown-as TEXT] ARCHIVE ARCHIVE ARCHIVE

The payload folder holds, for each of ImgRes, Drivers and SoftQuorvane, either the archive
(ImgRes.zip, ...) or a folder of that name, which the build packs (pack_payload.py); not both.
Each archive must be ZIP data, and SoftQuorvane must hold QuorvaneSoftware.exe at its top level,
since the release tool launches that file after unpacking. --archive checks one archive, whose
file name says which of the three it is; --shown-as is the name its messages give it.

The three archives together (a folder counts as the archive it is packed into) must hold at most
PAYLOAD_LIMIT bytes: they are resources of a 32-bit program, which would not start with a larger
image. --total checks only that, for the three archives given. The environment variable
QUORVANE_PAYLOAD_LIMIT replaces the limit; it is a hook for the tests, which cannot make payloads
of a gigabyte, and no build sets it.

Every entry is also tried with the release tool's own code, through a ziptool built for this
machine: --ziptool names one; without it, the check takes a current one from this checkout's
build folders, or builds one in build/host-ziptool, or stops saying that it cannot check the
entries. SoftQuorvane.zip is unpacked with the release's folder extraction ("ziptool extract"),
and every entry that it would not install is a problem, with ziptool's reason; every entry of the
other two must read whole with the reader ("ziptool test"). Their names are the client's business,
but one that the release would refuse as ambiguous (not UTF-8, or the same file on Windows as an
earlier entry, or a file and a folder of one name, by "ziptool list") is a warning. Every name is
judged as the release uses it, the reader's ("ziptool list"), which a Unicode Path field may give:
the client program too must stand at the top level under that name. A name with U+FFFD in it, which
an archiver writes for bytes it could not convert, is a problem in the client archive and a warning
in the others. The rules are ziptool's, never repeated here.
--structure-only checks only what needs no ziptool (the build's first, quick check, before it has
one) and says in its output that the entries were not checked.
--lenient reports the entries as warnings instead, for payloads that are damaged or hostile on
purpose; what cannot work at all (a missing or non-ZIP archive, no client program, a payload too
big to start) stays a problem.

Prints one line per problem, each naming its archive (and entry), every problem of the payload in
one run, and exits with 1 if there is any, or when it could not check the entries.
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import pack_payload  # noqa: E402

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


# The longest install root a normal Windows account has: "C:\\Users\\" + a user name of at most 20
# characters + "\\AppData\\Roaming\\Quorvane\\Software". The trial extraction runs in a folder of
# that length, so a name that would make a path too long on Windows is too long here as well.
INSTALL_ROOT_LENGTH = 9 + 20 + 34

# The most the three archives may hold together. The release tool is a 32-bit program that is not
# large-address-aware: Windows gives it 2 GB of addresses, its image (about 1 MB of code and the
# archives as resources) must fit one free range of them, and its heap, stacks and buffers need
# room beside it. Wine started a 2.05 GB image natively and not a 2.1 GB one, but under qemu's
# i386 emulation not even 1.3 GB; 1 GB started there and released in 14 s.
PAYLOAD_LIMIT = 1_000_000_000

# What each of folder extraction's events means for the vendor; an event not listed here is shown
# as ziptool gives it.
UNZIP_EVENTS = {
    "Refused Name": "its name would leave the install folder, names a device or a stream, or was cut",
    "Path Too Long": "its path below the install folder is too long",
    "Data Corrupt": "its data does not match its size or CRC-32",
    "Password Mismatch": "it is encrypted, and the release has no password",
    "Read Failed": "its data cannot be read or decompressed",
    "Unreadable Entry": "its records in the archive are broken",
    "Name Not UTF-8": "its name is in a code page, not UTF-8, and would read differently on another "
                      "machine: make the archive with UTF-8 names, e.g. 7-Zip's -mcu=on, or give the folder instead",
    "Duplicate Name": "Windows takes it for the same file as an earlier entry, or a file and a folder of one "
                      "name; rename or remove one of them",
}
# What to do about an event that ziptool details with the entry it concerns.
UNZIP_ADVICE = {"Duplicate Name": "rename or remove one of them"}
# The remark of "ziptool list" that says why the release refuses a name, and the line of
# "ziptool extract" for a file installed after another program held it for a moment.
REFUSED = "refused: "
HELD = "installed after a hold"
# A name with U+FFFD in it: an archiver (bsdtar in the C locale, say) put it for bytes it could not convert.
UNCONVERTED = "the archiver could not convert this name; make the archive with UTF-8 names or give the folder"
# What the release would refuse by name alone in the client archive and makes the skin's or the
# drivers' names ambiguous for the client; "Refused Name" stays the client's business there.
AMBIGUOUS_NAME_EVENTS = ("Name Not UTF-8", "Duplicate Name")


def client_problems(shown, archive, names):
    if archive == CLIENT_ARCHIVE and not names_top_level_file(names, CLIENT_EXECUTABLE):
        return [f"{shown}: has no {CLIENT_EXECUTABLE} at its top level, so the release tool would have nothing to launch"]
    return []


def structure_warnings(path, data):
    """What the build accepts but the release tool's reader will likely refuse."""
    if is_zip_data(data) and END_RECORD not in data[-END_SEARCH_SPAN:]:
        return [f"{path}: no ZIP end record in its last {END_SEARCH_SPAN} bytes"]
    return []


def trial_folder(base):
    padding = INSTALL_ROOT_LENGTH - len(base) - 1
    return os.path.join(base, "q" * max(padding, 1))


def explained(why):
    """The event and what it means for the vendor: ziptool's own detail of the fault when it gives one
    ("Refused Name: a device name on Windows: \"CON\""), else the meaning of the event, and what to do."""
    event, _, detail = why.partition(": ")
    meaning = detail or UNZIP_EVENTS.get(event)
    advice = UNZIP_ADVICE.get(event) if detail else None
    if not meaning:
        return event
    return f"{event} ({meaning}; {advice})" if advice else f"{event} ({meaning})"


def failing_entries(ziptool, path, archive):
    """(entry, why) for every entry that the release would not install (the client archive) or
    that does not read whole (the others); an archive that cannot be opened gives one (None, why)."""
    with tempfile.TemporaryDirectory(prefix="quorvane-check-") as scratch:
        if archive == CLIENT_ARCHIVE:
            command, verdict = [ziptool, "extract", str(path), trial_folder(scratch)], "not installed by the release"
        else:
            command, verdict = [ziptool, "test", str(path)], "does not read whole"
        result = subprocess.run(command, capture_output=True)
    failures = []
    for line in result.stdout.decode("utf-8", "replace").splitlines():
        if "\t" not in line:
            continue  # the extraction's closing count of what it did
        index, name, why = (line.split("\t", 2) + ["", ""])[:3]
        if why == HELD:
            continue  # installed: another program only held the file for a moment
        failures.append((name or f"#{index}", f"{verdict}: {explained(why.partition(': ')[2] or why)}"))
    if result.returncode != 0 and not failures:
        message = (result.stderr.decode("utf-8", "replace").strip().splitlines() or ["no output"])[0]
        message = message.removeprefix("ziptool: ").replace(str(path), "it")
        failures.append((None, f"the release tool's reader {message}"))
    return failures


def listed_entries(ziptool, path):
    """(index, name, refusal) for every entry as "ziptool list" gives it, below its header: the name is
    the one the release uses (a Unicode Path field's, cleaned up), the refusal why it would refuse the
    name ("EVENT: why"), else None. The remarks give the stored name first, then the refusal; a name
    with ": " would be refused for its colon, so "refused: " cannot stand in a stored name shown there."""
    result = subprocess.run([ziptool, "list", str(path)], capture_output=True)
    entries = []
    for line in result.stdout.decode("utf-8", "replace").splitlines()[1:]:
        fields = line.split("\t")
        if len(fields) >= 6:
            remarks = fields[6] if len(fields) > 6 else ""
            refused = remarks.startswith(REFUSED) or "; " + REFUSED in remarks
            entries.append((fields[0], fields[5], remarks.rpartition(REFUSED)[2] if refused else None))
    return entries


def ambiguous_names(listed):
    """(entry, why) for every entry of an archive that is only written whose name the release
    would refuse as ambiguous if it unpacked it."""
    return [(name, f"ambiguous name: {explained(refusal)}")
            for _, name, refusal in listed if refusal and refusal.partition(": ")[0] in AMBIGUOUS_NAME_EVENTS]


def unconverted_names(listed):
    return [(name, UNCONVERTED) for _, name, _ in listed if "\ufffd" in name]


def check_archive(path, archive, options, shown=None):
    """(problems, warnings) of one archive file."""
    shown = shown or str(path)
    data = Path(path).read_bytes()
    if not is_zip_data(data):
        return [f"{shown}: not a ZIP archive"], []
    warnings = structure_warnings(shown, data)
    names = central_names(data)
    if not options.ziptool:
        return client_problems(shown, archive, names), warnings
    # The names the release uses, from its own reader: a Unicode Path field may rename an entry.
    listed = listed_entries(options.ziptool, path)
    failures = failing_entries(options.ziptool, path, archive)
    opened = not (failures and failures[0][0] is None)
    problems = client_problems(shown, archive, [name.encode("utf-8") for _, name, _ in listed] if opened else names)
    entries = failures + (unconverted_names(listed) if archive == CLIENT_ARCHIVE else [])
    lines = [f"{shown}: {why}" if entry is None else f'{shown}: entry "{entry}": {why}' for entry, why in entries]
    if archive != CLIENT_ARCHIVE:
        warnings += [f'{shown}: entry "{entry}": {why}'
                     for entry, why in ambiguous_names(listed) + unconverted_names(listed)]
    return (problems, warnings + lines) if options.lenient else (problems + lines, warnings)


def check_folder_source(folder, archive, options):
    """A folder that the build will pack: what packing refuses, the client program, and with
    ziptool everything an archive is checked for, on what can be packed, so that every problem
    is named in one run."""
    entries, problems = pack_payload.scan(folder)
    shown = f"{folder}{os.sep}"
    problems += client_problems(shown, archive, [name.encode("utf-8") for name, _ in entries])
    if not options.ziptool:
        return problems, []
    with tempfile.TemporaryDirectory(prefix="quorvane-pack-") as scratch:
        packed = Path(scratch) / archive
        pack_payload.write_archive(entries, packed, pack_payload.entry_date())
        found, warnings = check_archive(packed, archive, options, shown)
    return problems + [line for line in found if line not in problems], warnings


def payload_limit():
    return int(os.environ.get("QUORVANE_PAYLOAD_LIMIT", PAYLOAD_LIMIT))


def size_problems(shown, sizes):
    total, limit = sum(sizes), payload_limit()
    if total <= limit:
        return []
    return [f"{shown}: the three archives hold {total:,} bytes; the release tool can carry at most {limit:,} "
            f"(a 32-bit program cannot map a larger image and would not start)"]


def packed_size_bound(entries):
    """No less than the size of the archive that pack_payload packs these entries into: zlib's
    conservative bound of deflated data, and for each entry its headers with a name and a ZIP64
    field in each, a data descriptor and room to spare."""
    size = 200
    for name, path in entries:
        data = os.path.getsize(path) if path else 0
        size += data + ((data + 7) >> 3) + ((data + 63) >> 6) + 5 + 200 + 2 * len(name.encode("utf-8"))
    return size


def payload_size_problems(folder):
    """The three archives that the payload folder gives, folders packed, against the limit. A
    folder is packed here only when the bound of its packed size does not settle it."""
    sizes, sources = [], []
    for archive in ARCHIVES:
        path, source = folder / archive, folder / archive.removesuffix(".zip")
        if source.is_dir():
            entries, problems = pack_payload.scan(source)
            if problems:
                return []  # named already
            sources.append((source, archive, packed_size_bound(entries)))
        elif path.is_file():
            sizes.append(path.stat().st_size)
        else:
            return []
    if sum(sizes) + sum(bound for _, _, bound in sources) <= payload_limit():
        return []
    with tempfile.TemporaryDirectory(prefix="quorvane-size-") as scratch:
        for source, archive, _ in sources:
            packed = Path(scratch) / archive
            pack_payload.pack(source, packed, pack_payload.entry_date())
            sizes.append(packed.stat().st_size)
    return size_problems(f"{folder}{os.sep}", sizes)


def check_payload_dir(folder, options):
    if not folder.is_dir():
        return [f"{folder}: {'not a folder' if folder.exists() else 'no such folder'} (the payload folder must "
                f"hold {', '.join(ARCHIVES)} or folders of those names)"], []
    problems, warnings = [], []
    for archive in ARCHIVES:
        path, source = folder / archive, folder / archive.removesuffix(".zip")
        if path.exists() and source.is_dir():
            problems.append(f"{path} and {source}{os.sep}: both present; keep the archive or the folder")
        elif source.is_dir():
            found = check_folder_source(source, archive, options)
            problems, warnings = problems + found[0], warnings + found[1]
        elif path.is_file():
            found = check_archive(path, archive, options)
            problems, warnings = problems + found[0], warnings + found[1]
        else:
            problems.append(f"{path}: missing (the payload folder must hold {', '.join(ARCHIVES)} "
                            f"or folders of those names)")
    return problems + payload_size_problems(folder), warnings


# This checkout, and where a ziptool for this machine may already stand in it: the check's own
# build, the native build, and the host tools that a Windows build makes for its payload check.
CHECKOUT = Path(__file__).resolve().parents[1]
OWN_BUILD = Path("build") / "host-ziptool"
ZIPTOOL_PLACES = (OWN_BUILD / "tools", Path("build/native/tools"), Path("build/release/host-tools/tools"),
                  Path("build/windows/host-tools/tools"))
# What ziptool is made of: one older than any of these may judge by rules that the release no longer has.
ZIPTOOL_SOURCES = ("archive", "deploy", "platform", "tools")


def newest_source(checkout):
    newest = 0
    for folder in ZIPTOOL_SOURCES:
        for path in (checkout / folder).rglob("*"):
            if path.suffix in (".cpp", ".h", ".inc") or path.name == "CMakeLists.txt":
                newest = max(newest, path.stat().st_mtime)
    return newest


def built_ziptool(checkout):
    """ziptool built here for this machine, its path and None, or None and why it could not be built."""
    build = checkout / OWN_BUILD
    cmake = shutil.which("cmake")
    if not (checkout / "CMakeLists.txt").is_file() or cmake is None:
        return None, f"{checkout} is no source tree that cmake can build" if cmake else "cmake is not installed"
    print(f"check_payload: bringing the ziptool in {build} up to date to check the entries", file=sys.stderr)
    for command in ([cmake, "-S", str(checkout), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                     "-DQUORVANE_TOOLS_ONLY=ON"], [cmake, "--build", str(build), "--target", "ziptool", "--parallel", "2"]):
        # Its own make, also when the check runs below another one.
        environment = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
        result = subprocess.run(command, capture_output=True, text=True, env=environment)
        if result.returncode != 0:
            return None, "its build failed:\n" + "\n".join((result.stdout + result.stderr).splitlines()[-15:])
    return build / "tools" / "ziptool", None


def find_ziptool(checkout=CHECKOUT):
    """A ziptool for this machine that is no older than its sources, built when there is none;
    None and why when there is none to be had."""
    newest = newest_source(checkout)
    for place in ZIPTOOL_PLACES:
        ziptool = checkout / place / "ziptool"
        if ziptool.is_file() and os.access(ziptool, os.X_OK) and ziptool.stat().st_mtime >= newest:
            return ziptool, None
    return built_ziptool(checkout)


# Said with every check that did not try the entries.
NOT_CHECKED = ("the entries were not checked (structure only): the release may still refuse some of them; "
               "without --structure-only the check tries each one with ziptool")


def parse_options(argv):
    parser = argparse.ArgumentParser(
        usage="\n".join(__doc__.strip().splitlines()[2:5]).removeprefix("usage: "),
        description="Checks a vendor's payload (ImgRes, Drivers and SoftQuorvane, each an archive or a folder) as "
                    "the release tool would take it, and names every problem in one run; exit status 1 if there "
                    "is any.")
    parser.add_argument("--ziptool", metavar="ZIPTOOL",
                        help="the ziptool built for this machine that tries every entry with the release's own "
                             "code; by default a current one is taken from this checkout's build folders, or built "
                             f"in {OWN_BUILD}")
    parser.add_argument("--structure-only", action="store_true",
                        help="check only what needs no ziptool: each archive or folder is there and is ZIP data, "
                             "the client program stands at the top level, folders can be packed, the size fits; "
                             "the output says that the entries were not checked")
    parser.add_argument("--lenient", action="store_true",
                        help="report entries that the release would not install as warnings, not problems (for "
                             "payloads that are damaged or hostile on purpose)")
    parser.add_argument("--archive", action="store_true",
                        help="check the one archive given, whose file name says which of the three it is")
    parser.add_argument("--shown-as", metavar="TEXT", help="the name that messages give the archive or payload")
    parser.add_argument("--total", action="store_true",
                        help="check only that the three archives given fit together in the release tool")
    parser.add_argument("paths", type=Path, nargs="+", metavar="PATH",
                        help="the payload folder; with --archive one archive; with --total the three archives")
    options = parser.parse_args(argv[1:])
    if len(options.paths) != (len(ARCHIVES) if options.total else 1):
        parser.error("--total takes the three archives, the other forms one path")
    if options.ziptool and options.structure_only:
        parser.error("--structure-only checks no entry: give it or --ziptool, not both")
    options.path = options.paths[0]
    return options


def run_check(options):
    """(problems, warnings) of the check asked for."""
    if options.total:
        return size_problems(options.shown_as or "the payload", [p.stat().st_size for p in options.paths]), []
    if options.archive:
        archive = options.path.name
        if archive not in ARCHIVES or not options.path.is_file():
            return [f"{options.path}: not one of the payload archives {', '.join(ARCHIVES)}"], []
        return check_archive(options.path, archive, options, options.shown_as)
    return check_payload_dir(options.path, options)


def main(argv):
    options = parse_options(argv)
    not_checked = None
    # Nothing to try for a payload that is not there: said once, by the check of its structure.
    if not (options.total or options.structure_only or options.ziptool) and options.path.exists():
        options.ziptool, why = find_ziptool()
        not_checked = None if options.ziptool else f"cannot check the entries: no ziptool for this machine ({why})"
    problems, warnings = run_check(options)
    for warning in warnings:
        print("warning: " + warning)
    for problem in problems + ([not_checked] if not_checked else []):
        print(problem)
    if options.structure_only:
        print("note: " + NOT_CHECKED)
    return 1 if problems or not_checked else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
