#!/usr/bin/env python3
"""check_payload.py decides whether a vendor's payload folder can be embedded: it must refuse
what cannot work; with QUORVANE_ZIPTOOL (the ziptool of this machine) it must name every entry
that the release would not install or read whole, and let them through as warnings when lenient.
pack_payload.py must give the same bytes for the same folder, whatever its times or location."""

import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile
import zlib
from pathlib import Path

SAMPLE = Path(os.environ.get("QUORVANE_SOURCE_DIR", Path(__file__).parents[2])) / "sample"
CHECK, PACK = SAMPLE / "check_payload.py", SAMPLE / "pack_payload.py"
ZIPTOOL = os.environ["QUORVANE_ZIPTOOL"]
STRUCTURE = ("--structure-only",)
NOT_CHECKED = "note: the entries were not checked (structure only)"


def zip_bytes(names, data=b"MZ" + bytes(300), method=zipfile.ZIP_DEFLATED):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", method) as archive:
        for name in names:
            archive.writestr(name, b"" if str(name).endswith("/") else data)
    return buffer.getvalue()


def code_page_zip(name, field_for=None):
    """The client and NAME in code page 437 without the UTF-8 flag; with field_for, a Unicode Path
    field (0x7075) gives NAME as UTF-8 for the stored name field_for (another name: a stale field)."""
    raw, utf8 = name.encode("cp437"), name.encode("utf-8")
    info = zipfile.ZipInfo("#" * len(raw))  # ASCII, so zipfile sets no flag; replaced by the raw bytes
    if field_for is not None:
        info.extra = struct.pack("<HHBI", 0x7075, 5 + len(utf8), 1, zlib.crc32(field_for.encode("cp437"))) + utf8
    return zip_bytes(["QuorvaneSoftware.exe", info]).replace(info.filename.encode(), raw)


def unicode_path_zip(stored, name, local_only=False):
    """An entry stored as STORED whose valid Unicode Path field (0x7075) names it NAME, after the client
    unless it is the client's; local_only turns the directory's copy of the field into another tag."""
    info = zipfile.ZipInfo(stored)
    utf8 = name.encode("utf-8")
    info.extra = struct.pack("<HHBI", 0x7075, 5 + len(utf8), 1, zlib.crc32(stored.encode())) + utf8
    data = zip_bytes(([] if stored == "QuorvaneSoftware.exe" else ["QuorvaneSoftware.exe"]) + [info])
    at = data.rfind(info.extra)
    return data[:at] + b"\x76" + data[at + 1:] if local_only else data


def zip64_end(data):
    """The archive with its end record leaving the directory's offset to a ZIP64 end record."""
    at = data.rfind(b"PK\x05\x06")
    count, size, offset = struct.unpack_from("<HII", data, at + 10)
    record = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, size, offset)
    locator = struct.pack("<IIQI", 0x07064B50, 0, at, 1)
    return data[:at] + record + locator + data[at:at + 16] + b"\xff" * 4 + data[at + 20:]


CLIENT = zip_bytes(["QuorvaneSoftware.exe", "QelSoftClient.exe", "QvCore.dll"])
PAYLOAD = {"ImgRes.zip": zip_bytes(["main.xml", "common/", "common/logo.png"]),
           "Drivers.zip": zip_bytes(["DevTools/", "DevTools/ReadMe.txt"]), "SoftQuorvane.zip": CLIENT}
END = b"PK\x05\x06"


def with_end_field(data, offset, fmt, value):
    """The archive with one field of its end record replaced."""
    at = data.rfind(END)
    return data[:at + offset] + struct.pack(fmt, value) + data[at + offset + struct.calcsize(fmt):]


def corrupt_first_entry_data(data):
    at = 30 + len("QuorvaneSoftware.exe")
    return data[:at] + bytes(b ^ 0xFF for b in data[at:at + 20]) + data[at + 20:]


