#!/usr/bin/env bash
# setup-ui.sh - installs what the browser test and benchmark of the web page need (Debian 12):
# Chromium (driven over its DevTools pipe, so no driver and no npm package) and Node.js.
# Usage: scripts/setup-ui.sh
set -euo pipefail

packages=(chromium fonts-dejavu-core)
command -v node >/dev/null 2>&1 || packages+=(nodejs)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup-ui: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
