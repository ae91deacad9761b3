#!/usr/bin/env bash
# Serves the demo without the host application: creates the demo database and
# its certificates when absent (in the same working folder as the run
# command), starts the local tax authority (one process per environment) and
# the application server on loopback over HTTPS, prints where they are, one
# line each, and stays in the foreground until SIGTERM (or Ctrl+C), stopping
# everything it started:
#
#   url=https://127.0.0.1:8211/ZAV50000.rdmCancelaNFE
#   ca=<folder>/certs/ca.pem      the CA that signed the server's certificate
#   operator=OPERADOR             the demo's operator, who may use every establishment
#   login=<folder>/operador.senha a file (mode 600) with that operator's password
#
#   ZAV_VAR            working folder (default <repo>/var): database,
#                      certificates, logs, configuration
#   ZAV_DB             connection text of the database (default: $ZAV_VAR/zav.db)
#   ZAV_SERVER_PORT    port of the application server (default 8211)
#   ZAV_AUTHORITY_PORT port of the local tax authority for homologation
#                      (default 8443); production's is the next one
#   ZAV_SKIP_BUILD=1   use what is built (the run command has built it)
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZAV_BUILD:-$repo/build}
var=${ZAV_VAR:-$repo/var}
mkdir -p "$var"
var=$(cd "$var" && pwd)

if [[ -z ${ZAV_SKIP_BUILD:-} ]]; then
  "$repo/scripts/deps.sh"
  "$repo/scripts/build.sh" zav50000-server zav-authority zav-dbinit zav-admin
fi

