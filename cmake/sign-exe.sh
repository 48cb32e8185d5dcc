#!/usr/bin/env bash
# sign-exe.sh check OPTIONS                   the signing material is usable: files, password, key pair
# sign-exe.sh sign OPTIONS UNSIGNED SIGNED     Authenticode signature (SHA-256) of UNSIGNED into SIGNED
# OPTIONS: --cert PEM --key PEM | --pkcs12 FILE, [--password-file FILE] [--timestamp-url URL]
#          [--description TEXT]
# The signed program is verified against the signing certificate (and the system's authorities,
# for a certificate that a public authority issued) and only then moved to SIGNED, so a failure
# leaves no signed file that a later build would take for done. Only file paths are ever passed
# on: openssl and osslsigncode read the password file themselves, and nothing here prints it.
set -euo pipefail

fail() {
  echo "sign-exe: $*" >&2
  exit 1
}

action=${1:-}
shift || true
cert= key= pkcs12= password_file= timestamp_url= description=
while [ $# -gt 0 ]; do
  case $1 in
  --cert) cert=$2 ;;
  --key) key=$2 ;;
  --pkcs12) pkcs12=$2 ;;
  --password-file) password_file=$2 ;;
  --timestamp-url) timestamp_url=$2 ;;
  --description) description=$2 ;;
  *) break ;;
  esac
  shift 2
done

# openssl's way to the password: never a prompt, never the password on a command line.
passin=(-passin pass:)
if [ -n "$password_file" ]; then
  [ -r "$password_file" ] || fail "$password_file: the password file cannot be read"
  passin=(-passin "file:$password_file")
fi

check_material() {
  command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (tools/install-deps.sh installs it)"
  command -v openssl >/dev/null || fail "openssl is not installed (tools/install-deps.sh installs it)"
  if [ -n "$pkcs12" ]; then
    [ -r "$pkcs12" ] || fail "$pkcs12: the PKCS#12 file cannot be read"
    openssl pkcs12 -in "$pkcs12" -noout "${passin[@]}" </dev/null 2>/dev/null ||
      openssl pkcs12 -legacy -in "$pkcs12" -noout "${passin[@]}" </dev/null 2>/dev/null ||
      fail "$pkcs12: not a PKCS#12 file, or the password (first line of ${password_file:-no password file}) is wrong"
    return
  fi
  [ -r "$cert" ] || fail "$cert: the certificate file cannot be read"
  [ -r "$key" ] || fail "$key: the key file cannot be read"
  local cert_key key_key
  cert_key=$(openssl x509 -in "$cert" -noout -pubkey 2>/dev/null) || fail "$cert: not a PEM certificate"
  key_key=$(openssl pkey -in "$key" -pubout "${passin[@]}" </dev/null 2>/dev/null) ||
    fail "$key: not a PEM private key, or it is encrypted and the password file is missing or wrong"
  [ "$cert_key" = "$key_key" ] || fail "$key is not the private key of the certificate $cert"
}

# The certificates that the signature must chain to: the system's authorities and the signer's own
# chain, so that a self-signed or privately issued certificate verifies too.
write_trusted_certificates() {
  local bundle=/etc/ssl/certs/ca-certificates.crt
  [ -r "$bundle" ] && cat "$bundle"
  if [ -n "$pkcs12" ]; then
    openssl pkcs12 -in "$pkcs12" -nokeys "${passin[@]}" </dev/null 2>/dev/null ||
      openssl pkcs12 -legacy -in "$pkcs12" -nokeys "${passin[@]}" </dev/null 2>/dev/null
  else
    cat "$cert"
  fi
}

sign() {
  local unsigned=$1 signed=$2
  partial=$signed.partial trusted=$signed.trusted.pem  # global: the exit trap removes them
  mkdir -p "$(dirname "$signed")"
  rm -f "$signed" "$partial"
  trap 'rm -f "$partial" "$trusted"' EXIT
  local material=(-certs "$cert" -key "$key")
  [ -n "$pkcs12" ] && material=(-pkcs12 "$pkcs12")
  [ -n "$password_file" ] && material+=(-readpass "$password_file")
  local extra=()
  [ -n "$description" ] && extra+=(-n "$description")
  [ -n "$timestamp_url" ] && extra+=(-ts "$timestamp_url")
  local output
  output=$(osslsigncode sign "${material[@]}" -h sha256 "${extra[@]}" -in "$unsigned" -out "$partial" 2>&1 </dev/null) ||
    fail "osslsigncode could not sign $unsigned:"$'\n'"$output"
  write_trusted_certificates >"$trusted" || fail "the signing certificates cannot be read"
  output=$(osslsigncode verify -in "$partial" -CAfile "$trusted" -TSA-CAfile "$trusted" 2>&1 </dev/null) ||
    fail "the signature of $partial does not verify:"$'\n'"$output"
  mv "$partial" "$signed"
  echo "Signed $signed"
}

case $action in
check) check_material ;;
sign)
  [ $# -eq 2 ] || fail "sign needs UNSIGNED and SIGNED"
  check_material
  sign "$1" "$2"
  ;;
*) fail "usage: sign-exe.sh check|sign --cert PEM --key PEM | --pkcs12 FILE [--password-file FILE] [--timestamp-url URL] [--description TEXT] [UNSIGNED SIGNED]" ;;
esac
