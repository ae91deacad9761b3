#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, starts a private
# PostgreSQL server on loopback for the database tests, runs CTest, and stops
# the server whatever happens. The written style is checked apart
# (scripts/style.sh; continuous integration runs it before this).
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
# The cluster lives outside the work tree: the server runs as the postgres
# user, who may not be allowed into the folder the project was cloned to.
if [[ -z ${ZAV_PG_DIR:-} ]]; then
  ZAV_PG_DIR=$(mktemp -d /tmp/zav-test-pg.XXXXXX)
  export ZAV_PG_DIR
  own_cluster=1
fi
stop() {
  "$repo/scripts/pg-stop.sh" >/dev/null 2>&1 || true
  [[ -n ${own_cluster:-} ]] && rm -rf "$ZAV_PG_DIR" "$ZAV_PG_DIR.initdb.log"
  return 0
}
trap stop EXIT
ZAV_TEST_PG=$("$repo/scripts/pg-start.sh" | tail -n 1)
export ZAV_TEST_PG
echo "test: PostgreSQL at $ZAV_TEST_PG"

cd "$build"
ctest --output-on-failure --timeout 600 -j"${ZAV_TEST_JOBS:-2}" "$@"
