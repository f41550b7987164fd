#!/usr/bin/env bash
# serve.sh - builds the registry and serves it with lighttpd on 127.0.0.1.
# Usage: scripts/serve.sh [port]      (default: $PORT, else 5000)
# The instance directory ($REGISTRY_INSTANCE, default the current directory) holds
# config.json and, unless configured otherwise, registry_storage/.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
[ "${SKIP_BUILD:-0}" = 1 ] || "$here/scripts/setup.sh"

port=${1:-${PORT:-5000}}
instance=$(cd "${REGISTRY_INSTANCE:-$PWD}" && pwd)
mkdir -p "$instance/.lighttpd/uploads" "$instance/.lighttpd/empty"
build=$(cd "${REGISTRY_BUILD_DIR:-$here/build}" && pwd)
ln -sfn "$build/v2_repo" "$instance/v2_repo"

export PORT="$port" REGISTRY_INSTANCE="$instance" REGISTRY_STORAGE_ROOT="${REGISTRY_STORAGE_ROOT:-}"
echo "registry: http://127.0.0.1:$port/v2/ (instance $instance)"
exec lighttpd -D -f "$here/conf/lighttpd.conf"
