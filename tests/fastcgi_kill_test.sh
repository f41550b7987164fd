#!/usr/bin/env bash
# fastcgi_kill_test.sh - a FastCGI responder killed in the middle of a manifest
# push loses that request only: the push is not stored, the next request is
# answered, and the push succeeds when sent again.
# Usage: fastcgi_kill_test.sh path/to/hold/registry (the tests' registry with
# the hold hook, beside a link to v2_repo in the build directory).
# shellcheck source=tests/lighttpd_lib.sh
source "$(dirname "$0")/lighttpd_lib.sh" "$1"
shipped=$(dirname "$(realpath "$(dirname "$program")/v2_repo")")/registry
check "the shipped registry has no hold hook" 0 "$(grep -c REGISTRY_TEST_HOLD "$shipped")"
check "the tests' registry has it" yes "$(grep -q REGISTRY_TEST_HOLD "$1" && echo yes || echo no)"
source "$(dirname "$0")/image_lib.sh"

# The responder holds a marked request at two FIFOs (see plat_hold_at_fifos).
mkfifo "$instance/hold" "$instance/hold.here"
release_hold() {
  # Opening the FIFO read-write never blocks and lets a held responder go on.
  [ -p "$instance/hold" ] && exec 3<>"$instance/hold" && exec 3>&-
  cleanup
}
trap release_hold EXIT
export REGISTRY_TEST_HOLD="$instance/hold" REGISTRY_RESPONDERS=1 REGISTRY_HOSTING=fastcgi
start_server || exit 1
base="http://127.0.0.1:$port"
responder() { cat "/proc/$pid/task/"*/children 2>/dev/null | tr ' ' '\n' | grep .; }

small_image "$instance" 'a layer'
for blob in layer config; do
  curl -s -o /dev/null -X POST --data-binary @"$instance/$blob" -H 'Content-Type: application/octet-stream' \
    "$base/v2/team/app/blobs/uploads/?digest=$(sha256sum "$instance/$blob" | cut -d' ' -f1 | sed 's/^/sha256:/')"
done
push() { # extra curl options
  curl -s -o /dev/null -w '%{http_code}' -X PUT --data-binary @"$instance/manifest" \
    -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' "$@" "$base/v2/team/app/manifests/v1"
}

check "one responder" 1 "$(responder | wc -l)"
victim=$(responder | head -n 1)
push -H 'X-Registry-Test-Hold: 1' >"$instance/held.code" &
client=$!
# Returns once the responder is inside the request (bounded by timeout).
timeout 60 cat "$instance/hold.here" >/dev/null
check "the responder is held inside the request" 0 "$?"
check "the held request is being answered by the responder" "$victim" "$(responder | head -n 1)"
kill -9 "$victim"
wait "$client"
code=$(cat "$instance/held.code")
check "the killed request fails as a server error" 5 "${code:0:1}"

check "the next request is answered" 404 \
  "$(curl -s -o /dev/null -w '%{http_code}' "$base/v2/team/app/manifests/v1")"
check "a new responder took the old one's place" yes \
  "$([ -n "$(responder)" ] && [ "$(responder | head -n 1)" != "$victim" ] && echo yes || echo no)"
check "the push sent again is stored" 201 "$(push)"
check "the stored manifest is whole" "$(cat "$instance/manifest")" "$(curl -s "$base/v2/team/app/manifests/v1")"
check "the blob is whole" "$(cat "$instance/layer")" "$(curl -s "$base/v2/team/app/blobs/$layer")"
finish
