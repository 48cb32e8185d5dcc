#!/usr/bin/env bash
# bench/run_release_bench.sh [release_bench.py options]   the release's own time under Wine
# Builds QuorvaneReleaseTool.exe with the windows preset (build/windows) and runs
# bench/release_bench.py in that build tree's Wine prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset windows >/dev/null
cmake --build build/windows --target QuorvaneReleaseTool -j2 >/dev/null
exec python3 bench/release_bench.py --build-dir build/windows "$@"
