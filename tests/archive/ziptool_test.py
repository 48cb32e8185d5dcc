#!/usr/bin/env python3
"""ziptool list / extract / cat on the archives of independent producers, compared with Python's
zipfile and Info-ZIP's unzip; a hostile archive must write nothing outside the target folder;
bad input must end with a message and a non-zero status. Under a Windows build, ziptool.exe runs
through QUORVANE_WINE_RUN.

usage: ziptool_test.py ZIPTOOL FIXTURES SCRATCH
"""
import os
import re
import shlex
import shutil
import subprocess
import sys
import time
import zipfile

sys.dont_write_bytecode = True  # the shared helpers are imported from the source tree: no cache there
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from zip_test_tools import tree_contents  # noqa: E402

ZIPTOOL, FIXTURES, SCRATCH = (os.path.abspath(p) for p in sys.argv[1:4])
WINE = shlex.split(os.environ.get("QUORVANE_WINE_RUN", ""))
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message)


def host_path(path):
    return "Z:" + path.replace("/", "\\") if WINE else path


def ziptool(*args):
    converted = [host_path(a) if a.startswith("/") else a for a in args]
    result = subprocess.run(WINE + [ZIPTOOL] + converted, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            timeout=120)
    return result.returncode, result.stdout, result.stderr.decode("utf-8", "replace")


def manifest():
    with open(os.path.join(FIXTURES, "manifest.txt"), encoding="utf-8") as lines:
        for line in lines:
            name, password = line.rstrip("\n").split("\t")
            yield os.path.join(FIXTURES, name), ([] if password == "-" else [password])


def oracle_listing(archive):
    with open(archive + ".list", encoding="utf-8") as listing:
        return [tuple(line.rstrip("\n").split("\t")) for line in listing]


