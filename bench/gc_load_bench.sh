#!/usr/bin/env bash
# gc_load_bench.sh - requests per second of a manifest GET by tag while a collection of a large
# store runs (started by POST /v2/_admin/gc, so it runs detached beside the responders), against
# the same GETs with no collection, in turns. The store comes from admin_store_gen.
# Each "during" figure counts only if the collection was still running when wrk ended.
# Usage: bench/gc_load_bench.sh [build dir] [rounds, default 3] [seconds per wrk run, default 5]
#        [blobs, default 200000] [manifests, default 60000] [hosting options for serve.sh, e.g. --cgi]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tests/image_lib.sh
source "$here/tests/image_lib.sh"
build=$(cd "${1:-$here/build}" && pwd)
rounds=${2:-3}
seconds=${3:-5}
blobs=${4:-200000}
manifests=${5:-60000}
shift $(($# < 5 ? $# : 5))
command -v wrk >/dev/null || { echo "wrk is needed (apt-get install wrk)"; exit 77; }
[ -x "$build/admin_store_gen" ] || { echo "$build/admin_store_gen is needed (cmake --build $build --target admin_store_gen)"; exit 77; }
# shellcheck source=bench/bench_lib.sh
source "$here/bench/bench_lib.sh"
work=$(mktemp -d "${TMPDIR:-/var/tmp}/gc-load-bench.XXXXXX")
bench_pid=""
cleanup() { bench_stop "$bench_pid"; rm -rf "$work"; }
trap cleanup EXIT

mkdir -p "$work/instance"
# Grace 0: the unnamed half of the generated blobs is the collection's to remove.
printf '{"registry_gc_grace_seconds": 0}\n' >"$work/instance/config.json"
echo "== generating the store ($blobs blobs, $manifests manifests)"
"$build/admin_store_gen" "$work/instance/registry_storage" "$blobs" "$manifests" 500
bench_serve "$work/instance" "$@"
base=$bench_base

small_image "$work" 'layer of the collection benchmark'
curl -sf -o /dev/null -X POST --data-binary @"$work/layer" "$base/v2/bench/app/blobs/uploads/?digest=$layer"
curl -sf -o /dev/null -X POST --data-binary @"$work/config" "$base/v2/bench/app/blobs/uploads/?digest=$cfg"
curl -sf -o /dev/null -X PUT --data-binary @"$work/manifest" \
  -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' "$base/v2/bench/app/manifests/latest"
path=/v2/bench/app/manifests/latest
accept='Accept: application/vnd.oci.image.manifest.v1+json'
[ "$(curl -s -o /dev/null -w '%{http_code}' -H "$accept" "$base$path")" = 200 ] || { echo "manifest GET fails"; exit 1; }

rate() { # connections
  wrk -t1 -c"$1" -d"${seconds}s" -H "$accept" "$base$path" | awk '/^Requests\/sec/ {printf "%.0f", $2}'
}
running() { curl -s "$base/v2/_admin/gc" | grep -q '"running":true' && echo yes || echo no; }
wait_idle() {
  for _ in $(seq 6000); do [ "$(running)" = no ] && return 0; sleep 0.1; done
  echo "the collection did not end"; exit 1
}

echo "== manifest GET by tag, wrk ${seconds}s per cell (req/s); collection: a dry run of the whole store"
for r in $(seq "$rounds"); do
  for c in 1 16; do
    idle=$(rate "$c")
    code=$(curl -s -o /dev/null -w '%{http_code}' -X POST -d '' "$base/v2/_admin/gc?dry_run=1")
    [ "$code" = 202 ] || { echo "collection start answered $code"; exit 1; }
    busy=$(rate "$c")
    still=$(running)
    wait_idle
    echo "round $r, $c connections: without $idle, during $busy ($(awk -v a="$busy" -v b="$idle" 'BEGIN{printf "%.2f", a/b}')x)," \
         "collection still running at the end: $still; load $(cut -d' ' -f1-3 /proc/loadavg)"
  done
done

echo "== a real collection (the unnamed half removed) under 16 connections"
idle=$(rate 16)
t0=$(date +%s.%N)
curl -sf -o /dev/null -X POST -d '' "$base/v2/_admin/gc"
busy=$(rate 16)
still=$(running)
wait_idle
t1=$(date +%s.%N)
echo "without $idle, during $busy ($(awk -v a="$busy" -v b="$idle" 'BEGIN{printf "%.2f", a/b}')x), still running at the end: $still;" \
     "the collection took $(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.1f", b - a}') s; load $(cut -d' ' -f1-3 /proc/loadavg)"
curl -s "$base/v2/_admin/gc" | grep -o '"last_result":{[^}]*}' || true
