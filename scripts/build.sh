#!/usr/bin/env bash
# Configures and builds the product in <repo>/build (ZAV_BUILD overrides):
# everything, or only the targets named as arguments (the run command builds
# just what it runs).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZAV_BUILD:-$repo/build}
jobs=${ZAV_JOBS:-$(nproc)}
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=${ZAV_BUILD_TYPE:-RelWithDebInfo} >/dev/null
if [[ $# -gt 0 ]]; then
  cmake --build "$build" -j"$jobs" --target "$@"
else
  cmake --build "$build" -j"$jobs"
fi
