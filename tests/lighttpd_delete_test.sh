#!/usr/bin/env bash
# lighttpd_delete_test.sh - DELETE /v2/<name> through a real lighttpd, driven with curl.
# Usage: lighttpd_delete_test.sh /path/to/v2_repo
source "$(dirname "$0")/lighttpd_lib.sh" "$@"

printf '{\n  "storage_root": "./registry_storage"\n}\n' >"$instance/config.json"
seed_repo

start_server || exit 1
url="http://127.0.0.1:$port/v2/library/ubuntu"

status=$(curl -s -o "$instance/body1" -w '%{http_code}' -X DELETE "$url")
check "first DELETE answers 202" 202 "$status"
check "first DELETE has no body" "" "$(cat "$instance/body1")"
check "repository directory is gone" no "$(exists "$repo")"
check "library directory stays" yes "$([ -d "$instance/registry_storage/repositories/library" ] && echo yes || echo no)"

log="$instance/registry_storage/registry_access.log"
check "one access-log line" 1 "$(wc -l <"$log" | tr -d ' ')"
check "access-log line fields" "DELETE /v2/library/ubuntu 0 202 anonymous" "$(cut -d' ' -f1-5 <"$log")"

status=$(curl -s -o "$instance/body2" -w '%{http_code}' -X DELETE "$url")
check "second DELETE answers 404" 404 "$status"
check "second DELETE error body" \
  '{"errors":[{"code":"NAME_UNKNOWN","message":"repository not found: library/ubuntu"}]}' "$(cat "$instance/body2")"
check "two access-log lines" 2 "$(wc -l <"$log" | tr -d ' ')"

headers=$(curl -s -D - -o /dev/null "$url" | tr -d '\r')
check "GET answers 405 with the API version header" yes \
  "$(grep -q '^HTTP/1.1 405' <<<"$headers" && grep -q '^Docker-Distribution-API-Version: registry/2.0$' <<<"$headers" && echo yes || echo no)"

stop_server
finish
