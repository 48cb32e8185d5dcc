#!/usr/bin/env bash
# Installs, as root on Debian, whatever the build and the tests need and is not there yet.
set -euo pipefail

packages=(
  cmake make g++ python3 git zip unzip zlib1g-dev googletest
  g++-mingw-w64-i686 mingw-w64-i686-dev libz-mingw-w64-dev
  wine wine32:i386 wine64 xvfb xauth
  libarchive-tools p7zip-full clang libclang-rt-dev valgrind
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
