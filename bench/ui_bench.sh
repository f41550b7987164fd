#!/usr/bin/env bash
# ui_bench.sh - time to first paint of the web page in headless Chromium, served by lighttpd:
# the repository list over 1000 repositories and one repository with 1000 tags.
# Usage: bench/ui_bench.sh [build-dir] [runs]     (needs node and chromium: scripts/setup-ui.sh)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
runs=${2:-5}
work=$(mktemp -d)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
root="$work/registry_storage"
seed="$build/tests/seed_store"

echo "== seeding: 1000 repositories, a repository with 1000 tags"
printf '{"architecture":"amd64","os":"linux"}' >"$work/config"
head -c 65536 /dev/urandom >"$work/layer"
config=$("$seed" "$root" blob "$work/config")
layer=$("$seed" "$root" blob "$work/layer")
printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"%s","size":%d},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":"%s","size":65536}]}' \
  "$config" "$(stat -c %s "$work/config")" "$layer" >"$work/manifest"
manifest=$("$seed" "$root" manifest bench/app latest "$work/manifest" application/vnd.oci.image.manifest.v1+json)
# Further tags and repositories are written as the engine writes them; the tags all name the
# one stored manifest.
for i in $(seq -w 0 999); do
  mkdir -p "$root/repositories/many/r$i/_manifests/tags/latest/current" "$root/repositories/bench/app/_manifests/tags/t$i/current"
  printf '%s' "$manifest" >"$root/repositories/many/r$i/_manifests/tags/latest/current/link"
  printf '%s' "$manifest" >"$root/repositories/bench/app/_manifests/tags/t$i/current/link"
done

port=$((20000 + RANDOM % 30000))
SKIP_BUILD=1 REGISTRY_INSTANCE="$work" REGISTRY_BUILD_DIR="$build" REGISTRY_STORAGE_ROOT="" \
  "$here/scripts/serve.sh" "$port" >"$work/serve.log" 2>&1 &
pid=$!
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/v2/" && break; sleep 0.1; done
echo "== headless Chromium, median of $runs page loads each"
node "$here/bench/ui_bench.js" "http://127.0.0.1:$port" bench/app "$runs"
