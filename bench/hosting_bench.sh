#!/usr/bin/env bash
# hosting_bench.sh - requests per second of the small read routes with the registry
# as FastCGI responders, as a CGI program, and lighttpd sending a static file of
# the same size as the ceiling; then the responders' memory before and after many
# requests. One run, the three hostings alternating, loopback only.
# Usage: bench/hosting_bench.sh [build dir] [seconds per run, default 5] [requests for the memory run, default 100000]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tests/image_lib.sh
source "$here/tests/image_lib.sh"
build=$(cd "${1:-$here/build}" && pwd)
# shellcheck source=bench/bench_lib.sh
source "$here/bench/bench_lib.sh"
seconds=${2:-5}
memory_requests=${3:-100000}
command -v wrk >/dev/null || { echo "wrk is needed (apt-get install wrk)"; exit 77; }
work=$(mktemp -d)
declare -A pids=() ports=()
cleanup() {
  local h
  for h in "${!pids[@]}"; do kill "${pids[$h]}" 2>/dev/null && wait "${pids[$h]}" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

password=bench-pass
hash=$(printf '%s' "$password" | sha256sum | cut -d' ' -f1)
auth="Authorization: Basic $(printf 'ci:%s' "$password" | base64 -w0)"

# fcgi and cgi: the registry; static: the same server sending files from its page folder.
start() { # name, serve.sh options...
  local h=$1
  shift
  mkdir -p "$work/$h"
  printf '{"registry_auth_user": "ci", "registry_auth_sha256": "%s", "registry_anonymous_read": true}\n' "$hash" \
    >"$work/$h/config.json"
  bench_serve "$work/$h" "$@" || { pids[$h]=$bench_pid; echo "could not start $h"; exit 1; }
  pids[$h]=$bench_pid
  ports[$h]=$bench_port
}
start fcgi
start cgi --cgi

# One small image in both.
small_image "$work" 'layer of the hosting benchmark'
for h in fcgi cgi; do
  b="http://127.0.0.1:${ports[$h]}"
  curl -s -o /dev/null -u "ci:$password" -X POST --data-binary @"$work/layer" "$b/v2/bench/app/blobs/uploads/?digest=$layer"
  curl -s -o /dev/null -u "ci:$password" -X POST --data-binary @"$work/config" "$b/v2/bench/app/blobs/uploads/?digest=$cfg"
  curl -s -o /dev/null -u "ci:$password" -X PUT --data-binary @"$work/manifest" \
    -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' "$b/v2/bench/app/manifests/latest"
done

# route name | method | path | header
routes=(
  "manifest-by-tag|GET|/v2/bench/app/manifests/latest|Accept: application/vnd.oci.image.manifest.v1+json"
  "manifest-by-digest|GET|/v2/bench/app/manifests/$manifest|Accept: application/vnd.oci.image.manifest.v1+json"
  # wrk cannot time a HEAD (it waits for the body the length announces), so the
  # blob route is timed with a GET of the small layer: the same handler and check.
  "blob-GET|GET|/v2/bench/app/blobs/$layer|X-Bench: 1"
  "tags-list|GET|/v2/bench/app/tags/list|X-Bench: 1"
  "base-with-Basic|GET|/v2/|$auth"
)
# The static yardstick of each route: a file as long as the route's answer body
# (a HEAD is compared with a HEAD of it).
for r in "${routes[@]}"; do
  IFS='|' read -r name method path header <<<"$r"
  size=$(curl -s -o /dev/null -w '%{size_download}' -H "$header" "http://127.0.0.1:${ports[fcgi]}$path")
  if [ "$method" = HEAD ]; then size=$(stat -c %s "$work/layer"); fi
  head -c "$size" /dev/zero | tr '\0' x >"$work/fcgi-pages-$name"
  if [ "$method" = HEAD ]; then
    code=$(curl -s -I -o /dev/null -w '%{http_code}' -H "$header" "http://127.0.0.1:${ports[fcgi]}$path")
  else
    code=$(curl -s -o /dev/null -w '%{http_code}' -H "$header" "http://127.0.0.1:${ports[fcgi]}$path")
  fi
  [ "$code" = 200 ] || { echo "route $name answers $code"; exit 1; }
done
pagedir="$work/static-root"
mkdir -p "$pagedir"
for r in "${routes[@]}"; do
  IFS='|' read -r name _ <<<"$r"
  mv "$work/fcgi-pages-$name" "$pagedir/$name.txt"
done
# The FastCGI instance again, its lighttpd also sending those files under /static/.
kill "${pids[fcgi]}"; wait "${pids[fcgi]}" 2>/dev/null || true
cat >"$work/static.conf" <<CONF
include "$here/conf/lighttpd.conf"
alias.url += ( "/static/" => "$pagedir/" )
CONF
REGISTRY_LIGHTTPD_CONF="$work/static.conf" bench_serve "$work/fcgi" ||
  { pids[fcgi]=$bench_pid; echo "could not start the static server"; exit 1; }
pids[fcgi]=$bench_pid
ports[fcgi]=$bench_port

lua="$work/method.lua"
rate() { # port, method, path, header, connections
  printf 'wrk.method = "%s"\n' "$2" >"$lua"
  wrk -t "$(( $5 < 2 ? 1 : 2 ))" -c "$5" -d "${seconds}s" -H "$4" -s "$lua" "http://127.0.0.1:$1$3" 2>/dev/null |
    awk '/Requests\/sec/ {printf "%d", $2} /Non-2xx/ {bad=1} END {if (bad) printf "!"}'
}

echo "| route | connections | FastCGI req/s | CGI req/s | static req/s | FastCGI/CGI | FastCGI/static |"
echo "|---|---|---|---|---|---|---|"
for r in "${routes[@]}"; do
  IFS='|' read -r name method path header <<<"$r"
  for c in 1 16 64; do
    f=$(rate "${ports[fcgi]}" "$method" "$path" "$header" "$c")
    g=$(rate "${ports[cgi]}" "$method" "$path" "$header" "$c")
    s=$(rate "${ports[fcgi]}" "$method" "/static/$name.txt" "$header" "$c")
    echo "| $name | $c | $f | $g | $s | $(awk -v a="${f%!}" -v b="${g%!}" 'BEGIN {printf "%.1f", b ? a / b : 0}') |" \
         "$(awk -v a="${f%!}" -v b="${s%!}" 'BEGIN {printf "%.2f", b ? a / b : 0}') |"
  done
done

# Memory of the responders (children of lighttpd) before and after many requests.
responders() { cat "/proc/${pids[fcgi]}/task/"*/children 2>/dev/null | tr ' ' '\n' | grep .; }
rss() { local total=0 p kb; for p in $(responders); do kb=$(awk '/^VmRSS/ {print $2}' "/proc/$p/status"); total=$((total + kb)); done; echo "$total"; }
before=$(rss)
before_pids=$(responders | sort | tr '\n' ' ')
done_requests=0
for _ in $(seq 200); do
  [ "$done_requests" -ge "$memory_requests" ] && break
  n=$(wrk -t 2 -c 16 -d 5s "http://127.0.0.1:${ports[fcgi]}/v2/bench/app/manifests/latest" 2>/dev/null |
      awk '/requests in/ {print $1}')
  done_requests=$((done_requests + n))
done
after=$(rss)
after_pids=$(responders | sort | tr '\n' ' ')
echo
echo "responders' RSS (kB, summed over $(responders | wc -l)): $before before, $after after $done_requests manifest GETs" \
     "(same processes: $([ "$before_pids" = "$after_pids" ] && echo yes || echo no))"
