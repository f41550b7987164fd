#!/usr/bin/env bash
# lighttpd_access_test.sh - a hostile client against a real lighttpd: a table of attacks with the
# status each must get, with users configured (a password file with a read, a write and an admin
# user), with anonymous reads on, and with a broken configuration (every route 500, never open).
# Usage: lighttpd_access_test.sh /path/to/v2_repo /path/to/seed_store
source "$(dirname "$0")/lighttpd_lib.sh" "$1"
seed=$(realpath "${2:?path to seed_store}")
source "$(dirname "$0")/image_lib.sh"

root="$instance/registry_storage"
seed_image "$root" team/one || { echo "could not seed the store"; exit 1; }
"$seed" "$root" manifest team/two latest "$img/manifest" application/vnd.oci.image.manifest.v1+json >/dev/null
# sha512-crypt from openssl: no tool of ours makes these hashes.
hash() { openssl passwd -6 "$1"; }
{
  echo "reader:$(hash rpw):read"
  echo "writer:$(hash wpw):write"
  echo "admin:$(hash apw):admin"
} >"$instance/htpasswd"
echo '{"registry_gc_grace_seconds": 0}' >"$instance/config.json"
start_server || exit 1
base="http://127.0.0.1:$port"

# status METHOD PATH [curl options...] -> the HTTP status
status() {
  local method=$1 path=$2
  shift 2
  curl -s -o "$instance/body" -D "$instance/headers" -w '%{http_code}' --path-as-is -X "$method" "$@" "$base$path"
}

# Nothing but the API and the page: every one of these is 404, with or without credentials.
for path in /_registry_storage/registry_access.log /_registry_storage/repositories/team/one/_manifests/tags/latest/current/link \
  /_registry%5fstorage/registry_access.log /%5Fregistry_storage/registry_access.log /registry_storage/registry_access.log \
  /_registry /_registry/ /_registry/v2/ /_registry/v2/_catalog /registry /config.json /htpasswd /.lighttpd/error.log \
  /ui/../config.json /ui/../htpasswd /v2/../registry_storage/registry_access.log /_registry/../htpasswd "/ui/%2e%2e/htpasswd"; do
  check "$path is not served" 404 "$(status GET "$path")"
  check "$path is not served to the admin either" 404 "$(status GET "$path" -u admin:apw)"
done

origin=(-H "Origin: https://evil.example" -H "Sec-Fetch-Site: cross-site")
html=(-H "Content-Type: text/html" --data-binary '{"schemaVersion":2,"annotations":{"x":"<script>alert(1)</script>"}}')
# The attacks: description, expected status, method, path, curl options.
while IFS='|' read -r what expected method path opts; do
  [ -z "$what" ] && continue
  eval "extra=($opts)"
  check "$what" "$expected" "$(status "$method" "$path" "${extra[@]}")"
done <<'ROWS'
catalog without credentials|401|GET|/v2/_catalog|
manifest without credentials|401|GET|/v2/team/one/manifests/latest|
repository deletion without credentials|401|DELETE|/v2/team/one|
retention without credentials|401|POST|/v2/_admin/retention?keep=1|-d ''
wrong password|401|GET|/v2/|-u writer:nope
unknown user|401|GET|/v2/|-u mallory:wpw
a reader pulls|200|GET|/v2/team/one/manifests/latest|-u reader:rpw
a reader may not push|403|POST|/v2/team/one/blobs/uploads/|-u reader:rpw -d ''
a reader may not delete|403|DELETE|/v2/team/one/manifests/latest|-u reader:rpw
a writer may not run retention|403|POST|/v2/_admin/retention?keep=1|-u writer:wpw -d ''
a writer may not start a collection|403|POST|/v2/_admin/gc|-u writer:wpw -d ''
a cross-site form may not run retention|403|POST|/v2/_admin/retention?keep=1|-u admin:apw -d '' "${origin[@]}"
a cross-site form may not start a collection|403|POST|/v2/_admin/gc|-u admin:apw -d '' -H 'Origin: null'
a cross-site script may not delete|403|DELETE|/v2/team/one|-u admin:apw -H 'Sec-Fetch-Site: same-site'
a manifest stored as HTML is refused|400|PUT|/v2/team/one/manifests/evil|-u writer:wpw "${html[@]}"
a page of our own origin may delete a tag|202|DELETE|/v2/team/two/manifests/latest|-u writer:wpw -H "Origin: http://127.0.0.1:$port" -H 'Sec-Fetch-Site: same-origin'
ROWS
# The last row ran with a live origin: $port is expanded by eval.

check "every /v2 answer says nosniff" "nosniff" \
  "$(status GET /v2/ -u reader:rpw >/dev/null; tr -d '\r' <"$instance/headers" | sed -n 's/^X-Content-Type-Options: //p')"
check "and allows nothing to run" "default-src 'none'; frame-ancestors 'none'; sandbox" \
  "$(tr -d '\r' <"$instance/headers" | sed -n 's/^Content-Security-Policy: //p')"
check "a refused request names no server path" "" "$(grep -o "$instance" "$instance/body")"
check "the retention refusals deleted no tag" 1 "$(curl -s -u reader:rpw "$base/v2/team/one/tags/list" | grep -o latest | wc -l)"

