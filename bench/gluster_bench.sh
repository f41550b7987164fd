#!/usr/bin/env bash
# gluster_bench.sh - what a push, a collection and a 1 GiB image cost on local disk and on a replicated
# GlusterFS volume, with this tree's programs and, when given, an older build's for comparison.
# The volume is made exactly as tests/gluster_scaleout_test.sh makes it (that script runs this one through
# its GLUSTER_BENCH hook): a network namespace of its own whose loopback carries 192.0.2.10, glusterd and
# the bricks under a temporary directory, client caches off; its trap stops every process by id, unmounts,
# removes the namespace and the directory, whatever happens here. The lighttpd host of the 1 GiB figures
# listens on 127.0.0.1 only; skopeo talks to nothing else.
# Runs once, in turns (local, volume; older build, this build): push calls, the 1 GiB image, pushes per
# second, then the collection, and prints the load average with each
# figure: on a shared machine one run is rough.
# Usage (as root): bench/gluster_bench.sh [build-dir] [older-build-dir] [stress-seconds]
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" != --figures ]; then
  build=$(realpath "${1:-$here/build}")
  before=${2:+$(realpath "$2")}
  seconds=${3:-30}
  export GLUSTER_BENCH="bash $here/bench/gluster_bench.sh --figures $build ${before:-none} $seconds"
  exec bash "$here/tests/gluster_scaleout_test.sh" "$build"
fi

# ---- figures: run with TMPDIR on the volume ------------------------------------------------------
build=$2 before=$3 seconds=$4
volume=${TMPDIR:?the volume directory}
localdir=$(mktemp -d /var/tmp/gluster-bench-local.XXXXXX)
host_pid=""
cleanup() {
  [ -z "$host_pid" ] || { kill "$host_pid" 2>/dev/null; wait "$host_pid" 2>/dev/null; }
  rm -rf "$localdir"
}
trap cleanup EXIT
trap 'exit 1' TERM INT

load() { cut -d' ' -f1-3 /proc/loadavg; }
now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
builds=("$build")
[ "$before" = none ] || builds=("$before" "$build")
label() { [ "$1" = "$build" ] && echo this || echo older; }
place_dir() { [ "$1" = local ] && echo "$localdir" || echo "$volume"; }

echo "== file-system calls of one push (push_ops), and its time"
for place in local volume; do
  for b in "${builds[@]}"; do
    t0=$(now)
    out=$(TMPDIR=$(place_dir $place) "$b/push_ops" 2>&1) || echo "push_ops failed: $out"
    echo "-- $place, $(label "$b") build: $(secs "$t0" "$(now)") s, load $(load)"
    echo "$out"
  done
done

echo "== a 1 GiB image pushed and pulled by skopeo through one host (127.0.0.1), this build"
export HOME="$localdir/home" XDG_DATA_HOME="$localdir/home/data" XDG_RUNTIME_DIR="$localdir/home/run"
mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
# skopeo remembers where it has seen blobs; a private empty memory makes every push upload.
client() { mkdir -p /var/lib/containers/cache; unshare -m sh -c 'mount -t tmpfs tmpfs "$0" && exec "$@"' /var/lib/containers/cache "$@"; }
layout=$localdir/layout
mkdir -p "$layout/blobs/sha256"
hex() { sha256sum "$1" | cut -d' ' -f1; }
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$layout/layer"
printf '{"architecture":"amd64","os":"linux","rootfs":{"type":"layers","diff_ids":["sha256:%s"]}}' \
  "$(hex "$layout/layer")" >"$layout/config"
layer_hex=$(hex "$layout/layer") config_hex=$(hex "$layout/config")
printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"sha256:%s","size":%s},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":"sha256:%s","size":%s}]}' \
  "$config_hex" "$(stat -c %s "$layout/config")" "$layer_hex" "$(stat -c %s "$layout/layer")" >"$layout/manifest"
manifest_hex=$(hex "$layout/manifest")
printf '{"schemaVersion":2,"manifests":[{"mediaType":"application/vnd.oci.image.manifest.v1+json","digest":"sha256:%s","size":%s,"annotations":{"org.opencontainers.image.ref.name":"v1"}}]}' \
  "$manifest_hex" "$(stat -c %s "$layout/manifest")" >"$layout/index.json"
printf '{"imageLayoutVersion":"1.0.0"}' >"$layout/oci-layout"
mv "$layout/layer" "$layout/blobs/sha256/$layer_hex"
mv "$layout/config" "$layout/blobs/sha256/$config_hex"
mv "$layout/manifest" "$layout/blobs/sha256/$manifest_hex"

port=$((20000 + RANDOM % 30000))
for place in local volume; do
  instance=$localdir/instance-$place
  mkdir -p "$instance"
  SKIP_BUILD=1 REGISTRY_INSTANCE="$instance" REGISTRY_BUILD_DIR="$build" \
    REGISTRY_STORAGE_ROOT="$(place_dir $place)/big-store" "$here/scripts/serve.sh" "$port" >"$instance/serve.log" 2>&1 &
  host_pid=$!
  for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/v2/" && break; sleep 0.1; done
  t0=$(now)
  client skopeo copy --retry-times 0 --dest-tls-verify=false "oci:$layout:v1" "docker://127.0.0.1:$port/bench/big:v1" \
    >"$instance/push.log" 2>&1 && pushed=ok || pushed="FAILED ($(tail -1 "$instance/push.log"))"
  push_s=$(secs "$t0" "$(now)")
  t0=$(now)
  client skopeo copy --retry-times 0 --src-tls-verify=false "docker://127.0.0.1:$port/bench/big:v1" "oci:$localdir/back:v1" \
    >"$instance/pull.log" 2>&1 && pulled=ok || pulled="FAILED ($(tail -1 "$instance/pull.log"))"
  pull_s=$(secs "$t0" "$(now)")
  whole=no
  [ -f "$localdir/back/blobs/sha256/$layer_hex" ] && [ "$(hex "$localdir/back/blobs/sha256/$layer_hex")" = "$layer_hex" ] && whole=yes
  echo "-- $place: push $pushed in $push_s s, pull $pulled in $pull_s s, layer whole after the pull: $whole, load $(load)"
  kill "$host_pid" 2>/dev/null; wait "$host_pid" 2>/dev/null; host_pid=""
  rm -rf "$localdir/back" "$(place_dir $place)/big-store"
  port=$((port + 1))
done

echo "== pushes per second: gc_stress --seconds $seconds --pushers 2 --collectors 1 --grace 3600"
for place in local volume; do
  for b in "${builds[@]}"; do
    echo "-- $place, $(label "$b") build, load before $(load)"
    TMPDIR=$(place_dir $place) timeout $((seconds * 20 + 600)) "$b/gc_stress" --seconds "$seconds" --pushers 2 \
      --collectors 1 --grace 3600 2>&1 | grep -E '^(seconds|pushes|violations|late)'
  done
done

echo "== a collection of 10,000 blobs (half named by 200 manifests in 20 repositories), this build"
for place in local volume; do
  root=$(place_dir $place)/gc-store
  t0=$(now)
  "$build/admin_store_gen" "$root" 10000 200 20 >/dev/null || echo "admin_store_gen failed"
  made=$(secs "$t0" "$(now)")
  t0=$(now)
  report=$("$build/registry-admin" --root "$root" --json gc 2>&1)
  echo "-- $place: store made in $made s; gc $(secs "$t0" "$(now)") s, load $(load)"
  echo "$report" | grep -oE '"(blobs_total|blobs_deleted|blobs_reachable)":[0-9]+' | tr '\n' ' '; echo
  rm -rf "$root"
done
