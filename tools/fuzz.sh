#!/usr/bin/env bash
# tools/fuzz.sh [TARGET] [SECONDS]: builds the fuzz targets (the "fuzz" preset: clang, libFuzzer,
# ASan + UBSan) and runs one for as long as asked: reader_fuzzer (the default), unzip_fuzzer or
# repair_fuzzer, 3600 s by default. The corpus grows in build/fuzz/long/TARGET/corpus and a later
# run resumes from it; a failing input lands in build/fuzz/long/TARGET/artifacts/ (replay it with
# build/fuzz/tests/fuzz/TARGET FILE, then keep it in tests/fuzz/regressions/TARGET/).
# More workers: QUORVANE_FUZZ_FLAGS=-fork=2 tools/fuzz.sh ...
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:-reader_fuzzer}
seconds=${2:-3600}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
exec tests/fuzz/run_fuzzer.sh "build/fuzz/tests/fuzz/$target" "$seconds" "build/fuzz/long/$target" \
  tests/fuzz/corpus "tests/fuzz/regressions/$target"
