#!/usr/bin/env bash
# push_bench.sh - pushing through lighttpd against the machine's own ceilings, in one run:
#   1. a 1 GiB blob with curl, monolithic and in 64 MiB chunks (also with the running hash thrown
#      away before the finishing PUT, which makes the finish read the part file again), against
#      `cp` of the same file followed by `sha256sum` of the copy;
#   2. skopeo pushing and pulling a ~1 GiB image (two architectures, two 256 MiB layers each),
#      against `skopeo copy` between two local OCI layouts.
# Usage: bench/push_bench.sh [build dir]   (default build/; needs hyperfine, skopeo, curl, lighttpd)
# Environment: BENCH_MIB (blob size, default 1024), BENCH_LAYER_MIB (image layer size, default 256),
#   BENCH_RUNS (default 5), BENCH_DIR (scratch, default /var/tmp).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
mib=${BENCH_MIB:-1024}
runs=${BENCH_RUNS:-5}
for tool in hyperfine skopeo curl lighttpd; do
  command -v "$tool" >/dev/null || { echo "push_bench: $tool is needed (apt-get install $tool)"; exit 1; }
done

scratch=$(mktemp -d "${BENCH_DIR:-/var/tmp}/push-bench.XXXXXX")
instance="$scratch/instance"
mkdir -p "$instance"
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

printf '{"storage_root": "./registry_storage", "registry_gc_grace_seconds": 0}\n' >"$instance/config.json"
port=$((20000 + RANDOM % 30000))
SKIP_BUILD=1 REGISTRY_INSTANCE="$instance" REGISTRY_BUILD_DIR="$build" REGISTRY_STORAGE_ROOT='' \
  "$here/scripts/serve.sh" "$port" >"$scratch/serve.log" 2>&1 &
pid=$!
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/v2/" && break; sleep 0.1; done
base="http://127.0.0.1:$port"
store="$instance/registry_storage"

blob="$scratch/blob"
head -c $((mib * 1048576)) /dev/urandom >"$blob"
digest="sha256:$(sha256sum "$blob" | cut -d' ' -f1)"
# The chunks are files, as a client holding the blob would read them.
split -b 64M -d -a 3 "$blob" "$scratch/chunk."
stored="$store/blobs/sha256/${digest:7:2}/${digest:7}"
bytes=$((mib * 1048576))

# Each timed command starts from a store without the blob.
cat >"$scratch/mono.sh" <<EOF
curl -sf -o /dev/null -X POST -T "$blob" "$base/v2/bench/app/blobs/uploads?digest=$digest"
EOF
cat >"$scratch/chunked.sh" <<EOF
drop_hash=\${1:-0}
loc=\$(curl -sf -D - -o /dev/null -X POST -H 'Content-Length: 0' "$base/v2/bench/app/blobs/uploads/" |
  tr -d '\r' | sed -n 's/^Location: //p')
first=0
for chunk in "$scratch"/chunk.*; do
  n=\$(stat -c %s "\$chunk")
  curl -sf -o /dev/null -X PATCH -H "Content-Range: \$first-\$((first + n - 1))" -T "\$chunk" "$base\$loc"
  first=\$((first + n))
done
[ "\$drop_hash" = 1 ] && rm -f "$store/uploads/_state/\${loc##*/}.hash"
curl -sf -o /dev/null -X PUT -H 'Content-Length: 0' "$base\$loc?digest=$digest"
EOF
cat >"$scratch/cp.sh" <<EOF
cp "$blob" "$scratch/copy" && sha256sum "$scratch/copy" >/dev/null
EOF

echo "== 1. ${mib} MiB blob, $runs runs each =="
hyperfine --style basic --warmup 1 --runs "$runs" --export-csv "$scratch/blob.csv" \
  --prepare "rm -f '$stored' '$scratch/copy'; sync" \
  -n "cp + sha256sum" "bash $scratch/cp.sh" \
  -n "curl monolithic POST" "bash $scratch/mono.sh" \
  -n "curl PATCH 64 MiB chunks + PUT" "bash $scratch/chunked.sh" \
  -n "same chunks; finish re-reads the part" "bash $scratch/chunked.sh 1"
[ "$(sha256sum "$stored" | cut -d' ' -f1)" = "${digest:7}" ] || { echo "stored blob hashes wrong"; exit 1; }
rm -f "$blob" "$scratch/copy" "$scratch"/chunk.*

echo "== 2. skopeo, ~1 GiB image =="
layer=$((${BENCH_LAYER_MIB:-256} * 1048576))
bash "$here/tests/make_oci_layout.sh" "$scratch/src" v1 "$layer" gzip >/dev/null
image_bytes=$(du -sb "$scratch/src/blobs" | cut -f1)
cache=/var/lib/containers/cache
mkdir -p "$cache"
# A private, empty blob-info cache for every skopeo run (see tests/skopeo_push_test.sh).
private() { echo "unshare -m sh -c 'mount -t tmpfs tmpfs $cache && exec \"\$0\" \"\$@\"' $*"; }
copy="skopeo copy -q --all --preserve-digests"
hyperfine --style basic --warmup 1 --runs "$runs" --export-csv "$scratch/skopeo.csv" \
  --prepare "rm -rf '$store/blobs/sha256' '$store/repositories/bench' '$scratch/dst' '$scratch/back'; mkdir -p '$store/blobs/sha256'" \
  -n "skopeo copy oci -> oci" "$(private "$copy oci:$scratch/src:v1 oci:$scratch/dst:v1")" \
  -n "skopeo push" "$(private "$copy --dest-tls-verify=false oci:$scratch/src:v1 docker://127.0.0.1:$port/bench/img:v1")"
# The pull needs the image stored: pushed once, then pulled into fresh layouts.
eval "$(private "$copy --dest-tls-verify=false oci:$scratch/src:v1 docker://127.0.0.1:$port/bench/img:v1")"
hyperfine --style basic --warmup 1 --runs "$runs" --export-csv "$scratch/pull.csv" \
  --prepare "rm -rf '$scratch/back'" \
  -n "skopeo pull" "$(private "$copy --src-tls-verify=false docker://127.0.0.1:$port/bench/img:v1 oci:$scratch/back:v1")"

echo "== throughput (mean) =="
report() { # csv, bytes
  tail -n +2 "$1" | while IFS=, read -r name mean _; do
    awk -v n="$name" -v m="$mean" -v b="$2" 'BEGIN { printf "%-40s %8.3f s %9.1f MB/s\n", n, m, b / m / 1e6 }'
  done
}
report "$scratch/blob.csv" "$bytes"
report "$scratch/skopeo.csv" "$image_bytes"
report "$scratch/pull.csv" "$image_bytes"
