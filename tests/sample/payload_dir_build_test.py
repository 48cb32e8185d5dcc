#!/usr/bin/env python3
"""Building with QUORVANE_PAYLOAD_DIR. PayloadDirBuild: a payload that cannot work stops the
configuration, named; a good one is checked and copied (or packed) into <build>/payload, again
when it changes; a refused entry stops the build, named, unless lenient. ReleaseBuilds: payload
folders built in two clones, touched in between, give the same program; the second, made with
build-release.sh, is signed, verifies and leaks no password. SignedReleaseRun: it runs under Wine.

usage: payload_dir_build_test.py [CLASS] (unittest's arguments)
"""

import glob
import hashlib
import io
import os
import secrets
import shlex
import shutil
import subprocess
import tempfile
import time
import unittest
import zipfile
from unittest import mock
from pathlib import Path

SOURCE = Path(os.environ["QUORVANE_SOURCE_DIR"])
BUILD = Path(os.environ["QUORVANE_BUILD_DIR"])
CMAKE = os.environ.get("QUORVANE_CMAKE", "cmake")
HOST_ZIPTOOL = os.environ["QUORVANE_HOST_ZIPTOOL"]
RELEASE_BUILDS = Path(os.environ.get("QUORVANE_RELEASE_BUILDS", BUILD / "tests" / "sample" / "release_builds"))
NAMES = ("ImgRes.zip", "Drivers.zip", "SoftQuorvane.zip")
TOOL = Path("app") / "QuorvaneReleaseTool.exe"


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


def run(*command, **options):
    result = subprocess.run([str(part) for part in command], capture_output=True, text=True, **options)
    return result.returncode, result.stdout + result.stderr


def configure(source, build, *options):
    # SOURCE_DATE_EPOCH would stamp packed entries differently from one run to the next.
    environment = {key: value for key, value in os.environ.items() if key != "SOURCE_DATE_EPOCH"}
    return run(CMAKE, "-S", source, "-B", build, f"-DCMAKE_TOOLCHAIN_FILE={source / 'cmake' / 'mingw-i686.cmake'}",
               "-DCMAKE_BUILD_TYPE=Release", f"-DQUORVANE_HOST_ZIPTOOL={HOST_ZIPTOOL}", *options, env=environment)


def build_targets(build, *targets):
    return run(CMAKE, "--build", build, "--parallel", "2", "--target", *targets)


def one_line(text):
    return " ".join(text.split())


class PayloadDirBuild(unittest.TestCase):
    def setUp(self):
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        self.payload = Path(work.name) / "vendor payload"
        self.build = Path(work.name) / "build"
        self.payload.mkdir()
        for name in NAMES:
            (self.payload / name).write_bytes(zip_bytes(["QuorvaneSoftware.exe", "QvCore.dll"]))

    def configure(self, *options):
        return configure(SOURCE, self.build, f"-DQUORVANE_PAYLOAD_DIR={self.payload}", *options)

    def build_payload(self):
        return build_targets(self.build, "quorvane_payload")

    def assert_copied(self):
        for name in NAMES:
            self.assertEqual((self.build / "payload" / name).read_bytes(), (self.payload / name).read_bytes(), name)

    def test_refuses_a_payload_that_cannot_work(self):
        (self.payload / "Drivers.zip").write_text("a text file, not an archive\n")
        status, output = self.configure()
        self.assertNotEqual(status, 0)
        self.assertIn(f"{self.payload / 'Drivers.zip'}: not a ZIP archive", one_line(output))
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
        self.assertIn(f"{self.payload / 'SoftQuorvane.zip'}: has no QuorvaneSoftware.exe", one_line(output))
        self.assertEqual((self.build / "payload" / "SoftQuorvane.zip").read_bytes(), good_copy)

        # So is an entry that the release would not install; the lenient build embeds it.
        write_newer(self.payload / "SoftQuorvane.zip", zip_bytes(["QuorvaneSoftware.exe", "../x"]))
        refused = f'{self.payload / "SoftQuorvane.zip"}: entry "../x": not installed by the release'
        status, output = self.build_payload()
        self.assertNotEqual(status, 0)
        self.assertIn(refused, output)
        self.assertEqual((self.build / "payload" / "SoftQuorvane.zip").read_bytes(), good_copy)
        status, output = self.configure("-DQUORVANE_PAYLOAD_LENIENT=ON")
        self.assertEqual(status, 0, output)
        status, output = self.build_payload()
        self.assertEqual(status, 0, output)
        self.assertIn("warning: " + refused, output)
        self.assert_copied()

        # A payload grown too big to start stops the build, lenient or not, before anything is copied.
        write_newer(self.payload / "Drivers.zip", zip_bytes(["DevTools/", "DevTools/ReadMe.txt"]))
        total = sum((self.payload / name).stat().st_size for name in NAMES)
        with mock.patch.dict(os.environ, QUORVANE_PAYLOAD_LIMIT=str(total - 1)):
            status, output = self.build_payload()
        self.assertNotEqual(status, 0)
        self.assertIn(f"{self.payload}/: the three archives hold {total:,} bytes; the release tool can carry", one_line(output))
        self.assertNotEqual((self.build / "payload" / "Drivers.zip").stat().st_size, (self.payload / "Drivers.zip").stat().st_size)

        # An archive replaced by a folder is packed; a file added to the folder is packed again.
        (self.payload / "ImgRes.zip").unlink()
        (self.payload / "ImgRes" / "common").mkdir(parents=True)
        (self.payload / "ImgRes" / "main.xml").write_text("<Window/>\n")
        status, output = self.build_payload()
        self.assertEqual(status, 0, output)
        self.assertEqual(zipfile.ZipFile(self.build / "payload" / "ImgRes.zip").namelist(), ["common/", "main.xml"])
        (self.payload / "ImgRes" / "common" / "logo.png").write_bytes(b"png")
        status, output = self.build_payload()
        self.assertEqual(status, 0, output)
        self.assertEqual(zipfile.ZipFile(self.build / "payload" / "ImgRes.zip").namelist(),
                         ["common/", "common/logo.png", "main.xml"])


