# shellcheck shell=bash
# bench_lib.sh - what the benchmark scripts share: a registry served from a build directory in an
# instance of their own, and wall-clock helpers. Sourced after `set -euo pipefail`; needs $here (the
# tree) and $build (the build directory).

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
# ratio A B -> A/B with two decimals (the yardstick's time over the measured one)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# bench_serve INSTANCE [serve.sh options...]: serves the registry of $build from INSTANCE on a
# loopback port; sets bench_pid (serve.sh, which becomes lighttpd), bench_port and bench_base.
# The caller stops it with bench_stop. Fails when /v2/ does not answer within ten seconds.
bench_serve() {
  local instance=$1
  shift
  mkdir -p "$instance"
  bench_port=$((20000 + RANDOM % 30000))
  SKIP_BUILD=1 REGISTRY_INSTANCE="$instance" REGISTRY_BUILD_DIR="$build" REGISTRY_STORAGE_ROOT='' \
    "$here/scripts/serve.sh" "$@" "$bench_port" >"$instance.serve.log" 2>&1 &
  bench_pid=$!
  bench_base="http://127.0.0.1:$bench_port"
  local _
  for _ in $(seq 100); do curl -s -o /dev/null "$bench_base/v2/" && return 0; sleep 0.1; done
  echo "the registry did not start:"
  cat "$instance.serve.log"
  return 1
}

bench_stop() { # pid
  [ -z "${1:-}" ] || { kill "$1" 2>/dev/null; wait "$1" 2>/dev/null; } || true
}
