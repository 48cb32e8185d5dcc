#!/usr/bin/env python3
"""Extraction benchmark: our ziptool against Info-ZIP unzip, bsdtar, Python's zipfile and the floor.

Normally started through bench/run_bench.sh, which first builds ziptool and the floor program in
a native Release tree (build/bench). Every contender extracts the same archive (made by
make_bench_archive.py from a fixed seed, kept in build/bench/data) into a fresh empty folder on
the same filesystem:
  * the archive is read from the page cache by every contender: one untimed warm-up run each
    (whose output is also checked, size and CRC-32 of every file), then timed rounds;
  * each run gets a new empty folder under --out-dir; `sync` is called before every timed run, so
    no run pays for the write-back of another;
  * the outputs go by default to a RAM filesystem (/dev/shm), where the cost of creating and
    writing files is steady, and are deleted after each run. On a disk filesystem (--out-dir)
    they are deleted only at the end (about 12 GB with 5 rounds): ext4 without a journal skips
    recently deleted inodes when it allocates new ones, so runs right after a deletion of
    thousands of files create their files several times slower;
  * with --delete-rounds the outputs of a round are deleted once the round is over instead (each
    round then starts on a file system that has just freed its files, all contenders alike);
  * the contenders take turns within each round (the order rotates), so a change of machine load
    during the benchmark touches all of them alike; the median of the rounds is reported.
ziptool flushes the unpacked files to the disk before it switches them in; "bsdtar+sync" is bsdtar
followed by one `sync -f` of the output's file system, which leaves the files as durable, so on a
disk it is the fair match for ziptool (bsdtar alone leaves the write-back to the kernel, after the
clock stops). --compare NAME=PATH times another ziptool build (e.g. an older commit) beside ours.
--small-files N times an archive of N small deflated files (100 to 2,000 bytes) instead, where
the cost per file outweighs the cost per byte.
The floor (bench_floor.cpp) reports its own time for inflating, checking and writing all entries
from the archive already in memory; floor-16k does the same in the release tool's reading model
(16,384-byte blocks read with a seek before each, inflated into folder extraction's output chunk
and written a chunk at a time): the distance from floor-16k to ziptool is ziptool's own overhead,
the one from floor to floor-16k the model's. The other times are wall times of the whole process. CPU times (user + system) are shown beside
them: on a busy machine they vary less than wall times.
--update also times ziptool (and each --compare build) extracting over a folder that already holds
an earlier version, as an update does: "ziptool-same" over the output of the very same archive,
"ziptool-2pct" over that of a variant in which every 50th file entry holds other bytes (made once
from the same archive and seed, kept beside it); before each of these runs the same build fills the
round's folder, untimed, and `sync` follows; their warm-up output is checked too, and must hold
nothing but the archive's files. The report gives their ratios to the fresh install's median. On a
disk their folders are kept, or deleted, like the others'.
It also measures the peak resident size of ziptool and unzip on one 1 GiB entry.
Prints the figures and the ratios; exits 0 unless a contender fails or writes wrong files.
"""
import argparse
import hashlib
import json
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
GENERATOR = os.path.join(HERE, "make_bench_archive.py")
DEFAULT_SEED = 20240517

# Targets for ziptool: at most these multiples of the other contender's median time.
TARGETS = [("unzip", 0.75), ("bsdtar", 0.9), ("bsdtar+sync", 1.1), ("floor", 1.2)]
RSS_TARGET_KIB = 4 * 1024
# With --update: the state a folder is in before the timed run, and the target for ziptool there,
# at most this multiple of its fresh install's median time.
UPDATE_KINDS = [("same", 0.25), ("2pct", 0.35)]
VARIANT_EVERY = 50  # one file entry in 50 holds other bytes in the variant archive


def write_index(archive, index_path):
    """The floor program's entry list, from an independent reader of the archive."""
    with zipfile.ZipFile(archive) as z, open(index_path, "w") as out:
        for info in z.infolist():
            out.write(f"{info.header_offset} {info.compress_type} {info.compress_size} "
                      f"{info.file_size} {info.CRC} {info.filename}\n")


