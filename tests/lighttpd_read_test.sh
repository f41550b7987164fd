#!/usr/bin/env bash
# lighttpd_read_test.sh - the read routes through a real lighttpd, driven with curl: the API root,
# catalog and tag pages walked by Link, manifests, blobs (ranges by the server), referrers, and bad input.
# Usage: lighttpd_read_test.sh /path/to/v2_repo /path/to/seed_store
source "$(dirname "$0")/lighttpd_lib.sh" "$1"
seed=$(realpath "${2:?path to seed_store}")
source "$(dirname "$0")/image_lib.sh"

root="$instance/registry_storage"
seed_image "$root" library/app || { echo "could not seed the store"; exit 1; }
for tag in t1 t2 t3 t4 t5; do "$seed" "$root" manifest library/app $tag "$img/manifest" application/vnd.oci.image.manifest.v1+json >/dev/null; done
for repo in alpha beta/one gamma; do "$seed" "$root" manifest $repo latest "$img/manifest" application/vnd.oci.image.manifest.v1+json >/dev/null; done

start_server || exit 1
base="http://127.0.0.1:$port"

# status_of [curl args...] -> the status code only
status_of() { curl -s -o /dev/null -w '%{http_code}' "$@"; }
header_of() { # name, curl args... -> the header's value
  local name=$1; shift
  curl -s -D - -o /dev/null "$@" | tr -d '\r' | sed -n "s/^$name: //Ip" | head -n 1
}

body=$(curl -s "$base/v2/")
check "GET /v2/ answers {}" "{}" "$body"
check "GET /v2/ carries the API version" "registry/2.0" "$(header_of Docker-Distribution-API-Version "$base/v2/")"

# Walks a paged list by its Link headers; prints every name, one a line.
walk() { # first-url json-key
  local url=$1 key=$2 pages=0
  while [ -n "$url" ] && [ $pages -lt 50 ]; do
    curl -s -D "$instance/walk.h" -o "$instance/walk.b" "$url"
    sed -e "s/.*\"$key\":\[//" -e 's/\].*//' -e 's/,/\n/g' -e 's/"//g' "$instance/walk.b" | grep -v '^$'
    local next
    next=$(tr -d '\r' <"$instance/walk.h" | sed -n 's/^Link: <\([^>]*\)>; rel="next"$/\1/p')
    url=${next:+$base$next}
    pages=$((pages + 1))
  done
}
check "catalog walked one by one" "alpha beta/one gamma library/app" "$(walk "$base/v2/_catalog?n=1" repositories | xargs)"
check "tags walked two by two" "latest multi t1 t2 t3 t4 t5" "$(walk "$base/v2/library/app/tags/list?n=2" tags | xargs)"
check "n=0 gives an empty list" '{"name":"library/app","tags":[]}' "$(curl -s "$base/v2/library/app/tags/list?n=0")"
check "n=0 has no Link" "" "$(header_of Link "$base/v2/library/app/tags/list?n=0")"
check "unknown repository's tags" 404 "$(status_of "$base/v2/nope/tags/list")"

murl="$base/v2/library/app/manifests/latest"
check "manifest by tag is the stored body" "$(cat "$img/manifest")" "$(curl -s "$murl")"
check "manifest type" application/vnd.oci.image.manifest.v1+json "$(header_of Content-Type "$murl")"
check "manifest digest header" "$manifest" "$(header_of Docker-Content-Digest "$murl")"
check "manifest HEAD length" "$(file_size "$img/manifest")" "$(header_of Content-Length -I "$murl")"
check "manifest HEAD has no body" "0" "$(curl -s -I "$murl" -o /dev/null -w '%{size_download}')"
check "index by tag" "$(cat "$img/index")" "$(curl -s "$base/v2/library/app/manifests/multi")"
check "manifest by digest" "$(cat "$img/manifest-arm")" "$(curl -s "$base/v2/library/app/manifests/$manifest_arm")"
check "unknown tag" 404 "$(status_of "$base/v2/library/app/manifests/nope")"
# A reference that can name nothing stored is a manifest not found (a PUT of it stays 400).
check "bad reference" 404 "$(status_of "$base/v2/library/app/manifests/sha256:totallywrong")"

