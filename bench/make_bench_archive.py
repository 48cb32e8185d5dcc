#!/usr/bin/env python3
"""Writes the benchmark archives, the same bytes every time for a given seed and zlib.

  make_bench_archive.py mixed OUT.zip [--seed N] [--scale F]
      about 200 MB in about 2,000 entries: folders, text-like and incompressible files, deflated
      and stored, a few large ones (--scale shrinks or grows sizes and counts, for a quick smoke)
  make_bench_archive.py single OUT.zip [--size BYTES] [--seed N]
      one deflated text-like entry (default 1 GiB), for the peak-memory figure

Python's zipfile writes the mixed archive, as an archiver; the single-entry one is written here.
"""
import argparse
import math
import random
import struct
import sys
import zipfile
import zlib

FIXED_DATE = (2024, 5, 17, 10, 30, 0)
FILE_MODE = 0o100644 << 16
FOLDER_MODE = (0o040755 << 16) | 0x10  # Unix mode plus the DOS directory bit


def make_words(rng, count):
    """Pseudo-words of 2 to 12 letters, each once, in the order they came up: that order is their rank."""
    syllables = ["ka", "lo", "re", "si", "tu", "man", "ver", "qu", "ost", "ing", "el", "an", "dor",
                 "pi", "ne", "ux", "ra", "to", "che", "ly", "ze", "bo", "fa", "gi", "mo", "str"]
    words = {}  # insertion-ordered: a set's order would change with the interpreter's hash seed
    while len(words) < count:
        words["".join(rng.choice(syllables) for _ in range(rng.randint(1, 4)))] = True
    return list(words)


def make_line_pool(rng, words, count):
    """Source-like, log-like and prose-like lines; files are drawn from this pool line by line."""
    ranks = [1.0 / (i + 1) for i in range(len(words))]  # Zipf-like word frequencies
    cumulative = []
    total = 0.0
    for r in ranks:
        total += r
        cumulative.append(total)
    lines = []
    for _ in range(count):
        kind = rng.random()
        n = rng.randint(3, 14)
        picked = rng.choices(words, cum_weights=cumulative, k=n)
        if kind < 0.4:
            indent = " " * (4 * rng.randint(0, 3))
            line = f"{indent}{picked[0]}_{picked[1]}({', '.join(picked[2:5])}) = {rng.randint(0, 99999)};"
        elif kind < 0.7:
            line = (f"2024-05-{rng.randint(1, 28):02d} {rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:"
                    f"{rng.randint(0, 59):02d}.{rng.randint(0, 999):03d} [{picked[0].upper()}] "
                    + " ".join(picked[1:]) + f" id={rng.getrandbits(32):08x}")
        else:
            line = " ".join(picked).capitalize() + "."
        lines.append(line + "\n")
    return [line.encode() for line in lines]