def make_payload_folders(root):
    client = (BUILD / "sample" / "QuorvaneSoftware.exe").read_bytes()
    files = {"ImgRes/main.xml": b"<Window/>\r\n", "ImgRes/common/logo.png": b"\x89PNG" + bytes(200),
             "Drivers/DevTools/ReadMe.txt": b"read me\r\n", "Drivers/QvAudioMic/x86/QvAudioMic.inf": b"[Version]\r\n",
             "SoftQuorvane/QuorvaneSoftware.exe": client, "SoftQuorvane/plugins/QvCore.dll": b"MZ" + bytes(4000)}
    for name, data in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)
    (root / "ImgRes" / "empty").mkdir()


def make_certificate(root, password):
    """A throwaway self-signed code-signing certificate, as PEM and as a PKCS#12 file."""
    (root / "password.txt").write_text(password + "\n")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                    "/CN=Quorvane Test Signing", "-addext", "extendedKeyUsage=codeSigning",
                    "-keyout", root / "key.pem", "-out", root / "cert.pem"], check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-in", root / "cert.pem", "-inkey", root / "key.pem",
                    "-out", root / "signer.pfx", "-passout", f"file:{root / 'password.txt'}"],
                   check=True, capture_output=True)


class ReleaseBuilds(unittest.TestCase):
    def test_two_clones_give_the_same_program_and_the_signed_one_verifies(self):
        shutil.rmtree(RELEASE_BUILDS, ignore_errors=True)
        payload, secret, out = RELEASE_BUILDS / "vendor" / "payload", RELEASE_BUILDS / "secret", RELEASE_BUILDS / "out"
        first, clone = RELEASE_BUILDS / "a", RELEASE_BUILDS / "clone" / "src"
        payload.mkdir(parents=True)
        secret.mkdir()
        make_payload_folders(payload)
        password = "quorvane-" + secrets.token_hex(12)
        make_certificate(secret, password)

        status, output = configure(SOURCE, first, f"-DQUORVANE_PAYLOAD_DIR={payload}")
        self.assertEqual(status, 0, output)
        status, output = build_targets(first, "QuorvaneReleaseTool")
        self.assertEqual(status, 0, output)

        # The second build: another clone in another folder, the one command, a signature.
        for path in payload.rglob("*"):
            os.utime(path, (1_000_000_000, 1_000_000_000))
        shutil.copytree(SOURCE, clone, ignore=shutil.ignore_patterns("build", ".git", "__pycache__"))
        release = clone / "tools" / "build-release.sh"
        environment = {key: value for key, value in os.environ.items() if key != "SOURCE_DATE_EPOCH"}
        status, output = run(release, payload, out, "--pkcs12", secret / "signer.pfx",
                             "--password-file", secret / "password.txt", env=environment)
        self.assertEqual(status, 0, output)
        second = clone / "build" / "release"

        unsigned = (first / TOOL).read_bytes()
        self.assertEqual((second / TOOL).read_bytes(), unsigned, "the two builds differ")
        shipped = (out / "QuorvaneReleaseTool.exe").read_bytes()
        self.assertNotEqual(shipped, unsigned)
        self.assertEqual((out / "SHA256SUMS").read_text(), f"{hashlib.sha256(shipped).hexdigest()}  QuorvaneReleaseTool.exe\n")
        status, verified = run("osslsigncode", "verify", "-in", out / "QuorvaneReleaseTool.exe", "-CAfile", secret / "cert.pem")
        self.assertEqual(status, 0, verified)
        self.assertIn("Text description: QuorvaneSoft", verified)
        self.assertRegex(verified, r"Message digest algorithm\s*:\s*SHA256")
        self.assertEqual([path for path in second.rglob("*") if path.is_file() and password.encode() in path.read_bytes()], [])
        self.assertNotIn(password, output)

        # What stops the one command, each with a message and nothing left in OUT_DIR.
        subprocess.run(["openssl", "genrsa", "-out", secret / "other.pem", "2048"], check=True, capture_output=True)
        cases = {
            "no payload folder": ([RELEASE_BUILDS / "missing", out], "no such folder"),
            "a key of another certificate": ([payload, out, "--cert", secret / "cert.pem", "--key", secret / "other.pem"],
                                             f"{secret / 'other.pem'} is not the private key of the certificate"),
        }
        for case, (arguments, message) in cases.items():
            with self.subTest(case):
                earlier = RELEASE_BUILDS / "earlier"  # an OUT_DIR holding an earlier release
                shutil.rmtree(earlier, ignore_errors=True)
                shutil.copytree(out, earlier)
                status, output = run(release, *[earlier if a == out else a for a in arguments], env=environment)
                self.assertNotEqual(status, 0)
                self.assertIn(message, one_line(output))
                self.assertEqual(list(earlier.iterdir()), [])


