#!/usr/bin/env bash
# lighttpd_admin_test.sh - the operators' routes through a real lighttpd with curl: a collection
# started (202) and followed to its end while the request has long returned, a second start while
# one runs (409), cancel, a retention preview, usage; each refused without credentials once a user
# is configured.
# Usage: lighttpd_admin_test.sh /path/to/v2_repo /path/to/seed_store
source "$(dirname "$0")/lighttpd_lib.sh" "$1"
seed=$(realpath "${2:?path to seed_store}")
source "$(dirname "$0")/image_lib.sh"

root="$instance/registry_storage"
printf '{"registry_gc_grace_seconds": 0}\n' >"$instance/config.json"
seed_image "$root" library/app || { echo "could not seed the store"; exit 1; }
# An abandoned blob for the collection to find, dated back past any grace.
orphan="$instance/orphan"
head -c 5000 /dev/urandom >"$orphan"
orphan_digest=$("$seed" "$root" blob "$orphan")
find "$root/blobs" -type f -exec touch -d '-2 hours' {} +
start_server || exit 1
base="http://127.0.0.1:$port/v2/_admin"
orphan_file="$root/blobs/sha256/${orphan_digest:7:2}/${orphan_digest:7}"

status=$(curl -s -o "$instance/start.b" -D "$instance/start.h" -w '%{time_total} %{http_code}' -X POST -d "" "$base/gc")
check "a start answers 202" 202 "${status#* }"
check "the start points at the progress" "/v2/_admin/gc" "$(tr -d '\r' <"$instance/start.h" | sed -n 's/^Location: //p')"
progress=""
for _ in $(seq 100); do
  progress=$(curl -s "$base/gc")
  grep -q '"last_result"' <<<"$progress" && break
  sleep 0.1
done
check "the run is followed to its end" yes "$(grep -q '"running":false,"phase":"done"' <<<"$progress" && echo yes || echo no)"
check "its report tells one blob removed" yes "$(grep -q '"last_result":{"dry_run":false,"blobs_total":[0-9]*,"blobs_reachable":[0-9]*,"blobs_deleted":1,' <<<"$progress" && echo yes || echo no)"
check "the abandoned blob is gone" no "$(exists "$orphan_file")"
check "the image's blobs stay" yes "$(exists "$root/blobs/sha256/${layer1:7:2}/${layer1:7}")"

# A run in progress as its record shows it: a second start is refused with that record.
now=$(date +%s)
printf '{"running":true,"phase":"deleting","blobs_scanned":256,"blobs_total":900,"blobs_deleted":3,"bytes_freed":10,"dry_run":false,"started_unix":%s,"elapsed_ms":40,"cancelled":false}' "$now" >"$root/_gc/progress.json"
# ... and its run lock, held by a process that runs (this shell).
printf '%s %s' "$(hostname)" "$$" >"$root/_gc/run.lock"
code=$(curl -s -o "$instance/again.b" -w '%{http_code}' -X POST -d "" "$base/gc")
check "a start while one runs answers 409" 409 "$code"
check "the 409 carries the progress" yes "$(grep -q '"blobs_total":900' "$instance/again.b" && echo yes || echo no)"
check "cancel answers 202" 202 "$(curl -s -o /dev/null -w '%{http_code}' -X DELETE "$base/gc")"
check "cancel leaves the marker for the run" yes "$(exists "$root/_gc/cancel")"
rm -f "$root/_gc/progress.json" "$root/_gc/cancel" "$root/_gc/run.lock"

check "dry run start answers 202" 202 "$(curl -s -o /dev/null -w '%{http_code}' -X POST -d "" "$base/gc?dry_run=1")"
retention=$(curl -s -X POST -d "" "$base/retention?dry_run=1&keep=1")
check "retention preview" yes "$(grep -q '^{"dry_run":true,"keep_n":1,' <<<"$retention" && echo yes || echo no)"
check "retention preview deletes nothing" yes "$(exists "$root/repositories/library/app/_manifests/tags/multi/current/link")"
usage=$(curl -s "$base/usage")
check "usage counts the repository" yes "$(grep -q '"repositories":1,' <<<"$usage" && echo yes || echo no)"
check "unknown admin path" 404 "$(curl -s -o /dev/null -w '%{http_code}' "$base/nothing")"
check "GET on retention" 405 "$(curl -s -o /dev/null -w '%{http_code}' "$base/retention")"

# With a user configured, every admin route asks for credentials first.
hash=$(printf %s 'pw' | sha256sum | cut -d' ' -f1)
printf '{"registry_gc_grace_seconds": 0, "registry_auth_user": "ops", "registry_auth_sha256": "%s"}\n' "$hash" >"$instance/config.json"
for route in "GET gc" "POST gc" "DELETE gc" "POST retention" "GET usage"; do
  set -- $route
  check "$1 $2 without credentials" 401 "$(curl -s -o /dev/null -w "%{http_code}" -X "$1" -H "Content-Length: 0" "$base/$2")"
done
check "nothing was cancelled by the refused calls" no "$(exists "$root/_gc/cancel")"
check "usage with credentials" 200 "$(curl -s -o /dev/null -w '%{http_code}' -u ops:pw "$base/usage")"

stop_server
finish
