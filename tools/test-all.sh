#!/usr/bin/env bash
# Every test suite: the portable code natively (AddressSanitizer + UndefinedBehaviorSanitizer),
# the same tests under valgrind (a build without sanitizers), a short smoke of each fuzz target
# (clang, libFuzzer), and beside them the Windows build under Wine. Each suite ends with CTest's
# summary line.
# Last, the README's main command (tools/release-demo.sh) runs once, so that the first command a
# newcomer types cannot break unnoticed. Warnings in our own code fail the build of every suite.
#
# --under-load: two busy loops run beside it from start to end, so the whole run finds the CPUs
# taken, as on a shared CI machine; a test that holds only on an idle machine fails here first.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
# What runs beside this script is ended with it, also when it is interrupted.
cleanups=()
trap 'for c in "${cleanups[@]}"; do eval "$c"; done' EXIT
trap 'exit 130' INT TERM HUP
busy=()
case "${1:-}" in
  "") ;;
  --under-load)
    for _ in 1 2; do
      sh -c 'while :; do :; done' &
      busy+=($!)
      cleanups+=("kill $! 2>/dev/null")
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
build_suite() {
  echo "=== $1: configure and build"
  cmake --preset "$1" -DQUORVANE_WARNINGS_AS_ERRORS=ON >/dev/null && cmake --build --preset "$1" && return 0
  echo "=== $1: build failed"
  return 1
}

# The Windows suite spends most of its time waiting under Wine (one Windows test at a time, files
# held on purpose waited out), so it runs beside the host suites rather than after them; its report
# is kept and shown once they are done, each suite's still ending with CTest's summary line.
windows_report=$(mktemp /tmp/quorvane-windows-tests.XXXXXX)
cleanups+=("rm -f $windows_report")
windows_tests=
if build_suite windows; then
  ctest --preset windows >"$windows_report" 2>&1 &
  windows_tests=$!
  # An interrupted CTest runs no clean-up fixture: its test session (display, wineserver) goes with
  # this script, and so do the host faults a fault case may have left (an install root left
  # immutable fails the next run's release tests).
  cleanups+=('[ -z "$windows_tests" ] || { kill "$windows_tests"; wait "$windows_tests"
    cmake/wine-session.sh stop build/windows; tests/faults/host_cleanup.sh build/windows; } 2>/dev/null')
else
  status=1
fi
for preset in native valgrind fuzz; do
  build_suite "$preset" || { status=1; continue; }
  echo "=== $preset: tests"
  ctest --preset "$preset" || status=1
done
if [ -n "$windows_tests" ]; then
  wait "$windows_tests" || status=1
  windows_tests=
  echo "=== windows: tests"
  cat "$windows_report"
fi

echo "=== main command: tools/release-demo.sh"
tools/release-demo.sh || { echo "=== main command: FAILED"; status=1; }
exit $status
