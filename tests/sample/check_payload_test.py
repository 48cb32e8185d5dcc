#!/usr/bin/env python3
"""check_payload.py decides whether a vendor's payload folder can be embedded: it must refuse
what cannot work and accept every archive that is ZIP data, however damaged."""

import io
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile
from pathlib import Path

CHECK = Path(os.environ.get("QUORVANE_SOURCE_DIR", Path(__file__).parents[2])) / "sample" / "check_payload.py"


def zip_bytes(names, data=b"MZ" + bytes(300), method=zipfile.ZIP_DEFLATED):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", method) as archive:
        for name in names:
            archive.writestr(name, b"" if name.endswith("/") else data)
    return buffer.getvalue()


CLIENT = zip_bytes(["QuorvaneSoftware.exe", "QelSoftClient.exe", "QvCore.dll"])
END = b"PK\x05\x06"


def with_end_field(data, offset, fmt, value):
    """The archive with one field of its end record replaced."""
    at = data.rfind(END)
    return data[:at + offset] + struct.pack(fmt, value) + data[at + offset + struct.calcsize(fmt):]


def corrupt_first_entry_data(data):
    at = 30 + len("QuorvaneSoftware.exe")
    return data[:at] + bytes(b ^ 0xFF for b in data[at:at + 20]) + data[at + 20:]


class CheckPayload(unittest.TestCase):
    def check(self, **replacements):
        """Runs the check on a folder with a good payload, where each archive given as Name_zip
        has its bytes replaced (None: the file is left out)."""
        files = {"ImgRes.zip": zip_bytes(["main.xml", "common/", "common/logo.png"]),
                 "Drivers.zip": zip_bytes(["DevTools/", "DevTools/ReadMe.txt"]),
                 "SoftQuorvane.zip": CLIENT}
        files.update({name.replace("_zip", ".zip"): data for name, data in replacements.items()})
        with tempfile.TemporaryDirectory() as folder:
            for name, data in files.items():
                if data is not None:
                    (Path(folder) / name).write_bytes(data)
            result = subprocess.run([sys.executable, str(CHECK), folder], capture_output=True, text=True)
            return result.returncode, result.stdout.replace(folder + os.sep, "")

    def test_accepts_a_good_payload(self):
        self.assertEqual(self.check(), (0, ""))

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
        }
        for case, (replacements, message) in cases.items():
            with self.subTest(case):
                status, output = self.check(**replacements)
                self.assertEqual(status, 1)
                self.assertIn(message, output)
                self.assertEqual(len(output.splitlines()), 1, output)

    def test_reports_every_problem_at_once(self):
        status, output = self.check(ImgRes_zip=None, SoftQuorvane_zip=b"junk")
        self.assertEqual(status, 1)
        self.assertEqual(len(output.splitlines()), 2, output)

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
                self.assertEqual(self.check(SoftQuorvane_zip=client)[0], 0)
        # An archive without entries is ZIP data too (the skin may be empty).
        self.assertEqual(self.check(ImgRes_zip=zip_bytes([]))[0], 0)

    def test_warns_when_the_end_record_is_out_of_reach(self):
        far = CLIENT + bytes(70000)  # trailing bytes push the end record out of the searched span
        status, output = self.check(SoftQuorvane_zip=far)
        self.assertEqual(status, 0)
        self.assertIn("warning: SoftQuorvane.zip: no ZIP end record", output)


if __name__ == "__main__":
    unittest.main()