def text_bytes(rng, pool, size):
    """About size bytes of text drawn from the pool, cut to exactly size."""
    average = 60
    chunks = []
    have = 0
    while have < size:
        batch = rng.choices(pool, k=max(16, (size - have) // average + 8))
        block = b"".join(batch)
        chunks.append(block)
        have += len(block)
    return b"".join(chunks)[:size]


def add_entry(archive, name, data, method):
    info = zipfile.ZipInfo(name, FIXED_DATE)
    info.external_attr = FILE_MODE
    info.compress_type = method
    archive.writestr(info, data)


def add_folder(archive, name):
    info = zipfile.ZipInfo(name if name.endswith("/") else name + "/", FIXED_DATE)
    info.external_attr = FOLDER_MODE
    archive.writestr(info, b"")


def write_mixed(path, seed, scale):
    rng = random.Random(seed)
    words = make_words(rng, 3000)
    pool = make_line_pool(rng, words, 40000)
    folders = ["docs", "docs/guide", "docs/api", "src", "assets", "assets/images", "assets/sounds",
               "data", "data/cache", "logs", "lib", "lib/plugins"]
    folders += [f"src/module{i:02d}" for i in range(24)]
    folders += [f"data/set{i:02d}" for i in range(12)]
    text_homes = [f for f in folders if f.startswith(("docs", "src", "logs", "data"))]
    binary_homes = [f for f in folders if f.startswith(("assets", "lib", "data"))]

    small_count = max(8, int(1950 * scale))
    # The few large files: (name, kind, size, method)
    large = [("data/cache/records.log", "text", 48 << 20, zipfile.ZIP_DEFLATED),
             ("lib/engine.bin", "binary", 36 << 20, zipfile.ZIP_STORED),
             ("assets/sounds/ambient.pak", "binary", 24 << 20, zipfile.ZIP_DEFLATED),
             ("docs/manual.txt", "text", 12 << 20, zipfile.ZIP_STORED)]
    large = [(n, k, max(4096, int(s * scale)), m) for n, k, s, m in large]

    total_in = 0
    with zipfile.ZipFile(path, "w", allowZip64=False) as archive:
        for folder in folders:
            add_folder(archive, folder)
        plan = []
        for i in range(small_count):
            # Log-normal sizes: mostly a few KB to a few hundred KB, a tail up to 4 MB.
            size = int(min(4 << 20, max(64, rng.lognormvariate(math.log(30 << 10), 1.4))))
            if rng.random() < 0.6:
                method = zipfile.ZIP_DEFLATED if rng.random() < 0.9 else zipfile.ZIP_STORED
                name = f"{rng.choice(text_homes)}/file{i:04d}.{rng.choice(['txt', 'cpp', 'log', 'xml', 'json'])}"
                plan.append((name, "text", size, method))
            else:
                method = zipfile.ZIP_STORED if rng.random() < 0.75 else zipfile.ZIP_DEFLATED
                name = f"{rng.choice(binary_homes)}/blob{i:04d}.{rng.choice(['dll', 'png', 'dat', 'bin'])}"
                plan.append((name, "binary", size, method))
        # Large files land among the small ones, not all at the end.
        for entry in large:
            plan.insert(rng.randrange(len(plan) + 1), entry)
        for name, kind, size, method in plan:
            data = text_bytes(rng, pool, size) if kind == "text" else rng.randbytes(size)
            add_entry(archive, name, data, method)
            total_in += size
    return len(folders) + len(plan), total_in


def write_single(path, seed, size):
    """One deflated entry "huge.log" of size bytes (below 4 GiB).

    The text is 16 distinct pieces of 4 MiB in a random order: far apart for deflate's 32 KiB
    window, so it compresses like fresh text. Each piece is compressed once, ending with a full
    flush (byte-aligned, no reference to earlier data), so the entry's deflate stream is those
    segments one after another plus a final empty block: a valid stream made in seconds instead
    of minutes. zipfile cannot take data compressed beforehand, so the three records of this
    one-entry archive are written here.
    """
    rng = random.Random(seed)
    pool = make_line_pool(rng, make_words(rng, 3000), 40000)
    piece = 4 << 20

    def segment(data):
        compressor = zlib.compressobj(1, zlib.DEFLATED, -15)
        return compressor.compress(data) + compressor.flush(zlib.Z_FULL_FLUSH)

    pieces = [text_bytes(rng, pool, piece) for _ in range(min(16, size // piece + 1))]
    segments = [segment(p) for p in pieces]
    final = zlib.compressobj(1, zlib.DEFLATED, -15)
    final_block = final.compress(b"") + final.flush()

    name = b"huge.log"
    date = ((FIXED_DATE[0] - 1980) << 9) | (FIXED_DATE[1] << 5) | FIXED_DATE[2]
    time = (FIXED_DATE[3] << 11) | (FIXED_DATE[4] << 5) | (FIXED_DATE[5] // 2)
    with open(path, "wb") as out:
        out.write(b"\0" * (30 + len(name)))  # the local header, written once sizes are known
        crc = 0
        compressed = 0
        left = size
        while left > 0:
            i = rng.randrange(len(pieces))
            data, packed = (pieces[i], segments[i]) if left >= piece else (pieces[i][:left], segment(pieces[i][:left]))
            crc = zlib.crc32(data, crc)
            out.write(packed)
            compressed += len(packed)
            left -= len(data)
        out.write(final_block)
        compressed += len(final_block)
        fields = struct.pack("<HHHHHIIIHH", 20, 0, 8, time, date, crc, compressed, size, len(name), 0)
        directory_offset = out.tell()
        central = (struct.pack("<I", 0x02014B50) + struct.pack("<H", (3 << 8) | 20) + fields
                   + struct.pack("<HHHII", 0, 0, 0, FILE_MODE, 0) + name)
        out.write(central)
        out.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), directory_offset, 0))
        out.seek(0)
        out.write(struct.pack("<I", 0x04034B50) + fields + name)
    return 1, size


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("kind", choices=["mixed", "single"])
    parser.add_argument("output")
    parser.add_argument("--seed", type=int, default=20240517)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--size", type=int, default=1 << 30)
    args = parser.parse_args()
    if args.kind == "mixed":
        entries, total = write_mixed(args.output, args.seed, args.scale)
    else:
        entries, total = write_single(args.output, args.seed, args.size)
    print(f"{args.output}: {entries} entries, {total} bytes uncompressed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
