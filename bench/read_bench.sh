#!/usr/bin/env bash
# read_bench.sh - the read side through lighttpd, next to what the same server does without the
# registry: a 1 GiB blob pulled with curl against the same file served statically; manifest GETs
# on one keep-alive connection (wrk) against a trivial CGI program; where one request's time goes;
# the catalog over 1000 repositories and a tag list of 1000 tags.
# Usage: bench/read_bench.sh [build-dir]       (needs curl, wrk, hyperfine: scripts/setup.sh does not
#        install the last two; apt-get install wrk hyperfine)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
work=$(mktemp -d)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
root="$work/registry_storage"
seed="$build/tests/seed_store"
mkdir -p "$work/.lighttpd/empty" "$work/.lighttpd/uploads"
cc -O2 -o "$work/trivial_cgi" "$here/bench/trivial_cgi.c"

echo "== seeding: a 1 GiB blob, 1000 repositories, 1000 tags"
head -c 1073741824 /dev/urandom >"$work/big"
big=$("$seed" "$root" blob "$work/big")
rm "$work/big"
blob_file="$root/blobs/sha256/${big:7:2}/${big:7}"
ln "$blob_file" "$work/.lighttpd/empty/big"
printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"%s","size":1073741824},"layers":[]}' "$big" >"$work/manifest"
manifest=$("$seed" "$root" manifest bench/app latest "$work/manifest" application/vnd.oci.image.manifest.v1+json)
# Repositories and tags are written as the engine writes them: a thousand manifest stores would
# only make the set-up slower.
for i in $(seq -w 0 999); do
  mkdir -p "$root/repositories/many/r$i/_manifests/tags/latest/current" "$root/repositories/bench/app/_manifests/tags/t$i/current"
  printf '%s' "$manifest" >"$root/repositories/many/r$i/_manifests/tags/latest/current/link"
  printf '%s' "$manifest" >"$root/repositories/bench/app/_manifests/tags/t$i/current/link"
done

port=$((20000 + RANDOM % 30000))
ln -sfn "$build/registry" "$work/registry"
# The registry's own configuration plus the yardsticks: a trivial CGI program at /trivial and
# static files from its document root (the page's folder, pointed here at the one holding the big file).
cat >"$work/bench.conf" <<CONF
include "$here/conf/lighttpd.conf"
alias.url += ( "/trivial" => var.instance + "/trivial_cgi" )
\$HTTP["url"] =~ "^/trivial" {
  cgi.assign = ( "" => "" )
}
CONF
# The listen lines serve.sh would write.
printf 'server.bind = "127.0.0.1"\nserver.port = %s\n' "$port" >"$work/.lighttpd/listen.conf"
REGISTRY_LISTEN_CONF="$work/.lighttpd/listen.conf" \
PORT=$port REGISTRY_INSTANCE="$work" REGISTRY_STORAGE_ROOT="" REGISTRY_BLOB_DIR="$root/blobs/sha256" \
  REGISTRY_HOSTING_CONF="$here/conf/hosting-cgi.conf" \
  REGISTRY_UI_DIR="$work/.lighttpd/empty" \
  lighttpd -D -f "$work/bench.conf" &
pid=$!
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/v2/" && break; sleep 0.1; done
base="http://127.0.0.1:$port"

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

echo "== pull of a 1 GiB blob (MB/s, median of 5, alternating)"
: >"$work/reg" ; : >"$work/static.txt"
for _ in 1 2 3 4 5; do
  curl -s -o /dev/null -w '%{speed_download}\n' "$base/v2/bench/app/blobs/$big" >>"$work/reg"
  curl -s -o /dev/null -w '%{speed_download}\n' "$base/big" >>"$work/static.txt"
done
r=$(median <"$work/reg"); s=$(median <"$work/static.txt")
awk -v r="$r" -v s="$s" 'BEGIN { printf "registry %.0f MB/s, static %.0f MB/s, ratio %.2f\n", r/1e6, s/1e6, r/s }'

echo "== manifest GET by tag, one keep-alive connection, 10 s each (requests/s)"
rm=$(wrk -t1 -c1 -d10s "$base/v2/bench/app/manifests/latest" | awk '/Requests\/sec/ {print $2}')
rt=$(wrk -t1 -c1 -d10s "$base/trivial" | awk '/Requests\/sec/ {print $2}')
awk -v r="$rm" -v t="$rt" 'BEGIN { printf "registry %.0f req/s, trivial CGI %.0f req/s, ratio %.2f\n", r, t, r/t }'

echo "== where one request's time goes (the programs run directly, no server)"
cd "$work"
hyperfine -N --warmup 20 --runs 300 --export-markdown "$work/parts.md" \
  -n "trivial CGI (process start)" "$work/trivial_cgi" \
  -n "GET /v2/ (+ settings reads)" "env REQUEST_METHOD=GET PATH_INFO=/v2/ $build/registry" \
  -n "GET /v2/_catalog?n=1 (+ engine start)" "env REQUEST_METHOD=GET PATH_INFO=/v2/_catalog QUERY_STRING=n=1 REGISTRY_STORAGE_ROOT=$root $build/registry" \
  -n "GET manifest by tag" "env REQUEST_METHOD=GET PATH_INFO=/v2/bench/app/manifests/latest REGISTRY_STORAGE_ROOT=$root $build/registry" \
  >/dev/null
cat "$work/parts.md"

echo "== listings through the server"
hyperfine -N --warmup 3 --runs 20 --export-markdown "$work/list.md" \
  -n "catalog n=1000 (1000 repositories)" "curl -s -o /dev/null $base/v2/_catalog?n=1000" \
  -n "tag list n=1000 (1000 tags)" "curl -s -o /dev/null $base/v2/bench/app/tags/list?n=1000" \
  >/dev/null
cat "$work/list.md"
start=$(date +%s%N); pages=0; url="$base/v2/_catalog?n=100"
while [ -n "$url" ]; do
  next=$(curl -s -D - -o /dev/null "$url" | tr -d '\r' | sed -n 's/^Link: <\([^>]*\)>.*/\1/p')
  pages=$((pages + 1)); url=${next:+$base$next}
done
echo "catalog walked in pages of 100: $pages pages in $(( ($(date +%s%N) - start) / 1000000 )) ms"
