#!/usr/bin/env bash
# gluster_bench.sh - what a file-system call, a push, a collection and a 1 GiB image cost on local disk and
# on a replicated GlusterFS volume, with this tree's programs and, when given, an older build's for comparison.
# The volume is made exactly as tests/gluster_scaleout_test.sh makes it (that script runs this one through
# its GLUSTER_BENCH hook): a network namespace of its own whose loopback carries 192.0.2.10, glusterd and
# the bricks under a temporary directory, client caches off; its trap stops every process by id, unmounts,
# removes the namespace and the directory, whatever happens here. The lighttpd host of the 1 GiB figures
# listens on 127.0.0.1 only; skopeo talks to nothing else.
# Runs once, in turns (local, volume; older build, this build), and prints the load average with each
# figure: on a shared machine one run is rough.
# Usage (as root): bench/gluster_bench.sh [build-dir] [older-build-dir|none] [stress-seconds]
#   BENCH_PARTS="calls ops image stress gc" chooses the parts (default all of them);
#   BENCH_PUSHERS sets the stress program's pushers (default 2); BENCH_IMAGE_MIB the image's size (1024);
#   BENCH_PLACES="local volume" where the stress program runs (to compare volume settings: volume);
#   BENCH_ROUNDS the stress program's rounds (default 1; each round runs every build in turn, older first);
#   BENCH_GC_BLOBS="2000 10000" the collections' store sizes (10000), BENCH_GC_TIMEOUT their limit (2400 s);
#   GLUSTER_BENCH_VOLUME="option value ..." and GLUSTER_BENCH_MOUNT="mount options" try other volume and
#   mount settings (see docs/operating.md for which are safe).
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" != --figures ]; then
  build=$(realpath "${1:-$here/build}")
  before=none
  [ -n "${2:-}" ] && [ "$2" != none ] && before=$(realpath "$2")
  seconds=${3:-30}
  echo "volume options added: ${GLUSTER_BENCH_VOLUME:-none}; mount options: ${GLUSTER_BENCH_MOUNT:-as the test mounts}"
  export GLUSTER_BENCH="bash $here/bench/gluster_bench.sh --figures $build $before $seconds"
  exec bash "$here/tests/gluster_scaleout_test.sh" "$build"
fi

# ---- figures: run with TMPDIR on the volume (mount a), GLUSTER_BENCH_OTHER the same directory through
# ---- the collector's mount -------------------------------------------------------------------------
build=$2 before=$3 seconds=$4
volume=${TMPDIR:?the volume directory}
other=${GLUSTER_BENCH_OTHER:-$volume}
parts=${BENCH_PARTS:-calls ops image stress gc}
pushers=${BENCH_PUSHERS:-2}
image_mib=${BENCH_IMAGE_MIB:-1024}
places=${BENCH_PLACES:-local volume}
rounds=${BENCH_ROUNDS:-1}
gc_blobs=${BENCH_GC_BLOBS:-10000}
gc_timeout=${BENCH_GC_TIMEOUT:-2400}
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
part() { [[ " $parts " == *" $1 "* ]]; }
builds=("$build")
[ "$before" = none ] || builds=("$before" "$build")
label() { [ "$1" = "$build" ] && echo this || echo "older ($1)"; }
place_dir() { [ "$1" = local ] && echo "$localdir" || echo "$volume"; }

if part calls; then
  echo "== one file-system call by kind (fs_call_cost, 100 rounds)"
  for place in local volume; do
    echo "-- $place, load $(load)"
    TMPDIR=$(place_dir $place) "$build/fs_call_cost" 100 || echo "fs_call_cost failed"
  done
fi

if part ops; then
  echo "== file-system calls of one push (push_ops), and its time"
  for place in local volume; do
    for b in "${builds[@]}"; do
      t0=$(now)
      out=$(TMPDIR=$(place_dir $place) "$b/push_ops" 2>&1) || echo "push_ops failed: $out"
      echo "-- $place, $(label "$b") build: $(secs "$t0" "$(now)") s, load $(load)"
      echo "$out"
    done
  done
fi

