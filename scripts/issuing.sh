# shellcheck shell=bash disable=SC2154 # $work is the caller's
# How a CA of scripts/make-certificates.sh issues a certificate, for that
# script and for scripts/make-token.sh: sourced, never run. issue_certificate
# needs the caller's private work folder in $work.

me=$(basename "$0")
fail() { # says why on standard error, named by the script, and ends it
  echo "$me: $*" >&2
  exit 1
}

# openssl ca takes the dates as text: now plus whole days, in UTC.
when() { date -u -d "@$(($(date +%s) + $1 * 86400))" +%Y%m%d%H%M%SZ; }

# The extensions of an A1 (or A3) certificate, for signing and TLS client
# use, into the file $1; with a CNPJ ($2), the otherName of ICP-Brasil that
# carries it.
a1_extensions() {
  cat >"$1" <<'EXT'
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, nonRepudiation, keyEncipherment
extendedKeyUsage = clientAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EXT
  if [[ -n ${2:-} ]]; then
    echo "subjectAltName = otherName:2.16.76.1.3.3;OCTETSTRING:$2" >>"$1"
  fi
}

# Issues the request $1 with the CA whose certificate and key are the files
# $2 and $3: serial $4 (hex), valid from $5 to $6 days from now, the
# extensions of the file $7 (the request's own are dropped); writes the
# certificate to $8. The subject is the request's, as it stands.
issue_certificate() {
  local hex=$4
  ((${#hex} % 2 == 0)) || hex=0$hex # openssl reads the serial file as whole bytes
  echo "$hex" >"$work/serial"
  : >"$work/index.txt"
  cat >"$work/ca.cnf" <<CNF
[ca]
default_ca = local
[local]
database = $work/index.txt
new_certs_dir = $work
certificate = $2
private_key = $3
serial = $work/serial
default_md = sha256
policy = anything
unique_subject = no
copy_extensions = none
[anything]
commonName = supplied
organizationName = optional
CNF
  if ! openssl ca -batch -config "$work/ca.cnf" -in "$1" -out "$8" -notext -preserveDN \
    -startdate "$(when "$5")" -enddate "$(when "$6")" -extfile "$7" >"$work/issue.log" 2>&1; then
    cat "$work/issue.log" >&2
    fail "openssl ca failed"
  fi
}