def crc_mismatch(names):
    """Stored entries whose first one has one byte changed: every record agrees, the CRC-32 not."""
    data = bytearray(zip_bytes(names, method=zipfile.ZIP_STORED))
    data[30 + len(names[0]) + 5] ^= 0x01
    return bytes(data)


def write_tree(root, files):
    """files: relative name -> bytes, None for a folder, or a str: a link to that target."""
    for name, data in files.items():
        path = Path(root) / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if data is None:
            path.mkdir(exist_ok=True)
        elif isinstance(data, str):
            path.symlink_to(data)
        else:
            path.write_bytes(data)


# Names that Windows takes for one file, each after its first spelling.
PAIRS = ["Ελλάδα.txt", "ΕΛΛΆΔΑ.txt", "Științe.txt", "ȘTIINȚE.txt", "Việt.txt", "VIỆT.txt", "ǆ", "Ǆ", "բ", "Բ"]
CLIENT_FOLDER = {"QuorvaneSoftware.exe": b"MZ" + bytes(300), "plugins/QvCore.dll": b"MZ" + bytes(900)}


class CheckPayload(unittest.TestCase):
    def check(self, *options, limit=None, checker=CHECK, **replacements):
        """Runs the check on a folder with a good payload, where each archive given as Name_zip
        has its bytes replaced (None: the file is left out), and each Name_dir adds a folder
        with the files given (see write_tree); limit replaces the payload's size limit. The note of
        a check of the structure alone is asserted and left out."""
        files = dict(PAYLOAD)
        environment = {**os.environ, "QUORVANE_PAYLOAD_LIMIT": str(limit)} if limit else None
        with tempfile.TemporaryDirectory() as folder:
            for name, data in replacements.items():
                if name.endswith("_dir"):
                    write_tree(Path(folder) / name.removesuffix("_dir"), data)
                else:
                    files[name.replace("_zip", ".zip")] = data
            write_tree(folder, {name: data for name, data in files.items() if data is not None})
            result = subprocess.run([sys.executable, str(checker), *options, folder], capture_output=True, text=True,
                                    env=environment)
            output = result.stdout.replace(folder + os.sep, "")
            if "--structure-only" in options:
                self.assertTrue(output.splitlines()[-1].startswith(NOT_CHECKED), output)
                output = output[:output.rindex(NOT_CHECKED)]
            return result.returncode, output

    def test_accepts_a_good_payload(self):
        folders = {"ImgRes_zip": None, "ImgRes_dir": {"main.xml": b"<Window/>", "common/logo.png": b"png", "empty": None},
                   "SoftQuorvane_zip": None, "SoftQuorvane_dir": CLIENT_FOLDER}
        for options in (STRUCTURE, ("--ziptool", ZIPTOOL)):
            self.assertEqual(self.check(*options), (0, ""))
            self.assertEqual(self.check(*options, **folders), (0, ""))

    def test_refuses_with_the_file_named(self):
        cases = {
            "missing skin archive": ({"ImgRes_zip": None}, "ImgRes.zip: missing"),
            "missing driver archive": ({"Drivers_zip": None}, "Drivers.zip: missing"),
            "missing client archive": ({"SoftQuorvane_zip": None}, "SoftQuorvane.zip: missing"),
            "text file": ({"Drivers_zip": b"not an archive\n"}, "Drivers.zip: not a ZIP archive"),
            "empty file": ({"ImgRes_zip": b""}, "ImgRes.zip: not a ZIP archive"),
            "other format": ({"SoftQuorvane_zip": b"7z\xbc\xaf\x27\x1c" + bytes(40)},
                             "SoftQuorvane.zip: not a ZIP archive"),
            "no client executable": ({"SoftQuorvane_zip": zip_bytes(["QelSoftClient.exe", "QvCore.dll"])},
                                     "SoftQuorvane.zip: has no QuorvaneSoftware.exe"),
            "client executable in a folder": ({"SoftQuorvane_zip": zip_bytes(["bin/", "bin/QuorvaneSoftware.exe"])},
                                              "SoftQuorvane.zip: has no QuorvaneSoftware.exe"),
            "client executable only inside a stored archive": (
                {"SoftQuorvane_zip": zip_bytes(["Nested.zip"], zip_bytes(["QuorvaneSoftware.exe"]), zipfile.ZIP_STORED)},
                "SoftQuorvane.zip: has no QuorvaneSoftware.exe"),
            "client executable name longer": ({"SoftQuorvane_zip": zip_bytes(["QuorvaneSoftware.exe.bak"])},
                                              "SoftQuorvane.zip: has no QuorvaneSoftware.exe"),
            "archive and folder of one name": ({"Drivers_dir": {"x.inf": b"x"}},
                                               f"Drivers.zip and Drivers{os.sep}: both present"),
            "client folder without the client": ({"SoftQuorvane_zip": None, "SoftQuorvane_dir": {"bin/QuorvaneSoftware.exe": b"MZ"}},
                                                 f"SoftQuorvane{os.sep}: has no QuorvaneSoftware.exe"),
            "link in a folder": ({"ImgRes_zip": None, "ImgRes_dir": {"main.xml": b"x", "passwd": "/etc/passwd"}},
                                 "ImgRes/passwd: a link"),
            "names Windows takes for one file": ({"Drivers_zip": None, "Drivers_dir": {"Qv.dll": b"1", "QV.DLL": b"2"}},
                                                 "Drivers/QV.DLL and Qv.dll: Windows takes them for one file; rename"),
            "Greek names Windows takes for one": ({"Drivers_zip": None, "Drivers_dir": dict.fromkeys(PAIRS[:2], b"1")},
                                                  f"Drivers/{PAIRS[1]} and {PAIRS[0]}: Windows takes them for one file"),
            "a file and a folder of one name": ({"Drivers_zip": None, "Drivers_dir": {"Lib": b"1", "lib/x.dll": b"2"}},
                                                "Drivers/Lib and lib: Windows takes them for one file"),
        }
        for case, (replacements, message) in cases.items():
            with self.subTest(case):
                status, output = self.check(*STRUCTURE, **replacements)
                self.assertEqual(status, 1)
                self.assertIn(message, output)
                self.assertEqual(len(output.splitlines()), 1, output)

    def test_reports_every_problem_at_once(self):
        status, output = self.check(*STRUCTURE, ImgRes_zip=None, SoftQuorvane_zip=b"junk")
        self.assertEqual(status, 1)
        self.assertEqual(len(output.splitlines()), 2, output)
        # What packing refuses, the client program and the entries, of every archive; a missing folder once.
        broken = {**CLIENT_FOLDER, "QuorvaneSoftware.exe": None, "pw": "/etc/passwd", "CON": b"x"}
        status, output = self.check("--ziptool", ZIPTOOL, SoftQuorvane_zip=None, SoftQuorvane_dir=broken,
                                    Drivers_zip=crc_mismatch(["a.inf"]))
        self.assertEqual((status, [line.split(": ")[1] for line in output.splitlines()]), (1, [
            'entry "a.inf"', "a link; put the file or folder itself in the payload", "has no QuorvaneSoftware.exe at "
            "its top level, so the release tool would have nothing to launch", 'entry "CON"']), output)
        missing = subprocess.run([sys.executable, CHECK, *STRUCTURE, "/nowhere/payload"], capture_output=True, text=True)
        self.assertEqual((missing.returncode, missing.stdout.splitlines()[0]), (1, (
            "/nowhere/payload: no such folder (the payload folder must hold ImgRes.zip, Drivers.zip, SoftQuorvane.zip "
            "or folders of those names)")))
        self.assertEqual(len(missing.stdout.splitlines()), 2, missing.stdout)

    def test_checks_the_entries_without_being_given_a_ziptool(self):
        """A current ziptool in the checkout's build folders is taken; with none, and none to be built, the check
        says that it cannot check the entries."""
        client = {"SoftQuorvane_zip": zip_bytes(["QuorvaneSoftware.exe", "CON"])}
        with tempfile.TemporaryDirectory() as checkout:
            for name in ("sample/check_payload.py", "sample/pack_payload.py", "platform/upcase_table.inc"):
                (Path(checkout) / name).parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(SAMPLE.parent / name, Path(checkout) / name)
            checker = Path(checkout) / "sample" / "check_payload.py"
            status, output = self.check(checker=checker, **client)
            self.assertEqual((status, output.split(" (")[0]), (1, "cannot check the entries: no ziptool for this machine"))
            (Path(checkout) / "build" / "native" / "tools").mkdir(parents=True)
            shutil.copy(ZIPTOOL, Path(checkout) / "build" / "native" / "tools" / "ziptool")
            self.assertEqual(self.check(checker=checker, **client), (1, 'SoftQuorvane.zip: entry "CON": not installed by '
                                                                        'the release: Refused Name (a device name on Windows: "CON")\n'))

    def test_accepts_damaged_or_hostile_archives(self):
        cases = {
            "corrupted entry data": corrupt_first_entry_data(CLIENT),
            "directory offset points elsewhere": with_end_field(CLIENT, 16, "<I", 7),
            "entry count too large": with_end_field(CLIENT, 10, "<H", 65535),
            "data before the archive": b"MZ stub of a self-extractor" + bytes(500) + CLIENT,
            "trailing comment": with_end_field(CLIENT, 20, "<H", 9) + b"a comment",
            "lower-case name": zip_bytes(["quorvanesoftware.exe"]),
            "local headers cut away": CLIENT[CLIENT.find(b"PK\x01\x02"):],
            "escaping names beside the client": zip_bytes(["../../evil.dll", "C:/x.exe", "QuorvaneSoftware.exe"]),
        }
        for case, client in cases.items():
            with self.subTest(case):
                self.assertEqual(self.check(*STRUCTURE, SoftQuorvane_zip=client)[0], 0)
                self.assertEqual(self.check("--ziptool", ZIPTOOL, "--lenient", SoftQuorvane_zip=client)[0], 0)
        # An archive without entries is ZIP data too (the skin may be empty).
        self.assertEqual(self.check("--ziptool", ZIPTOOL, ImgRes_zip=zip_bytes([])), (0, ""))

    def test_names_every_entry_the_release_would_refuse(self):
        refused = "not installed by the release: Refused Name"
        not_utf8 = 'SoftQuorvane.zip: entry "Caf\\x82.dll": not installed by the release: Name Not UTF-8 (its name is in'
        # A duplicate names the entry it repeats.
        twice, one_file, file_and_folder = ["not installed by the release: Duplicate Name (" + why for why in (
            'the same name as entry 1 "Qv.dll"', "the same file on Windows as entry ",
            "a file and a folder of one name on Windows, with entry ")]
        cases = {
            "client entry leaving the folder": ({"SoftQuorvane_zip": zip_bytes(["QuorvaneSoftware.exe", "../x"])},
                                                [f'SoftQuorvane.zip: entry "../x": {refused}']),
            "client names refused, each for its reason": (
                {"SoftQuorvane_zip": zip_bytes(["QuorvaneSoftware.exe", "x.qvtmp", "Quorvane.qvjournal", "a.", "b ",
                                                "LPT1.txt", "../y", "n" * 260])},
                [f'SoftQuorvane.zip: entry "{name}": {refused} ({why}' for name, why in (
                    ("x.qvtmp", "a name reserved for the release's own files"),
                    ("Quorvane.qvjournal", "a name reserved for the release's own files"),
                    ("a.", "a trailing dot or space"), ("b ", "a trailing dot or space"),
                    ("LPT1.txt", "a device name on Windows"), ("../y", "a parent step"),
                    ("n" * 259, "cut at the limit"))]),
            "client entries named like devices": ({"SoftQuorvane_zip": zip_bytes(["CON", "QuorvaneSoftware.exe", "lib/NUL"])},
                                                  [f'SoftQuorvane.zip: entry "CON": {refused}',
                                                   f'SoftQuorvane.zip: entry "lib/NUL": {refused}']),
            "client entry with a CRC mismatch": (
                {"SoftQuorvane_zip": crc_mismatch(["QuorvaneSoftware.exe", "QvCore.dll"])},
                ['SoftQuorvane.zip: entry "QuorvaneSoftware.exe": not installed by the release: Data Corrupt']),
            "client folder with a device name": ({"SoftQuorvane_zip": None, "SoftQuorvane_dir": {**CLIENT_FOLDER, "AUX": b"x"}},
                                                 [f'SoftQuorvane{os.sep}: entry "AUX": {refused}']),
            "skin entry with a CRC mismatch": ({"ImgRes_zip": crc_mismatch(["main.xml", "common/logo.png"])},
                                               ['ImgRes.zip: entry "main.xml": does not read whole: Data Corrupt']),
            "driver archive the reader cannot open": ({"Drivers_zip": CLIENT[CLIENT.find(b"PK\x01\x02"):]},
                                                      ["Drivers.zip: the release tool's reader cannot open it"]),
            "client name in a code page": ({"SoftQuorvane_zip": code_page_zip("Café.dll")}, [not_utf8]),
            "client name with a stale field": ({"SoftQuorvane_zip": code_page_zip("Café.dll", "Cafe.dll")}, [not_utf8]),
            "client name given twice": ({"SoftQuorvane_zip": zip_bytes(["QuorvaneSoftware.exe", "Qv.dll", "Qv.dll"])},
                                        [f'SoftQuorvane.zip: entry "Qv.dll": {twice}']),
            "client names Windows takes for one": ({"SoftQuorvane_zip": zip_bytes(["QuorvaneSoftware.exe", "Qv.dll", "qV.DLL"])},
                                                   [f'SoftQuorvane.zip: entry "qV.DLL": {one_file}1 "Qv.dll"']),
            "pairs of every script": ({"SoftQuorvane_zip": zip_bytes(["QuorvaneSoftware.exe", *PAIRS])},
                                      [f'SoftQuorvane.zip: entry "{upper}": {one_file}{at + 1} "{PAIRS[at]}"'
                                       for at, upper in zip(range(0, len(PAIRS), 2), PAIRS[1::2])]),
            "a file and a folder of one name": (
                {"SoftQuorvane_zip": zip_bytes(["QuorvaneSoftware.exe", "Lib", "lib/x.dll", "a/b/", "A/B"])},
                [f'SoftQuorvane.zip: entry "lib/x.dll": {file_and_folder}1 "Lib"',
                 f'SoftQuorvane.zip: entry "A/B": {file_and_folder}3 "a/b/"']),
            "client field in the local header only": (
                {"SoftQuorvane_zip": unicode_path_zip("x.dll", "QuorvaneSoftware.exe", local_only=True)},
                ['SoftQuorvane.zip: entry "x.dll": not installed by the release: Unreadable Entry (its records are broken)']),
            "client name the archiver could not convert": (
                {"SoftQuorvane_zip": zip_bytes(["QuorvaneSoftware.exe", "Caf\ufffd\ufffd.dll"])},
                ['SoftQuorvane.zip: entry "Caf\ufffd\ufffd.dll": the archiver could not convert this name; make the '
                 'archive with UTF-8 names or give the folder']),
            "client entry in bzip2": (
                {"SoftQuorvane_zip": zip_bytes(["QuorvaneSoftware.exe", "x.dll"], method=zipfile.ZIP_BZIP2)},
                [f'SoftQuorvane.zip: entry "{name}": not installed by the release: Unreadable Entry (compressed with '
                 f'bzip2 (method 12), which the release tool\'s reader does not read; store or deflate it)'
                 for name in ("QuorvaneSoftware.exe", "x.dll")]),
            "ZIP64 driver archive": ({"Drivers_zip": zip64_end(PAYLOAD["Drivers.zip"])},
                                     ["Drivers.zip: the release tool's reader cannot open it as a ZIP archive: it is a "
                                      "ZIP64 archive, which the release tool's reader does not read; make an archive "
                                      "under 4 GiB without ZIP64 (0x00000200)"]),
        }
        for case, (replacements, expected) in cases.items():
            with self.subTest(case):
                status, output = self.check("--ziptool", ZIPTOOL, **replacements)
                self.assertEqual(status, 1, output)
                self.assertEqual(len(output.splitlines()), len(expected), output)
                for line, wanted in zip(output.splitlines(), expected):
                    self.assertTrue(line.startswith(wanted), output)
                status, output = self.check("--ziptool", ZIPTOOL, "--lenient", **replacements)
                self.assertEqual(status, 0, output)
                warnings = ["warning: " + wanted for wanted in expected]
                self.assertEqual([line[:len(wanted)] for line, wanted in zip(output.splitlines(), warnings)], warnings)
        # The skin and the drivers are only written, not unpacked: names are the client's business,
        # but ambiguous ones are named. A valid Unicode Path field makes a code-page name UTF-8.
        self.assertEqual(self.check("--ziptool", ZIPTOOL, ImgRes_zip=zip_bytes(["../x", "CON"])), (0, ""))
        self.assertEqual(self.check("--ziptool", ZIPTOOL, SoftQuorvane_zip=code_page_zip("Café.dll", "Café.dll")), (0, ""))
        ambiguous = {"ImgRes_zip": code_page_zip("Café.dll"),
                     "Drivers_zip": zip_bytes(["a.inf", "a.inf", "A.INF", "a.inf/x", "\ufffd.inf"])}
        status, output = self.check("--ziptool", ZIPTOOL, **ambiguous)
        self.assertEqual((status, [line.split(" (")[0].split(";")[0] for line in output.splitlines()]), (0, [
            'warning: ImgRes.zip: entry "Caf\\x82.dll": ambiguous name: Name Not UTF-8',
            'warning: Drivers.zip: entry "a.inf": ambiguous name: Duplicate Name',
            'warning: Drivers.zip: entry "A.INF": ambiguous name: Duplicate Name',
            'warning: Drivers.zip: entry "a.inf/x": ambiguous name: Duplicate Name',
            'warning: Drivers.zip: entry "\ufffd.inf": the archiver could not convert this name']))
        # The client program must stand at the top level under the name the release gives it; the dotless
        # i and U+0483 have no upper case of their own on Windows, so both names of each pair install.
        for renamed in ("bin/QuorvaneSoftware.exe", "Launcher.exe"):
            client = unicode_path_zip("QuorvaneSoftware.exe", renamed)
            status, output = self.check("--ziptool", ZIPTOOL, "--lenient", SoftQuorvane_zip=client)
            self.assertEqual(status, 1, output)
            self.assertIn("SoftQuorvane.zip: has no QuorvaneSoftware.exe", output)
        kept_apart = zip_bytes(["QuorvaneSoftware.exe", "\u0131.txt", "\u0130.txt", "t\u0483", "t\u0482"])
        self.assertEqual(self.check("--ziptool", ZIPTOOL, SoftQuorvane_zip=kept_apart), (0, ""))

    def test_refuses_a_payload_too_big_to_start(self):
        folder = {"SoftQuorvane_zip": None, "SoftQuorvane_dir": CLIENT_FOLDER}  # counted as what it is packed into
        with tempfile.TemporaryDirectory() as work:
            write_tree(Path(work) / "SoftQuorvane", CLIENT_FOLDER)
            subprocess.run([sys.executable, str(PACK), Path(work) / "SoftQuorvane", Path(work) / "p.zip"], check=True)
            total = len(PAYLOAD["ImgRes.zip"]) + len(PAYLOAD["Drivers.zip"]) + (Path(work) / "p.zip").stat().st_size
        for options in (STRUCTURE, ("--ziptool", ZIPTOOL, "--lenient")):
            self.assertEqual(self.check(*options, limit=total, **folder), (0, ""))
            self.assertEqual(self.check(*options, limit=total - 1, **folder), (1, (
                f": the three archives hold {total:,} bytes; the release tool can carry at most {total - 1:,} "
                f"(a 32-bit program cannot map a larger image and would not start)\n")))

    def test_warns_when_the_end_record_is_out_of_reach(self):
        far = CLIENT + bytes(70000)  # trailing bytes push the end record out of the searched span
        status, output = self.check(*STRUCTURE, SoftQuorvane_zip=far)
        self.assertEqual(status, 0)
        self.assertIn("warning: SoftQuorvane.zip: no ZIP end record", output)


