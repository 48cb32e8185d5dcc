#!/usr/bin/env bash
# Every test suite: the portable code natively (AddressSanitizer + UndefinedBehaviorSanitizer),
# the same tests under valgrind (a build without sanitizers), a short smoke of each fuzz target
# (clang, libFuzzer), then the Windows build under Wine. Each suite ends with CTest's summary line.
# Last, the README's main command (tools/release-demo.sh) runs once, so that the first command a
# newcomer types cannot break unnoticed.
set -uo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh || exit 1

status=0
for preset in native valgrind fuzz windows; do
  echo "=== $preset: configure and build"
  if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset"; }; then
    echo "=== $preset: build failed"
    status=1
    continue
  fi
  echo "=== $preset: tests"
  ctest --preset "$preset" || status=1
done

echo "=== main command: tools/release-demo.sh"
tools/release-demo.sh || { echo "=== main command: FAILED"; status=1; }
exit $status
