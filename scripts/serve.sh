#!/usr/bin/env bash
# serve.sh - builds the registry and serves it with lighttpd on 127.0.0.1.
# Usage: scripts/serve.sh [port]      (default: $PORT, else 5000)
# The instance directory ($REGISTRY_INSTANCE, default the current directory) holds
# config.json and, unless configured otherwise, registry_storage/. The web page (ui/) is served
# at / and /ui/. REGISTRY_LIGHTTPD_CONF names another server configuration (tests use one that
# includes conf/lighttpd.conf and adds to it).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
[ "${SKIP_BUILD:-0}" = 1 ] || "$here/scripts/setup.sh"

port=${1:-${PORT:-5000}}
instance=$(cd "${REGISTRY_INSTANCE:-$PWD}" && pwd)
mkdir -p "$instance/.lighttpd/uploads"
build=$(cd "${REGISTRY_BUILD_DIR:-$here/build}" && pwd)
ln -sfn "$build/registry" "$instance/registry"
ln -sfn "$build/v2_repo" "$instance/v2_repo"

# The storage root as the programs find it: the environment, else the settings
# file's "storage_root" or "registry_storage_root" (the key directly followed by
# its colon), else ./registry_storage; relative to the instance directory.
storage_root() {
  if [ -n "${REGISTRY_STORAGE_ROOT:-}" ]; then printf '%s' "$REGISTRY_STORAGE_ROOT"; return; fi
  local key value
  for key in storage_root registry_storage_root; do
    value=$(cat "$instance/config.json" 2>/dev/null | tr '\n' ' ' |
            sed -n "s/.*\"$key\":[^\"]*\"\\([^\"]*\\)\".*/\\1/p" | head -n 1)
    if [ -n "$value" ]; then printf '%s' "$value"; return; fi
  done
  printf './registry_storage'
}
root=$(cd "$instance" && realpath -m "$(storage_root)")
mkdir -p "$root/blobs/sha256"

export PORT="$port" REGISTRY_INSTANCE="$instance" REGISTRY_STORAGE_ROOT="${REGISTRY_STORAGE_ROOT:-}"
export REGISTRY_BLOB_DIR="$root/blobs/sha256"
export REGISTRY_UI_DIR="$here/ui"
echo "registry: http://127.0.0.1:$port/v2/ (instance $instance, storage $root), page at http://127.0.0.1:$port/"
exec lighttpd -D -f "${REGISTRY_LIGHTTPD_CONF:-$here/conf/lighttpd.conf}"
