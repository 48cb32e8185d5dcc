#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time.
# Usage: run_fuzzer.sh FUZZER SECONDS WORKDIR SEED_FOLDER...
# New inputs go to WORKDIR/corpus (kept between runs, so a long run can be resumed), never into the
# seed folders; a crash, leak, time-out or sanitizer report is written to WORKDIR/artifacts/ and
# fails the run. Extra libFuzzer flags can be given in QUORVANE_FUZZ_FLAGS (e.g. -fork=2).
set -euo pipefail
fuzzer=$1 seconds=$2 work=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work/corpus" "$work/artifacts"
# The targets' scratch files and folders (one set per process) on a RAM file system where there is one.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi
seeds=()
for folder in "$@"; do
  [ -d "$folder" ] && seeds+=("$folder")
done
# -timeout: one input running for 10 s is a hang; -rss_limit_mb: a runaway allocation is a bug.
# shellcheck disable=SC2086
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -dict="$here/zip.dict" -artifact_prefix="$work/artifacts/" ${QUORVANE_FUZZ_FLAGS:-} \
  "$work/corpus" "${seeds[@]}" 2>"$work/log.txt" || status=$?
grep -E '^(stat::|#[0-9]+ +DONE)|ERROR|SUMMARY|fuzz check failed' "$work/log.txt" || true
if [ "${status:-0}" -ne 0 ]; then
  tail -n 60 "$work/log.txt"
  echo "fuzzer failed (exit ${status}); inputs in $work/artifacts/"
  exit 1
fi
