#!/usr/bin/env bash
# Runs a command on a virtual X server with a window manager, as on an
# operator's desktop: Xvfb on a display it picks itself, openbox on it, then the
# command on Qt's xcb platform. Both servers are stopped whatever happens.
set -euo pipefail
dir=$(mktemp -d /tmp/zav-xvfb.XXXXXX)
pids=()
stop() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$dir"
}
trap stop EXIT

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$dir/display" >"$dir/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do [[ -s $dir/display ]] && break; sleep 0.05; done
[[ -s $dir/display ]] || { echo "xvfb-wm: Xvfb did not start" >&2; cat "$dir/xvfb.log" >&2; exit 1; }
export DISPLAY=:$(head -n 1 "$dir/display")

openbox --sm-disable >"$dir/wm.log" 2>&1 &
pids+=($!)
# The window manager is up once it has announced itself on the root window.
for _ in $(seq 1 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.05
done

export QT_QPA_PLATFORM=xcb
"$@"
