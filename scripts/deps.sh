#!/usr/bin/env bash
# Installs the Debian packages the product needs to build, run and test, when
# any is missing (as root, on Debian 12). Nothing else is fetched.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang-format clang-tidy
  qt6-base-dev qt6-base-dev-tools qt6-base-private-dev libqt6sql6-sqlite libqt6sql6-psql libgl-dev
  libcpp-httplib-dev libmicrohttpd-dev nlohmann-json3-dev libcurl4-openssl-dev libssl-dev libxml2-dev libxml2-utils libxmlsec1-dev xmlsec1 libsodium-dev libcbor-dev openssl libsqlite3-dev libpq-dev
  libsystemd-dev
  postgresql-15 postgresql-client-15 sqlite3
  xvfb xauth openbox x11-utils xdotool fonts-liberation fonts-dejavu-core
  softhsm2 libp11-dev opensc libengine-pkcs11-openssl
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "deps: missing Debian packages: ${missing[*]}" >&2
  echo "deps: run this as root (or: sudo apt-get install ${missing[*]})" >&2
  exit 1
fi
echo "deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
# The cluster the Debian package creates is not used: the tests start their own.
