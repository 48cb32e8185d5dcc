#!/usr/bin/env bash
# build-release.sh PAYLOAD_DIR OUT_DIR [--cert PEM --key PEM | --pkcs12 FILE] [--password-file FILE]
#                  [--timestamp-url URL]
# Builds QuorvaneReleaseTool.exe around a vendor's payload (ImgRes, Drivers and SoftQuorvane, each
# an archive or a folder), checks every entry, signs the program when a certificate is given, and
# puts the program and its SHA256SUMS into OUT_DIR. The build tree is build/release in this clone;
# it is kept, so the next run only rebuilds what changed.
set -euo pipefail

usage() {
  sed -n '2,3p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

fail() {
  echo "build-release: $*" >&2
  exit 1
}

[ $# -ge 2 ] || usage
payload=$1 out=$2
shift 2
# A failed run must not leave an earlier program there to be taken for this one.
rm -f "$out/QuorvaneReleaseTool.exe" "$out/SHA256SUMS"
sign=()
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case $1 in
  --cert) variable=CERT ;;
  --key) variable=KEY ;;
  --pkcs12) variable=PKCS12 ;;
  --password-file) variable=PASSWORD_FILE ;;
  --timestamp-url) variable=TIMESTAMP_URL ;;
  *) usage ;;
  esac
  value=$2
  if [ $variable != TIMESTAMP_URL ]; then
    [ -f "$value" ] || fail "$1 $value: no such file"
    value=$(realpath "$value")  # the cache keeps the path, which the build reads from elsewhere
  fi
  sign+=("-DQUORVANE_SIGN_$variable=$value")
  shift 2
done

[ -d "$payload" ] || fail "$payload: no such folder (it must hold ImgRes, Drivers and SoftQuorvane)"
payload=$(realpath "$payload")
mkdir -p "$out" || fail "$out: cannot be created"
out=$(realpath "$out")

cd "$(dirname "$0")/.."
tools/install-deps.sh || fail "the build tools could not be installed"

# Every problem of the payload at once, each entry tried with the release's own code (a host
# ziptool, built in build/host-ziptool when none is current), before the long cross build: the
# build checks again, but stops at the first archive that fails.
echo "=== checking the payload of $payload"
python3 sample/check_payload.py "$payload" ||
  fail "the payload cannot be shipped as it is (each problem is named above): $out holds no program"

build=$PWD/build/release
# Every signing variable is given, empty when not asked for, so an earlier run's certificate in
# the kept cache cannot sign this one.
options=(-DQUORVANE_SIGN_CERT= -DQUORVANE_SIGN_KEY= -DQUORVANE_SIGN_PKCS12= -DQUORVANE_SIGN_PASSWORD_FILE=
  -DQUORVANE_SIGN_TIMESTAMP_URL= "${sign[@]}")
echo "=== configuring $build with the payload of $payload"
cmake -S . -B "$build" -G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DQUORVANE_PAYLOAD_DIR="$payload" -DQUORVANE_PAYLOAD_LENIENT=OFF \
  "${options[@]}" >/dev/null ||
  fail "the configuration stopped (see above): $out holds no program"

targets=(--target QuorvaneReleaseTool)
tool=$build/app/QuorvaneReleaseTool.exe
if [ ${#sign[@]} -gt 0 ]; then
  targets+=(quorvane_signed_tool)
  tool=$build/signed/QuorvaneReleaseTool.exe
fi
echo "=== building, checking the payload${sign:+ and signing}"
cmake --build "$build" --parallel 2 "${targets[@]}" ||
  fail "the build stopped (see above; a payload entry the release would refuse is named there): $out holds no program"

cp "$tool" "$out/QuorvaneReleaseTool.exe.partial"
mv "$out/QuorvaneReleaseTool.exe.partial" "$out/QuorvaneReleaseTool.exe"
(cd "$out" && sha256sum QuorvaneReleaseTool.exe >SHA256SUMS)
echo "=== made:"
echo "$out/QuorvaneReleaseTool.exe ($(stat -c %s "$out/QuorvaneReleaseTool.exe") bytes, $([ ${#sign[@]} -gt 0 ] && echo signed || echo unsigned))"
echo "$out/SHA256SUMS: $(cat "$out/SHA256SUMS")"