db=${ZAV_DB:-$var/zav.db}
if [[ $db != *://* && $db != *=* ]]; then
  if [[ -s $db ]] && ! sqlite3 "$db" "SELECT 1 FROM NFEEVENTO, OPERADOR LIMIT 1" >/dev/null 2>&1; then
    # A demo database of an earlier version, without the NF-e event journal
    # or the operators.
    echo "serve: the demo database $db is of an earlier version: creating it again"
    "$build/bin/zav-dbinit" --db "$db" --force
    rm -f "$var"/autoridade-*.db
  elif [[ ! -s $db ]]; then
    echo "serve: creating the demo database $db"
    "$build/bin/zav-dbinit" --db "$db"
    rm -f "$var"/autoridade-*.db
  fi
fi

# The demo's operator, with a password of its own in a file only the user
# reads, allowed on every establishment of the demo.
operator=OPERADOR
login_file=$var/operador.senha
admin=("$build/bin/zav-admin" --db "$db")
# A database given by its connection text is the caller's to prepare: one
# that cannot serve is said once, with zav-admin's reason, and nothing starts.
operators=$("${admin[@]}" operators) || {
  echo "serve: $db cannot serve the demo (zav-admin's reason above; zav-dbinit prepares a database)" >&2
  exit 1
}
if ! grep -q "^$operator"$'\t' <<<"$operators"; then
  rm -f "$login_file"
  (umask 077 && openssl rand -hex 12 >"$login_file")
  "${admin[@]}" add-operator "$operator" --name "Operador da demonstração" --password-file "$login_file" >/dev/null
elif [[ ! -s $login_file ]]; then
  (umask 077 && openssl rand -hex 12 >"$login_file")
  "${admin[@]}" set-password "$operator" --password-file "$login_file" >/dev/null
fi
"${admin[@]}" grant-all "$operator" >/dev/null

# The demo's certificates: a password of its own, kept in a file only the
# user reads; one A1 certificate per serial the registrations name.
certs=$var/certs
password_file=$var/certificados.senha
if [[ ! -s $password_file ]]; then
  (umask 077 && openssl rand -hex 16 >"$password_file")
fi
# Each A1 certificate carries its establishment's CNPJ (SERIAL:CNPJ) and
# comes from the intermediate CA. A folder of an earlier version (A1 files
# issued by the root, without a CNPJ) is put aside and made again: the local
# authority refuses those certificates as the real ones would.
if [[ -d $certs && ! -e $certs/intermediate.pem ]]; then
  aside=$certs.anterior-$(date +%Y%m%d%H%M%S)
  echo "serve: the certificates in $certs are of an earlier version: moved to $aside, making them again"
  mv "$certs" "$aside"
fi
mapfile -t serials < <("$build/bin/zav-dbinit" --db "$db" --list-certificates)
"$repo/scripts/make-certificates.sh" "$certs" "$(head -n 1 "$password_file")" "${serials[@]}"

pids=()
stop() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop EXIT
log_size() { stat -c %s "$1" 2>/dev/null || echo 0; }
# Waits until the process says in its log (in what it wrote after the log
# held bytes-before) that it listens on the port. A bare connection to the
# port would tell as much, but leaves a TLS handshake error in the log at
# every start.
wait_listening() { # port pid log name bytes-before
  for _ in $(seq 1 150); do
    tail -c "+$(($5 + 1))" "$3" 2>/dev/null | grep -qE "https://127\.0\.0\.1:$1([^0-9]|\$)" && return 0
    kill -0 "$2" 2>/dev/null || { echo "serve: $4 did not start; see $3" >&2; exit 1; }
    sleep 0.1
  done
  echo "serve: $4 did not open port $1; see $3" >&2
  exit 1
}

# The local tax authority knows the demo's invoices: one process per
# environment, as the states run production (1) and homologation (2) apart.
# Its terms admit the whole demo (invoices of the last 60 days); a real state
# allows 24 hours.
authority_port=${ZAV_AUTHORITY_PORT:-8443}
for environment in 2 1; do
  p=$((authority_port + 2 - environment))
  logged=$(log_size "$var/authority-$environment.log")
  "$build/bin/zav-authority" --listen "127.0.0.1:$p" --environment "$environment" \
    --cert "$certs/authority.pem" --key "$certs/authority.key" --client-ca "$certs/authority-trust.pem" \
    --db "$db" --record "$var/autoridade-$environment.db" --ordinary-hours 2400 \
    >>"$var/authority-$environment.log" 2>&1 &
  pids+=($!)
  wait_listening "$p" "${pids[-1]}" "$var/authority-$environment.log" \
    "the local tax authority (environment $environment)" "$logged"
done

cat >"$var/autoridades.ini" <<INI
; The demo's own table of the authorities: its sections replace those of the
; table built into the server (the real authorities of every state), so that
; every state goes to the local tax authority of the demo, homologation and
; production apart.
[geral]
ca = certs/ca.pem
conexaoMs = 5000
respostaMs = 30000

[*.2]
evento = https://127.0.0.1:$authority_port/ws/NFeRecepcaoEvento4
consulta = https://127.0.0.1:$authority_port/ws/NFeConsultaProtocolo4
status = https://127.0.0.1:$authority_port/ws/NFeStatusServico4
prazoHoras = 2400

[*.1]
evento = https://127.0.0.1:$((authority_port + 1))/ws/NFeRecepcaoEvento4
consulta = https://127.0.0.1:$((authority_port + 1))/ws/NFeConsultaProtocolo4
status = https://127.0.0.1:$((authority_port + 1))/ws/NFeStatusServico4
prazoHoras = 2400
INI

port=${ZAV_SERVER_PORT:-8211}
logged=$(log_size "$var/server.log")
"$build/bin/zav50000-server" --db "$db" --listen "127.0.0.1:$port" \
  --tls-cert "$certs/server.pem" --tls-key "$certs/server.key" \
  --certificates "$certs" --certificate-password-file "$password_file" \
  --authorities "$var/autoridades.ini" >>"$var/server.log" 2>&1 &
pids+=($!)
wait_listening "$port" "${pids[-1]}" "$var/server.log" "the application server" "$logged"

echo "url=https://127.0.0.1:$port/ZAV50000.rdmCancelaNFE"
echo "ca=$certs/ca.pem"
echo "operator=$operator"
echo "login=$login_file"

# Until told to stop; the trap stops every process started here.
trap 'exit 0' TERM INT
while :; do
  for pid in "${pids[@]}"; do
    kill -0 "$pid" 2>/dev/null || { echo "serve: a process ended by itself; see the logs in $var" >&2; exit 1; }
  done
  sleep 1 &
  wait $! || true
done