class PackPayload(unittest.TestCase):
    FILES = {"QuorvaneSoftware.exe": b"MZ" + bytes(5000), "a-b.txt": b"dash", "a/z.txt": b"z" * 100,
             ".profile": b"dot", "a/.cache/x": b"dot folder",
             "a/deeper/b.bin": bytes(range(256)) * 40, "empty/": None, "Résumé.txt": "é".encode(), "zero": b"",
             "straße": b"sharp s", "STRASSE": b"double s", "\u0131": b"dotless", "\u0130": b"dotted"}

    def pack(self, folder, epoch=None):
        environment = {key: value for key, value in os.environ.items() if key != "SOURCE_DATE_EPOCH"}
        environment.update({"SOURCE_DATE_EPOCH": str(epoch)} if epoch else {})
        self.output = subprocess.run([sys.executable, str(PACK), str(folder), str(folder) + ".zip"], check=True,
                                     env=environment, capture_output=True, text=True).stdout
        return Path(str(folder) + ".zip").read_bytes()

    def test_same_folder_gives_the_same_bytes(self):
        with tempfile.TemporaryDirectory() as work:
            # The same names and bytes, made in another order and place, with other times and modes.
            first, second = Path(work) / "one" / "SoftQuorvane", Path(work) / "other place" / "SoftQuorvane"
            write_tree(first, self.FILES)
            write_tree(second, dict(reversed(self.FILES.items())))
            for path in second.rglob("*"):
                os.utime(path, (1_000_000_000, 1_000_000_000))
            os.chmod(second / "a-b.txt", 0o600)
            packed = self.pack(first)
            size = sum(len(data) for data in self.FILES.values() if data)
            self.assertEqual(self.output, f"{first}{os.sep}: packed 12 files and 4 folders, {size:,} bytes, into {first}.zip; "
                                          "names that start with a dot, packed too: .profile, a/.cache/\n")
            self.assertEqual(self.pack(second), packed)

            archive = zipfile.ZipFile(io.BytesIO(packed))
            self.assertEqual(archive.namelist(), sorted([*self.FILES, "a/", "a/deeper/", "a/.cache/"], key=str.encode))
            for info in archive.infolist():
                folder = info.is_dir()
                self.assertEqual((info.date_time, info.external_attr, info.compress_type),
                                 ((2024, 3, 18, 9, 30, 0), 0x10 if folder else 0x20,
                                  zipfile.ZIP_STORED if folder else zipfile.ZIP_DEFLATED), info.filename)
                self.assertEqual(archive.read(info), b"" if folder else self.FILES[info.filename])
            dated = zipfile.ZipFile(io.BytesIO(self.pack(first, epoch=1_700_000_000)))
            self.assertEqual({info.date_time for info in dated.infolist()}, {(2023, 11, 14, 22, 13, 20)})


if __name__ == "__main__":
    unittest.main()
