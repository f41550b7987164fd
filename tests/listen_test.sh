#!/usr/bin/env bash
# listen_test.sh - serve.sh listens beyond loopback only when a user is configured or --insecure-open
# says so. Each row starts serve.sh on 192.0.2.1 inside a network namespace of the test's own (the
# address lives on that namespace's lo and nowhere else) and checks the exit status and message of a
# refusal with nothing bound, or the answers of a server that started.
# Usage: listen_test.sh /path/to/v2_repo
# Exits 77 (skipped) only when no network namespace can be made here.
source "$(dirname "$0")/lighttpd_lib.sh" "$1"
netns="regtest-listen-$$"
if ! command -v ip >/dev/null || ! ip netns add "$netns" 2>"$instance/netns.err"; then
  echo "skipped: no network namespace here: $(cat "$instance/netns.err" 2>/dev/null)"
  exit 77
fi
trap 'cleanup; ip netns del "$netns" 2>/dev/null' EXIT
trap 'exit 1' TERM INT
ip -n "$netns" link set lo up
ip -n "$netns" addr add 192.0.2.1/32 dev lo
in_ns() { ip netns exec "$netns" "$@"; }
addr=192.0.2.1 port=5000

# What listens in the namespace: empty when nothing was bound.
listening() { in_ns ss -Hltn | awk '{print $4}' | tr '\n' ' ' | sed 's/ $//'; }

# Setup of the instance for a row: its settings file and password file.
hash=$(printf 'pw' | sha256sum | cut -d' ' -f1)
configure() {
  rm -f "$instance/config.json" "$instance/htpasswd" "$instance/users.txt"
  case $1 in
    none) ;;
    anonymous-read-only) echo '{"registry_anonymous_read": true}' >"$instance/config.json" ;;
    htpasswd) echo "ops:$(openssl passwd -6 pw):admin" >"$instance/htpasswd" ;;
    settings-user) printf '{"registry_auth_user": "ops", "registry_auth_sha256": "%s"}\n' "$hash" >"$instance/config.json" ;;
    named-file)
      echo "ops:$(openssl passwd -6 pw):admin" >"$instance/users.txt"
      echo '{"registry_auth_file" : "users.txt"}' >"$instance/config.json" ;;
  esac
}

# serve.sh in the namespace with --listen ARG and more arguments, for a start that must be refused.
# Its exit status lands in $rc; a serve.sh that starts the server after all is stopped by its pid
# (ip and serve.sh each replace themselves with the next program) and $rc says "still serving".
serve() {
  SKIP_BUILD=1 REGISTRY_INSTANCE="$instance" REGISTRY_BUILD_DIR=$(dirname "$program") REGISTRY_STORAGE_ROOT='' \
    ip netns exec "$netns" "$here/scripts/serve.sh" --listen "$@" >"$instance/serve.log" 2>&1 &
  pid=$!
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid"; wait "$pid" 2>/dev/null; rc="still serving"
  else
    wait "$pid"; rc=$?
  fi
  pid=""
}

# Waits (bounded) for an answer on the page; prints its status, 000 when none came.
page_status() {
  local code=000
  for _ in $(seq 50); do
    code=$(in_ns curl -s -o /dev/null -w '%{http_code}' "http://$addr:$port/")
    [ "$code" != 000 ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "$code"
}

# setup | extra serve.sh arguments | expected: "refused", or "serves STATUS-OF-/v2/"
rows=(
  "none||refused"
  "anonymous-read-only||refused"
  "none|--insecure-open|serves 200"
  "htpasswd||serves 401"
  "settings-user||serves 401"
  "named-file||serves 401"
)
for row in "${rows[@]}"; do
  IFS='|' read -r setup extra expected <<<"$row"
  configure "$setup"
  # shellcheck disable=SC2086
  if [ "${expected%% *}" = refused ]; then
    serve "$addr:$port" $extra
    check "$setup $extra: exit status 2" 2 "$rc"
    check "$setup $extra: the message says why" yes \
      "$(grep -q "refusing to listen on $addr: no user is configured" "$instance/serve.log" && echo yes || echo no)"
    check "$setup $extra: nothing bound" "" "$(listening)"
  else
    SKIP_BUILD=1 REGISTRY_INSTANCE="$instance" REGISTRY_BUILD_DIR=$(dirname "$program") REGISTRY_STORAGE_ROOT='' \
      ip netns exec "$netns" "$here/scripts/serve.sh" --listen "$addr:$port" $extra >"$instance/serve.log" 2>&1 &
    pid=$!
    check "$setup $extra: the page answers" 200 "$(page_status)"
    check "$setup $extra: /v2/ without credentials" "${expected#serves }" \
      "$(in_ns curl -s -o /dev/null -w '%{http_code}' "http://$addr:$port/v2/")"
    check "$setup $extra: bound to the address asked for" "$addr:$port" "$(listening)"
    stop_server
  fi
done

# Loopback needs no user, and an unspecified address is not loopback.
configure none
serve "0.0.0.0:$port"
check "0.0.0.0 without a user: exit status 2" 2 "$rc"
serve 127.0.0.1:x
check "a port that is no number: exit status 2" 2 "$rc"
check "nothing bound after the refusals" "" "$(listening)"
[ "$failures" = 0 ] || cat "$instance/serve.log"
finish
