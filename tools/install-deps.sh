#!/usr/bin/env bash
# Installs, as root on Debian, whatever the build and the tests need and is not there yet.
set -euo pipefail
# apt_install: apt-get update and install that ride out a package mirror caught mid-sync.
# shellcheck source=apt-steps.sh source-path=SCRIPTDIR
. "$(dirname "$0")/apt-steps.sh"

packages=(
  cmake make g++ python3 git zip unzip zlib1g-dev googletest
  g++-mingw-w64-i686 mingw-w64-i686-dev libz-mingw-w64-dev g++-mingw-w64-x86-64-posix
  wine wine32:i386 wine64 xvfb xauth
  libarchive-tools p7zip-full clang libclang-rt-dev valgrind
  osslsigncode openssl
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
install() {
  echo "install-deps: installing $*"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt_install -y -qq --no-install-recommends -- "$@"
}
[ ${#missing[@]} -eq 0 ] || install "${missing[@]}"

# Some kernels run no 32-bit programs (ia32 emulation switched off: "Exec format error"), and
# Wine's 32-bit loader with them. It then runs under qemu's i386 user-mode emulation. qemu before
# 8.1 ignores MAP_FIXED_NOREPLACE, so Wine's reservation of the upper address space fails 64 KB
# at a time and every Windows program takes about a minute to start; from 8.1 on it takes about
# a second. Debian 12 ships 7.2, its backports a current one.
# Once registered, qemu answers for the kernel, so a registration found means emulation too.
binfmt=/proc/sys/fs/binfmt_misc
if [ -e $binfmt/qemu-i386 ] || ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  qemu=/usr/bin/qemu-i386-static
  installed=0
  if ! "$qemu" --version 2>/dev/null | grep -qE 'version (8\.[1-9]|9\.|[1-9][0-9])'; then
    if grep -qx 'VERSION_CODENAME=bookworm' /etc/os-release; then
      echo 'deb http://deb.debian.org/debian bookworm-backports main' >/etc/apt/sources.list.d/bookworm-backports.list
      echo "install-deps: installing qemu-user-static from bookworm-backports"
      apt_install -y -qq --no-install-recommends -t bookworm-backports -- qemu-user-static
    else
      install qemu-user-static
    fi
    installed=1
  fi
  [ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt
  magic='7f454c4601010100000000000000000002000300'
  mask='fffffffffffefe00fffffffffffffffffeffffff'
  entry=$binfmt/qemu-i386
  wanted=$(printf 'enabled\ninterpreter %s\nflags: F\noffset 0\nmagic %s\nmask %s' "$qemu" "$magic" "$mask")
  # With flag F the kernel keeps the interpreter it opened at registration, also after an
  # upgrade replaced the file, so an install registers anew. Otherwise a registration that is
  # already as wanted stays: between removing and adding it, every 32-bit program that starts
  # fails ("Exec format error"), and this script also runs beside Wine programs (build-release.sh
  # under the tests, a vendor's build beside a Wine session).
  if [ $installed = 1 ] || [ "$(cat $entry 2>/dev/null)" != "$wanted" ]; then
    [ -e $entry ] && echo -1 >$entry
    echo ":qemu-i386:M::$(sed 's/../\\x&/g' <<<"$magic"):$(sed 's/../\\x&/g' <<<"$mask"):$qemu:F" >$binfmt/register
  fi
  echo "install-deps: this kernel runs no 32-bit programs; running them under $("$qemu" --version | head -1)"
fi
