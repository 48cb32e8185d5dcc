#!/usr/bin/env python3
"""Building with QUORVANE_PAYLOAD_DIR: a payload that cannot work stops the configuration with a
message naming the file; a good one is copied into <build>/payload, copied again when it changes,
and checked again before that copy."""

import io
import os
import subprocess
import tempfile
import time
import unittest
import zipfile
from pathlib import Path

SOURCE = Path(os.environ["QUORVANE_SOURCE_DIR"])
CMAKE = os.environ.get("QUORVANE_CMAKE", "cmake")
NAMES = ("ImgRes.zip", "Drivers.zip", "SoftQuorvane.zip")


def zip_bytes(names):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for name in names:
            archive.writestr(name, f"content of {name}")
    return buffer.getvalue()


def write_newer(path, data):
    """Writes the file with a time clearly later than anything the build made before."""
    path.write_bytes(data)
    later = time.time() + 10
    os.utime(path, (later, later))


class PayloadDirBuild(unittest.TestCase):
    def setUp(self):
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        self.payload = Path(work.name) / "vendor payload"
        self.build = Path(work.name) / "build"
        self.payload.mkdir()
        for name in NAMES:
            (self.payload / name).write_bytes(zip_bytes(["QuorvaneSoftware.exe", "QvCore.dll"]))

    def run_cmake(self, *arguments):
        result = subprocess.run([CMAKE, *arguments], capture_output=True, text=True)
        return result.returncode, result.stdout + result.stderr

    def configure(self):
        return self.run_cmake("-S", str(SOURCE), "-B", str(self.build),
                              f"-DCMAKE_TOOLCHAIN_FILE={SOURCE / 'cmake' / 'mingw-i686.cmake'}",
                              f"-DQUORVANE_PAYLOAD_DIR={self.payload}")

    def build_payload(self):
        return self.run_cmake("--build", str(self.build), "--target", "quorvane_payload")

    def assert_copied(self):
        for name in NAMES:
            self.assertEqual((self.build / "payload" / name).read_bytes(), (self.payload / name).read_bytes(), name)

    def test_refuses_a_payload_that_cannot_work(self):
        (self.payload / "Drivers.zip").write_text("a text file, not an archive\n")
        status, output = self.configure()
        self.assertNotEqual(status, 0)
        self.assertIn(f"{self.payload / 'Drivers.zip'}: not a ZIP archive", " ".join(output.split()))
        self.assertFalse((self.build / "payload").exists())

    def test_copies_the_payload_and_follows_its_changes(self):
        status, output = self.configure()
        self.assertEqual(status, 0, output)
        self.assertIn(f"Embedding the payload of {self.payload}", output)
        status, output = self.build_payload()
        self.assertEqual(status, 0, output)
        self.assert_copied()

        write_newer(self.payload / "ImgRes.zip", zip_bytes(["main.xml", "common/", "common/logo.png"]))
        status, output = self.build_payload()
        self.assertEqual(status, 0, output)
        self.assert_copied()

        # A change that breaks the payload is caught by the next build, before anything is copied.
        good_copy = (self.build / "payload" / "SoftQuorvane.zip").read_bytes()
        write_newer(self.payload / "SoftQuorvane.zip", zip_bytes(["QvCore.dll"]))
        status, output = self.build_payload()
        self.assertNotEqual(status, 0)
        self.assertIn(f"{self.payload / 'SoftQuorvane.zip'}: has no QuorvaneSoftware.exe", " ".join(output.split()))
        self.assertEqual((self.build / "payload" / "SoftQuorvane.zip").read_bytes(), good_copy)


if __name__ == "__main__":
    unittest.main()
