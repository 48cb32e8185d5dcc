#!/usr/bin/env python3
"""Makes the archive reader's test archives with independent producers (Info-ZIP zip and
Python's zipfile) from one tree of files.

Writes into OUT: tree/ (the original files), the archives, manifest.txt (one line per archive:
"archive<TAB>password", password "-" for none) and, per archive, ARCHIVE.list: one line per entry,
"name<TAB>size<TAB>compressed size", as Python's zipfile reads the archive.
"""
import os
import random
import shutil
import subprocess
import sys
import zipfile

sys.dont_write_bytecode = True  # the shared helpers are imported from the source tree: no cache there
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from zip_test_tools import Unseekable  # noqa: E402

PASSWORD = "secret"


def make_tree(tree):
    rng = random.Random(20240611)
    files = {
        "small.txt": b"The quick brown fox jumps over the lazy dog.\n",
        "empty.txt": b"",
        "chunk16384.bin": bytes(rng.getrandbits(8) for _ in range(16384)),
        "stored40000.bin": bytes(rng.getrandbits(8) for _ in range(40000)),
        "text32768.txt": (b"line of text that compresses well %d\n" * 1000)[:32768],
        "mixed.bin": bytes(rng.getrandbits(8) for _ in range(90000)) + b"z" * 150000,
        "dir/nested/deep.txt": b"deep\n" * 500,
        "na\u00efve caf\u00e9.txt": "accents \u00e9\u00e8\n".encode(),
        "\u65e5\u672c\u8a9e/\u30d5\u30a1\u30a4\u30eb.txt": "\u65e5\u672c\n".encode() * 100,
        "emoji \U0001F600.txt": b"smile\n",
    }
    for name, data in files.items():
        path = os.path.join(tree, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)
    os.makedirs(os.path.join(tree, "dir", "empty folder"), exist_ok=True)


def top_level(tree):
    return sorted(os.listdir(tree))


def info_zip(out, tree, name, *options):
    env = dict(os.environ, LC_ALL="C.UTF-8")
    subprocess.run(["zip", "-q", "-r", *options, os.path.join(out, name), *top_level(tree)],
                   cwd=tree, env=env, check=True)


def info_zip_streamed(out, tree, name):
    """zip writing to a pipe cannot seek back: data descriptors follow the data."""
    env = dict(os.environ, LC_ALL="C.UTF-8")
    result = subprocess.run(["zip", "-q", "-r", "-", *top_level(tree)], cwd=tree, env=env, check=True,
                            stdout=subprocess.PIPE)
    with open(os.path.join(out, name), "wb") as archive:
        archive.write(result.stdout)


def tree_entries(tree):
    for folder, folders, files in os.walk(tree):
        folders.sort()
        relative = os.path.relpath(folder, tree)
        if relative != ".":
            yield relative.replace(os.sep, "/") + "/", None
        for file in sorted(files):
            yield os.path.relpath(os.path.join(folder, file), tree).replace(os.sep, "/"), os.path.join(folder, file)


def python_zip(stream, tree, compression, comment=b""):
    with zipfile.ZipFile(stream, "w", compression) as archive:
        for name, path in tree_entries(tree):
            if path is None:
                archive.writestr(zipfile.ZipInfo(name, (2020, 1, 2, 3, 4, 6)), b"")
            else:
                archive.write(path, name)
        archive.comment = comment


def entry_name(info):
    if info.flag_bits & 0x800:
        return info.filename
    return info.filename.encode("cp437").decode("utf-8", "replace")  # our reader takes names as UTF-8


def write_listing(path):
    with zipfile.ZipFile(path) as archive, open(path + ".list", "w", encoding="utf-8") as listing:
        for info in archive.infolist():
            listing.write("%s\t%d\t%d\n" % (entry_name(info), info.file_size, info.compress_size))


def main():
    out = os.path.abspath(sys.argv[1])
    shutil.rmtree(out, ignore_errors=True)
    tree = os.path.join(out, "tree")
    os.makedirs(tree)
    make_tree(tree)
    archives = {}
    info_zip(out, tree, "infozip_deflate.zip")
    archives["infozip_deflate.zip"] = "-"
    info_zip(out, tree, "infozip_store.zip", "-0")
    archives["infozip_store.zip"] = "-"
    info_zip(out, tree, "infozip_encrypted.zip", "-P", PASSWORD)
    archives["infozip_encrypted.zip"] = PASSWORD
    info_zip(out, tree, "infozip_encrypted_store.zip", "-0", "-P", PASSWORD)
    archives["infozip_encrypted_store.zip"] = PASSWORD
    info_zip_streamed(out, tree, "infozip_streamed.zip")
    archives["infozip_streamed.zip"] = "-"
    python_zip(os.path.join(out, "python_deflate.zip"), tree, zipfile.ZIP_DEFLATED, b"c" * 1500)
    archives["python_deflate.zip"] = "-"
    python_zip(os.path.join(out, "python_store.zip"), tree, zipfile.ZIP_STORED)
    archives["python_store.zip"] = "-"
    stream = Unseekable()
    python_zip(stream, tree, zipfile.ZIP_DEFLATED)
    with open(os.path.join(out, "python_streamed.zip"), "wb") as archive:
        archive.write(stream.data)
    archives["python_streamed.zip"] = "-"
    with open(os.path.join(out, "python_deflate.zip"), "rb") as source:
        body = source.read()
    with open(os.path.join(out, "prefixed.zip"), "wb") as archive:  # a self-extractor's stub in front
        archive.write(b"MZ" + bytes(random.Random(5).getrandbits(8) for _ in range(5000)) + body)
    archives["prefixed.zip"] = "-"
    with open(os.path.join(out, "manifest.txt"), "w", encoding="utf-8") as manifest:
        for name, password in archives.items():
            write_listing(os.path.join(out, name))
            manifest.write("%s\t%s\n" % (name, password))


if __name__ == "__main__":
    main()