# pulled_whole LAYOUT TAG LAYER_HEX:DIFF_HEX...: every blob the pulled image's manifest names is there
# and hashes to its name, the layers among them are the ones pushed, and each unpacks to the content it
# was made of.
pulled_whole() {
  local dir=$1 m d bad=0 pair
  shift 2
  m=$(grep -o '"digest":"sha256:[0-9a-f]\{64\}"' "$dir/index.json" | head -1 | grep -o '[0-9a-f]\{64\}')
  [ -n "$m" ] && [ -f "$dir/blobs/sha256/$m" ] || { echo "no (no manifest)"; return; }
  for d in $m $(grep -o 'sha256:[0-9a-f]\{64\}' "$dir/blobs/sha256/$m" | cut -d: -f2); do
    [ -f "$dir/blobs/sha256/$d" ] && [ "$(hex "$dir/blobs/sha256/$d")" = "$d" ] || bad=$((bad + 1))
  done
  [ "$bad" = 0 ] || { echo "no ($bad blobs missing or not hashing to their names)"; return; }
  for pair in "$@"; do
    grep -q "sha256:${pair%%:*}" "$dir/blobs/sha256/$m" || { echo "no (the manifest names another layer)"; return; }
    [ "$(gzip -dc "$dir/blobs/sha256/${pair%%:*}" | sha256sum | cut -d' ' -f1)" = "${pair#*:}" ] ||
      { echo "no (a layer unpacks to other bytes)"; return; }
  done
  echo yes
}
hex() { sha256sum "$1" | cut -d' ' -f1; }

if part image; then
  echo "== a $image_mib MiB image of two layers pushed and pulled by skopeo through one host (127.0.0.1), this build"
  export HOME="$localdir/home" XDG_DATA_HOME="$localdir/home/data" XDG_RUNTIME_DIR="$localdir/home/run"
  mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
  # skopeo remembers where it has seen blobs; a private empty memory makes every push upload.
  client() { mkdir -p /var/lib/containers/cache; unshare -m sh -c 'mount -t tmpfs tmpfs "$0" && exec "$@"' /var/lib/containers/cache "$@"; }
  layout=$localdir/layout
  mkdir -p "$layout/blobs/sha256"
  # Two layers of half the size each, as an application over a base image. Each is gzip-compressed
  # already (at the fastest level: random bytes do not shrink): skopeo compresses an uncompressed layer
  # on its way to a registry, which would time gzip, not the push, and the pulled layer would carry
  # another digest than the one made here.
  diffs=() pairs=() entries=""
  for _ in 1 2; do
    head -c $((image_mib * 1024 * 1024 / 2)) /dev/urandom >"$layout/raw"
    diff_hex=$(hex "$layout/raw")
    gzip -1 -c "$layout/raw" >"$layout/layer" && rm -f "$layout/raw"
    layer_hex=$(hex "$layout/layer")
    entries+="${entries:+,}{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar+gzip\",\"digest\":\"sha256:$layer_hex\",\"size\":$(stat -c %s "$layout/layer")}"
    diffs+=("\"sha256:$diff_hex\"") pairs+=("$layer_hex:$diff_hex")
    mv "$layout/layer" "$layout/blobs/sha256/$layer_hex"
  done
  printf '{"architecture":"amd64","os":"linux","rootfs":{"type":"layers","diff_ids":[%s,%s]}}' "${diffs[0]}" "${diffs[1]}" >"$layout/config"
  config_hex=$(hex "$layout/config")
  printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"sha256:%s","size":%s},"layers":[%s]}' \
    "$config_hex" "$(stat -c %s "$layout/config")" "$entries" >"$layout/manifest"
  manifest_hex=$(hex "$layout/manifest")
  printf '{"schemaVersion":2,"manifests":[{"mediaType":"application/vnd.oci.image.manifest.v1+json","digest":"sha256:%s","size":%s,"annotations":{"org.opencontainers.image.ref.name":"v1"}}]}' \
    "$manifest_hex" "$(stat -c %s "$layout/manifest")" >"$layout/index.json"
  printf '{"imageLayoutVersion":"1.0.0"}' >"$layout/oci-layout"
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
    whole=$(pulled_whole "$localdir/back" v1 "${pairs[@]}")
    echo "-- $place: push $pushed in $push_s s, pull $pulled in $pull_s s, layers whole after the pull: $whole, load $(load)"
    kill "$host_pid" 2>/dev/null; wait "$host_pid" 2>/dev/null; host_pid=""
    rm -rf "$localdir/back" "$(place_dir $place)/big-store"
    port=$((port + 1))
  done
  rm -rf "$layout"
fi

# The stress program of each build, or, where a build's own lacks the options used here, the same
# program of this tree linked against that build's engine (the engine's calls keep their signatures).
stress_program() { # build
  # (its usage text, read whole: it ends with status 2)
  if grep -q -- --collector-root <<<"$("$1/gc_stress" --help 2>&1)"; then echo "$1/gc_stress"; return; fi
  local out=$localdir/gc_stress-$(echo "$1" | md5sum | cut -c1-8) lib
  if [ ! -x "$out" ]; then
    g++ -std=c++20 -O2 -I"$here" -o "$out" "$here/bench/gc_stress.cpp" "$here/tests/push_race.cpp" \
      "$1/libreg_engine.a" "$1/libreg_digest.a" "$1/libreg_platform.a" "$1/libreg_base.a" \
      $(pkg-config --libs simdjson) -lcrypto >"$out.log" 2>&1 || { echo "could not build $out: $(head -3 "$out.log")" >&2; return 1; }
  fi
  echo "$out"
}

