#!/usr/bin/env bash
# wine-session.sh start|stop BUILD_DIR
# start: creates the build tree's Wine prefix if missing and starts a private Xvfb display for the
# test run, with a wineserver that stays up until stop; stop: ends that wineserver and the display.
set -u
action=$1
build=$(cd "$2" && pwd)
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
state=$build/wine-session
mkdir -p "$state"

start_display() {
  local n
  for n in $(seq 91 140); do
    [ -e /tmp/.X$n-lock ] && continue
    [ -e /tmp/.X11-unix/X$n ] && continue
    Xvfb :$n -screen 0 1280x1024x24 -nolisten tcp >"$state/xvfb.log" 2>&1 &
    echo $! >"$state/xvfb.pid"
    for _ in $(seq 1 50); do
      [ -e /tmp/.X11-unix/X$n ] && { echo ":$n" >"$state/display"; return 0; }
      kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null || break
      sleep 0.1
    done
  done
  echo "wine-session: no Xvfb display could be started" >&2
  return 1
}

case $action in
start)
  "$(dirname "$0")/wine-run.sh" "$build" --prefix-only || exit 1
  if [ -f "$state/xvfb.pid" ] && kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null; then
    exit 0
  fi
  start_display || exit 1
  # The prefix's wineserver and the system processes it starts (services.exe and the services under
  # it) stay up for the whole run, started here with no pipe of a test's: by default they end a few
  # seconds after the last Windows program and the next program starts them again, with its own
  # standard handles, so that every test reading a program's output through a pipe waited for them
  # to end as well (about 4 s per program started, instead of half a second).
  export DISPLAY=$(cat "$state/display")
  wineserver -p </dev/null >/dev/null 2>&1
  wine cmd.exe /c exit </dev/null >/dev/null 2>&1
  ;;
stop)
  wineserver -k 2>/dev/null
  if [ -f "$state/xvfb.pid" ]; then
    kill "$(cat "$state/xvfb.pid")" 2>/dev/null
    rm -f "$state/xvfb.pid" "$state/display"
  fi
  exit 0
  ;;
*)
  echo "usage: wine-session.sh start|stop BUILD_DIR" >&2
  exit 2
  ;;
esac
