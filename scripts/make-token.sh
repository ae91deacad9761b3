#!/usr/bin/env bash
# Puts one registration's A3 certificate on a PKCS#11 token of SoftHSM (the
# demo's and the tests' stand-in for a smart card):
#
#   make-token.sh CERT_DIR PIN_FILE LABEL SERIAL:CNPJ[:STARTDAYS:ENDDAYS]
#
#   CERT_DIR   the folder of scripts/make-certificates.sh: its intermediate CA
#              (intermediate.pem, intermediate.key) issues the certificate
#   PIN_FILE   the token's user PIN on its first line, readable by its owner
#              only; made with a random PIN when missing (the SO PIN, which
#              unlocks a locked user PIN, goes to PIN_FILE.so)
#   LABEL      the token's label: the token is made in a free slot when no
#              token has it
#   SERIAL     the certificate's serial (hex); CNPJ the company's 14 digits,
#              written the ICP-Brasil way (subjectAltName otherName
#              2.16.76.1.3.3) and in the common name "EMPRESA SERIAL:CNPJ";
#              valid from STARTDAYS (default -1) to ENDDAYS (default 365)
#
# The RSA 2048 key is generated in the token, sensitive and never
# extractable; the certificate request is signed there (through OpenSSL's
# pkcs11 engine) and the certificate the intermediate issues goes back to the
# token beside its key (same CKA_ID), with the intermediate and the root.
# SOFTHSM2_CONF says where SoftHSM keeps its tokens (a test's own folder);
# ZAV_PKCS11_MODULE names another module. PINs reach the tools through the
# environment or a file of the work folder, never the command line. A token
# that already holds the certificate is kept when it still fits (issued by
# the intermediate, same subject, its key beside it).
set -euo pipefail
umask 077
# shellcheck source-path=SCRIPTDIR
source "$(dirname "${BASH_SOURCE[0]}")/issuing.sh" # fail, when, a1_extensions, issue_certificate

