#!/usr/bin/env bash
# Every test suite: the portable code natively (AddressSanitizer + UndefinedBehaviorSanitizer),
# the same tests under valgrind (a build without sanitizers), a short smoke of each fuzz target
# (clang, libFuzzer), then the Windows build under Wine. Each suite ends with CTest's summary line.
# Last, the README's main command (tools/release-demo.sh) runs once, so that the first command a
# newcomer types cannot break unnoticed. Warnings in our own code fail the build of every suite.
#
# --under-load: two busy loops run beside it from start to end, so the whole run finds the CPUs
# taken, as on a shared CI machine; a test that holds only on an idle machine fails here first.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
busy=()
case "${1:-}" in
  "") ;;
  --under-load)
    trap 'kill "${busy[@]}" 2>/dev/null' EXIT
    trap 'exit 130' INT TERM HUP
    for _ in 1 2; do
      sh -c 'while :; do :; done' &
      busy+=($!)
    done
    echo "=== under load: busy loops ${busy[*]} run beside the tests"
    ;;
  *)
    echo "usage: $0 [--under-load]" >&2
    exit 2
    ;;
esac
tools/install-deps.sh || exit 1

status=0
for preset in native valgrind fuzz windows; do
  echo "=== $preset: configure and build"
  if ! { cmake --preset "$preset" -DQUORVANE_WARNINGS_AS_ERRORS=ON >/dev/null && cmake --build --preset "$preset"; }; then
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
