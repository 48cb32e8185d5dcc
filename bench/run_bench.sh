#!/usr/bin/env bash
# bench/run_bench.sh [run_bench.py options]   the extraction benchmark, one command
# Builds ziptool and the floor program in a native Release tree without sanitizers (build/bench),
# then runs bench/run_bench.py (about 5 minutes; about 1 GB of disk in build/bench and 1.5 GB of
# RAM filesystem in /dev/shm; with --out-dir on a disk, about 12 GB there instead).
set -euo pipefail
cd "$(dirname "$0")/.."
for tool in cmake unzip bsdtar python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "run_bench: $tool is missing (tools/install-deps.sh, apt-get install time)" >&2; exit 1; }
done
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DQUORVANE_SANITIZE=OFF >/dev/null
cmake --build build/bench --target ziptool quorvane_bench_floor -j2 >/dev/null
exec python3 bench/run_bench.py --build-dir build/bench "$@"
