# shellcheck shell=bash
# Sourced by tools/install-deps.sh: apt-get steps that survive a Debian mirror caught mid-sync.
# For some minutes such a mirror serves indexes that do not match its Release file, so apt-get
# update fails; when the failing index is the security suite's i386 list, no i386 library matches
# its newer 64-bit twin and the install fails too ("unmet dependencies"). So the update is tried
# again after growing pauses, then the install with the indexes at hand, and last, once, the
# install without the failing suites, from a private copy of the sources: the machine's own
# configuration stays as it is.
#
# apt_install [apt-get install options...] -- packages...   status 0 only when they got installed;
# any other end prints a line with "STOPPED:" and the cause. A suite left out once stays out of the
# later apt_install calls of the same script (APT_LEFT_OUT), which install from the private copy at
# once: the mirror would not deliver its index a few minutes later either.
# APT_RETRY_PAUSES: seconds between update tries (two minutes in all); APT_RETRY_PAUSE_SCALE
# multiplies them (0 in tests). APT_STEPS_ROOT: where etc/apt and var/lib/apt/lists are read
# (empty: the machine's own), so a test never reads the real ones.

APT_RETRY_PAUSES=${APT_RETRY_PAUSES:-10 20 30 60}
APT_LEFT_OUT='' # suites left out by an earlier apt_install of this script

