#!/usr/bin/env bash
# Runs the product: installs what is missing, builds, creates the demo database
# when absent, starts the application server on loopback and opens the host
# application with the screen ZAV50000. Extra arguments go to the host (zav).
#
#   ZAV_VAR         working folder (default <repo>/var): database, logs, config
#   ZAV_DB          connection text of the database (default: $ZAV_VAR/zav.db)
#   ZAV_SERVER_PORT port of the application server (default 8211)
#   ZAV_HEADLESS    without a display: "xvfb" (virtual display) or
#                   "screenshot" (write $ZAV_VAR/zav50000.png and stop)
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZAV_BUILD:-$repo/build}
var=${ZAV_VAR:-$repo/var}
mkdir -p "$var"

"$repo/scripts/deps.sh"
"$repo/scripts/build.sh"

db=${ZAV_DB:-$var/zav.db}
if [[ $db != *://* && $db != *=* && ! -s $db ]]; then
  echo "run: creating the demo database $db"
  "$build/bin/zav-dbinit" --db "$db"
fi

port=${ZAV_SERVER_PORT:-8211}
"$build/bin/zav50000-server" --db "$db" --listen "127.0.0.1:$port" >>"$var/server.log" 2>&1 &
server=$!
stop() { kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; }
trap stop EXIT
for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  kill -0 "$server" 2>/dev/null || { echo "run: the application server did not start; see $var/server.log" >&2; exit 1; }
  sleep 0.1
done

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
