#!/usr/bin/env bash
# skopeo_pull_test.sh - a real client pulls an image and a multi-architecture index from the
# registry (served by lighttpd) into OCI layouts; every copied blob hashes to its name.
# Usage: skopeo_pull_test.sh /path/to/v2_repo /path/to/seed_store
source "$(dirname "$0")/lighttpd_lib.sh" "$1"
seed=$(realpath "${2:?path to seed_store}")
source "$(dirname "$0")/image_lib.sh"
if ! command -v skopeo >/dev/null; then echo "skopeo is not installed (scripts/setup.sh installs it)"; exit 1; fi

root="$instance/registry_storage"
seed_image "$root" library/app || { echo "could not seed the store"; exit 1; }
start_server || exit 1

# A home of its own: no credentials, caches or policies of the machine's user.
export HOME="$instance/home" XDG_RUNTIME_DIR="$instance/run"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
# --preserve-digests: the layout must hold the very bytes served, not a recompressed copy.
pull() { skopeo --insecure-policy copy --preserve-digests --src-tls-verify=false "$@" >>"$instance/skopeo.log" 2>&1; }

# Every blob of a layout hashes to its file name; prints "ok" or the first that does not.
layout_sound() {
  local f
  for f in "$1"/blobs/sha256/*; do
    [ "$(sha256sum "$f" | cut -d' ' -f1)" = "$(basename "$f")" ] || { echo "bad: $f"; return; }
  done
  echo ok
}
has_blob() { [ -f "$1/blobs/sha256/${2#sha256:}" ] && echo yes || echo no; }

out="$instance/pulled"
mkdir -p "$out"
check "skopeo pulls the image" 0 "$(pull "docker://127.0.0.1:$port/library/app:latest" "oci:$out/image:latest"; echo $?)"
check "image layout blobs hash right" ok "$(layout_sound "$out/image")"
check "image manifest kept its digest" yes "$(has_blob "$out/image" "$manifest")"
for d in "$config" "$layer1" "$layer2"; do check "image layout holds $d" yes "$(has_blob "$out/image" "$d")"; done
check "layer bytes equal the pushed file" yes "$(cmp -s "$out/image/blobs/sha256/${layer1#sha256:}" "$img/layer1" && echo yes || echo no)"

check "skopeo pulls the index with every platform" 0 "$(pull --all "docker://127.0.0.1:$port/library/app:multi" "oci:$out/multi:multi"; echo $?)"
check "index layout blobs hash right" ok "$(layout_sound "$out/multi")"
for d in "$index" "$manifest" "$manifest_arm"; do check "index layout holds $d" yes "$(has_blob "$out/multi" "$d")"; done
check "index.json names the index" yes "$(grep -q "${index#sha256:}" "$out/multi/index.json" && echo yes || echo no)"

check "skopeo inspects by digest" "$manifest" "$(skopeo inspect --tls-verify=false --format '{{.Digest}}' "docker://127.0.0.1:$port/library/app@$manifest" 2>>"$instance/skopeo.log")"
check "skopeo lists the tags" "latest multi" "$(skopeo list-tags --tls-verify=false "docker://127.0.0.1:$port/library/app" 2>>"$instance/skopeo.log" | tr -d ' \n' | sed 's/.*"Tags":\[//; s/\].*//; s/"//g; s/,/ /g')"
[ $failures -eq 0 ] || cat "$instance/skopeo.log" "$instance/.lighttpd/error.log"

stop_server
finish
