#!/usr/bin/env bash
# wine-run.sh BUILD_DIR PROGRAM.exe [ARGS...]   runs a Windows program in the build tree's Wine prefix
# wine-run.sh BUILD_DIR --prefix-only            only makes sure that the prefix exists
# The prefix is created once (a minute or a few), under a lock so parallel tests wait for it. When no
# DISPLAY is set, the display of the running test session (wine-session.sh) is used.
set -u
build=$(cd "$1" && pwd)
shift
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer; and no winedbg: a crashing test program must end, not wait in a
# debugger until the test times out.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winedbg.exe=d}

# A creation that was cut short (a time-out, ^C) leaves a prefix that Wine cannot start from
# ("could not load kernel32.dll"): only a prefix with the stamp of a finished creation is used.
ready=$WINEPREFIX.ready
create_prefix() {
  wineserver -k 2>/dev/null
  rm -rf "$WINEPREFIX"
  wineboot --init >"$WINEPREFIX.log" 2>&1 && wineserver -w && [ -f "$WINEPREFIX/system.reg" ] && touch "$ready"
}
# One more try after a failed creation, with what wineboot said: a moment in which the host can
# start no 32-bit program (a qemu registration being renewed, see tools/install-deps.sh) fails the
# creation without anything being wrong with Wine or the prefix.
(
  flock 9
  if [ ! -f "$ready" ] && ! create_prefix; then
    echo "wine-run: creating $WINEPREFIX failed, trying once more; wineboot said:" >&2
    tail -n 20 "$WINEPREFIX.log" >&2
    create_prefix
  fi
) 9>"$build/wineprefix.lock"
if [ ! -f "$ready" ]; then
  echo "wine-run: could not create $WINEPREFIX; wineboot said:" >&2
  tail -n 20 "$WINEPREFIX.log" >&2 2>/dev/null
  exit 1
fi
[ "${1:-}" = "--prefix-only" ] && exit 0

if [ -z "${DISPLAY:-}" ] && [ -f "$build/wine-session/display" ]; then
  export DISPLAY=$(cat "$build/wine-session/display")
fi
exec wine "$@"