apt_say() {
  local me=${0##*/}
  printf '%s: %s\n' "${me%.sh}" "$*" >&2
}

# apt_update [apt-get options...], inside apt_install: status 0 when every index came; apt_failed
# holds, for the last try, one "suite<TAB>index<TAB>reason" line per index apt could not fetch.
apt_update() {
  local -a pauses
  local try=1 tries status log=$apt_tmp/update.log pause line
  read -ra pauses <<<"$APT_RETRY_PAUSES"
  tries=$((${#pauses[@]} + 1))
  while :; do
    apt-get "$@" update -qq >"$log" 2>&1 && status=0 || status=$?
    # "E: Failed to fetch http://HOST/debian-security/dists/SUITE/INDEX  REASON [IP: ...]"
    apt_failed=$(awk '/^[EW]: Failed to fetch / {
        url = $5; reason = $0
        sub(/^[EW]: Failed to fetch [^ ]+ */, "", reason); sub(/ *\[IP: [^]]*\] *$/, "", reason)
        suite = ""; idx = url
        if (sub(/.*\/dists\//, "", idx)) { suite = idx; sub(/\/.*/, "", suite); sub(/^[^\/]*\/?/, "", idx) }
        print suite "\t" idx "\t" reason }' "$log")
    [ "$status" != 0 ] || [ -n "$apt_failed" ] || return 0
    if [ -n "$apt_failed" ]; then
      awk -F'\t' '{ print ($1 == "" ? "a suite" : $1) ": index " $2 " failed: " $3 }' <<<"$apt_failed"
    else
      grep -E '^(E|W):' "$log" || tail -n 3 "$log"
    fi | while IFS= read -r line; do apt_say "apt-get update, try $try of $tries: $line"; done
    [ "$try" -lt "$tries" ] || return 1
    pause=$(awk -v p="${pauses[try - 1]}" -v s="${APT_RETRY_PAUSE_SCALE:-1}" 'BEGIN { print p * s }')
    apt_say "trying again in $pause s"
    sleep "$pause"
    try=$((try + 1))
  done
}

# apt_run_install [apt-get options...]: the install, its output kept for the stop message.
apt_run_install() {
  local status
  DEBIAN_FRONTEND=noninteractive apt-get "$@" install "${apt_options[@]}" "${apt_packages[@]}" \
    >"$apt_tmp/install.log" 2>&1 && status=0 || status=$?
  [ "$status" != 0 ] || grep -E '^(E|W):' "$apt_tmp/install.log" >&2 || true
  return "$status"
}

# apt_sources_without SUITES TO: the machine's sources with those suites left out, in TO. A
# one-line entry of such a suite is commented out; a deb822 stanza keeps its other suites.
apt_sources_without() {
  local drop=" $1 " to=$2 etc=${APT_STEPS_ROOT:-}/etc/apt file
  [ ! -f "$etc/sources.list" ] || apt_list_without "$drop" <"$etc/sources.list" >"$to/00-sources.list"
  for file in "$etc"/sources.list.d/*.list; do
    [ ! -f "$file" ] || apt_list_without "$drop" <"$file" >"$to/${file##*/}"
  done
  for file in "$etc"/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    awk -v drop="$drop" 'BEGIN { RS = "" }
      { n = split($0, line, "\n"); out = ""; kept = "-"
        for (i = 1; i <= n; i++) {
          if (tolower(line[i]) ~ /^suites:/) {
            value = substr(line[i], 8)
            while (i < n && line[i + 1] ~ /^[ \t]/) value = value " " line[++i]
            kept = ""; m = split(value, suites, /[ \t]+/)
            for (j = 1; j <= m; j++) if (suites[j] != "" && !index(drop, " " suites[j] " ")) kept = kept " " suites[j]
            line[i] = "Suites:" kept
          }
          out = out line[i] "\n"
        }
        if (kept != "") print out }' "$file" >"$to/${file##*/}"
  done
}

apt_list_without() {
  awk -v drop="$1" '{ entry = $0; sub(/^[ \t]+/, "", entry) }
    entry ~ /^deb(-src)?[ \t]/ {
      sub(/^deb(-src)?[ \t]+(\[[^]]*\][ \t]*)?/, "", entry); split(entry, word, /[ \t]+/)
      if (index(drop, " " word[2] " ")) { print "# left out for this install: " $0; next } }
    { print }'
}

# apt_stop CAUSE WHAT-TO-DO: ends apt_install with what apt-get said last in between.
apt_stop() {
  apt_stopped=1
  apt_say "STOPPED: could not install ${apt_packages[*]}: $1."
  [ ! -s "$apt_tmp/install.log" ] || grep -vE '^(Reading|Building|$)' "$apt_tmp/install.log" | tail -n 25 | sed 's/^/    /' >&2 || true
  apt_say "$2; then run $0 again."
  exit 1
}

# apt_exit STATUS: the end of every apt_install, also through set -e or a signal: its temporary
# folder goes, and an end that did not say why says so now.
apt_exit() {
  rm -rf "$apt_tmp"
  [ "$1" = 0 ] || rm -f "$apt_carry"
  [ "$1" = 0 ] || [ -n "$apt_stopped" ] || apt_say "STOPPED: could not install ${apt_packages[*]}:" \
    "$([ "$1" -gt 128 ] && echo "interrupted" || echo "a step failed unexpectedly (status $1)"); run $0 again."
}

# The step runs as a plain command, so that it stops at a failing command where the caller does
# (set -e): behind "||" the shell would ignore set -e in it.
apt_install() {
  apt_carry=$(mktemp "${TMPDIR:-/tmp}/apt-left-out.XXXXXX") || {
    apt_say "STOPPED: could not install the packages: no temporary file in ${TMPDIR:-/tmp}."
    return 1
  }
  apt_install_step "$@"
  local status=$?
  [ ! -f "$apt_carry" ] || APT_LEFT_OUT=$(cat "$apt_carry")
  rm -f "$apt_carry"
  return "$status"
}

# A subshell, so that its trap removes the temporary folder without touching the caller's traps.
# The suites it leaves out go to the file apt_carry, for the next apt_install; on failure it goes.
apt_install_step() (
  apt_options=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    apt_options+=("$1")
    shift
  done
  shift || true
  apt_packages=("$@")
  apt_stopped='' apt_tmp=''
  trap 'apt_exit $?' EXIT
  trap 'exit 130' INT TERM HUP
  printf '%s' "$APT_LEFT_OUT" >"$apt_carry"
  apt_tmp=$(mktemp -d "${TMPDIR:-/tmp}/apt-steps.XXXXXX") || apt_stop "no temporary folder in ${TMPDIR:-/tmp}" "Make room there"
  chmod 755 "$apt_tmp" # apt downloads as user _apt
  if [ -n "$APT_LEFT_OUT" ]; then
    suites=$APT_LEFT_OUT
    why="an earlier step of this run could not fetch its index"
    tried="without $suites"
    apt_say "WARNING: installing without $suites this once, since $why; the machine's sources stay as they are."
  else
    if apt_update; then
      apt_run_install && exit 0
      apt_stop "apt-get install failed although every package index is current" "Fix the cause above"
    fi
    failed=$apt_failed
    suites=$(awk -F'\t' '$1 != "" && !seen[$1]++ { printf "%s%s", sep, $1; sep = " " }' <<<"$failed")
    printf '%s' "$suites" >"$apt_carry"
    apt_run_install && exit 0
    [ -n "$suites" ] || apt_stop "apt-get update failed (see above), and with the indexes at hand the install failed too" \
      "Check the network and the sources in /etc/apt"
    why=$(awk -F'\t' '$1 != "" { printf "%s%s of %s: %s", sep, $2, $1, $3; sep = "; " }' <<<"$failed")
    apt_say "WARNING: installing without $suites this once: the mirror did not deliver an index ($why)," \
      "and with the indexes at hand the install failed. The machine's sources stay as they are; updates" \
      "from $suites come with the next 'apt-get update && apt-get upgrade' once the mirror is in sync."
    tried="both with the indexes at hand and without $suites"
  fi
  mkdir "$apt_tmp/sources" "$apt_tmp/lists"
  apt_sources_without "$suites" "$apt_tmp/sources"
  grep -rqiE '^(deb(-src)?[[:space:]]|suites:[[:space:]]*[^[:space:]])' "$apt_tmp/sources" ||
    apt_stop "no suite's index could be fetched ($why)" "Check the network and the sources in /etc/apt"
  # The indexes already fetched spare the download; apt removes those of the left-out suites.
  find "${APT_STEPS_ROOT:-}/var/lib/apt/lists" -maxdepth 1 -type f -name '*_*' -exec cp -p -t "$apt_tmp/lists" {} + 2>/dev/null || true
  private=(-o Dir::Etc::sourcelist=/dev/null -o "Dir::Etc::sourceparts=$apt_tmp/sources"
    -o "Dir::State::Lists=$apt_tmp/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=)
  apt_update "${private[@]}" || true # the install tells whether what came is enough
  apt_run_install "${private[@]}" && exit 0
  apt_stop "the mirror did not deliver an index ($why), and the install failed $tried" \
    "The mirror is probably mid-sync: wait a few minutes"
)
