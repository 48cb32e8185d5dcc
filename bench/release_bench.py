#!/usr/bin/env python3
"""Release benchmark: how long the built QuorvaneReleaseTool.exe takes under Wine, from its own log.

Normally started through bench/run_release_bench.sh, which builds the tool (windows preset).
Each run starts with no client running and the install root present in the build tree's Wine
prefix (so the log can open): empty for a fresh install, or holding the previous run's install for
an update. It runs the tool to its end, reads "ReleaseToolLog.txt" and takes the time
from "OnReleaseFile Begin" to "OnReleaseFile End". The tool's fixed pause that falls between the
two lines (100 ms after unpacking, when the run unpacked) is taken off to give the overhead; the
300 ms wait at the start comes before "Begin". The client that the tool launches is ended after
each run through the process id in its ".started" record. One warm-up run, then the median.
"""
import argparse
import datetime
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
UNPACK_PAUSE_MS = 100
OVERHEAD_TARGET_MS = 150
LINE = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}):\s+(.*?)(?: ErrorCode:-?\d+)?\s*$")
BEGIN, END, UNZIP = "OnReleaseFile Begin", "OnReleaseFile End", "Quorvane.zip UnZip"


class Wine:
    def __init__(self, build):
        self.build = build
        self.prefix = os.path.join(build, "wineprefix")
        self.run_script = os.path.join(SOURCE, "cmake", "wine-run.sh")
        self.session_script = os.path.join(SOURCE, "cmake", "wine-session.sh")
        self.started_session = False

    def start(self):
        """Makes sure the prefix and a display exist; remembers whether this script started them."""
        pid_file = os.path.join(self.build, "wine-session", "xvfb.pid")
        running = os.path.exists(pid_file) and _alive(int(open(pid_file).read().strip() or 0))
        subprocess.run([self.session_script, "start", self.build], check=True)
        self.started_session = not running

    def stop(self):
        if self.started_session:
            subprocess.run([self.session_script, "stop", self.build])

    def run(self, *args, timeout=120):
        # Output through files, not pipes: the client that the tool launches inherits them and
        # would hold a pipe open long after the tool itself has ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            done = subprocess.run([self.run_script, self.build] + list(args), stdout=out, stderr=err, timeout=timeout)
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(done.args, done.returncode, out.read(), err.read())

    def install_root(self):
        return os.path.join(self.prefix, "drive_c", "users", "root", "AppData", "Roaming", "Quorvane", "Software")

    def client_processes(self):
        """Host process ids of programs running from this prefix's install root."""
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                cmdline = open(f"/proc/{entry}/cmdline", "rb").read().decode(errors="replace")
                if "Quorvane\\Software\\" not in cmdline or not cmdline.lower().split("\0")[0].endswith(".exe"):
                    continue
                environ = open(f"/proc/{entry}/environ", "rb").read().split(b"\0")
            except OSError:
                continue
            if f"WINEPREFIX={self.prefix}".encode() in environ:
                found.append(int(entry))
        return found


def _alive(pid):
    if pid <= 0:
        return False
    try:
        os.kill(pid, 0)
        return True
    except OSError:
        return False


def end_launched_clients(wine):
    """Ends the clients that the run launched, by the Windows process ids they recorded."""
    root = wine.install_root()
    # The client writes its record once its window exists, shortly after the tool has ended; with
    # no client unpacked there is none to wait for.
    launched = os.path.exists(os.path.join(root, "QuorvaneSoftware.exe"))
    deadline = time.monotonic() + (15 if launched else 0)
    while time.monotonic() < deadline and not any(n.endswith(".started") for n in os.listdir(root)):
        time.sleep(0.1)
    for name in os.listdir(root):
        if name.endswith(".started"):
            first = open(os.path.join(root, name), encoding="utf-8", errors="replace").readline().strip()
            if first.isdigit():
                wine.run("taskkill", "/PID", first, "/F", timeout=60)
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline and wine.client_processes():
        time.sleep(0.1)
    for pid in wine.client_processes():  # did not go: end it from the host, by its id
        print(f"  client (host pid {pid}) did not end; killing it")
        os.kill(pid, signal.SIGKILL)


def read_log(path):
    """(timestamp, message) for every line of the release log."""
    lines = []
    with open(path, encoding="latin-1") as f:
        for raw in f:
            match = LINE.match(raw)
            if match:
                stamp = datetime.datetime.strptime(match.group(1), "%Y-%m-%d %H:%M:%S.%f")
                lines.append((stamp, match.group(2)))
    return lines


