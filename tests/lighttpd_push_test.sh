#!/usr/bin/env bash
# lighttpd_push_test.sh - blob uploads and manifest pushes through a real lighttpd, driven with curl.
# Usage: lighttpd_push_test.sh /path/to/v2_repo
# The large upload is 1 GiB in 64 MiB chunks with REGISTRY_BIG_TESTS=1, else 160 MiB in the same chunks.
source "$(dirname "$0")/lighttpd_lib.sh" "$@"

printf '{\n  "storage_root": "./registry_storage",\n  "registry_gc_grace_seconds": 0\n}\n' >"$instance/config.json"
start_server || exit 1
base="http://127.0.0.1:$port"
store="$instance/registry_storage"

header() { # file, name: the header's value
  tr -d '\r' <"$1" | sed -n "s/^$2: //Ip" | head -n 1
}
digest_of() { echo "sha256:$(sha256sum "$1" | cut -d' ' -f1)"; }
blob_file() { echo "$store/blobs/sha256/${1:7:2}/${1:7}"; }

# Opens a session of repo; prints its Location.
open_session() {
  curl -s -D "$instance/open.h" -o /dev/null -X POST -H 'Content-Length: 0' "$base/v2/$1/blobs/uploads/"
  header "$instance/open.h" Location
}

# lighttpd answers 411 to a POST or PUT without Content-Length; real clients
# send "Content-Length: 0" with an empty body, and so does curl when told.

# ---- chunked transfer encoding ----
head -c 300000 /dev/urandom >"$instance/small"
small=$(digest_of "$instance/small")
location=$(open_session team/app)
check "session Location names the repository" yes "$([[ $location == /v2/team/app/blobs/uploads/* ]] && echo yes || echo no)"
check "new session holds no byte" "0-0" "$(header "$instance/open.h" Range)"
status=$(curl -s -D "$instance/patch.h" -o /dev/null -w '%{http_code}' -X PATCH -H 'Transfer-Encoding: chunked' \
  -H 'Content-Type: application/octet-stream' --data-binary @"$instance/small" "$base$location")
check "chunked PATCH answers 202" 202 "$status"
check "chunked PATCH Range covers the body" "0-299999" "$(header "$instance/patch.h" Range)"
status=$(curl -s -o /dev/null -w '%{http_code}' -X PATCH -H 'Content-Range: 0-9' --data-binary 0123456789 "$base$location")
check "a retried first chunk answers 416" 416 "$status"
status=$(curl -s -D "$instance/put.h" -o /dev/null -w '%{http_code}' -X PUT -H 'Content-Length: 0' "$base$location?digest=$small")
check "finishing PUT answers 201" 201 "$status"
check "finishing PUT Location is the blob" "/v2/team/app/blobs/$small" "$(header "$instance/put.h" Location)"
check "stored chunked blob hashes right" "$small" "$(digest_of "$(blob_file "$small")")"

# ---- monolithic ----
head -c 1000000 /dev/urandom >"$instance/mono"
mono=$(digest_of "$instance/mono")
status=$(curl -s -D "$instance/mono.h" -o /dev/null -w '%{http_code}' -X POST --data-binary @"$instance/mono" \
  -H 'Content-Type: application/octet-stream' "$base/v2/team/app/blobs/uploads/?digest=$mono")
check "monolithic POST answers 201" 201 "$status"
check "monolithic Docker-Content-Digest" "$mono" "$(header "$instance/mono.h" Docker-Content-Digest)"
curl -s -o "$instance/mono.back" "$base/v2/team/app/blobs/$mono"
check "monolithic blob comes back whole" "$mono" "$(digest_of "$instance/mono.back")"

# ---- a body cut off on the way never reaches the program ----
location=$(open_session team/app)
exec 3<>"/dev/tcp/127.0.0.1/$port"
printf 'PATCH %s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100000\r\nConnection: close\r\n\r\n0123456789' \
  "$location" >&3
