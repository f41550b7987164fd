# shellcheck shell=bash
# lighttpd_lib.sh - shared set-up for the tests that drive v2_repo through a real lighttpd.
# Source it with the path to v2_repo as the first argument; it defines $here, $program,
# $instance (a fresh directory removed on exit), $pid and $port (once started),
# check (counts passes and failures), exists, seed_repo, start_server, stop_server and finish.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
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

# Start on the first free port of a few random candidates. Arguments go to serve.sh after the
# port; with --tls-cert the server is probed over HTTPS, trusting the CA file $server_ca only.
# REGISTRY_HOSTING=cgi runs the registry as a CGI program, anything else as FastCGI responders.
start_server() {
  local scheme=http probe=() hosting=()
  [ "${REGISTRY_HOSTING:-fastcgi}" = cgi ] && hosting=(--cgi)
  case " $* " in *" --tls-cert "*) scheme=https probe=(--cacert "${server_ca:?CA file for the probe}") ;; esac
  for _ in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 30000))
    SKIP_BUILD=1 REGISTRY_INSTANCE="$instance" REGISTRY_BUILD_DIR=$(dirname "$program") \
      REGISTRY_STORAGE_ROOT='' "$here/scripts/serve.sh" "${hosting[@]}" "$port" "$@" >"$instance/serve.log" 2>&1 &
    pid=$!
    for _ in $(seq 50); do
      if curl -s -o /dev/null "${probe[@]}" "$scheme://127.0.0.1:$port/"; then return 0; fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; pid=""
  done
  echo "could not start lighttpd"; cat "$instance/serve.log" "$instance/.lighttpd/error.log" 2>/dev/null
  return 1
}

# Stops the server by the pid it was started with, and checks that it is gone.
stop_server() {
  kill "$pid"; wait "$pid" 2>/dev/null
  check "server stopped by its pid" no "$(kill -0 "$pid" 2>/dev/null && echo yes || echo no)"
  pid=""
}

# Prints the tally; the script's exit status is whether everything passed.
finish() {
  echo "$passes passed, $failures failed"
  [ "$failures" -eq 0 ]
}

exists() { [ -e "$1" ] && echo yes || echo no; }

# The repository library/ubuntu with the one tag latest, in the instance's storage; sets $repo.
seed_repo() {
  repo="$instance/registry_storage/repositories/library/ubuntu"
  mkdir -p "$repo/_manifests/tags/latest/current"
  printf 'sha256:%064d' 0 >"$repo/_manifests/tags/latest/current/link"
}
