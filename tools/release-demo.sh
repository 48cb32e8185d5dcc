#!/usr/bin/env bash
# The main job: builds the release tool with the default payload, then runs it end to end under
# Wine in a throwaway prefix: a first run on a machine with no install (it creates the install and
# starts the client, with no log since the install root did not exist yet), then an update run
# while that client is running. Shows the update run's log and the installed tree, and exits 0
# only when both runs released and started the client. The prefix is removed in every case.
set -euo pipefail
trap 'echo "release-demo: FAILED: \"$BASH_COMMAND\" ended with $? (line $LINENO)" >&2' ERR
cd "$(dirname "$0")/.."
tools/install-deps.sh

cmake --preset windows >/dev/null
cmake --build --preset windows --target QuorvaneReleaseTool
tool=$PWD/build/windows/app/QuorvaneReleaseTool.exe

prefix=$(mktemp -d /tmp/quorvane-demo.XXXXXX)
runs=$(mktemp /tmp/quorvane-demo-runs.XXXXXX)
# No wine server may be left for the prefix (or none started): nothing in here may fail the exit.
cleanup() {
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix" "$runs" "$runs.inodes" || true
}
trap cleanup EXIT
trap 'echo "release-demo: interrupted" >&2; exit 130' INT TERM HUP

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
echo "=== creating a throwaway Wine prefix in $prefix"
wineboot --init >/dev/null 2>&1
wineserver -w
root=$(echo "$prefix"/drive_c/users/*/AppData/Roaming)/Quorvane/Software

# The first run's client record is removed before the update, so a record at the end proves that
# the update run started the client again. The client writes its record a moment after it starts,
# later on a busy machine: each run waits for it (up to a minute) rather than for a fixed time.
xvfb-run -a bash -c '
  record=$3/QuorvaneSoftware.started
  wait_for_record() { for _ in $(seq 120); do [ -f "$record" ] && return 0; sleep 0.5; done; return 1; }
  wine "$1"; echo "first run: exit code $?" >>"$2"
  wait_for_record || true
  rm -f "$record"
  # Which file each client file is (its inode), to count the ones the update run made anew.
  (cd "$3" && find . -type f -printf "%i %P\n") >"$2.inodes" 2>/dev/null || true
  wine "$1"; echo "update run: exit code $?" >>"$2"
  wait_for_record || true
  wineserver -k || true' _ "$tool" "$runs" "$root" || true
# Each run's exit status with what it means (README "Exit status").
status_meaning() {
  case $1 in
    0) echo "released and started the client" ;;
    2) echo "update not applied, the old client was started" ;;
    3) echo "a client process survived: nothing released" ;;
    4) echo "install root refused: nothing written" ;;
    5) echo "installed, but the client could not be started" ;;
    6) echo "the client's folder may be mixed: not started" ;;
    1618) echo "another release is still running" ;;
    *) echo "not a status of the release (a crash?)" ;;
  esac
}
while read -r line; do
  echo "$line ($(status_meaning "${line##* }"))"
done <"$runs"
log=$root/ReleaseToolLog.txt
echo "=== release log of the update run: $log"
cat "$log" 2>/dev/null || echo "(no log)"
echo "=== ToolFiePath.txt"
cat "$root/ToolFiePath.txt" 2>/dev/null && echo || echo "(none)"
# The update run released the very client the first run installed: what was right stays.
if [ -f "$root/SoftQuorvane.zip" ] && [ -f "$runs.inodes" ]; then
  created=0
  while read -r name; do
    [ "${name%/}" = "$name" ] || continue
    before=$(awk -v n="$name" '{ i = $1; sub(/^[0-9]+ /, ""); if ($0 == n) print i }' "$runs.inodes")
    now=$(stat -c %i "$root/$name" 2>/dev/null || echo gone)
    [ "$before" = "$now" ] || created=$((created + 1))
  done < <(unzip -Z1 "$root/SoftQuorvane.zip" 2>/dev/null)
  echo "=== client files the update run wrote anew (the same client again): $created"
fi
echo "=== install root"
if [ -d "$root" ]; then
  (cd "$root" && find . -mindepth 1 -printf '%y %10s  %P\n' | sort -k3)
else
  echo "(no install root)"
fi

# The release ran when both runs ended with 0, the update run unpacked the client and logged its
# end, and the client started from the install root (its sample writes a record when it does).
failures=()
[ "$(grep -c 'exit code 0$' "$runs")" -eq 2 ] || failures+=("a run did not end with exit code 0")
[ -f "$root/QuorvaneSoftware.exe" ] || failures+=("QuorvaneSoftware.exe was not installed")
grep -q 'Quorvane.zip UnZip' "$log" 2>/dev/null || failures+=("the update run did not unpack the client")
grep -q 'OnReleaseFile End' "$log" 2>/dev/null || failures+=("the update run's log has no end line")
[ -f "$root/QuorvaneSoftware.started" ] || failures+=("the client was not started")
if [ ${#failures[@]} -gt 0 ]; then
  printf 'release-demo: FAILED: %s\n' "${failures[@]}" >&2
  exit 1
fi
echo "release-demo: the release ran and started the client"