def check_tree(archive, folder, exact=False):
    """Every entry of the archive is in folder with its size and CRC-32; a list of faults.

    With exact, anything else in folder is a fault too: after an update over an earlier version,
    nothing of that version nor of the extractor's own work may be left.
    """
    faults = []
    with zipfile.ZipFile(archive) as z:
        if exact:
            expected = set()
            for info in z.infolist():
                name = info.filename.rstrip("/")
                while name:
                    expected.add(name)
                    name = name.rpartition("/")[0]
            for root, folders, files in os.walk(folder):
                for name in folders + files:
                    relative = os.path.relpath(os.path.join(root, name), folder).replace(os.sep, "/")
                    # ziptool's record of what it installed is its own, no entry's.
                    if relative not in expected and relative != "Quorvane.qvrecord":
                        faults.append(f"{relative}: not in the archive")
        for info in z.infolist():
            path = os.path.join(folder, info.filename)
            if info.is_dir():
                if not os.path.isdir(path):
                    faults.append(f"{info.filename}: folder missing")
                continue
            try:
                crc = 0
                size = 0
                with open(path, "rb") as f:
                    while True:
                        block = f.read(1 << 20)
                        if not block:
                            break
                        crc = zlib.crc32(block, crc)
                        size += len(block)
            except OSError as error:
                faults.append(f"{info.filename}: {error}")
                continue
            if size != info.file_size or crc != info.CRC:
                faults.append(f"{info.filename}: size {size} crc {crc:08x}, expected {info.file_size} {info.CRC:08x}")
    return faults


def file_sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def ensure_archive(data_dir, kind, seed, extra_args, name):
    """Generates the archive unless one from the same generator and arguments is there."""
    os.makedirs(data_dir, exist_ok=True)
    path = os.path.join(data_dir, name)
    stamp_path = path + ".stamp"
    stamp = f"{file_sha256(GENERATOR)} {kind} {seed} {' '.join(extra_args)}"
    if os.path.exists(path) and os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
        return path
    print(f"generating {path} (seed {seed}) ...", flush=True)
    subprocess.run([sys.executable, GENERATOR, kind, path, "--seed", str(seed)] + extra_args, check=True)
    with open(stamp_path, "w") as f:
        f.write(stamp)
    return path


def ensure_small_files_archive(data_dir, seed, count):
    """count deflated text files of 100 to 2,000 bytes, 500 to a folder, from the mixed archive's text."""
    import make_bench_archive as maker
    os.makedirs(data_dir, exist_ok=True)
    path = os.path.join(data_dir, f"small-{count}-{seed}.zip")
    stamp_path = path + ".stamp"
    stamp = f"{file_sha256(GENERATOR)} {file_sha256(os.path.abspath(__file__))} small {seed} {count}"
    if os.path.exists(path) and os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
        return path
    print(f"generating {path} (seed {seed}) ...", flush=True)
    rng = maker.random.Random(seed)
    pool = maker.make_line_pool(rng, maker.make_words(rng, 3000), 40000)
    with zipfile.ZipFile(path, "w", allowZip64=False) as archive:
        for i in range(count):
            if i % 500 == 0:
                maker.add_folder(archive, f"set{i // 500:03d}")
            data = maker.text_bytes(rng, pool, rng.randint(100, 2000))
            maker.add_entry(archive, f"set{i // 500:03d}/file{i:05d}.txt", data, zipfile.ZIP_DEFLATED)
    with open(stamp_path, "w") as f:
        f.write(stamp)
    return path


