# shellcheck shell=bash
# image_lib.sh - builds a small image (config, two layers, a manifest per platform, a two-platform
# index and a referrer) and stores it through the engine with seed_store; and runs container clients
# with a blob-info cache of their own. The image builders need $instance (from lighttpd_lib.sh) and
# $seed (the seed_store program).

# file_digest FILE -> sha256:<hex>
file_digest() { echo "sha256:$(sha256sum "$1" | cut -d' ' -f1)"; }
file_size() { stat -c %s "$1"; }
# desc TYPE FILE -> a descriptor of the file
desc() { printf '{"mediaType":"%s","digest":"%s","size":%s}' "$1" "$(file_digest "$2")" "$(file_size "$2")"; }

image_manifest() { # CONFIG_FILE OUT
  printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":%s,"layers":[%s,%s]}' \
    "$(desc application/vnd.oci.image.config.v1+json "$1")" \
    "$(desc application/vnd.oci.image.layer.v1.tar "$img/layer1")" \
    "$(desc application/vnd.oci.image.layer.v1.tar "$img/layer2")" >"$2"
}

# small_image DIR TEXT: a one-layer image whose layer is TEXT and a line feed, written to DIR/layer,
# DIR/config and DIR/manifest; sets $layer, $cfg and $manifest to their digests.
small_image() {
  local dir=$1
  printf '%s\n' "$2" >"$dir/layer"
  printf '{"architecture":"amd64","os":"linux"}' >"$dir/config"
  layer=$(file_digest "$dir/layer") cfg=$(file_digest "$dir/config")
  printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":%s,"layers":[%s]}' \
    "$(desc application/vnd.oci.image.config.v1+json "$dir/config")" \
    "$(desc application/vnd.oci.image.layer.v1.tar "$dir/layer")" >"$dir/manifest"
  manifest=$(file_digest "$dir/manifest")
}

# seed_image ROOT REPO: the image under tag latest, the index under multi, the other platform's
# manifest and the referrer by digest; sets $img, $config, $layer1, $layer2, $manifest,
# $manifest_arm, $index and $referrer.
seed_image() {
  local root=$1 repo=$2 m=application/vnd.oci.image.manifest.v1+json
  img="$instance/img"
  mkdir -p "$img"
  printf '{"architecture":"amd64","os":"linux","rootfs":{"type":"layers","diff_ids":[]}}' >"$img/config"
  printf '{"architecture":"arm64","os":"linux","rootfs":{"type":"layers","diff_ids":[]}}' >"$img/config-arm"
  printf '{}' >"$img/empty"
  head -c 1048576 /dev/urandom >"$img/layer1"
  head -c 300000 /dev/urandom >"$img/layer2"
  local f
  for f in config config-arm empty layer1 layer2; do "$seed" "$root" blob "$img/$f" >/dev/null || return 1; done
  config=$(file_digest "$img/config") layer1=$(file_digest "$img/layer1") layer2=$(file_digest "$img/layer2")

  image_manifest "$img/config" "$img/manifest"
  image_manifest "$img/config-arm" "$img/manifest-arm"
  manifest=$("$seed" "$root" manifest "$repo" latest "$img/manifest" $m) || return 1
  manifest_arm=$("$seed" "$root" manifest "$repo" "$(file_digest "$img/manifest-arm")" "$img/manifest-arm" $m) || return 1

  printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.index.v1+json","manifests":[%s,%s]}' \
    "$(desc $m "$img/manifest" | sed 's/}$/,"platform":{"architecture":"amd64","os":"linux"}}/')" \
    "$(desc $m "$img/manifest-arm" | sed 's/}$/,"platform":{"architecture":"arm64","os":"linux"}}/')" >"$img/index"
  index=$("$seed" "$root" manifest "$repo" multi "$img/index" application/vnd.oci.image.index.v1+json) || return 1

  printf '{"schemaVersion":2,"mediaType":"%s","artifactType":"application/vnd.example.sbom","config":%s,"layers":[%s],"subject":%s}' \
    $m "$(desc application/vnd.oci.empty.v1+json "$img/empty")" \
    "$(desc application/vnd.oci.image.layer.v1.tar "$img/layer2")" "$(desc $m "$img/manifest")" >"$img/referrer"
  referrer=$("$seed" "$root" manifest "$repo" "$(file_digest "$img/referrer")" "$img/referrer" $m) || return 1
}

# private_cache_client COMMAND...: runs a container client (skopeo) with an empty blob-info cache of
# its own. skopeo remembers where it has seen blobs and would then mount or skip them instead of
# uploading; as root that memory lives in /var/lib/containers/cache, so the command runs in a mount
# namespace of its own with a fresh tmpfs there. Needs HOME and XDG_* pointing at a scratch directory
# (private_client_home DIR sets them).
private_client_home() {
  export HOME="$1" XDG_DATA_HOME="$1/data" XDG_RUNTIME_DIR="$1/run"
  mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
}
private_cache_client() {
  local cache=/var/lib/containers/cache
  if [ "$(id -u)" = 0 ]; then
    mkdir -p "$cache"
    unshare -m sh -c 'mount -t tmpfs tmpfs "$0" && exec "$@"' "$cache" "$@"
  else
    "$@"
  fi
}