def one_run(wine, tool, fresh):
    """The run's log lines, or None when the tool failed or left no usable log. fresh: from an
    empty install root; else over what the previous run installed (an update)."""
    root = wine.install_root()
    if fresh or not os.path.isdir(root):
        shutil.rmtree(os.path.dirname(root), ignore_errors=True)
        os.makedirs(root)
    for name in os.listdir(root):
        if name.endswith(".started"):
            os.remove(os.path.join(root, name))  # the record of the client ended after the last run
    if wine.client_processes():
        print("  a client is still running; ending it first")
        end_launched_clients(wine)
    done = wine.run(tool)
    if done.returncode != 0:
        print(f"  the tool ended with {done.returncode}: {done.stderr.decode(errors='replace')[-300:]}")
    log_path = os.path.join(root, "ReleaseToolLog.txt")
    lines = read_log(log_path) if os.path.exists(log_path) else []
    end_launched_clients(wine)
    messages = [m for _, m in lines]
    if BEGIN not in messages or END not in messages:
        print(f"  the log lacks its first or last line: {messages}")
        return None
    return lines


def milliseconds(a, b):
    return (b - a).total_seconds() * 1000.0


def measure(wine, tool, runs, fresh):
    """(total ms, overhead ms, log lines) of each run that left a whole log."""
    results = []
    for n in range(runs):
        lines = one_run(wine, tool, fresh)
        if lines is None:
            continue
        stamps = {m: t for t, m in reversed(lines)}  # the first line of each message
        total = milliseconds(stamps[BEGIN], stamps[END])
        pauses = UNPACK_PAUSE_MS if UNZIP in stamps else 0
        results.append((total, total - pauses, lines))
        print(f"  run {n + 1}/{runs}: Begin to End {total:.0f} ms, overhead {total - pauses:.0f} ms", flush=True)
    return results


def report(title, results):
    """Prints the figures of one scenario; its median overhead, or None without results."""
    print(f"\n{title}: {len(results)} runs")
    if not results:
        print("  no run gave a log")
        return None
    unpacked = any(UNZIP in [m for _, m in lines] for _, _, lines in results)
    totals = [r[0] for r in results]
    overheads = [r[1] for r in results]
    print(f"  Begin to End: median {statistics.median(totals):.0f} ms (min {min(totals):.0f}, max {max(totals):.0f})")
    print(f"  overhead beyond the fixed pauses ({UNPACK_PAUSE_MS if unpacked else 0} ms): median "
          f"{statistics.median(overheads):.0f} ms (min {min(overheads):.0f}, max {max(overheads):.0f})")
    if not unpacked:
        print("  note: this build has no unpack phase (no \"Quorvane.zip UnZip\" line)")
    # Where the time goes: from each line to the next, median over the runs.
    steps = {}
    for _, _, lines in results:
        begin = next(i for i, (_, m) in enumerate(lines) if m == BEGIN)
        for (t0, m0), (t1, m1) in zip(lines[begin:], lines[begin + 1:]):
            steps.setdefault(f"{m0[:40]} -> {m1[:40]}", []).append(milliseconds(t0, t1))
    for step, values in steps.items():
        print(f"    {statistics.median(values):6.0f} ms  {step}")
    return statistics.median(overheads)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(SOURCE, "build", "windows"))
    parser.add_argument("--runs", type=int, default=7, help="timed runs of each scenario (default 7)")
    args = parser.parse_args()
    build = os.path.abspath(args.build_dir)
    tool = os.path.join(build, "app", "QuorvaneReleaseTool.exe")
    if not os.path.exists(tool):
        print(f"missing {tool} (bench/run_release_bench.sh builds it)")
        return 1

    wine = Wine(build)
    wine.start()
    try:
        print(f"load average at start: {os.getloadavg()[0]:.2f}")
        print("warm-up run ...", flush=True)
        one_run(wine, tool, True)
        print("fresh install (empty install root) ...", flush=True)
        fresh = measure(wine, tool, args.runs, True)
        print("update (over the previous run's install) ...", flush=True)
        update = measure(wine, tool, args.runs, False)
    finally:
        wine.stop()
    version = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    print(f"\nrelease under {version}, default payload, no client running; "
          f"load average at end: {os.getloadavg()[0]:.2f}")
    medians = [report("fresh install", fresh), report("update", update)]
    if any(m is None for m in medians):
        return 1
    verdict = "met" if max(medians) < OVERHEAD_TARGET_MS else "MISSED"
    print(f"target overhead < {OVERHEAD_TARGET_MS} ms: {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