def altered(rng, data, turn):
    """data, never equal to it: a few bytes replaced by letters, or (every other turn) a slice of
    it repeated or cut out, so that some sizes change too. Letters and the file's own bytes keep
    text as compressible as it was."""
    data = bytearray(data)
    way = turn % 4
    if way == 3 and len(data) > 64:
        length = rng.randint(1, len(data) // 10)
        start = rng.randrange(len(data) - length + 1)
        del data[start:start + length]
    elif way == 1 or not data:
        source = rng.randrange(len(data)) if data else 0
        piece = data[source:source + rng.randint(1, max(1, min(4096, len(data) // 10)))] or b"\n"
        start = rng.randrange(len(data) + 1)
        data[start:start] = piece
    else:
        # Distinct places, so that a later change cannot put back an earlier one's byte.
        for place in rng.sample(range(len(data)), min(len(data), rng.randint(1, 8))):
            data[place] = rng.choice([c for c in b"abcdefghijklmnopqrstuvwxyz" if c != data[place]])
    return bytes(data)


def ensure_variant_archive(archive, seed):
    """The archive as an earlier version of it, for --update: every entry copied in its order with
    its name, time, attributes and method, except that every VARIANT_EVERY-th file entry holds
    other bytes. Made once per archive and seed and kept beside it; (path, changed, files)."""
    path = os.path.splitext(archive)[0] + "-2pct.zip"
    stamp_path = path + ".stamp"
    stamp = f"{file_sha256(os.path.abspath(__file__))} variant {seed} {VARIANT_EVERY} {file_sha256(archive)}"
    if not (os.path.exists(path) and os.path.exists(stamp_path) and open(stamp_path).read() == stamp):
        print(f"generating {path} (seed {seed}) ...", flush=True)
        if os.path.exists(stamp_path):
            os.remove(stamp_path)  # an interrupted run must not leave a half archive that looks done
        rng = random.Random(f"variant {seed}")
        with zipfile.ZipFile(archive) as source, zipfile.ZipFile(path, "w", allowZip64=False) as out:
            files = 0
            for old in source.infolist():
                info = zipfile.ZipInfo(old.filename, old.date_time)
                info.external_attr = old.external_attr
                info.compress_type = old.compress_type
                info.create_system = old.create_system
                data = b"" if old.is_dir() else source.read(old)
                if not old.is_dir():
                    if files % VARIANT_EVERY == VARIANT_EVERY // 2:
                        data = altered(rng, data, files // VARIANT_EVERY)
                    files += 1
                out.writestr(info, data)
    # Checked each time from the two central directories (cheap): a variant that equals the
    # archive, or holds other names, would time something else than an update.
    with zipfile.ZipFile(archive) as a, zipfile.ZipFile(path) as b:
        old, new = a.infolist(), b.infolist()
    if [(i.filename, i.compress_type) for i in old] != [(i.filename, i.compress_type) for i in new]:
        raise SystemExit(f"{path}: names, order or methods differ from {archive}")
    files = [(i, j) for i, j in zip(old, new) if not i.is_dir()]
    changed = sum(1 for i, j in files if (i.file_size, i.CRC) != (j.file_size, j.CRC))
    if changed != (len(files) + VARIANT_EVERY - 1 - VARIANT_EVERY // 2) // VARIANT_EVERY:
        raise SystemExit(f"{path}: {changed} of {len(files)} file entries differ from {archive}, "
                         f"expected one in {VARIANT_EVERY}")
    if not os.path.exists(stamp_path):
        with open(stamp_path, "w") as f:
            f.write(stamp)
    return path, changed, len(files)


def machine_description():
    model = ""
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    mem_gib = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / (1 << 30)
    return (f"{model or platform.processor()}, {os.cpu_count()} CPUs, {mem_gib:.0f} GiB RAM, "
            f"Linux {platform.release()}, zlib {zlib.ZLIB_RUNTIME_VERSION}")


def filesystem_type(path):
    """The type of the filesystem that holds path, from the longest matching mount point."""
    path = os.path.realpath(path)
    best, kind = "", "?"
    with open("/proc/mounts") as mounts:
        for line in mounts:
            fields = line.split()
            point = fields[1]
            if (path == point or path.startswith(point.rstrip("/") + "/")) and len(point) > len(best):
                best, kind = point, fields[2]
    return kind


def default_out_dir(build):
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) and filesystem_type("/dev/shm") == "tmpfs":
        return "/dev/shm/quorvane-bench"
    return os.path.join(build, "work")


def new_folder(work, label):
    path = os.path.join(work, label)
    os.makedirs(path)
    return path


class Contender:
    def __init__(self, name, command, internal_time=None, prepare=None):
        self.name = name
        self.command = command              # folder -> argv
        self.internal_time = internal_time  # stdout -> seconds, when the program times itself
        self.prepare = prepare              # folder -> argv that fills it first, untimed (--update)
        self.times = []

    def fill(self, folder):
        """Puts the earlier version into folder before an update run; False if that failed."""
        if not self.prepare:
            return True
        done = subprocess.run(self.prepare(folder), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if done.returncode != 0:
            print(f"  {self.name}: filling the folder failed with exit code {done.returncode}: "
                  f"{done.stderr.strip()[:500]}")
            return False
        return True

    def run(self, folder):
        """(wall seconds, CPU seconds), or None if the program failed."""
        with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
            start = time.perf_counter()
            child = subprocess.Popen(self.command(folder), stdout=out, stderr=err)
            _, status, usage = os.wait4(child.pid, 0)
            elapsed = time.perf_counter() - start
            child.returncode = os.waitstatus_to_exitcode(status)
            out.seek(0)
            err.seek(0)
            stdout, stderr = out.read(), err.read()
        if child.returncode != 0:
            print(f"  {self.name} failed with exit code {child.returncode}: {stderr.strip()[:500]}")
            return None
        if self.internal_time:
            return self.internal_time(stdout)
        return elapsed, usage.ru_utime + usage.ru_stime


def floor_seconds(stdout):
    wall = re.search(r"floor_s=([0-9.]+)", stdout)
    cpu = re.search(r"floor_cpu_s=([0-9.]+)", stdout)
    return (float(wall.group(1)), float(cpu.group(1))) if wall and cpu else None


def update_contenders(args, archive, variant):
    """With --update: NAME-same and NAME-2pct for ziptool and each --compare build.

    They come with their build (like the --compare builds, which --only does not filter); when
    --only names some of them, only those.
    """
    named = [n for n in args.only or [] if n in update_names(args)]
    contenders = []
    for build, path in [("ziptool", args.ziptool)] + args.compare:
        for kind, earlier in (("same", archive), ("2pct", variant)):
            name = f"{build}-{kind}"
            if named:
                if name not in named:
                    continue
            elif build == "ziptool" and args.only and "ziptool" not in args.only:
                continue
            contenders.append(Contender(name, lambda d, path=path: [path, "extract", archive, d],
                                        prepare=lambda d, path=path, earlier=earlier: [path, "extract", earlier, d]))
    return contenders


def update_names(args):
    return [f"{build}-{kind}" for build in ["ziptool"] + [n for n, _ in args.compare] for kind, _ in UPDATE_KINDS]


def run_extraction(args, archive, index, work, variant=None):
    contenders = [
        Contender("ziptool", lambda d: [args.ziptool, "extract", archive, d]),
        Contender("unzip", lambda d: ["unzip", "-qo", archive, "-d", d]),
        Contender("bsdtar", lambda d: ["bsdtar", "-xf", archive, "-C", d]),
        # The shell costs about a millisecond; sync -f flushes only the output's file system.
        Contender("bsdtar+sync", lambda d: ["sh", "-c", 'bsdtar -xf "$1" -C "$2" && sync -f "$2"',
                                            "sh", archive, d]),
        Contender("zipfile", lambda d: [sys.executable, "-m", "zipfile", "-e", archive, d]),
        Contender("floor", lambda d: [args.floor, index, archive, d], floor_seconds),
        Contender("floor-16k", lambda d: [args.floor, "--streamed", index, archive, d], floor_seconds),
    ]
    contenders = [c for c in contenders if not args.only or c.name in args.only]
    for name, path in args.compare:
        contenders.insert(1, Contender(name, lambda d, path=path: [path, "extract", archive, d]))
    if variant:
        contenders += update_contenders(args, archive, variant)
    if not contenders:
        print("no contender to time (see --only)")
        return contenders, False
    outputs = os.path.join(work, "extract")
    if os.path.exists(outputs):
        shutil.rmtree(outputs)
    os.makedirs(outputs)
    # On a RAM filesystem deleting is harmless and keeps memory free; elsewhere see the top.
    delete_each = filesystem_type(outputs) == "tmpfs"
    delete_rounds = args.delete_rounds and not delete_each
    ok = True
    try:
        print("warm-up run and output check of each contender ...", flush=True)
        for c in contenders:
            folder = new_folder(outputs, f"{c.name}-warmup")
            if not c.fill(folder) or c.run(folder) is None:
                ok = False
                continue
            faults = check_tree(archive, folder, exact=c.prepare is not None)
            if delete_each:
                shutil.rmtree(folder)
            if faults:
                ok = False
                print(f"  {c.name}: {len(faults)} wrong entries, e.g. {faults[:3]}")
        for round_number in range(args.runs):
            shift = round_number % len(contenders)
            this_round = {}
            for c in contenders[shift:] + contenders[:shift]:
                folder = new_folder(outputs, f"{c.name}-{round_number}")
                # The earlier version is written before the sync, so that the timed run does not
                # pay for its write-back either.
                figures = None
                if c.fill(folder):
                    os.sync()
                    figures = c.run(folder)
                if delete_each:
                    shutil.rmtree(folder)
                if figures is None:
                    ok = False
                else:
                    c.times.append(figures)
                    this_round[c.name] = figures[0]
            if delete_rounds:
                for name in os.listdir(outputs):
                    shutil.rmtree(os.path.join(outputs, name))
            # Only this round's figures: a contender that failed in it has none to show.
            print(f"  round {round_number + 1}/{args.runs}: "
                  + ", ".join(f"{c.name} {this_round[c.name]:.3f}s" for c in contenders if c.name in this_round),
                  flush=True)
    finally:
        shutil.rmtree(outputs, ignore_errors=True)
    return contenders, ok


def report_extraction(contenders, archive, compare=()):
    wall = {c.name: statistics.median(t[0] for t in c.times) for c in contenders if c.times}
    cpu = {c.name: statistics.median(t[1] for t in c.times) for c in contenders if c.times}
    with zipfile.ZipFile(archive) as z:
        infos = z.infolist()
    size = os.path.getsize(archive)
    unpacked = sum(i.file_size for i in infos)
    print(f"\narchive: {os.path.basename(archive)}, {size / 1e6:.1f} MB, {len(infos)} entries, "
          f"{unpacked / 1e6:.1f} MB unpacked; {len(contenders[0].times)} timed runs each")
    width = max([14] + [len(c.name) for c in contenders])  # 14 unless a --compare or update name is longer
    print(f"{'contender':<{width}} {'median s':>9} {'min s':>7} {'max s':>7} {'MB/s':>6} {'/unzip':>7} {'/floor':>7}"
          f" {'CPU s':>7} {'/unzip':>7} {'/floor':>7}")

    def ratio(table, name, other):
        return f"{table[name] / table[other]:.2f}" if other in table else "-"

    for c in contenders:
        if not c.times:
            print(f"{c.name:<{width}} failed")
            continue
        walls = [t[0] for t in c.times]
        m = wall[c.name]
        print(f"{c.name:<{width}} {m:>9.3f} {min(walls):>7.3f} {max(walls):>7.3f} {unpacked / m / 1e6:>6.0f} "
              f"{ratio(wall, c.name, 'unzip'):>7} {ratio(wall, c.name, 'floor'):>7} {cpu[c.name]:>7.3f} "
              f"{ratio(cpu, c.name, 'unzip'):>7} {ratio(cpu, c.name, 'floor'):>7}")
    for name in compare:
        if "ziptool" in wall and name in wall:
            print(f"ziptool / {name}: {wall['ziptool'] / wall[name]:.2f}; CPU time {cpu['ziptool'] / cpu[name]:.2f}")
    if "ziptool" in wall and "floor-16k" in wall:
        print(f"ziptool / floor-16k (ziptool's own overhead): {wall['ziptool'] / wall['floor-16k']:.2f}; "
              f"CPU time {cpu['ziptool'] / cpu['floor-16k']:.2f}")
    if "ziptool" in wall:
        for other, limit in TARGETS:
            if other in wall:
                r = wall["ziptool"] / wall[other]
                print(f"target ziptool <= {limit} x {other}: {r:.2f} ({'met' if r <= limit else 'MISSED'}; "
                      f"CPU time {cpu['ziptool'] / cpu[other]:.2f})")
    return {"wall": wall, "cpu": cpu}


def report_update(medians, compare, variant, changed, files):
    """Each update contender against its build's fresh install; ziptool's update targets."""
    wall, cpu = medians["wall"], medians["cpu"]
    print(f"update: the folder held the same archive's files (-same) or those of "
          f"{os.path.basename(variant)}, {changed} of {files} file entries changed (-2pct)")
    ratios = {}
    for build in ["ziptool"] + list(compare):
        for kind, _ in UPDATE_KINDS:
            name = f"{build}-{kind}"
            if name in wall and build in wall:
                ratios[name] = {"fresh": build, "wall": wall[name] / wall[build], "cpu": cpu[name] / cpu[build]}
                print(f"{name} / {build}: {ratios[name]['wall']:.2f}; CPU time {ratios[name]['cpu']:.2f}")
    targets = {}
    for kind, limit in UPDATE_KINDS:
        name = f"ziptool-{kind}"
        if name in ratios:
            r = ratios[name]["wall"]
            targets[name] = {"limit": limit, "wall": r, "cpu": ratios[name]["cpu"], "met": r <= limit}
            print(f"target {name} <= {limit} x ziptool: {r:.2f} ({'met' if r <= limit else 'MISSED'}; "
                  f"CPU time {ratios[name]['cpu']:.2f})")
    return {"variant": os.path.basename(variant), "changed_entries": changed, "file_entries": files,
            "ratio_to_fresh": ratios, "targets": targets}


def peak_rss_kib(command):
    done = subprocess.run(["/usr/bin/time", "-v"] + command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    match = re.search(r"Maximum resident set size \(kbytes\): (\d+)", done.stderr)
    if done.returncode != 0 or not match:
        print(f"  {command[0]} failed: {done.stderr.strip()[-500:]}")
        return None
    return int(match.group(1))


def run_memory(args, data_dir, work):
    """Peak resident size on one large entry; the large files are removed afterwards."""
    folder = os.path.join(work, "memory")
    if os.path.exists(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    results = {}
    big = os.path.join(data_dir, "single.zip")
    try:
        print(f"\ngenerating a single entry of {args.memory_size} bytes ...", flush=True)
        subprocess.run([sys.executable, GENERATOR, "single", big, "--seed", str(args.seed),
                        "--size", str(args.memory_size)], check=True, stdout=subprocess.DEVNULL)
        with zipfile.ZipFile(big) as z:
            entry = [i for i in z.infolist() if not i.is_dir()][0]
        contenders = [("ziptool", lambda d: [args.ziptool, "extract", big, d]),
                      ("unzip", lambda d: ["unzip", "-qo", big, "-d", d]),
                      ("bsdtar", lambda d: ["bsdtar", "-xf", big, "-C", d])]
        for name, command in contenders:
            if args.only and name not in args.only:
                continue
            out = new_folder(folder, f"out-{name}")
            rss = peak_rss_kib(command(out))
            path = os.path.join(out, entry.filename)
            size = os.path.getsize(path) if os.path.exists(path) else -1
            shutil.rmtree(out)
            if size != entry.file_size:
                print(f"  {name}: wrote {size} bytes, expected {entry.file_size}")
                rss = None
            results[name] = rss
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        if os.path.exists(big):
            os.remove(big)
    print(f"peak resident size, one entry of {args.memory_size / (1 << 30):.2f} GiB:")
    for name, rss in results.items():
        print(f"  {name:<8} {'failed' if rss is None else f'{rss} KiB ({rss / 1024:.2f} MiB)'}")
    if results.get("ziptool") is not None:
        verdict = "met" if results["ziptool"] < RSS_TARGET_KIB else "MISSED"
        print(f"target ziptool peak RSS < 4 MiB: {verdict}")
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "build", "bench"))
    parser.add_argument("--ziptool", help="default: BUILD_DIR/tools/ziptool")
    parser.add_argument("--floor", help="default: BUILD_DIR/bench/quorvane_bench_floor")
    parser.add_argument("--out-dir", help="where the outputs go (default: /dev/shm/quorvane-bench, a RAM "
                        "filesystem, else BUILD_DIR/work)")
    parser.add_argument("--runs", type=int, default=5, help="timed rounds (default 5)")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("--scale", type=float, default=1.0, help="archive size factor (1 = about 200 MB)")
    parser.add_argument("--memory-size", type=int, default=1 << 30, help="bytes of the single entry")
    parser.add_argument("--skip-memory", action="store_true")
    parser.add_argument("--skip-extract", action="store_true")
    parser.add_argument("--only", nargs="+", help="run only these contenders")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--compare", action="append", default=[], metavar="NAME=PATH",
                        help="also time this ziptool build as contender NAME (repeatable)")
    parser.add_argument("--delete-rounds", action="store_true",
                        help="on a disk, delete each round's outputs once the round is over")
    parser.add_argument("--small-files", type=int, metavar="N",
                        help="time an archive of N small deflated files instead of the mixed one")
    parser.add_argument("--update", action="store_true",
                        help="also time each ziptool build extracting over the same archive's files "
                        "(NAME-same) and over a variant's with 2%% of the files changed (NAME-2pct)")
    args = parser.parse_args()
    try:
        args.compare = [(n, os.path.abspath(p)) for n, p in (c.split("=", 1) for c in args.compare)]
    except ValueError:
        parser.error("--compare takes NAME=PATH")
    fresh = ["ziptool", "unzip", "bsdtar", "bsdtar+sync", "zipfile", "floor", "floor-16k"]
    names = fresh + [n for n, _ in args.compare] + (update_names(args) if args.update else [])
    if len(set(names)) != len(names):
        parser.error("--compare: a NAME is taken by another contender")
    if args.only and not args.update and any(n in update_names(args) for n in args.only):
        parser.error("--only: the update contenders need --update")
    for name in args.only or []:
        if name not in names:
            print(f"--only: there is no contender {name}")
    for name, path in args.compare:
        if not os.access(path, os.X_OK):
            print(f"missing program {path}")
            return 1
    build = os.path.abspath(args.build_dir)
    args.ziptool = os.path.abspath(args.ziptool or os.path.join(build, "tools", "ziptool"))
    args.floor = os.path.abspath(args.floor or os.path.join(build, "bench", "quorvane_bench_floor"))
    needed = [(name, path) for name, path in (("ziptool", args.ziptool), ("floor", args.floor))
              if not args.only or any(n.startswith(name) for n in args.only)]
    for _, program in needed:
        if not os.access(program, os.X_OK):
            print(f"missing program {program} (bench/run_bench.sh builds it)")
            return 1
    work = os.path.abspath(args.out_dir or default_out_dir(build))
    os.makedirs(work, exist_ok=True)
    data_dir = os.path.join(build, "data")

    print(f"machine: {machine_description()}")
    print(f"outputs in {work} ({filesystem_type(work)}); load average at start: {os.getloadavg()[0]:.2f}")
    figures = {"machine": machine_description()}
    ok = True
    if not args.skip_extract:
        if args.small_files:
            archive = ensure_small_files_archive(data_dir, args.seed, args.small_files)
        else:
            suffix = "" if args.scale == 1.0 else f"-x{args.scale}"
            archive = ensure_archive(data_dir, "mixed", args.seed, ["--scale", str(args.scale)],
                                     f"mixed-{args.seed}{suffix}.zip")
        index = archive + ".index"
        write_index(archive, index)
        variant = ensure_variant_archive(archive, args.seed) if args.update else None
        contenders, ok = run_extraction(args, archive, index, work, variant and variant[0])
        if contenders:
            figures["extract_median"] = report_extraction(contenders, archive, [n for n, _ in args.compare])
            figures["extract_runs_s"] = {c.name: c.times for c in contenders}
            if variant:
                figures["update"] = report_update(figures["extract_median"], [n for n, _ in args.compare], *variant)
    if not args.skip_memory:
        rss = run_memory(args, data_dir, work)
        figures["peak_rss_kib"] = rss
        ok = ok and all(v is not None for v in rss.values())
    try:
        os.rmdir(work)  # only when empty: a folder given with --out-dir may hold other things
    except OSError:
        pass
    print(f"load average at end: {os.getloadavg()[0]:.2f}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f, indent=2)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
