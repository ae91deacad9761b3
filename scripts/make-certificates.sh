#!/usr/bin/env bash
# Makes the certificates of a local NF-e setup with the openssl command:
#
#   make-certificates.sh [--name NAME]... [--ip IP]... OUT_DIR PASSWORD SERIAL[:CNPJ][:STARTDAYS:ENDDAYS] ...
#
#   OUT_DIR/ca.pem, ca.key               a test root CA ("AC ZAV LOCAL DE TESTE")
#   OUT_DIR/intermediate.pem, .key       an intermediate CA issued by the root
#                                        ("AC ZAV INTERMEDIARIA DE TESTE"), which
#                                        issues the A1 certificates
#   OUT_DIR/authority-trust.pem          the root and the intermediate: what the
#                                        local authority's --client-ca names
#   OUT_DIR/authority.pem, authority.key TLS server certificate of the local
#                                        authority (localhost, 127.0.0.1, ::1)
#   OUT_DIR/server.pem, server.key       the same for the application server,
#                                        with each --name (DNS) and --ip (an
#                                        address) the workstations call it by
#                                        besides (a LAN name: --name
#                                        zav.example.lan --ip 10.0.0.20)
#   OUT_DIR/a1-<SERIAL>.pfx              per SERIAL (hex): an A1 certificate with
#                                        exactly that serial number, RSA 2048,
#                                        for signing and TLS client use, subject
#                                        "CN=EMPRESA <SERIAL>:<CNPJ>" and, as
#                                        ICP-Brasil writes it, the CNPJ in the
#                                        subjectAltName otherName 2.16.76.1.3.3,
#                                        valid from STARTDAYS (default -1) to
#                                        ENDDAYS (default 365) days from now,
#                                        PKCS#12 protected by PASSWORD, holding
#                                        the intermediate and the root too
#
# As with the real chains, a relying party trusts the root only: whoever
# presents an A1 certificate must present the intermediate with it.
#
# What exists is kept (so it can run before every start), but only after
# checking that it still belongs to this CA and, for an A1 file, that the
# password opens it and it holds the serial and subject asked for (not the
# dates, which were relative to the day it was made) and that it was issued by
# the intermediate: a folder that does not
# fit the request is an error, never silently half-used. Nothing is written
# until a file is complete; a failure leaves the folder as it was.
set -euo pipefail
umask 077
# shellcheck source-path=SCRIPTDIR
source "$(dirname "${BASH_SOURCE[0]}")/issuing.sh" # fail, when, a1_extensions, issue_certificate

