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

stop() { "$repo/scripts/pg-stop.sh" >/dev/null 2>&1 || true; }
trap stop EXIT
ZAV_TEST_PG=$("$repo/scripts/pg-start.sh" | tail -n 1)
export ZAV_TEST_PG
echo "test: PostgreSQL at $ZAV_TEST_PG"

cd "$build"
ctest --output-on-failure --timeout 600 -j"${ZAV_TEST_JOBS:-2}" "$@"
