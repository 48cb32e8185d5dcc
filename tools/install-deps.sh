#!/usr/bin/env bash
# Installs, as root on Debian, whatever the build and the tests need and is not there yet.
set -euo pipefail

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
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}
[ ${#missing[@]} -eq 0 ] || install "${missing[@]}"

# Some kernels run no 32-bit programs (ia32 emulation switched off: "Exec format error"), and
# Wine's 32-bit loader with them. It then runs under qemu's i386 user-mode emulation: the same
# results, many times slower (about a minute for each Windows program started).
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q 'install ok installed' || install qemu-user-static
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt
  if [ ! -e $binfmt/qemu-i386 ]; then
    echo "install-deps: this kernel runs no 32-bit programs; running them under qemu-i386 (slow)"
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    echo ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" >$binfmt/register
  fi
fi
