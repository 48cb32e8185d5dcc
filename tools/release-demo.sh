#!/usr/bin/env bash
# The main job: builds the release tool with the default payload, then runs it end to end under
# Wine in a throwaway prefix: a first run on a machine with no install (it creates the install and
# starts the client, with no log since the install root did not exist yet), then an update run
# while that client is running. Shows the update run's log and the installed tree.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh

cmake --preset windows >/dev/null
cmake --build --preset windows --target QuorvaneReleaseTool
tool=$PWD/build/windows/app/QuorvaneReleaseTool.exe

prefix=$(mktemp -d /tmp/quorvane-demo.XXXXXX)
trap 'WINEPREFIX=$prefix wineserver -k 2>/dev/null; rm -rf "$prefix"' EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
echo "=== creating a throwaway Wine prefix in $prefix"
wineboot --init >/dev/null 2>&1
wineserver -w

runs=$(mktemp)
xvfb-run -a bash -c '
  wine "$1" && echo "first run: exit code $?" >>"$2"
  sleep 2
  wine "$1" && echo "update run: exit code $?" >>"$2"
  sleep 2
  wineserver -k' _ "$tool" "$runs" || true
cat "$runs"
rm -f "$runs"

root=$(echo "$prefix"/drive_c/users/*/AppData/Roaming)/Quorvane/Software
echo "=== release log of the update run: $root/ReleaseToolLog.txt"
cat "$root/ReleaseToolLog.txt" 2>/dev/null || echo "(no log)"
echo "=== ToolFiePath.txt"
cat "$root/ToolFiePath.txt" 2>/dev/null && echo || echo "(none)"
echo "=== install root"
if [ -d "$root" ]; then
  (cd "$root" && find . -mindepth 1 -printf '%y %10s  %P\n' | sort -k3)
else
  echo "(no install root)"
fi