burl="$base/v2/library/app/blobs/$layer1"
check "blob bytes hash to the digest" "$layer1" "sha256:$(curl -s "$burl" | sha256sum | cut -d' ' -f1)"
check "blob length" 1048576 "$(header_of Content-Length "$burl")"
check "blob digest header" "$layer1" "$(header_of Docker-Content-Digest "$burl")"
check "blob type" application/octet-stream "$(header_of Content-Type "$burl")"
check "blob HEAD" "200 1048576 0" "$(curl -s -I -o /dev/null -w '%{http_code} ' "$burl")$(header_of Content-Length -I "$burl") $(curl -s -I "$burl" -o /dev/null -w '%{size_download}')"
check "range gives 206" 206 "$(status_of -r 10-19 "$burl")"
check "range bytes" "$(tail -c +11 "$img/layer1" | head -c 10 | od -An -tx1 | xargs)" "$(curl -s -r 10-19 "$burl" | od -An -tx1 | xargs)"
check "range past the end gives 416" 416 "$(status_of -r 2000000-2000010 "$burl")"
malformed=$(status_of -H 'Range: bytes=zz-' "$burl")
check "malformed range is served whole or refused, never a 5xx" yes "$([[ $malformed == 200 || $malformed == 416 ]] && echo yes || echo no)"
check "unknown blob" 404 "$(status_of "$base/v2/library/app/blobs/sha256:$(printf '%064d' 0)")"
check "other algorithm" 400 "$(status_of "$base/v2/library/app/blobs/sha512:$(printf '%0128d' 0)")"

rurl="$base/v2/library/app/referrers/$manifest"
check "referrers lists the referrer" "$referrer" "$(curl -s "$rurl" | grep -o 'sha256:[0-9a-f]*' | head -n 1)"
check "referrers type" application/vnd.oci.image.index.v1+json "$(header_of Content-Type "$rurl")"
check "filter applied" artifactType "$(header_of OCI-Filters-Applied "$rurl?artifactType=application/vnd.example.sbom")"
check "no referrers is an empty list" '"manifests":[]}' "$(curl -s "$base/v2/library/app/referrers/$layer1" | grep -o '"manifests":\[\]}')"

# Bad input: a 4xx with a registry error body, never a 5xx, never a file from elsewhere.
long=$(printf 'a%.0s' $(seq 300))
bad=(
  "/v2/../../etc/passwd"
  "/v2/%2e%2e/%2e%2e/etc/passwd/manifests/latest"
  "/v2/library/app/blobs/..%2f..%2f..%2fetc%2fpasswd"
  "/v2/library/app/manifests/..%2f..%2fconfig.json"
  "//v2//library//app//manifests//latest"
  "/v2/library%2fapp/manifests/latest"
  "/v2/$long/manifests/latest"
  "/v2/library/app/manifests/$long"
  "/v2/library/app/tags/list?n=-1"
  "/v2/library/app/tags/list?n=abc"
  "/v2/library/app/tags/list?n=%zz"
  "/v2/_catalog?last=%"
  "/v2/library/app/blobs/sha256:abc"
  "/v2/_nothing"
)
for path in "${bad[@]}"; do
  code=$(curl -s --path-as-is -o "$instance/bad.b" -D "$instance/bad.h" -w '%{http_code}' "$base$path")
  ok=no
  if [[ $code == 4* ]] && grep -q '"errors":\[' "$instance/bad.b" && ! grep -q 'root:' "$instance/bad.b"; then ok=yes; fi
  # lighttpd itself answers paths that climb out of /v2 before the program runs.
  if [[ $path == *etc/passwd* && $code == 4* ]] && ! grep -q 'root:' "$instance/bad.b"; then ok=yes; fi
  check "bad input $path answers a 4xx error ($code)" yes "$ok"
done

log="$root/registry_access.log"
check "access log has a line per request" yes "$([ "$(wc -l <"$log")" -ge 40 ] && echo yes || echo no)"
check "access log notes a blob's bytes" yes "$(grep -q "GET /v2/library/app/blobs/$layer1 1048576 200 anonymous" "$log" && echo yes || echo no)"

stop_server
finish