exec 3>&-
sleep 0.3
curl -s -D "$instance/cut.h" -o /dev/null "$base$location"
check "a cut-off body left the session empty" "0-0" "$(header "$instance/cut.h" Range)"
cut_id=${location##*/}

# ---- a large upload in 64 MiB chunks ----
if [ "${REGISTRY_BIG_TESTS:-0}" = 1 ]; then big_mib=1024; else big_mib=160; fi
truncate -s "${big_mib}M" "$instance/big"
# Some bytes that are not zero, so a chunk written out of place changes the digest.
for at in 1 67108865 134217729; do
  [ "$at" -lt $((big_mib * 1048576)) ] && printf 'marker%s' "$at" | dd of="$instance/big" bs=1 seek="$at" conv=notrunc status=none
done
big=$(digest_of "$instance/big")
location=$(open_session team/big)
chunk=64
offset=0
ok=yes
while [ "$offset" -lt "$big_mib" ]; do
  count=$((big_mib - offset < chunk ? big_mib - offset : chunk))
  first=$((offset * 1048576))
  last=$(((offset + count) * 1048576 - 1))
  status=$(dd if="$instance/big" bs=1M skip="$offset" count="$count" status=none |
    curl -s -D "$instance/big.h" -o /dev/null -w '%{http_code}' -X PATCH -H "Content-Range: $first-$last" \
      -H 'Content-Type: application/octet-stream' --data-binary @- "$base$location")
  [ "$status" = 202 ] && [ "$(header "$instance/big.h" Range)" = "0-$last" ] || ok="no (chunk at $first: $status)"
  offset=$((offset + count))
done
check "every ${chunk} MiB chunk of ${big_mib} MiB answers 202 with its Range" yes "$ok"
status=$(curl -s -o /dev/null -w '%{http_code}' -X PUT -H 'Content-Length: 0' "$base$location?digest=$big")
check "large upload finishes" 201 "$status"
check "stored large blob hashes right" "$big" "$(digest_of "$(blob_file "$big")")"
rm -f "$instance/big"

# ---- manifest push, blob refusal, deletion ----
printf '{}' >"$instance/config"
cfg=$(digest_of "$instance/config")
curl -s -o /dev/null -X POST --data-binary @"$instance/config" "$base/v2/team/app/blobs/uploads/?digest=$cfg"
printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"%s","size":2},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":"%s","size":1000000}]}' \
  "$cfg" "$mono" >"$instance/manifest"
manifest=$(digest_of "$instance/manifest")
status=$(curl -s -D "$instance/man.h" -o /dev/null -w '%{http_code}' -X PUT \
  -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' --data-binary @"$instance/manifest" \
  "$base/v2/team/app/manifests/v1")
check "manifest PUT answers 201" 201 "$status"
check "manifest Location" "/v2/team/app/manifests/$manifest" "$(header "$instance/man.h" Location)"
curl -s -D "$instance/get.h" -o "$instance/manifest.back" "$base/v2/team/app/manifests/v1"
check "manifest comes back byte for byte" "$manifest" "$(digest_of "$instance/manifest.back")"
check "manifest comes back with its type" "application/vnd.oci.image.manifest.v1+json" "$(header "$instance/get.h" Content-Type)"
status=$(curl -s -o "$instance/denied" -w '%{http_code}' -X DELETE "$base/v2/team/app/blobs/$mono")
check "deleting a named blob answers 405" 405 "$status"
check "the refusal names the manifest" yes "$(grep -q "team/app@$manifest" "$instance/denied" && echo yes || echo no)"
check "manifest delete by digest answers 202" 202 \
  "$(curl -s -o /dev/null -w '%{http_code}' -X DELETE "$base/v2/team/app/manifests/$manifest")"
check "blob delete answers 202 once nothing names it" 202 \
  "$(curl -s -o /dev/null -w '%{http_code}' -X DELETE "$base/v2/team/app/blobs/$mono")"
check "upload area holds no part file but the cut-off session's" "" "$(find "$store/uploads" -name '*.part' | grep -v "$cut_id")"

stop_server
finish