[[ $# -eq 4 ]] || fail "usage: $me CERT_DIR PIN_FILE LABEL SERIAL:CNPJ[:STARTDAYS:ENDDAYS]"
certs=$1 pin_file=$2 label=$3 request=$4
module=${ZAV_PKCS11_MODULE:-/usr/lib/softhsm/libsofthsm2.so}
for tool in openssl pkcs11-tool; do
  command -v "$tool" >/dev/null || fail "the $tool command is not installed (packages openssl, opensc)"
done
[[ -r $module ]] || fail "the PKCS#11 module $module is missing (package softhsm2)"
engine=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so
[[ -r $engine ]] || fail "OpenSSL's pkcs11 engine $engine is missing (package libengine-pkcs11-openssl)"
[[ -r $certs/intermediate.pem && -r $certs/intermediate.key && -r $certs/ca.pem ]] \
  || fail "$certs has no intermediate CA: run scripts/make-certificates.sh on it first"
[[ -n $label && ${#label} -le 32 ]] || fail "the token's label must have 1 to 32 characters"

IFS=: read -r -a fields <<<"$request"
serial=${fields[0]:-} cnpj=${fields[1]:-} start=${fields[2]:--1} end=${fields[3]:-365}
[[ ${#fields[@]} -eq 2 || ${#fields[@]} -eq 4 ]] || fail "'$request' is not SERIAL:CNPJ[:STARTDAYS:ENDDAYS]"
[[ $serial =~ ^[0-9A-Fa-f]+$ ]] || fail "serial '$serial' is not hexadecimal"
[[ $cnpj =~ ^[0-9]{14}$ ]] || fail "CNPJ '$cnpj' must have 14 digits"
[[ $start =~ ^-?[0-9]+$ && $end =~ ^-?[0-9]+$ ]] && ((start < end)) || fail "bad validity days in '$request'"
hex=${serial^^}
((${#hex} % 2 == 0)) || hex=0$hex
id=$hex # the key's and the certificate's CKA_ID
subject="/CN=EMPRESA $serial:$cnpj"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM

p11() { pkcs11-tool --module "$module" "$@"; }
run() { # a command whose output is shown only when it fails
  if ! "$@" >"$work/log" 2>&1; then
    cat "$work/log" >&2
    fail "$1 failed"
  fi
}

# The PINs: the user's from its file (made when missing), the SO's beside it.
if [[ ! -e $pin_file ]]; then
  mkdir -p "$(dirname "$pin_file")"
  openssl rand -hex 8 >"$pin_file"
  echo "$me: created $pin_file"
fi
[[ $(stat -c %a "$pin_file") =~ ^[0-7]00$ ]] || fail "$pin_file may be read by others: chmod 600 it"
ZAV_TOKEN_PIN=$(head -n 1 "$pin_file")
export ZAV_TOKEN_PIN
[[ ${#ZAV_TOKEN_PIN} -ge 4 ]] || fail "the PIN in $pin_file must have at least 4 characters"
printf '%s' "$ZAV_TOKEN_PIN" >"$work/pin" # for the engine's pin-source, without the line end

# The token: the one with this label, or a new one in a free slot.
slot_of() { # label -> slot id of the initialised token with it
  p11 -L 2>/dev/null | awk -v want="$1" '
    /^Slot [0-9]+ \(0x/ { slot = $3; gsub(/[()]/, "", slot) }
    /token label/ { sub(/^[^:]*: /, ""); sub(/[ \t]+$/, ""); if ($0 == want) { print slot; exit } }'
}
slot=$(slot_of "$label")
if [[ -z $slot ]]; then
  free=$(p11 -L 2>/dev/null | awk '/^Slot [0-9]+ \(0x/ { slot = $3; gsub(/[()]/, "", slot) }
    /token state: +uninitialized/ { print slot; exit }')
  [[ -n $free ]] || fail "no free slot to make the token $label in"
  so_file=$pin_file.so
  [[ -e $so_file ]] || openssl rand -hex 8 >"$so_file"
  ZAV_TOKEN_SO_PIN=$(head -n 1 "$so_file")
  export ZAV_TOKEN_SO_PIN
  run p11 --slot "$free" --init-token --label "$label" --so-pin env:ZAV_TOKEN_SO_PIN
  slot=$(slot_of "$label")
  [[ -n $slot ]] || fail "the token $label was made but is not listed"
  run p11 --slot "$slot" --login --login-type so --so-pin env:ZAV_TOKEN_SO_PIN --init-pin --pin env:ZAV_TOKEN_PIN
  echo "$me: created the token $label"
fi
on_token() { p11 --slot "$slot" --login --pin env:ZAV_TOKEN_PIN "$@"; }

# A certificate already there is kept when it still fits.
if on_token --read-object --type cert --id "$id" --output-file "$work/kept.der" >/dev/null 2>&1; then
  openssl x509 -inform DER -in "$work/kept.der" -out "$work/kept.pem" 2>/dev/null \
    || fail "the token $label holds an unreadable certificate with id $id"
  openssl verify -no_check_time -CAfile "$certs/ca.pem" -untrusted "$certs/intermediate.pem" "$work/kept.pem" \
    >/dev/null 2>&1 || fail "the certificate $serial on $label was not issued by $certs/intermediate.pem"
  held=$(openssl x509 -in "$work/kept.pem" -noout -subject -nameopt compat)
  [[ ${held#subject=} == "$subject" ]] || fail "the certificate $serial on $label is for ${held#subject=}, not $subject"
  on_token --list-objects --type privkey --id "$id" 2>/dev/null | grep -q "Private Key Object" \
    || fail "the token $label holds the certificate $serial without its key"
  echo "$me: kept $serial on the token $label"
  exit 0
fi
if on_token --list-objects --type privkey --id "$id" 2>/dev/null | grep -q "Private Key Object"; then
  fail "the token $label holds a key with id $id but no certificate: delete the token to make it again"
fi

# The key, made in the token: sensitive, never extractable, for signing.
run on_token --keypairgen --key-type rsa:2048 --id "$id" --label "EMPRESA $serial" --usage-sign --sensitive
on_token --list-objects --type privkey --id "$id" 2>/dev/null | grep -q "never extractable" \
  || fail "the token $label made a key that may be extracted"

# The request, signed by the token's key through the engine.
cat >"$work/openssl.cnf" <<CNF
openssl_conf = init
[init]
engines = engines
[engines]
pkcs11 = pkcs11
[pkcs11]
engine_id = pkcs11
dynamic_path = $engine
MODULE_PATH = $module
init = 0
[req]
distinguished_name = dn
[dn]
CNF
token_serial=$(p11 -L 2>/dev/null | awk -v want="$slot" '
  /^Slot [0-9]+ \(0x/ { s = $3; gsub(/[()]/, "", s) }
  s == want && /serial num/ { print $NF; exit }')
uri="pkcs11:serial=$token_serial;id=$(sed 's/../%&/g' <<<"$id");type=private;pin-source=file:$work/pin"
run env OPENSSL_CONF="$work/openssl.cnf" openssl req -new -engine pkcs11 -keyform engine -key "$uri" \
  -subj "$subject" -out "$work/a3.csr"

# Issued by the intermediate, with the extensions of an A1 certificate.
a1_extensions "$work/a3.ext" "$cnpj"
issue_certificate "$work/a3.csr" "$certs/intermediate.pem" "$certs/intermediate.key" "$hex" "$start" "$end" \
  "$work/a3.ext" "$work/a3.pem"

# The certificate beside its key, and the chain above it.
openssl x509 -in "$work/a3.pem" -outform DER -out "$work/a3.der"
run on_token --write-object "$work/a3.der" --type cert --id "$id" --label "EMPRESA $serial"
for ca in intermediate ca; do
  ca_label=$(openssl x509 -in "$certs/$ca.pem" -noout -subject -nameopt multiline | sed -n 's/^ *commonName *= //p')
  if ! on_token --list-objects --type cert 2>/dev/null | grep -q "label: *$ca_label\$"; then
    openssl x509 -in "$certs/$ca.pem" -outform DER -out "$work/$ca.der"
    run on_token --write-object "$work/$ca.der" --type cert --label "$ca_label" \
      --id "$(openssl x509 -in "$certs/$ca.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')"
  fi
done
echo "$me: put $serial ($subject) on the token $label"