if part stress; then
  # Pushes through mount a, collections back to back through the collector's mount with a grace period of
  # 0 (every unnamed old layer goes at once); a small seed of old layers, so that the time is the pushes'.
  echo "== pushes per second: gc_stress --seconds $seconds --pushers $pushers --collectors 1 --grace 0 --old-layers 20"
  for round in $(seq "$rounds"); do
    for place in $places; do
      for b in "${builds[@]}"; do
        program=$(stress_program "$b") || continue
        root=$(place_dir $place)/stress-$RANDOM
        args=(--root "$root")
        [ $place = volume ] && args+=(--collector-root "$other/${root##*/}")
        echo "-- round $round, $place, $(label "$b") build ($program), load before $(load)"
        TMPDIR=$(place_dir $place) timeout $((seconds * 20 + 600)) "$program" --seconds "$seconds" --pushers "$pushers" \
          --collectors 1 --grace 0 --old-layers 20 "${args[@]}" 2>&1 | grep -E '^(seconds|pushes|push_phase|violations|late)'
        rm -rf "$root"
      done
    done
  done
fi

if part gc; then
  # Each store is made once on local disk and copied onto the volume as an operator moving a store would:
  # cp -a (contents and file times), the blob fan-out directories several at a time and through two
  # mounts (two FUSE clients), since each file's copy is a string of round trips; each collection runs on
  # its own copy, bounded by BENCH_GC_TIMEOUT seconds. One manifest per 50 blobs, each naming 3 of them.
  for n in $gc_blobs; do
    echo "== a collection of $n blobs ($((n / 50)) manifests naming 3 blobs each, in 20 repositories; the rest unnamed, a day old)"
    gen=$localdir/gc-gen-$n
    t0=$(now)
    "$build/admin_store_gen" "$gen" "$n" $((n / 50)) 20 >/dev/null || echo "admin_store_gen failed"
    echo "-- store made on local disk in $(secs "$t0" "$(now)") s"
    t0=$(now)
    dest=gc-store-$n
    mkdir -p "$volume/$dest/blobs/sha256"
    ( cd "$gen" && ls -A | grep -vx blobs | xargs -r cp -a -t "$volume/$dest" ) || echo "cp -a onto the volume failed"
    ( cd "$gen/blobs/sha256" && ls | grep '^[0-7]' | xargs -r -P 8 -n 4 cp -a -t "$volume/$dest/blobs/sha256" ) &
    first=$!
    ( cd "$gen/blobs/sha256" && ls | grep -v '^[0-7]' | xargs -r -P 8 -n 4 cp -a -t "$other/$dest/blobs/sha256" ) ||
      echo "cp -a of the blobs onto the volume (second mount) failed"
    wait "$first" || echo "cp -a of the blobs onto the volume (first mount) failed"
    touch -r "$gen/blobs/sha256" "$volume/$dest/blobs/sha256"; touch -r "$gen/blobs" "$volume/$dest/blobs"
    echo "-- copied onto the volume with cp -a (16 at a time, two mounts) in $(secs "$t0" "$(now)") s, load $(load)"
    for place in local volume; do
      for b in "${builds[@]}"; do
        # On the volume only this build: each collection needs its own copy there, and a copy takes minutes.
        [ $place = volume ] && [ "$b" != "$build" ] && continue
        if [ $place = local ]; then root=$localdir/gc-store; rm -rf "$root"; cp -a "$gen" "$root"; else root=$volume/$dest; fi
        t0=$(now)
        report=$(cd "$localdir" && timeout "$gc_timeout" "$b/registry-admin" --root "$root" --json gc 2>&1)
        status=$? took=$(secs "$t0" "$(now)")
        [ $status = 124 ] && echo "-- $place: gc ENDED by the time limit ($gc_timeout s) after $took s"
        echo "-- $place, $(label "$b") build: gc $took s ($(awk -v s="$took" -v n="$n" 'BEGIN { printf "%.2f", s * 1000 / n }') ms per blob), exit $status, load $(load)"
        echo "$report" | grep -oE '"(blobs_total|blobs_deleted|blobs_reachable)":[0-9]+' | tr '\n' ' '; echo
        # The volume's copies are left to the test's trap, which removes the bricks whole.
        [ $place = local ] && rm -rf "$root"
      done
    done
    rm -rf "$gen"
  done
fi
