#!/usr/bin/env bash
# Stops the private PostgreSQL cluster started by scripts/pg-start.sh (same
# variables). Stopping a cluster that is not running is fine.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
var=${ZAV_VAR:-$repo/var}
pgdir=${ZAV_PG_DIR:-$var/pg}
bin=${ZAV_PG_BIN:-/usr/lib/postgresql/15/bin}

fail() { echo "pg-stop: $*" >&2; exit 1; }

[[ -x $bin/pg_ctl ]] || fail "$bin/pg_ctl not found: install the Debian package postgresql-15 (scripts/deps.sh)"
[[ -s $pgdir/PG_VERSION ]] || { echo "pg-stop: no cluster in $pgdir" >&2; exit 0; }

if [[ $(id -u) -eq 0 ]]; then
  as_owner() { runuser -u postgres -- "$@"; }
else
  as_owner() { "$@"; }
fi

if as_owner "$bin/pg_ctl" -D "$pgdir" status >/dev/null 2>&1; then
  as_owner "$bin/pg_ctl" -D "$pgdir" -m fast -w stop >/dev/null || fail "the server in $pgdir did not stop"
fi
