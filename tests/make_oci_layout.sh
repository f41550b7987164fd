#!/usr/bin/env bash
# make_oci_layout.sh - writes an OCI image layout: a multi-architecture index of two image manifests
# (amd64 and arm64), each with a config and two layers, tagged TAG.
# Usage: make_oci_layout.sh DIR TAG [LAYER_BYTES] [gzip|tar]
#   LAYER_BYTES: random bytes in each layer's one file (default 20000);
#   gzip (default) stores compressed layers, tar uncompressed ones.
# Prints the index digest.
set -euo pipefail
dir=${1:?layout directory}
tag=${2:?tag}
layer_bytes=${3:-20000}
kind=${4:-gzip}

mkdir -p "$dir/blobs/sha256"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sha() { sha256sum "$1" | cut -d' ' -f1; }
size() { stat -c %s "$1"; }
# Moves a file into the layout; prints its hex digest.
store() {
  local hex
  hex=$(sha "$1")
  mv "$1" "$dir/blobs/sha256/$hex"
  echo "$hex"
}

if [ "$kind" = gzip ]; then
  layer_type=application/vnd.oci.image.layer.v1.tar+gzip
else
  layer_type=application/vnd.oci.image.layer.v1.tar
fi

# One layer holding one file; prints "<digest hex> <size> <diff id hex>".
make_layer() {
  local name=$1
  mkdir -p "$work/$name"
  head -c "$layer_bytes" /dev/urandom >"$work/$name/data.bin"
  tar --mtime=@0 --owner=0 --group=0 --numeric-owner -C "$work/$name" -cf "$work/$name.tar" data.bin
  local diff_id
  diff_id=$(sha "$work/$name.tar")
  local blob="$work/$name.tar"
  if [ "$kind" = gzip ]; then
    gzip -n -1 "$work/$name.tar"
    blob="$work/$name.tar.gz"
  fi
  local bytes
  bytes=$(size "$blob")
  echo "$(store "$blob") $bytes $diff_id"
}

manifests=""
for arch in amd64 arm64; do
  read -r l1 s1 d1 <<<"$(make_layer "$arch-1")"
  read -r l2 s2 d2 <<<"$(make_layer "$arch-2")"
  printf '{"architecture":"%s","os":"linux","config":{},"rootfs":{"type":"layers","diff_ids":["sha256:%s","sha256:%s"]}}' \
    "$arch" "$d1" "$d2" >"$work/config"
  csize=$(size "$work/config")
  config=$(store "$work/config")
  printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"sha256:%s","size":%s},"layers":[{"mediaType":"%s","digest":"sha256:%s","size":%s},{"mediaType":"%s","digest":"sha256:%s","size":%s}]}' \
    "$config" "$csize" "$layer_type" "$l1" "$s1" "$layer_type" "$l2" "$s2" >"$work/manifest"
  msize=$(size "$work/manifest")
  manifest=$(store "$work/manifest")
  [ -n "$manifests" ] && manifests+=","
  manifests+=$(printf '{"mediaType":"application/vnd.oci.image.manifest.v1+json","digest":"sha256:%s","size":%s,"platform":{"architecture":"%s","os":"linux"}}' \
    "$manifest" "$msize" "$arch")
done
printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.index.v1+json","manifests":[%s]}' "$manifests" \
  >"$work/index"
isize=$(size "$work/index")
index=$(store "$work/index")
printf '{"imageLayoutVersion":"1.0.0"}' >"$dir/oci-layout"
printf '{"schemaVersion":2,"manifests":[{"mediaType":"application/vnd.oci.image.index.v1+json","digest":"sha256:%s","size":%s,"annotations":{"org.opencontainers.image.ref.name":"%s"}}]}' \
  "$index" "$isize" "$tag" >"$dir/index.json"
echo "sha256:$index"
