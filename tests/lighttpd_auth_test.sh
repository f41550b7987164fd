#!/usr/bin/env bash
# lighttpd_auth_test.sh - DELETE /v2/<name> behind Basic authentication, through a real lighttpd and curl.
# Usage: lighttpd_auth_test.sh /path/to/v2_repo
source "$(dirname "$0")/lighttpd_lib.sh" "$@"

user=alice
password='s3cr:et pw' # a colon and a space: only the first colon separates user and password
hash=$(printf %s "$password" | sha256sum | cut -d' ' -f1)
printf '{\n  "storage_root": "./registry_storage",\n  "registry_auth_user": "%s",\n  "registry_auth_sha256": "%s"\n}\n' \
  "$user" "$hash" >"$instance/config.json"
seed_repo

start_server || exit 1
base="http://127.0.0.1:$port"
url="$base/v2/library/ubuntu"
challenge_body='{"errors":[{"code":"UNAUTHORIZED","message":"authentication required"}]}'

status=$(curl -s -D "$instance/head1" -o "$instance/body1" -w '%{http_code}' -X DELETE "$url")
check "DELETE without credentials answers 401" 401 "$status"
check "401 body is the 73-byte challenge body" "73 $challenge_body" "$(wc -c <"$instance/body1" | tr -d ' ') $(cat "$instance/body1")"
check "401 carries the challenge header" yes \
  "$(tr -d '\r' <"$instance/head1" | grep -qx 'WWW-Authenticate: Basic realm="Tessellane"' && echo yes || echo no)"
check "401 carries the API version header" yes \
  "$(tr -d '\r' <"$instance/head1" | grep -qx 'Docker-Distribution-API-Version: registry/2.0' && echo yes || echo no)"
check "repository still there after no credentials" yes "$(exists "$repo")"

status=$(curl -s -o /dev/null -w '%{http_code}' -u "$user:wrong" -X DELETE "$url")
check "DELETE with a wrong password answers 401" 401 "$status"
status=$(curl -s -o /dev/null -w '%{http_code}' -u "bob:$password" -X DELETE "$url")
check "DELETE with a wrong user answers 401" 401 "$status"
# The program's internal path is not reachable from outside at all.
status=$(curl -s -o /dev/null -w '%{http_code}' -X DELETE "$base/_registry/library/ubuntu")
check "DELETE on the program's own path answers 404" 404 "$status"
status=$(curl -s -o /dev/null -w '%{http_code}' "$url")
check "GET without credentials answers 401 (before the method check)" 401 "$status"
check "repository still there after the refusals" yes "$(exists "$repo")"

status=$(curl -s -o "$instance/body2" -w '%{http_code}' -u "$user:$password" -X DELETE "$url")
check "DELETE with the right credentials answers 202" 202 "$status"
check "202 has no body" "" "$(cat "$instance/body2")"
check "repository directory is gone" no "$(exists "$repo")"

log="$instance/registry_storage/registry_access.log"
# A refusal logs the bytes of its challenge body.
check "access-log lines" "DELETE /v2/library/ubuntu 73 401 anonymous
DELETE /v2/library/ubuntu 73 401 anonymous
DELETE /v2/library/ubuntu 73 401 anonymous
GET /v2/library/ubuntu 73 401 anonymous
DELETE /v2/library/ubuntu 0 202 alice" "$(cut -d' ' -f1-5 <"$log")"

stop_server
finish
