#!/usr/bin/env bash
# skopeo_bench.sh - a 1 GiB image of two 512 MiB uncompressed layers pushed to and pulled from the
# registry with skopeo, against `cp` + `sync` + `sha256sum` of the same two layer files, in turns.
# Each round makes fresh layers, so no push finds a blob already stored. skopeo runs with an
# empty blob-info cache of its own (a private mount namespace as root), as tests/skopeo_push_test.sh does.
# Usage: bench/skopeo_bench.sh [build dir] [rounds, default 2] [hosting options for serve.sh, e.g. --cgi]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
rounds=${2:-2}
shift $(($# < 2 ? $# : 2))
command -v skopeo >/dev/null || { echo "skopeo is needed (scripts/setup.sh installs it)"; exit 77; }
# shellcheck source=bench/bench_lib.sh
source "$here/bench/bench_lib.sh"
# shellcheck source=tests/image_lib.sh
source "$here/tests/image_lib.sh"
work=$(mktemp -d "${TMPDIR:-/var/tmp}/skopeo-bench.XXXXXX")
bench_pid=""
cleanup() { bench_stop "$bench_pid"; rm -rf "$work"; }
trap cleanup EXIT

bench_serve "$work/instance" "$@"
registry="127.0.0.1:$bench_port"

private_client_home "$work/home"
client() { private_cache_client "$@"; }

hex() { sha256sum "$1" | cut -d' ' -f1; }

# A one-platform OCI layout in $work/src: a config and two layers of 512 MiB each.
make_image() {
  local src=$work/src i l hexes=() sizes=() diffs=()
  rm -rf "$src" "$work/layers"
  mkdir -p "$src/blobs/sha256" "$work/layers"
  for i in 1 2; do
    head -c $((512 * 1024 * 1024 - 10240)) /dev/urandom >"$work/layers/data$i"
    tar --mtime=@0 --owner=0 --group=0 --numeric-owner -C "$work/layers" -cf "$work/layers/layer$i.tar" "data$i"
    rm "$work/layers/data$i"
    l=$(hex "$work/layers/layer$i.tar")
    hexes+=("$l") sizes+=("$(stat -c %s "$work/layers/layer$i.tar")") diffs+=("sha256:$l")
    cp "$work/layers/layer$i.tar" "$src/blobs/sha256/$l"
  done
  printf '{"architecture":"amd64","os":"linux","rootfs":{"type":"layers","diff_ids":["%s","%s"]}}' \
    "${diffs[0]}" "${diffs[1]}" >"$work/config"
  local c; c=$(hex "$work/config"); mv "$work/config" "$src/blobs/sha256/$c"
  printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"sha256:%s","size":%s},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":"sha256:%s","size":%s},{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":"sha256:%s","size":%s}]}' \
    "$c" "$(stat -c %s "$src/blobs/sha256/$c")" "${hexes[0]}" "${sizes[0]}" "${hexes[1]}" "${sizes[1]}" >"$work/manifest"
  local m; m=$(hex "$work/manifest"); local msize; msize=$(stat -c %s "$work/manifest")
  mv "$work/manifest" "$src/blobs/sha256/$m"
  printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.index.v1+json","manifests":[{"mediaType":"application/vnd.oci.image.manifest.v1+json","digest":"sha256:%s","size":%s,"annotations":{"org.opencontainers.image.ref.name":"v1"}}]}' \
    "$m" "$msize" >"$src/index.json"
  printf '{"imageLayoutVersion":"1.0.0"}' >"$src/oci-layout"
}

copy_hash() {
  local t0; t0=$(now)
  cp "$work/layers/layer1.tar" "$work/layers/layer2.tar" "$work/" && sync "$work/layer1.tar" "$work/layer2.tar" &&
    sha256sum "$work/layer1.tar" "$work/layer2.tar" >/dev/null
  secs "$t0" "$(now)"; rm -f "$work/layer1.tar" "$work/layer2.tar"
}
push() { # round
  local t0; t0=$(now)
  client skopeo copy --retry-times 0 --preserve-digests --dest-tls-verify=false \
    "oci:$work/src:v1" "docker://$registry/bench/big$1:v1" >"$work/push.log" 2>&1 || { cat "$work/push.log"; exit 1; }
  secs "$t0" "$(now)"
}
pull() { # round
  local t0; t0=$(now)
  rm -rf "$work/pulled"
  client skopeo copy --retry-times 0 --src-tls-verify=false \
    "docker://$registry/bench/big$1:v1" "oci:$work/pulled:v1" >"$work/pull.log" 2>&1 || { cat "$work/pull.log"; exit 1; }
  sync "$work/pulled/blobs/sha256/"*
  local t; t=$(secs "$t0" "$(now)")
  # Every pulled blob hashes to its name: a fast pull of wrong bytes would count for nothing.
  local f
  for f in "$work/pulled/blobs/sha256/"*; do
    [ "$(hex "$f")" = "$(basename "$f")" ] || { echo "pulled blob $f does not match its digest"; exit 1; }
  done
  echo "$t"
}

echo "== 1 GiB image, two 512 MiB layers: cp + sync + sha256sum of the layers vs skopeo push and pull (seconds, load $(cut -d' ' -f1-3 /proc/loadavg))"
for r in $(seq "$rounds"); do
  make_image
  c=$(copy_hash)
  p=$(push "$r")
  l=$(pull "$r")
  echo "round $r: cp+sha256sum $c s, push $p s ($(ratio "$c" "$p")x)," \
       "pull $l s ($(ratio "$c" "$l")x), load $(cut -d' ' -f1-3 /proc/loadavg)"
done