# The application server's names beyond loopback.
declare -a server_names=() server_ips=()
while [[ $# -gt 0 && $1 == --* ]]; do
  case $1 in
    --name)
      [[ $# -ge 2 && $2 =~ ^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$ ]] || fail "--name needs a host name (letters, digits, dots, hyphens)"
      server_names+=("$2")
      ;;
    --ip)
      [[ $# -ge 2 && ($2 =~ ^[0-9]{1,3}(\.[0-9]{1,3}){3}$ || $2 =~ ^[0-9A-Fa-f:]+$) ]] || fail "--ip needs an IPv4 or IPv6 address"
      server_ips+=("$2")
      ;;
    *) fail "unknown option $1" ;;
  esac
  shift 2
done

[[ $# -ge 2 ]] || fail "usage: $me [--name NAME]... [--ip IP]... OUT_DIR PASSWORD SERIAL[:CNPJ][:STARTDAYS:ENDDAYS] ..."
out=$1
password=$2
shift 2
[[ -n $out ]] || fail "the output folder is empty"
[[ -n $password ]] || fail "the password of the A1 certificates must not be empty"
command -v openssl >/dev/null || fail "the openssl command is not installed"

# The password reaches openssl through the environment, never the command line
# (which other users can read in the process list).
export ZAV_CERT_PASSWORD=$password

# Serials as CertificateStore compares them: upper case, no leading zeros.
normalised() {
  local hex=${1^^}
  hex=${hex#"${hex%%[!0]*}"}
  echo "${hex:-0}"
}

declare -a serials=() subjects=() cnpjs=() starts=() ends=()
declare -A seen=()
for request in "$@"; do
  IFS=: read -r -a fields <<<"$request"
  serial=${fields[0]:-}
  cnpj=""
  start=-1
  end=365
  case ${#fields[@]} in
    1) ;;
    2) cnpj=${fields[1]} ;;
    3) start=${fields[1]} end=${fields[2]} ;;
    4) cnpj=${fields[1]} start=${fields[2]} end=${fields[3]} ;;
    *) fail "'$request' is not SERIAL[:CNPJ][:STARTDAYS:ENDDAYS]" ;;
  esac
  [[ $serial =~ ^[0-9A-Fa-f]+$ ]] || fail "serial '$serial' is not hexadecimal (in '$request')"
  key=$(normalised "$serial")
  [[ $key != 0 ]] || fail "serial '$serial' is zero; a certificate's serial number must be positive"
  ((${#key} <= 40)) || fail "serial '$serial' is longer than 20 bytes"
  [[ -z ${seen[$key]:-} ]] || fail "serial '$serial' is asked for twice (as '${seen[$key]}' too)"
  seen[$key]=$serial
  [[ -z $cnpj || $cnpj =~ ^[0-9]{14}$ ]] || fail "CNPJ '$cnpj' must have 14 digits (in '$request')"
  [[ $start =~ ^-?[0-9]+$ && $end =~ ^-?[0-9]+$ ]] || fail "validity days must be whole numbers (in '$request')"
  ((start < end)) || fail "the validity must start before it ends (in '$request')"
  serials+=("$serial")
  subjects+=("/CN=EMPRESA $serial${cnpj:+:$cnpj}")
  cnpjs+=("$cnpj")
  starts+=("$start")
  ends+=("$end")
done

mkdir -p "$out" || fail "cannot create the folder $out"
out=$(cd "$out" && pwd)
# Two runs on the same folder (parallel tests, a demo started twice) take
# turns instead of mixing their files.
exec 9<"$out"
flock 9

work=$(mktemp -d "$out/.make-certificates.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM # so that the work folder goes too

run() {
  local log=$work/openssl.log
  if ! openssl "$@" >"$log" 2>&1; then
    cat "$log" >&2
    fail "openssl $1 failed"
  fi
}

install_file() { # moves a finished file from the work folder into place
  mv -f "$work/$1" "$out/$2"
  echo "$me: created $out/$2"
}

verify_chain() { # PEM certificate file, purpose; dates are the caller's choice
  openssl verify -no_check_time -CAfile "$out/ca.pem" -purpose "$2" "$1" >/dev/null 2>&1
}

same_key() { # certificate file, key file
  [[ $(openssl x509 -in "$1" -noout -pubkey) == $(openssl pkey -in "$2" -pubout 2>/dev/null) ]]
}

# The CA: made only when neither half exists; one half alone means the folder
# was damaged, and a new CA would silently orphan everything it signed.
if [[ -e $out/ca.pem && -e $out/ca.key ]]; then
  openssl x509 -in "$out/ca.pem" -noout 2>/dev/null || fail "$out/ca.pem is not a certificate"
  [[ $(openssl x509 -in "$out/ca.pem" -noout -pubkey) == $(openssl pkey -in "$out/ca.key" -pubout 2>/dev/null) ]] \
    || fail "$out/ca.key is not the key of $out/ca.pem"
elif [[ -e $out/ca.pem || -e $out/ca.key ]]; then
  fail "only one of ca.pem and ca.key exists in $out; remove the other or restore both"
else
  cat >"$work/ca.cnf" <<'EXT'
[req]
distinguished_name = dn
[dn]
[v3_ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
EXT
  run req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" -days 3650 -sha256 \
    -subj "/CN=AC ZAV LOCAL DE TESTE" -extensions v3_ca -config "$work/ca.cnf"
  chmod 644 "$work/ca.pem"
  install_file ca.key ca.key
  install_file ca.pem ca.pem
fi

# Signs the request $1 with the CA $7 (default ca, the root): serial $2
# (hex), days $3..$4 from now, extensions $5; writes the certificate to $6.
sign() {
  local issuer=${7:-ca}
  issue_certificate "$1" "$out/$issuer.pem" "$out/$issuer.key" "$2" "$3" "$4" "$5" "$6"
}

# A TLS server certificate of this CA for loopback (localhost, 127.0.0.1,
# ::1) and the further names and addresses given after NAME ("DNS:x",
# "IP:y"): NAME.pem and NAME.key, kept when they exist and still fit (an
# existing one that lacks a name asked for is an error: remove it first).
server_certificate() {
  local name=$1
  shift
  local extra="" cn=localhost entry
  for entry in "$@"; do
    extra+=", $entry"
    [[ $cn == localhost && $entry == DNS:* ]] && cn=${entry#DNS:}
  done
  if [[ -e $out/$name.pem || -e $out/$name.key ]]; then
    [[ -e $out/$name.pem && -e $out/$name.key ]] \
      || fail "only one of $name.pem and $name.key exists in $out; remove it to make both again"
    verify_chain "$out/$name.pem" sslserver || fail "$out/$name.pem is not a server certificate of $out/ca.pem"
    [[ $(openssl x509 -in "$out/$name.pem" -noout -pubkey) == $(openssl pkey -in "$out/$name.key" -pubout 2>/dev/null) ]] \
      || fail "$out/$name.key is not the key of $out/$name.pem"
    local names
    names=$(openssl x509 -in "$out/$name.pem" -noout -ext subjectAltName 2>/dev/null | tr -d ' \n')
    for entry in "$@"; do
      # openssl prints an address as "IPAddress:"; a name as "DNS:".
      local shown=${entry/#IP:/IPAddress:}
      [[ ,$names, == *[:,]${shown#*:},* && $names == *"$shown"* ]] \
        || fail "$out/$name.pem does not name $entry: remove $name.pem and $name.key to make them again"
    done
    return 0
  fi
  cat >"$work/$name.ext" <<EXT
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1, IP:::1$extra
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EXT
  run req -new -newkey rsa:2048 -nodes -keyout "$work/$name.key" -out "$work/$name.csr" -subj "/CN=$cn"
  sign "$work/$name.csr" "$(openssl rand -hex 8)" -1 825 "$work/$name.ext" "$work/$name.pem"
  chmod 644 "$work/$name.pem"
  install_file "$name.key" "$name.key"
  install_file "$name.pem" "$name.pem"
}

# The local authority's TLS certificate, and the application server's.
server_certificate authority
declare -a server_extra=()
for entry in "${server_names[@]}"; do server_extra+=("DNS:$entry"); done
for entry in "${server_ips[@]}"; do server_extra+=("IP:$entry"); done
server_certificate server "${server_extra[@]}"

# The intermediate CA: made only when neither half exists, kept only when it
# is still the root's and its key is its own.
if [[ -e $out/intermediate.pem && -e $out/intermediate.key ]]; then
  openssl verify -no_check_time -CAfile "$out/ca.pem" "$out/intermediate.pem" >/dev/null 2>&1 \
    || fail "$out/intermediate.pem was not issued by $out/ca.pem"
  same_key "$out/intermediate.pem" "$out/intermediate.key" \
    || fail "$out/intermediate.key is not the key of $out/intermediate.pem"
elif [[ -e $out/intermediate.pem || -e $out/intermediate.key ]]; then
  fail "only one of intermediate.pem and intermediate.key exists in $out; remove the other or restore both"
else
  cat >"$work/intermediate.ext" <<'EXT'
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
EXT
  run req -new -newkey rsa:2048 -nodes -keyout "$work/intermediate.key" -out "$work/intermediate.csr" \
    -subj "/CN=AC ZAV INTERMEDIARIA DE TESTE"
  sign "$work/intermediate.csr" "$(openssl rand -hex 8)" -1 3000 "$work/intermediate.ext" "$work/intermediate.pem"
  chmod 644 "$work/intermediate.pem"
  install_file intermediate.key intermediate.key
  install_file intermediate.pem intermediate.pem
fi
intermediate_subject=$(openssl x509 -in "$out/intermediate.pem" -noout -subject -nameopt compat)
# What each A1 file carries besides its own certificate: the chain up to the root.
cat "$out/intermediate.pem" "$out/ca.pem" >"$work/chain.pem"
# What the local authority holds (its --client-ca), as the real ones hold the
# ICP-Brasil chain: the root it trusts and the intermediate that completes a
# signer's chain when the handshake carried none (a resumed TLS session).
cat "$out/ca.pem" "$out/intermediate.pem" >"$work/authority-trust.pem"
chmod 644 "$work/authority-trust.pem"
if cmp -s "$work/authority-trust.pem" "$out/authority-trust.pem"; then
  rm -f "$work/authority-trust.pem"
else
  install_file authority-trust.pem authority-trust.pem
fi

# Serials of the A1 files already in the folder, to refuse a second file with
# a serial that another name already holds (the store would take either).
declare -A existing=()
shopt -s nullglob
for file in "$out"/a1-*.pfx; do
  name=${file##*/a1-}
  name=${name%.pfx}
  existing[$(normalised "$name")]=$name
done

for i in "${!serials[@]}"; do
  serial=${serials[$i]}
  key=$(normalised "$serial")
  target=$out/a1-$serial.pfx
  if [[ -n ${existing[$key]:-} && ${existing[$key]} != "$serial" ]]; then
    fail "serial $serial is already in $out/a1-${existing[$key]}.pfx"
  fi
  if [[ -e $target ]]; then
    openssl pkcs12 -in "$target" -passin env:ZAV_CERT_PASSWORD -nokeys -clcerts -out "$work/kept.pem" 2>/dev/null \
      || fail "$target exists but the password does not open it"
    held=$(openssl x509 -in "$work/kept.pem" -noout -serial)
    [[ $(normalised "${held#serial=}") == "$key" ]] || fail "$target holds serial ${held#serial=}, not $serial"
    issuer=$(openssl x509 -in "$work/kept.pem" -noout -issuer -nameopt compat)
    [[ ${issuer#issuer=} == "${intermediate_subject#subject=}" ]] \
      && openssl verify -no_check_time -CAfile "$out/ca.pem" -untrusted "$out/intermediate.pem" \
        -purpose sslclient "$work/kept.pem" >/dev/null 2>&1 \
      || fail "$target was not issued by $out/intermediate.pem; remove it to make it again"
    subject=$(openssl x509 -in "$work/kept.pem" -noout -subject -nameopt compat)
    [[ ${subject#subject=} == "${subjects[$i]}" ]] \
      || fail "$target is for ${subject#subject=}, not ${subjects[$i]}; remove it to make it again"
    echo "$me: kept $target"
    continue
  fi
  run req -new -newkey rsa:2048 -nodes -keyout "$work/a1.key" -out "$work/a1.csr" -subj "${subjects[$i]}"
  a1_extensions "$work/a1.ext" "${cnpjs[$i]}"
  sign "$work/a1.csr" "$key" "${starts[$i]}" "${ends[$i]}" "$work/a1.ext" "$work/a1.pem" intermediate
  # OpenSSL 3's default algorithms (AES-256, PBKDF2, SHA-256 MAC): no -legacy.
  run pkcs12 -export -inkey "$work/a1.key" -in "$work/a1.pem" -certfile "$work/chain.pem" \
    -name "EMPRESA $serial" -passout env:ZAV_CERT_PASSWORD -out "$work/a1.pfx"
  rm -f "$work/a1.key"
  install_file a1.pfx "a1-$serial.pfx"
done