class SignedReleaseRun(unittest.TestCase):
    def test_signed_program_installs_and_launches_the_client(self):
        wine = shlex.split(os.environ["QUORVANE_WINE_RUN"])
        tool = RELEASE_BUILDS / "out" / "QuorvaneReleaseTool.exe"
        self.assertTrue(tool.is_file(), f"{tool}: ReleaseBuilds made no signed program")
        roaming = [Path(p) for p in glob.glob(str(BUILD / "wineprefix" / "drive_c" / "users" / "*" / "AppData" / "Roaming"))]
        self.assertEqual(len(roaming), 1, roaming)
        root = roaming[0] / "Quorvane" / "Software"
        shutil.rmtree(root.parent, ignore_errors=True)
        self.addCleanup(shutil.rmtree, root.parent, True)
        # The launched client keeps running until asked to close; end it before the next test.
        # The launched client runs until asked to close: end it, and whatever else runs in this
        # test's Wine prefix (no other Wine test runs beside this one). No pipes either: the
        # client would inherit them and hold them open.
        prefix = {**os.environ, "WINEPREFIX": str(BUILD / "wineprefix")}
        self.addCleanup(subprocess.run, ["wineserver", "-k"], env=prefix, timeout=120)
        quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
        self.assertEqual(subprocess.run(wine + [str(tool)], timeout=400, **quiet).returncode, 0)
        started = root / "QuorvaneSoftware.started"
        for _ in range(600):
            if started.exists():
                break
            time.sleep(0.1)
        self.assertTrue(started.exists(), sorted(p.name for p in root.iterdir()) if root.exists() else "no root")
        embedded = RELEASE_BUILDS / "clone" / "src" / "build" / "release" / "payload"
        for name in NAMES:
            self.assertEqual((root / name).read_bytes(), (embedded / name).read_bytes(), name)
        self.assertTrue((root / "ToolFiePath.txt").read_text().endswith("\\QuorvaneReleaseTool.exe"))
        client = RELEASE_BUILDS / "vendor" / "payload" / "SoftQuorvane"
        for name in ("QuorvaneSoftware.exe", "plugins/QvCore.dll"):
            self.assertEqual((root / name).read_bytes(), (client / name).read_bytes(), name)


if __name__ == "__main__":
    unittest.main()
