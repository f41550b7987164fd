#!/usr/bin/env bash
# push_bench.sh - what a push costs against copying and hashing the same bytes: a 1 GiB blob pushed
# with curl monolithically (one POST with ?digest=) and in 64 MiB PATCHes (each with its length and
# Content-Range), against `cp` + `sha256sum` of the same file on the same file system, in turns; at
# the end, what lighttpd and each responder wrote (/proc/<pid>/io: write_bytes, and
# cancelled_write_bytes for what was removed again before it reached the disk).
# Usage: bench/push_bench.sh [build-dir] [rounds]      (needs curl; loopback only)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
rounds=${2:-3}
work=$(mktemp -d "${TMPDIR:-/var/tmp}/push-bench.XXXXXX")
pid=""
cleanup() { [ -z "$pid" ] || { kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; }; rm -rf "$work"; }
trap cleanup EXIT

mkdir -p "$work/instance"
port=$((20000 + RANDOM % 30000))
SKIP_BUILD=1 REGISTRY_INSTANCE="$work/instance" REGISTRY_BUILD_DIR="$build" REGISTRY_STORAGE_ROOT='' \
  "$here/scripts/serve.sh" "$port" >"$work/serve.log" 2>&1 &
pid=$!
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/v2/" && break; sleep 0.1; done
base="http://127.0.0.1:$port"

head -c $((1024 * 1024 * 1024)) /dev/urandom >"$work/blob"
size=$(stat -c %s "$work/blob")
piece=$((64 * 1024 * 1024))

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# Each round pushes fresh bytes (the blob's last 8 bytes change) so no push finds its blob stored.
refresh() { head -c 8 /dev/urandom | dd of="$work/blob" bs=1 seek=$((size - 8)) conv=notrunc status=none; }

copy_hash() {
  local t0; t0=$(now)
  cp "$work/blob" "$work/copy" && sync "$work/copy" && sha256sum "$work/copy" >/dev/null
  secs "$t0" "$(now)"; rm -f "$work/copy"
}
monolithic() {
  local digest t0; digest="sha256:$(sha256sum "$work/blob" | cut -d' ' -f1)"; t0=$(now)
  curl -sf -o /dev/null -X POST -H 'Content-Type: application/octet-stream' -H "Content-Length: $size" \
    -H 'Transfer-Encoding:' -T - "$base/v2/bench/app/blobs/uploads/?digest=$digest" <"$work/blob"
  secs "$t0" "$(now)"
}
chunked() {
  local digest t0 loc offset=0 n; digest="sha256:$(sha256sum "$work/blob" | cut -d' ' -f1)"; t0=$(now)
  loc=$(curl -sf -D - -o /dev/null -X POST -H 'Content-Length: 0' "$base/v2/bench/app/blobs/uploads/" |
        tr -d '\r' | sed -n 's/^Location: //p')
  while [ "$offset" -lt "$size" ]; do
    n=$(( size - offset < piece ? size - offset : piece ))
    tail -c +$((offset + 1)) "$work/blob" | head -c "$n" |
      curl -sf -o /dev/null -X PATCH -H "Content-Length: $n" -H 'Transfer-Encoding:' \
        -H "Content-Range: $offset-$((offset + n - 1))" -H 'Content-Type: application/octet-stream' -T - "$base$loc"
    offset=$((offset + n))
  done
  curl -sf -o /dev/null -X PUT -H 'Content-Length: 0' "$base$loc?digest=$digest"
  secs "$t0" "$(now)"
}

echo "== 1 GiB: cp + sha256sum vs pushes with curl (seconds; $rounds rounds, in turns)"
for r in $(seq "$rounds"); do
  refresh; c=$(copy_hash)
  m=$(monolithic)
  refresh; k=$(chunked)
  echo "round $r: cp+sha256sum $c s, monolithic $m s ($(awk -v a="$c" -v b="$m" 'BEGIN{printf "%.2f", a/b}')x)," \
       "chunked $k s ($(awk -v a="$c" -v b="$k" 'BEGIN{printf "%.2f", a/b}')x)"
done
echo "== written by each process over the $((2 * rounds)) pushes of $size bytes (bytes)"
for p in "$pid" $(pgrep -P "$pid" || true); do
  echo "$(cat "/proc/$p/comm") $p: $(awk '/^write_bytes/ {w = $2} /^cancelled_write_bytes/ {c = $2} END {printf "write_bytes %.0f, cancelled %.0f", w, c}' "/proc/$p/io")"
done
