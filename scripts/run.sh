#!/usr/bin/env bash
# Runs the product: installs what is missing, builds, creates the demo database
# when absent, makes the demo's certificates (a local CA, the local tax
# authority's TLS certificate, one A1 certificate per registration), starts the
# local tax authority (zav-authority, HTTPS) and the application server on
# loopback, and opens the host application with the screen ZAV50000. Extra
# arguments go to the host (zav).
#
#   ZAV_VAR            working folder (default <repo>/var): database, certificates,
#                      logs, config
#   ZAV_DB             connection text of the database (default: $ZAV_VAR/zav.db)
#   ZAV_SERVER_PORT    port of the application server (default 8211)
#   ZAV_AUTHORITY_PORT port of the local tax authority for homologation (default
#                      8443); production's is the next one
#   ZAV_HEADLESS    without a display: "xvfb" (virtual display) or
#                   "screenshot" (write $ZAV_VAR/zav50000.png and stop)
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZAV_BUILD:-$repo/build}
var=${ZAV_VAR:-$repo/var}
mkdir -p "$var"

"$repo/scripts/deps.sh"
# Only what runs: the host, the screen's package, the servers and the
# database tool (the test command builds the tests and benchmarks).
"$repo/scripts/build.sh" zav Pkg_Zav50000 zav50000-server zav-authority zav-dbinit

db=${ZAV_DB:-$var/zav.db}
if [[ $db != *://* && $db != *=* ]]; then
  if [[ -s $db ]] && ! sqlite3 "$db" "SELECT 1 FROM NFEEVENTO LIMIT 1" >/dev/null 2>&1; then
    # A demo database of an earlier version, without the NF-e event journal.
    echo "run: the demo database $db is of an earlier version: creating it again"
    "$build/bin/zav-dbinit" --db "$db" --force
    rm -f "$var"/autoridade-*.db
  elif [[ ! -s $db ]]; then
    echo "run: creating the demo database $db"
    "$build/bin/zav-dbinit" --db "$db"
    rm -f "$var"/autoridade-*.db
  fi
fi

# The demo's certificates: a password of its own, kept in a file only the
# user reads; one A1 certificate per serial the registrations name.
certs=$var/certs
password_file=$var/certificados.senha
if [[ ! -s $password_file ]]; then
  (umask 077 && openssl rand -hex 16 >"$password_file")
fi
mapfile -t serials < <("$build/bin/zav-dbinit" --db "$db" --list-certificates)
"$repo/scripts/make-certificates.sh" "$certs" "$(head -n 1 "$password_file")" "${serials[@]}"

pids=()
stop() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop EXIT
wait_port() { # port pid log name
  for _ in $(seq 1 150); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    kill -0 "$2" 2>/dev/null || { echo "run: $4 did not start; see $3" >&2; exit 1; }
    sleep 0.1
  done
  echo "run: $4 did not open port $1; see $3" >&2
  exit 1
}

# The local tax authority knows the demo's invoices: one process per
# environment, as the states run production (1) and homologation (2) apart.
# Its terms admit the whole demo (invoices of the last 60 days); a real state
# allows 24 hours.
authority_port=${ZAV_AUTHORITY_PORT:-8443}
for environment in 2 1; do
  p=$((authority_port + 2 - environment))
  "$build/bin/zav-authority" --listen "127.0.0.1:$p" --environment "$environment" \
    --cert "$certs/authority.pem" --key "$certs/authority.key" --client-ca "$certs/ca.pem" \
    --db "$db" --record "$var/autoridade-$environment.db" --ordinary-hours 2400 \
    >>"$var/authority-$environment.log" 2>&1 &
  pids+=($!)
  wait_port "$p" "${pids[-1]}" "$var/authority-$environment.log" "the local tax authority (environment $environment)"
done

cat >"$var/autoridades.ini" <<INI
; Where the application server sends the NF-e events: every state goes to the
; local tax authority of the demo, homologation and production apart.
[geral]
ca = certs/ca.pem
conexaoMs = 5000
respostaMs = 30000

[*.2]
evento = https://127.0.0.1:$authority_port/ws/NFeRecepcaoEvento4
consulta = https://127.0.0.1:$authority_port/ws/NFeConsultaProtocolo4
prazoHoras = 2400

[*.1]
evento = https://127.0.0.1:$((authority_port + 1))/ws/NFeRecepcaoEvento4
consulta = https://127.0.0.1:$((authority_port + 1))/ws/NFeConsultaProtocolo4
prazoHoras = 2400
INI

port=${ZAV_SERVER_PORT:-8211}
"$build/bin/zav50000-server" --db "$db" --listen "127.0.0.1:$port" \
  --tls-cert "$certs/server.pem" --tls-key "$certs/server.key" \
  --certificates "$certs" --certificate-password-file "$password_file" \
  --authorities "$var/autoridades.ini" >>"$var/server.log" 2>&1 &
pids+=($!)
wait_port "$port" "${pids[-1]}" "$var/server.log" "the application server"

config=$var/zav.ini
cat >"$config" <<INI
[sessao]
ModuFili=nao
FiliProc=0001
FiliProcFat=0001
ModuloAtiv=13
Operador=${USER:-operador}
WebURL=127.0.0.1
WebPort=$port
WebCA=certs/ca.pem

[banco]
Conexao=$db
INI

host=("$build/bin/zav" --config "$config" --open ZAV50000 "$@")
if [[ -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} ]]; then
  "${host[@]}"
  exit $?
fi

mode=${ZAV_HEADLESS:-}
if [[ -z $mode ]]; then
  echo "run: no display is available (DISPLAY is not set)."
  echo "     x: run the screen on a virtual display (Xvfb), until you press Ctrl+C"
  echo "     s: write a picture of the screen to $var/zav50000.png (the default)"
  if [[ -t 0 ]] && read -r -t 20 -p "run: your choice [x/s]: " answer; then
    [[ $answer == [xX]* ]] && mode=xvfb
  fi
  mode=${mode:-screenshot}
fi
case $mode in
  xvfb)
    echo "run: starting under Xvfb; stop with Ctrl+C"
    xvfb-run -a "${host[@]}"
    ;;
  *)
    QT_QPA_PLATFORM=offscreen "${host[@]}" --screenshot "$var/zav50000.png"
    echo "run: picture written to $var/zav50000.png"
    ;;
esac