# Credentials and limits before the body: a refused 300 MiB body is answered
# after a few MiB at most (the socket buffers), not received and spooled whole.
big=$((300 * 1024 * 1024))
# streamed LENGTH METHOD PATH [curl options...] -> "status bytes-sent"
streamed() {
  local length=$1 method=$2 path=$3
  shift 3
  head -c "$length" /dev/zero | curl -s -o /dev/null -w '%{http_code} %{size_upload}' -X "$method" \
    -H "Content-Length: $length" -H 'Transfer-Encoding:' -H 'Content-Type: application/octet-stream' -T - "$@" "$base$path"
}
# refused_early WHAT STATUS METHOD PATH [curl options...]
refused_early() {
  local what=$1 expected=$2 method=$3 path=$4 answer
  shift 4
  answer=$(streamed "$big" "$method" "$path" "$@")
  check "$what" "$expected" "${answer% *}"
  check "$what: the body was not taken" yes "$([ "${answer#* }" -lt $((big / 4)) ] && echo yes || echo no)"
}
zero_digest="sha256:$(printf x | sha256sum | cut -d' ' -f1)"
refused_early "an anonymous monolithic upload" 401 POST "/v2/team/one/blobs/uploads/?digest=$zero_digest"
refused_early "a wrong password on an upload" 401 POST "/v2/team/one/blobs/uploads/?digest=$zero_digest" -u writer:nope
refused_early "a reader's upload" 403 POST "/v2/team/one/blobs/uploads/?digest=$zero_digest" -u reader:rpw
refused_early "an anonymous manifest past the server's cap" 413 PUT /v2/team/one/manifests/big
refused_early "a writer's 300 MiB manifest" 413 PUT /v2/team/one/manifests/big -u writer:wpw
stored=$(find "$root/blobs" -type f -printf '%s\n' | awk '{ n += $1 } END { print n + 0 }')
echo "{\"registry_gc_grace_seconds\": 0, \"registry_quota_bytes\": $((stored + 1048576))}" >"$instance/config.json"
session=$(curl -s -D - -o /dev/null -u writer:wpw -X POST -H 'Content-Length: 0' "$base/v2/team/one/blobs/uploads/" |
  tr -d '\r' | sed -n 's/^Location: //p')
refused_early "a chunk past the quota" 413 PATCH "$session" -u writer:wpw
check "the session is still at its start" "0-0" "$(curl -s -o /dev/null -D - -u writer:wpw "$base$session" |
  tr -d '\r' | sed -n 's/^Range: //p')"
check "a chunk within the quota streams in" "202 65536" "$(streamed 65536 PATCH "$session" -u writer:wpw)"
echo '{"registry_gc_grace_seconds": 0}' >"$instance/config.json"
check "outside the upload routes the server caps a body at 8 MiB" 413 \
  "$(head -c $((9 * 1024 * 1024)) /dev/zero | curl -s -o /dev/null -w '%{http_code}' -X PUT -u writer:wpw \
     -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' -H 'Transfer-Encoding: chunked' -T - "$base/v2/team/one/manifests/big")"

# Anonymous reads as a choice: pulls without credentials, nothing else.
echo '{"registry_anonymous_read": true}' >"$instance/config.json"
check "anonymous pull with anonymous reads on" 200 "$(status GET /v2/team/one/manifests/latest)"
check "anonymous blob HEAD" 200 "$(status HEAD "/v2/team/one/blobs/$layer1" -I)"
check "anonymous push still refused" 401 "$(status POST /v2/team/one/blobs/uploads/ -d '')"
check "anonymous deletion still refused" 401 "$(status DELETE /v2/team/one)"
check "anonymous usage still refused" 401 "$(status GET /v2/_admin/usage)"
check "the access log names the client of a refused request" yes \
  "$(grep -q '^GET /v2/_admin/usage [0-9]* 401 anonymous 127\.0\.0\.1 .*"client":"127\.0\.0\.1"' "$root/registry_access.log" && echo yes || echo no)"

# Fail closed: each mistake makes every route 500, with the reason in the error log.
good_hash=$(printf pw | sha256sum | cut -d' ' -f1)
while IFS='|' read -r what text; do
  [ -z "$what" ] && continue
  printf '%s' "$text" >"$instance/config.json"
  check "$what: catalog refused" 500 "$(status GET /v2/_catalog)"
  check "$what: pull refused" 500 "$(status GET /v2/team/one/manifests/latest -u reader:rpw)"
  check "$what: deletion refused" 500 "$(status DELETE /v2/team/one -u admin:apw)"
done <<ROWS
sha256sum's whole line|{"registry_auth_user": "ops", "registry_auth_sha256": "$good_hash  -"}
63 hex digits|{"registry_auth_user": "ops", "registry_auth_sha256": "${good_hash:1}"}
a sha256: prefix|{"registry_auth_user": "ops", "registry_auth_sha256": "sha256:$good_hash"}
a typo in a key|{"registry_auth_usr": "ops", "registry_auth_sha256": "$good_hash"}
a half-written file|{"registry_auth_user": "ops", "registry_auth_sh
anonymous reads not a switch|{"registry_anonymous_read": "yes"}
ROWS
check "the error log names the file and the problem" yes \
  "$(grep -q 'config.json: not a JSON object' "$instance/.lighttpd/cgi-stderr.log" && echo yes || echo no)"
echo '{}' >"$instance/config.json"
printf 'writer:%s:write\nwriter:%s:read\n' "$(hash a)" "$(hash b)" >"$instance/htpasswd"
check "a user twice in the password file: refused" 500 "$(status GET /v2/ -u writer:a)"
: >"$instance/htpasswd"
check "an emptied password file: refused, not open" 500 "$(status GET /v2/_catalog)"
check "the repositories are all still there" 2 "$(ls "$root/repositories/team" | wc -l)"

finish
