#!/usr/bin/env bash
# lighttpd_delete_test.sh - DELETE /v2/<name> through a real lighttpd, driven with curl.
# Usage: lighttpd_delete_test.sh /path/to/v2_repo
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
program=$(realpath "${1:?path to v2_repo}")
instance=$(mktemp -d)
pid=""
failures=0
passes=0

cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$instance"
}
trap cleanup EXIT

check() { # description, expected, actual
  if [ "$2" == "$3" ]; then
    echo "ok: $1"; passes=$((passes + 1))
  else
    echo "FAIL: $1"; echo "  expected: $(printf '%q' "$2")"; echo "  actual:   $(printf '%q' "$3")"
    failures=$((failures + 1))
  fi
}

# Start on the first free port of a few random candidates.
start_server() {
  for _ in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 30000))
    SKIP_BUILD=1 REGISTRY_INSTANCE="$instance" REGISTRY_BUILD_DIR=$(dirname "$program") \
      REGISTRY_STORAGE_ROOT= "$here/scripts/serve.sh" "$port" >"$instance/serve.log" 2>&1 &
    pid=$!
    for _ in $(seq 50); do
      if curl -s -o /dev/null "http://127.0.0.1:$port/"; then return 0; fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; pid=""
  done
  echo "could not start lighttpd"; cat "$instance/serve.log" "$instance/.lighttpd/error.log" 2>/dev/null
  return 1
}

printf '{\n  "storage_root": "./registry_storage"\n}\n' >"$instance/config.json"
repo="$instance/registry_storage/repositories/library/ubuntu"
mkdir -p "$repo/_manifests/tags/latest/current"
printf 'sha256:%064d' 0 >"$repo/_manifests/tags/latest/current/link"

start_server || exit 1
url="http://127.0.0.1:$port/v2/library/ubuntu"

status=$(curl -s -o "$instance/body1" -w '%{http_code}' -X DELETE "$url")
check "first DELETE answers 202" 202 "$status"
check "first DELETE has no body" "" "$(cat "$instance/body1")"
check "repository directory is gone" no "$([ -e "$repo" ] && echo yes || echo no)"
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

kill "$pid"; wait "$pid" 2>/dev/null
check "server stopped by its pid" no "$(kill -0 "$pid" 2>/dev/null && echo yes || echo no)"
pid=""

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
