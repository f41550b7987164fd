#!/usr/bin/env bash
# skopeo_push_test.sh - real clients against the registry behind lighttpd: skopeo pushes a multi-architecture
# OCI layout, pulls it back identical and deletes it, and a garbage collection then frees exactly its blobs;
# podman pushes and pulls the same image when it can run here.
# Usage: skopeo_push_test.sh /path/to/v2_repo /path/to/gc_helper
# Exits 77 (skipped) only when skopeo is not installed.
if ! command -v skopeo >/dev/null; then
  echo "skipped: skopeo is not installed (scripts/setup.sh installs it)"
  exit 77
fi
gc_helper=$(realpath "${2:?path to gc_helper}")
source "$(dirname "$0")/lighttpd_lib.sh" "$1"
source "$(dirname "$0")/image_lib.sh"

printf '{\n  "storage_root": "./registry_storage",\n  "registry_gc_grace_seconds": 0\n}\n' >"$instance/config.json"
start_server || exit 1
registry="127.0.0.1:$port"
store="$instance/registry_storage"

# Each skopeo runs with a private, empty blob-info cache, so it really uploads.
private_client_home "$instance/home"
client() { private_cache_client "$@"; }

hexes() { ls "$1/blobs/sha256" | sort; }
all_hash_right() { # layout: every blob file hashes to its name
  local f bad=0
  for f in "$1"/blobs/sha256/*; do
    [ "$(sha256sum "$f" | cut -d' ' -f1)" = "$(basename "$f")" ] || bad=1
  done
  [ "$bad" = 0 ] && echo yes || echo no
}
store_blobs() { find "$store/blobs/sha256" -type f -printf '%f\n' | sort; }

src="$instance/src"
index=$(bash "$here/tests/make_oci_layout.sh" "$src" v1)
# Another image that stays stored: the collection must keep its blobs.
keep="$instance/keep"
bash "$here/tests/make_oci_layout.sh" "$keep" v1 >/dev/null

copy=(skopeo --debug copy --all --preserve-digests --retry-times 0)
if client "${copy[@]}" --dest-tls-verify=false "oci:$keep:v1" "docker://$registry/other/keep:v1" \
  >"$instance/keep.log" 2>&1; then keep_ok=yes; else keep_ok=no; cat "$instance/keep.log" | tail -20; fi
check "skopeo pushes a second image" yes "$keep_ok"
blobs_before=$(store_blobs)

if client "${copy[@]}" --dest-tls-verify=false "oci:$src:v1" "docker://$registry/team/app:v1" \
  >"$instance/push.log" 2>&1; then push_ok=yes; else push_ok=no; tail -20 "$instance/push.log"; fi
check "skopeo pushes the multi-architecture image" yes "$push_ok"
check "skopeo really uploaded (PATCH or monolithic PUT seen)" yes \
  "$(grep -Eq 'PATCH|PUT .*/blobs/uploads/' "$instance/push.log" && echo yes || echo no)"

back="$instance/back"
if client "${copy[@]}" --src-tls-verify=false "docker://$registry/team/app:v1" "oci:$back:v1" \
  >"$instance/pull.log" 2>&1; then pull_ok=yes; else pull_ok=no; tail -20 "$instance/pull.log"; fi
check "skopeo pulls the image back" yes "$pull_ok"
check "every blob and manifest digest equal on both sides" "$(hexes "$src")" "$(hexes "$back")"
check "pulled blobs hash to their digests" yes "$(all_hash_right "$back")"
check "pulled index is the pushed index" "$index" \
  "$(sed -n 's/.*"digest":"\(sha256:[0-9a-f]*\)".*/\1/p' "$back/index.json")"

# The image's own blobs: in the source layout, not shared with the kept image
# (configs and layers; manifests live in the manifest store).
image_blobs=$(comm -13 <(echo "$blobs_before") <(store_blobs))
check "the push stored 6 blobs (2 configs, 4 layers)" 6 "$(echo "$image_blobs" | grep -c .)"

# Delete the index and its two manifests by digest, as skopeo does.
children=$(grep -o 'sha256:[0-9a-f]\{64\}' "$src/blobs/sha256/${index#sha256:}")
deleted=yes
for ref in "team/app:v1" $(for c in $children; do echo "team/app@$c"; done); do
  client skopeo delete --tls-verify=false "docker://$registry/$ref" >>"$instance/delete.log" 2>&1 || deleted=no
done
check "skopeo deletes the index and its manifests" yes "$deleted"
check "the deleted tag is gone" 404 "$(curl -s -o /dev/null -w '%{http_code}' "http://$registry/v2/team/app/manifests/v1")"

# A collection never removes a blob written in the second its run starts (or
# later); this whole test runs in a few seconds, so the blobs are dated back.
find "$store/blobs/sha256" -type f -exec touch -d '-2 hours' {} +
report=$(cd "$instance" && "$gc_helper" "$store")
check "collection runs" yes "$([ -n "$report" ] && echo yes || echo no)"
check "collection frees exactly the image's 6 blobs" 6 "$(sed -n 's/.*"blobs_deleted":\([0-9]*\).*/\1/p' <<<"$report")"
check "what stays is exactly what was there before" "$blobs_before" "$(store_blobs)"
if client skopeo copy --all --src-tls-verify=false "docker://$registry/other/keep:v1" "oci:$instance/keep2:v1" \
  >"$instance/keep2.log" 2>&1; then keep2=yes; else keep2=no; fi
check "the other image still pulls" yes "$keep2"

# ---- podman ----
podman_root="$instance/podman"
podman_cmd=(podman --root "$podman_root/root" --runroot "$podman_root/run" --storage-driver vfs)
if command -v podman >/dev/null && "${podman_cmd[@]}" info >/dev/null 2>"$instance/podman.err"; then
  # podman names an image pulled from a layout after its path, which must be lower case.
  one="/tmp/regpush-podman-$$-$RANDOM"
  bash "$here/tests/make_oci_layout.sh" "$one" v1 >/dev/null
  pod_ok=yes
  client "${podman_cmd[@]}" pull -q "oci:$one:v1" >"$instance/podman.log" 2>&1 || pod_ok="no: pull from layout"
  id=$("${podman_cmd[@]}" images -q | head -n 1)
  client "${podman_cmd[@]}" push -q --tls-verify=false "$id" "docker://$registry/pod/app:v1" \
    >>"$instance/podman.log" 2>&1 || pod_ok="no: push"
  "${podman_cmd[@]}" rmi -af >/dev/null 2>&1
  client "${podman_cmd[@]}" pull -q --tls-verify=false "$registry/pod/app:v1" >>"$instance/podman.log" 2>&1 ||
    pod_ok="no: pull back"
  pulled=$("${podman_cmd[@]}" images -q | head -n 1)
  check "podman pushes and pulls the image back (same image id)" "yes $id" "$pod_ok $pulled"
  [ "$pod_ok" = yes ] || tail -20 "$instance/podman.log"
  "${podman_cmd[@]}" rmi -af >/dev/null 2>&1
  rm -rf "$one"
  chmod -R u+w "$podman_root" 2>/dev/null
  rm -rf "$podman_root" 2>/dev/null || true
else
  echo "note: podman round trip not run: $(head -c 300 "$instance/podman.err" 2>/dev/null || echo 'podman not installed')"
fi

stop_server
finish