def check_list(archive, password):
    status, out, err = ziptool("list", archive, *password)
    name = os.path.basename(archive)
    check(status == 0, "%s: list exits %d (%s)" % (name, status, err))
    lines = out.decode("utf-8").split("\n")
    check(lines[0].startswith("entry\tattributes\tmodified") and lines[-1] == "", "%s: list %r" % (name, lines))
    listed = [line.split("\t") for line in lines[1:-1]]
    check(all(len(f) == 6 and re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", f[2]) for f in listed),
          "%s: columns or times %r" % (name, listed))
    check([str(i) for i in range(len(listed))] == [f[0] for f in listed], "%s: indexes" % name)
    ours = [(f[5], f[4], f[3]) for f in listed]
    check(ours == oracle_listing(archive), "%s: names and sizes differ from zipfile's:\n%s" % (name, ours))
    if name.startswith("infozip"):
        unzip = subprocess.run(["unzip", "-Z1", archive], stdout=subprocess.PIPE, check=True).stdout
        check([f[5] for f in listed] == unzip.decode("utf-8").splitlines(), "%s: names differ from unzip -Z1" % name)
    return listed


def check_extract(archive, password):
    name = os.path.basename(archive)
    target = os.path.join(SCRATCH, "extract", name)
    shutil.rmtree(target, ignore_errors=True)
    status, out, err = ziptool("extract", archive, target, *password)
    files = sum(1 for path in tree_contents(os.path.join(FIXTURES, "tree")) if not path.endswith("/"))
    summary = "0 entries untouched, 0 replaced, %d added; 0 files removed\n" % files
    check(status == 0 and out == summary.encode(), "%s: extract exits %d: %s %s" % (name, status, out, err))
    check(tree_contents(target) == tree_contents(os.path.join(FIXTURES, "tree")), "%s: extracted tree differs" % name)


def check_cat(archive, password, listed, every):
    name = os.path.basename(archive)
    for fields in listed[::every]:
        if fields[5].endswith("/"):
            continue
        status, out, err = ziptool("cat", archive, fields[0], *password)
        with open(os.path.join(FIXTURES, "tree", fields[5]), "rb") as original:
            check(status == 0 and out == original.read(), "%s: cat %s (%d, %s)" % (name, fields[5], status, err))


def make_hostile(path):
    names = ["../evil1.txt", "a/../../evil2.txt", "/abs.txt", "C:\\drive.txt", "..\\evil3.txt", "ok/fine.txt",
             "sub/..", "x:y.txt", "dir/../../../evil4.txt", "COM1"]
    with zipfile.ZipFile(path, "w") as archive:
        for name in names:
            archive.writestr(zipfile.ZipInfo(name, (2021, 1, 1, 0, 0, 0)), b"hostile " + name.encode())


def check_hostile():
    base = os.path.join(SCRATCH, "hostile")
    shutil.rmtree(base, ignore_errors=True)
    target = os.path.join(base, "a", "b", "c")
    os.makedirs(target)
    archive = os.path.join(base, "hostile.zip")
    make_hostile(archive)
    status, out, err = ziptool("extract", archive, target)
    check(status == 1, "hostile: extract exits %d" % status)
    outside = [p for p in tree_contents(base) if not p.startswith("a/b/c/") and p not in ("hostile.zip", "a/", "a/b/", "a/b/c/")]
    check(outside == [], "hostile: written outside the target: %s" % outside)
    inside = sorted(tree_contents(target))
    check(inside == ["abs.txt", "drive.txt", "evil4.txt", "ok/", "ok/fine.txt", "y.txt"],
          "hostile: inside the target: %s" % inside)
    refused = [line.split("\t")[1] for line in out.decode().splitlines()[:-1]]
    check(refused == ["../evil1.txt", "../evil2.txt", "..\\evil3.txt", "sub/..", "COM1"], "hostile: refused %s" % refused)
    # The listing shows each name the reader cleaned as stored, and each refusal's own reason.
    parent, device = 'refused: Refused Name: a parent step, which would leave the install folder: ".."', \
        'refused: Refused Name: a device name on Windows: "COM1"'
    remarks = [(line.split("\t") + [""])[6] for line in ziptool("list", archive)[1].decode().splitlines()[1:]]
    check(remarks == [parent, 'stored as "a/../../evil2.txt"; ' + parent, 'stored as "/abs.txt"',
                      'stored as "C:\\drive.txt"', parent, "", parent, 'stored as "x:y.txt"',
                      'stored as "dir/../../../evil4.txt"', device], "hostile: listed %s" % remarks)


def check_bad_input():
    scratch = os.path.join(SCRATCH, "bad")
    os.makedirs(scratch, exist_ok=True)
    not_zip = os.path.join(scratch, "not.zip")
    with open(not_zip, "wb") as out:
        out.write(b"this is no archive" * 100)
    good = os.path.join(FIXTURES, "python_deflate.zip")
    damaged = os.path.join(scratch, "damaged.zip")
    data = bytearray(open(os.path.join(FIXTURES, "python_store.zip"), "rb").read())
    data[data.index(b"The quick brown fox")] ^= 0x20  # stored bytes no longer match their CRC-32
    open(damaged, "wb").write(data)
    small = [f[0] for f in (l.split("\t") for l in ziptool("list", damaged)[1].decode().splitlines()) if f[-1] == "small.txt"][0]
    # One word per fault in every command: the release's events.
    cases = [
        (["list", os.path.join(scratch, "missing.zip")], 1, "missing.zip: no such file"),
        (["list", not_zip], 1, "as a ZIP archive"),
        (["extract", not_zip, os.path.join(scratch, "out")], 1, "as a ZIP archive"),
        (["test", scratch], 1, "bad: a folder, not an archive file"),
        (["cat", not_zip, "0"], 1, "as a ZIP archive"),
        (["cat", good, "999"], 1, "no such entry"),
        (["cat", good, "-1"], 2, "ziptool help"),
        (["cat", good, "x"], 2, "ziptool help"),
        (["cat", damaged, small], 1, "entry %s: Data Corrupt" % small),
        (["test", damaged], 1, "%s\tsmall.txt\tnot read: Data Corrupt\n" % small),
        (["extract", damaged, os.path.join(scratch, "damaged")], 1, "%s\tsmall.txt\tnot written: Data Corrupt\n" % small),
        (["frobnicate", good], 2, "unknown command 'frobnicate'"),
        ([], 2, "ziptool help"),
        (["list"], 2, "ziptool help"),
        (["extract", good], 2, "ziptool help"),
        (["list", good, "pw", "extra"], 2, "ziptool help"),
    ]
    for args, expected, says in cases[::2] if WINE else cases:
        status, out, err = ziptool(*args)
        out = out.decode("utf-8", "replace").replace("\r\n", "\n")
        check(status == expected and says in out + err and (expected != 2 or out == ""),
              "%s: status %d (want %d), %r %r" % (args, status, expected, out, err))
    # Help: every command and every exit status, on standard output.
    for args in (["help"], ["--help"], ["-h"])[:1 if WINE else 3]:
        status, out, err = ziptool(*args)
        text = out.decode()
        check(status == 0 and all(word in text for word in ("list ARCHIVE", "extract ARCHIVE FOLDER", "test ARCHIVE",
                                                           "cat ARCHIVE INDEX", "  0  ", "  1  ", "  2  ")),
              "%s: status %d, %r" % (args, status, text))
    # What the reader does not support is named, with what to do, wherever the entry is refused.
    bzip2 = os.path.join(scratch, "bzip2.zip")
    with zipfile.ZipFile(bzip2, "w", zipfile.ZIP_BZIP2) as archive:
        archive.writestr("x.dll", b"x" * 100)
    unsupported = "compressed with bzip2 (method 12), which the release tool's reader does not read; store or deflate it"
    for command, line, count in (("list", "0\t-\t-\t-\t-\tx.dll\tUnreadable Entry: %s\n", "1 entry cannot be described"),
                                 ("test", "0\tx.dll\tnot read: Unreadable Entry: %s\n", "1 entry not read whole"),
                                 ("extract", "0\tx.dll\tnot written: Unreadable Entry: %s\n", "1 entry not written")):
        status, out, err = ziptool(command, bzip2, *([os.path.join(scratch, "bz")] if command == "extract" else []))
        out = out.decode().replace("\r\n", "\n")
        check(status == 1 and (line % unsupported) in out and count in err, "bzip2 %s: %r %r" % (command, out, err))
    # A cancelled update is said once, apart from the count of the entries named.
    check("Update Not Applied" in err and "every file of the folder is as it was" in err, "bzip2 extract: %r" % err)
    status, out, err = ziptool("extract", os.path.join(FIXTURES, "infozip_encrypted.zip"), os.path.join(scratch, "pw"), "wrong")
    check(status == 1 and b"not written: Password Mismatch" in out, "wrong password: %d %s" % (status, out))


def check_update():
    """A second version over the first: what it did, one line per removed file and one count."""
    base = os.path.join(SCRATCH, "update")
    shutil.rmtree(base, ignore_errors=True)
    os.makedirs(base)
    target = os.path.join(base, "out")
    for version, files in enumerate([{"same.dll": b"S", "changed.dll": b"1", "dropped.dll": b"D", "edited.txt": b"E"},
                                     {"same.dll": b"S", "changed.dll": b"2", "new.dll": b"N"}]):
        archive = os.path.join(base, "v%d.zip" % version)
        with zipfile.ZipFile(archive, "w") as z:
            for name, data in files.items():
                z.writestr(name, data)
        if version == 1:
            with open(os.path.join(target, "edited.txt"), "wb") as f:
                f.write(b"the user's")
        status, out, err = ziptool("extract", archive, target)
    check(status == 0 and out.decode().splitlines() == [
        "-\tdropped.dll\tremoved: the last version installed it, this archive lacks it",
        "1 entry untouched, 1 replaced, 1 added; 1 file removed"], "update: %d %s %s" % (status, out, err))
    check(tree_contents(target) == {"same.dll": b"S", "changed.dll": b"2", "new.dll": b"N", "edited.txt": b"the user's"},
          "update: %s" % tree_contents(target))


def check_kills():
    """Killed at moments spread over a whole update (staging, the switch, the removals, the record),
    the folder is one version again after the next run: going back gives exactly the first version,
    going on exactly the second, the user's file beside them, nothing of the tool's left over."""
    if WINE:
        return  # a kill of Wine's loader is not one at a moment of the program's own
    base = os.path.join(SCRATCH, "kills")
    target = os.path.join(base, "out")
    user = {"settings.ini": b"the user's"}
    first = {"keep/%d.dll" % i: b"K%d" % i * 300 for i in range(150)}
    second = dict(first)
    for i in range(50):
        first["plugins/old/%d.dll" % i] = b"O%d" % i * 300
        first["change/%d.dll" % i] = b"1"
        second["change/%d.dll" % i] = b"2"
        second["plugins/new/%d.dll" % i] = b"N%d" % i * 300
    archives = {}
    for name, files in (("first", first), ("second", second)):
        archives[name] = os.path.join(SCRATCH, "kills-%s.zip" % name)
        with zipfile.ZipFile(archives[name], "w", zipfile.ZIP_DEFLATED) as z:
            for entry, data in files.items():
                z.writestr(entry, data)

    def install_first():
        shutil.rmtree(base, ignore_errors=True)
        ziptool("extract", archives["first"], target)
        with open(os.path.join(target, "settings.ini"), "wb") as f:
            f.write(user["settings.ini"])

    install_first()
    started = time.monotonic()
    ziptool("extract", archives["second"], target)
    whole = time.monotonic() - started
    def with_folders(files):
        tree = dict(files)
        for path in files:
            for cut in range(1, path.count("/") + 1):
                tree[path.rsplit("/", cut)[0] + "/"] = None
        return tree

    for step in range(25):
        install_first()
        update = subprocess.Popen([ZIPTOOL, "extract", archives["second"], target], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        time.sleep(whole * step / 20)
        update.kill()
        update.wait()
        for name, files in (("first", first), ("second", second)):
            status, out, err = ziptool("extract", archives[name], target)
            got = tree_contents(target)
            check(status == 0 and got == with_folders({**files, **user}),
                  "kill at %d/20, then %s: status %d, extra %s, missing %s" % (
                      step, name, status, sorted(set(got) - set(files) - set(user))[:5],
                      sorted(set(files) - set(got))[:5]))


def main():
    archives = list(manifest())
    check(len(archives) >= 9, "fixtures missing")
    # Every archive is listed; extraction and cat (each a Windows program start under Wine, which
    # costs seconds) run where the producers differ most: encryption, data descriptors, a prefix.
    for archive, password in archives:
        listed = check_list(archive, password)
        if os.path.basename(archive) in ("infozip_encrypted.zip", "python_streamed.zip", "prefixed.zip"):
            check_extract(archive, password)
            check_cat(archive, password, listed, 4 if WINE else 1)
    check_hostile()
    check_update()
    check_kills()
    check_bad_input()
    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
