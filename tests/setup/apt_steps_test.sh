#!/usr/bin/env bash
# tools/apt-steps.sh against a stand-in apt-get failing as a mirror mid-sync did: the update fails
# on bookworm-security's i386 index, and the install finds unmet dependencies unless it runs from
# sources without that suite.
set -uo pipefail
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/bin" "$tmp/etc/apt/sources.list.d"
cat >"$tmp/bin/apt-get" <<'FAKE'
#!/usr/bin/env bash
parts=
for arg; do case $arg in Dir::Etc::sourceparts=*) parts=${arg#*=} ;; update | install) verb=$arg ;; esac; done
echo "$verb:$parts" >>"$CALLS"
if [ "$verb" = update ] && [ -n "${SILENT:-}" ]; then
  echo "E: Could not get lock /var/lib/apt/lists/lock. It is held by process 4242 (apt-get)" >&2
  exit 100
elif [ "$verb" = update ] && [ -z "$parts" ]; then
  echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]" >&2
  exit 100
fi
[ "$verb" = update ] && exit 0
[ -n "$parts" ] && [ -z "${BROKEN:-}" ] && ! grep -rqE '^[^#]*bookworm-security' "$parts" &&
  grep -q 'bookworm bookworm-updates$' "$parts/debian.sources" && grep -q '^deb .* bookworm-backports' "$parts/extra.list" && exit 0
echo "E: Unable to correct problems, you have held broken packages." >&2
exit 100
FAKE
chmod +x "$tmp/bin/apt-get"
printf 'Types: deb\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-security\n  bookworm-updates\n' >"$tmp/etc/apt/sources.list.d/debian.sources"
printf 'deb [arch=i386] http://deb.debian.org/debian-security bookworm-security main\ndeb http://deb.debian.org/debian bookworm-backports main\n' >"$tmp/etc/apt/sources.list.d/extra.list"
export PATH=$tmp/bin:$PATH APT_STEPS_ROOT=$tmp APT_RETRY_PAUSE_SCALE=0 CALLS=$tmp/calls TMPDIR=$tmp
# shellcheck source=../../tools/apt-steps.sh source-path=SCRIPTDIR
. "$(dirname "$0")/../../tools/apt-steps.sh"

failures=0
check() { # check WHAT STATUS
  if [ "$2" = 0 ]; then echo "ok: $1"; else echo "FAILED: $1" && failures=$((failures + 1)); fi
}
(set -e; apt_install -y -- hello && apt_install -y -t bookworm-backports -- qemu-user-static) 2>"$tmp/err"
status=$?
cat "$tmp/err"
[ "$(grep -c '^update:$' "$tmp/calls")" = 5 ]
check "the update is tried five times, and the next step leaves the failing suite out at once" $?
grep -q 'WARNING: installing without bookworm-security ' "$tmp/err"
check "the warning names the suite left out" $?
[ "$status" = 0 ] && tail -n 1 "$tmp/calls" | grep -q '^install:/'
check "the install ran again without that suite and succeeded" $?
[ -z "$(find "$tmp" -maxdepth 1 -name 'apt-steps.*')" ]
check "the temporary folder is gone" $?

(set -e; BROKEN=1 apt_install -y -- hello) 2>"$tmp/err"
status=$?
[ "$status" != 0 ] && grep -q 'STOPPED: .* of bookworm-security: .*Mirror sync' "$tmp/err"
check "a failing fallback fails the step and names the cause" $?

(set -e; SILENT=1 apt_install -y -- hello) 2>"$tmp/err"
status=$?
[ "$status" != 0 ] && grep -q 'STOPPED: .*the install failed too' "$tmp/err"
check "an update failing without naming an index stops with a message" $?
[ $failures = 0 ] && echo "apt_steps_test: all passed" || echo "apt_steps_test: $failures FAILED"
[ $failures = 0 ]
