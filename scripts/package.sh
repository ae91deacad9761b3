#!/usr/bin/env bash
# Builds the Debian packages: zav50000-server (the application server, its
# tools, the schema, the systemd unit, the zav user) and zav (the
# workstation). Installs what is missing, builds what they hold (in
# <repo>/build, ZAV_BUILD overrides), and writes the .deb files into
# <build>/packages (ZAV_PACKAGES overrides); their paths come out on standard
# output, one a line.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZAV_BUILD:-$repo/build}
out=${ZAV_PACKAGES:-$build/packages}

"$repo/scripts/deps.sh"
# Only what the packages hold: the test command builds the rest.
"$repo/scripts/build.sh" zav50000-server zav-admin zav-doctor zav-dbinit zav Pkg_Zav50000 zavhost >&2
mkdir -p "$out"
rm -f "$out"/*.deb
(cd "$build" && cpack --config CPackConfig.cmake -G DEB -B "$out" >&2)
ls "$out"/*.deb
