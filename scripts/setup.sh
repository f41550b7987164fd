#!/usr/bin/env bash
# setup.sh - installs what the registry needs (Debian 12) and builds it into build/.
# Usage: scripts/setup.sh [extra cmake options...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

packages=(cmake g++ make pkg-config libsimdjson-dev libgtest-dev libgmock-dev libbenchmark-dev libssl-dev libcrypt-dev
          lighttpd libfcgi-dev libfcgi-bin curl ca-certificates skopeo podman
          lighttpd-mod-openssl openssl systemd logrotate iproute2 glusterfs-server glusterfs-client)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

build=${BUILD_DIR:-$here/build}
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
