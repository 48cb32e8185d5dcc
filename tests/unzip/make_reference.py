#!/usr/bin/env python3
"""Prepares the client archive that the folder-extraction tests unpack, and an independent copy of
its files to compare with.

usage: make_reference.py OUTPUT_DIR [CLIENT_ARCHIVE]

OUTPUT_DIR/SoftQuorvane.zip is the given archive (the Windows build's payload), or, on a host
build, one made by the default payload generator around two stand-in programs. OUTPUT_DIR/files
holds its files as Info-ZIP unzip extracts them (Python's zipfile when unzip is missing).
"""

import random
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path


def generate_client_archive(output):
    """The host has no Windows programs: seeded bytes stand in for the two clients."""
    work = output / "generated"
    work.mkdir(parents=True, exist_ok=True)
    rng = random.Random(0x0C11E47)
    programs = []
    for name, size in (("client.exe", 70_000), ("second_client.exe", 33_000)):
        path = work / name
        path.write_bytes(b"MZ" + rng.randbytes(size))
        programs.append(str(path))
    generator = Path(__file__).resolve().parents[2] / "sample" / "make_payload.py"
    subprocess.run([sys.executable, str(generator), str(work), *programs], check=True)
    return work / "SoftQuorvane.zip"


def main(argv):
    if len(argv) not in (2, 3):
        sys.exit(__doc__.strip().splitlines()[3])
    output = Path(argv[1])
    shutil.rmtree(output, ignore_errors=True)
    output.mkdir(parents=True)
    source = Path(argv[2]) if len(argv) == 3 else generate_client_archive(output)
    archive = output / "SoftQuorvane.zip"
    shutil.copyfile(source, archive)
    files = output / "files"
    if shutil.which("unzip"):
        subprocess.run(["unzip", "-qq", "-o", str(archive), "-d", str(files)], check=True)
    else:
        with zipfile.ZipFile(archive) as opened:
            opened.extractall(files)


if __name__ == "__main__":
    main(sys.argv)
