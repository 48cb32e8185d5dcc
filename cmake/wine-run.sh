#!/usr/bin/env bash
# wine-run.sh BUILD_DIR PROGRAM.exe [ARGS...]   runs a Windows program in the build tree's Wine prefix
# wine-run.sh BUILD_DIR --prefix-only            only makes sure that the prefix exists
# The prefix is created once (about 20 s), under a lock so parallel tests wait for it. When no
# DISPLAY is set, the display of the running test session (wine-session.sh) is used.
set -u
build=$(cd "$1" && pwd)
shift
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer; and no winedbg: a crashing test program must end, not wait in a
# debugger until the test times out.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winedbg.exe=d}

(
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot --init >/dev/null 2>&1
    wineserver -w
  fi
) 9>"$build/wineprefix.lock"
[ -f "$WINEPREFIX/system.reg" ] || { echo "wine-run: could not create $WINEPREFIX" >&2; exit 1; }
[ "${1:-}" = "--prefix-only" ] && exit 0

if [ -z "${DISPLAY:-}" ] && [ -f "$build/wine-session/display" ]; then
  export DISPLAY=$(cat "$build/wine-session/display")
fi
exec wine "$@"
