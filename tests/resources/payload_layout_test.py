#!/usr/bin/env python3
"""The default payload in <build>/payload: the layout of the three archives, their data (read
back with Python's zipfile as an independent reader), and that the generator reproduces them."""

import os
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile
import zlib
from pathlib import Path

BUILD = Path(os.environ["QUORVANE_BUILD_DIR"])
SOURCE = Path(os.environ["QUORVANE_SOURCE_DIR"])
PAYLOAD = BUILD / "payload"
CLIENTS = (BUILD / "sample" / "QuorvaneSoftware.exe", BUILD / "sample" / "QelSoftClient.exe")


def png_problem(data):
    """None for a complete PNG (signature, chunk CRCs, IHDR first, IEND last, image data that
    inflates to the size IHDR implies), else what is wrong."""
    if not data.startswith(b"\x89PNG\r\n\x1a\n"):
        return "no PNG signature"
    at, kinds, image = 8, [], b""
    while at + 12 <= len(data):
        length, kind = struct.unpack_from(">I4s", data, at)
        body = data[at + 8:at + 8 + length]
        if len(body) != length or struct.unpack_from(">I", data, at + 8 + length)[0] != zlib.crc32(kind + body):
            return f"bad {kind} chunk"
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
        elif kind == b"IDAT":
            image += body
        kinds.append(kind)
        at += 12 + length
    if at != len(data) or not kinds or kinds[0] != b"IHDR" or kinds[-1] != b"IEND":
        return f"chunks {kinds}"
    if (depth, colour) != (8, 6) or len(zlib.decompress(image)) != height * (1 + 4 * width):
        return "image data does not match its header"
    return None


class PayloadLayout(unittest.TestCase):
    def open(self, name):
        archive = zipfile.ZipFile(PAYLOAD / name)
        self.addCleanup(archive.close)
        self.assertIsNone(archive.testzip(), f"{name}: an entry fails its CRC")
        return archive

    def test_skin_archive(self):
        entries = self.open("ImgRes.zip").infolist()
        self.assertEqual(len(entries), 223)
        folders = [e.filename for e in entries if e.is_dir()]
        self.assertEqual(len(folders), 12, "the 12 folder entries count among the 223")
        self.assertTrue(all(f.count("/") == 1 for f in folders), folders)
        top_level = [e.filename for e in entries if "/" not in e.filename]
        self.assertTrue(top_level and all(name.endswith(".xml") for name in top_level), top_level)
        for folder in folders:
            inside = [e for e in entries if e.filename.startswith(folder) and e.filename != folder]
            self.assertTrue(all(e.filename.count("/") == 1 for e in inside), folder)
            self.assertEqual([e.filename for e in inside if not e.filename.endswith(".png")],
                             [folder + "skin.ini"])
        archive = self.open("ImgRes.zip")
        for entry in entries:
            if entry.filename.endswith(".png"):
                self.assertIsNone(png_problem(archive.read(entry)), entry.filename)

    def test_driver_archive(self):
        entries = self.open("Drivers.zip").infolist()
        names = {e.filename for e in entries}
        self.assertEqual(len(entries), 60)
        self.assertEqual(sum(e.is_dir() for e in entries), 15)
        # Made "on Windows": the directory attribute marks exactly the folder entries.
        self.assertTrue(all(e.create_system == 0 and bool(e.external_attr & 0x10) == e.is_dir() for e in entries))
        for package in ("QvAudioMic", "QvAudioSpeaker", "QvCamera", "QvMonitor"):
            for architecture in ("x86", "x64"):
                base = f"{package}/{architecture}/"
                self.assertLessEqual({base, base + "install.bat", base + "uninstall.bat"}, names)
        for architecture in ("x86", "x64"):
            self.assertIn(f"DevTools/{architecture}/QvDevInstall.exe", names)
        # Every folder of a path is an entry of its own.
        for name in names:
            parts = name.rstrip("/").split("/")
            for depth in range(1, len(parts)):
                self.assertIn("/".join(parts[:depth]) + "/", names, name)

    def test_client_archive(self):
        archive = self.open("SoftQuorvane.zip")
        entries = archive.infolist()
        self.assertEqual(len(entries), 17)
        self.assertFalse([e.filename for e in entries if "/" in e.filename or "\\" in e.filename])
        self.assertTrue(all(e.compress_type == zipfile.ZIP_DEFLATED for e in entries))
        self.assertEqual(sum(e.filename.endswith(".exe") for e in entries), 3)
        self.assertEqual(sum(e.filename.endswith(".dll") for e in entries), 14)
        self.assertTrue(any(e.compress_size > 65536 for e in entries), "an entry bigger than 64 KiB compressed")
        self.assertTrue(any(e.file_size < 4096 for e in entries), "a small entry too")
        for client in CLIENTS:
            self.assertEqual(archive.read(client.name), client.read_bytes(), client.name)

    def test_generator_reproduces_the_archives(self):
        with tempfile.TemporaryDirectory() as folder:
            subprocess.run([sys.executable, str(SOURCE / "sample" / "make_payload.py"), folder, *map(str, CLIENTS)],
                           check=True)
            for name in ("ImgRes.zip", "Drivers.zip", "SoftQuorvane.zip"):
                self.assertEqual((Path(folder) / name).read_bytes(), (PAYLOAD / name).read_bytes(), name)


if __name__ == "__main__":
    unittest.main()
