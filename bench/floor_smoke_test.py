#!/usr/bin/env python3
"""floor_smoke_test.py FLOOR_PROGRAM: the benchmark's parts on miniature archives.

The generator's archive is the same for the same seed, the floor program (whole and streamed)
writes every entry of it byte for byte (as Python's zipfile reads them), and it refuses an archive
whose data was damaged;
the one-entry archive of the memory figure reads back whole with its CRC-32.
"""
import hashlib
import os
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # the shared helpers are imported from the source tree: no cache there
sys.path.insert(0, HERE)
import run_bench  # noqa: E402


def generate(path, seed):
    subprocess.run([sys.executable, run_bench.GENERATOR, "mixed", path, "--seed", str(seed), "--scale", "0.004"],
                   check=True, stdout=subprocess.DEVNULL)
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def run_floor(floor, archive, folder, mode=()):
    index = archive + ".index"
    run_bench.write_index(archive, index)
    return subprocess.run([floor, *mode, index, archive, folder], capture_output=True, text=True, timeout=60)


def main():
    floor = sys.argv[1]
    failures = []
    with tempfile.TemporaryDirectory() as scratch:
        first = os.path.join(scratch, "a.zip")
        second = os.path.join(scratch, "b.zip")
        if generate(first, 7) != generate(second, 7):
            failures.append("the same seed gave two different archives")

        with zipfile.ZipFile(first) as z:
            infos = z.infolist()
        methods = {i.compress_type for i in infos if not i.is_dir()}
        if methods != {zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED} or not any(i.is_dir() for i in infos):
            failures.append(f"the archive lacks a kind of entry: methods {methods}")

        for mode in ((), ("--streamed",)):
            out = os.path.join(scratch, "out" + "".join(mode))
            done = run_floor(floor, first, out, mode)
            if done.returncode != 0:
                failures.append(f"floor {mode} failed: {done.stderr}")
            if "floor_s=" not in done.stdout:
                failures.append(f"floor {mode} printed no time: {done.stdout!r}")
            with zipfile.ZipFile(first) as z:
                for info in infos:
                    path = os.path.join(out, info.filename)
                    if info.is_dir():
                        if not os.path.isdir(path):
                            failures.append(f"{mode}: folder {info.filename} missing")
                    elif not os.path.isfile(path) or open(path, "rb").read() != z.read(info):
                        failures.append(f"{mode}: {info.filename} differs")

        # Damage the middle of the largest deflated entry's data: its CRC-32 no longer matches.
        target = max((i for i in infos if i.compress_type == zipfile.ZIP_DEFLATED), key=lambda i: i.compress_size)
        data = bytearray(open(first, "rb").read())
        header = target.header_offset
        start = header + 30 + int.from_bytes(data[header + 26:header + 28], "little") \
            + int.from_bytes(data[header + 28:header + 30], "little")
        data[start + target.compress_size // 2] ^= 0x55
        damaged = os.path.join(scratch, "damaged.zip")
        open(damaged, "wb").write(bytes(data))
        for mode in ((), ("--streamed",)):
            done = run_floor(floor, damaged, os.path.join(scratch, "damaged" + "".join(mode)), mode)
            if done.returncode == 0 or target.filename not in done.stderr:
                failures.append(f"{mode}: damaged {target.filename} was not refused: {done.returncode} {done.stderr!r}")

        # The one-entry archive of the memory figure: its stream is put together from pieces.
        single = os.path.join(scratch, "single.zip")
        size = (9 << 20) + 12345  # two whole pieces and a cut one
        subprocess.run([sys.executable, run_bench.GENERATOR, "single", single, "--size", str(size)],
                       check=True, stdout=subprocess.DEVNULL)
        with zipfile.ZipFile(single) as z:
            (info,) = z.infolist()
            data = z.read(info)  # zipfile checks the CRC-32
            if len(data) != size or info.compress_type != zipfile.ZIP_DEFLATED:
                failures.append(f"single entry: {len(data)} bytes, method {info.compress_type}")

    for failure in failures:
        print("FAIL:", failure)
    print("ok" if not failures else f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
