#!/usr/bin/env bash
# push_bench.sh - what a push costs against copying and hashing the same bytes: a 1 GiB blob pushed
# with curl monolithically (one POST with ?digest=) and in 64 MiB PATCHes (each with its length and
# Content-Range), against `cp` + `sync` + `sha256sum` of the same file on the same file system, in
# turns; at the end, what lighttpd and each responder wrote (/proc/<pid>/io: write_bytes, and
# cancelled_write_bytes for what was removed again before it reached the disk).
# The client does no more than a real one would inside the timed part: the digest is computed and the
# PATCH pieces are cut into files beforehand, and one curl sends them all from their files over one
# connection.
# Beside each push, the CPU seconds (user + system) it cost the server (lighttpd and its responders,
# from /proc/<pid>/stat) and the client (curl), so a round on a busy machine still says what a push
# costs where the wall clock cannot.
# A push that fails ends the script with the failing step; no time is printed for it.
# Usage: bench/push_bench.sh [build-dir] [rounds]      (needs curl; loopback only)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
rounds=${2:-3}
# shellcheck source=bench/bench_lib.sh
source "$here/bench/bench_lib.sh"
work=$(mktemp -d "${TMPDIR:-/var/tmp}/push-bench.XXXXXX")
bench_pid=""
cleanup() { bench_stop "$bench_pid"; rm -rf "$work"; }
trap cleanup EXIT

bench_serve "$work/instance"
base=$bench_base

size=$((1024 * 1024 * 1024))
piece=$((64 * 1024 * 1024))
head -c "$size" /dev/urandom >"$work/blob"

# Each round pushes fresh bytes (the blob's last 8 bytes change) so no push finds its blob stored.
refresh() { head -c 8 /dev/urandom | dd of="$work/blob" bs=1 seek=$((size - 8)) conv=notrunc status=none; }
digest_of_blob() { echo "sha256:$(sha256sum "$work/blob" | cut -d' ' -f1)"; }
cut_pieces() {
  rm -rf "$work/pieces" && mkdir "$work/pieces"
  split -b "$piece" -d -a 4 "$work/blob" "$work/pieces/p"
}

tck=$(getconf CLK_TCK)
server_cpu() { # CPU seconds used so far by lighttpd and its responders
  local p
  for p in "$bench_pid" $(pgrep -P "$bench_pid" || true); do cat "/proc/$p/stat"; done |
    awk -v t="$tck" '{ s += $14 + $15 } END { printf "%.2f", s / t }'
}
client_cpu() { awk '{ printf "%.2f", $1 + $2 }' "$work/client-time"; }
TIMEFORMAT='%3U %3S'

copy_hash() {
  local t0; t0=$(now)
  cp "$work/blob" "$work/copy" && sync "$work/copy" && sha256sum "$work/copy" >/dev/null
  secs "$t0" "$(now)"; rm -f "$work/copy"
}
monolithic() { # digest -> "wall server-cpu client-cpu"
  local t0 c0; t0=$(now); c0=$(server_cpu)
  # From standard input: with a file name, curl would add it to the URL's path.
  { time curl -sf -o /dev/null -X POST -H 'Content-Type: application/octet-stream' -H "Content-Length: $size" \
    -H 'Transfer-Encoding:' -T - "$base/v2/bench/app/blobs/uploads/?digest=$1" <"$work/blob"; } 2>"$work/client-time" ||
    { echo "monolithic POST failed" >&2; return 1; }
  echo "$(secs "$t0" "$(now)") $(secs "$c0" "$(server_cpu)") $(client_cpu)"
}
chunked() { # digest -> "wall server-cpu client-cpu"
  local t0 c0 loc offset=0 n p args=() codes; t0=$(now); c0=$(server_cpu)
  loc=$(curl -sf -D - -o /dev/null -X POST -H 'Content-Length: 0' "$base/v2/bench/app/blobs/uploads/" |
        tr -d '\r' | sed -n 's/^Location: //p')
  [ -n "$loc" ] || { echo "upload start failed" >&2; return 1; }
  # One curl for every PATCH, over one connection, as a client pushing a layer does.
  for p in "$work/pieces"/p*; do
    n=$(stat -c %s "$p")
    [ "$offset" = 0 ] || args+=(--next)
    args+=(-s -o /dev/null -w '%{http_code}\n' -X PATCH -H "Content-Range: $offset-$((offset + n - 1))"
           -H 'Content-Type: application/octet-stream' -T "$p" "$base$loc")
    offset=$((offset + n))
  done
  [ "$offset" = "$size" ] || { echo "pieces hold $offset bytes, not $size" >&2; return 1; }
  codes=$({ time curl --fail-early "${args[@]}"; } 2>"$work/client-time" | sort | uniq -c | tr -s ' ')
  [ "$codes" = " $(( size / piece + (size % piece > 0) )) 202" ] || { echo "PATCH answers: $codes" >&2; return 1; }
  curl -sf -o /dev/null -X PUT -H 'Content-Length: 0' "$base$loc?digest=$1" ||
    { echo "finishing PUT failed" >&2; return 1; }
  echo "$(secs "$t0" "$(now)") $(secs "$c0" "$(server_cpu)") $(client_cpu)"
}

echo "== 1 GiB: cp + sync + sha256sum vs pushes with curl (seconds; $rounds rounds, in turns; load $(cut -d' ' -f1-3 /proc/loadavg))"
for r in $(seq "$rounds"); do
  refresh; c=$(copy_hash)
  out=$(monolithic "$(digest_of_blob)"); read -r m ms mc <<<"$out"
  refresh; d=$(digest_of_blob); cut_pieces
  out=$(chunked "$d"); read -r k ks kc <<<"$out"
  rm -rf "$work/pieces"
  echo "round $r: cp+sha256sum $c s, monolithic $m s ($(ratio "$c" "$m")x), chunked $k s ($(ratio "$c" "$k")x)," \
       "load $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "  CPU s: monolithic server $ms client $mc, chunked server $ks client $kc"
done
echo "== written by each process over the $((2 * rounds)) pushes of $size bytes (bytes)"
for p in "$bench_pid" $(pgrep -P "$bench_pid" || true); do
  echo "$(cat "/proc/$p/comm") $p: $(awk '/^write_bytes/ {w = $2} /^cancelled_write_bytes/ {c = $2} END {printf "write_bytes %.0f, cancelled %.0f", w, c}' "/proc/$p/io")"
done
