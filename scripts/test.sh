#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, starts a private
# PostgreSQL server on loopback for the database tests, runs CTest, and stops
# the server whatever happens.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZAV_BUILD:-$repo/build}
export ZAV_VAR=${ZAV_VAR:-$repo/var}

"$repo/scripts/deps.sh"
"$repo/scripts/build.sh"

# A port of our own: another cluster (a developer's, say) may hold the default.
if [[ -z ${ZAV_PG_PORT:-} ]]; then
  ZAV_PG_PORT=54329
  while (exec 3<>"/dev/tcp/127.0.0.1/$ZAV_PG_PORT") 2>/dev/null; do ZAV_PG_PORT=$((ZAV_PG_PORT + 1)); done
  export ZAV_PG_PORT
fi
stop() { "$repo/scripts/pg-stop.sh" >/dev/null 2>&1 || true; }
trap stop EXIT
ZAV_TEST_PG=$("$repo/scripts/pg-start.sh" | tail -n 1)
export ZAV_TEST_PG
echo "test: PostgreSQL at $ZAV_TEST_PG"

cd "$build"
ctest --output-on-failure --timeout 600 -j"${ZAV_TEST_JOBS:-2}" "$@"
