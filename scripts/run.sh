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
# Only what runs: the host, the screen's package, the servers, the doctor and the
# database tool (the test command builds the tests and benchmarks).
"$repo/scripts/build.sh" zav Pkg_Zav50000 zav50000-server zav-authority zav-dbinit zav-admin zav-doctor

# The servers, as scripts/serve.sh starts them; their address comes back on
# its standard output.
serve_out=$var/serve.out
: >"$serve_out"
ZAV_SKIP_BUILD=1 ZAV_VAR=$var "$repo/scripts/serve.sh" >"$serve_out" 2>&1 &
serve_pid=$!
stop() {
  kill "$serve_pid" 2>/dev/null || true
  wait "$serve_pid" 2>/dev/null || true
}
trap stop EXIT
for _ in $(seq 1 600); do
  grep -q '^login=' "$serve_out" && break
  kill -0 "$serve_pid" 2>/dev/null || { cat "$serve_out" >&2; echo "run: the servers did not start" >&2; exit 1; }
  sleep 0.1
done
grep -q '^login=' "$serve_out" || { cat "$serve_out" >&2; echo "run: the servers did not start in time" >&2; exit 1; }
url=$(sed -n 's/^url=//p' "$serve_out")
port=${url##*:}
port=${port%%/*}
db=${ZAV_DB:-$var/zav.db}

config=$var/zav.ini
cat >"$config" <<INI
[sessao]
ModuFili=nao
FiliProc=0001
FiliProcFat=0001
ModuloAtiv=13
Operador=$(sed -n 's/^operator=//p' "$serve_out")
WebURL=127.0.0.1
WebPort=$port
WebCA=certs/ca.pem

[banco]
Conexao=$db
INI

# The demo signs its operator in without asking.
host=("$build/bin/zav" --config "$config" --password-file "$(sed -n 's/^login=//p' "$serve_out")" --open ZAV50000 "$@")
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
