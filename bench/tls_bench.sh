#!/usr/bin/env bash
# tls_bench.sh - what HTTPS costs: two servers started by scripts/serve.sh over one storage tree, one
# plain and one with a certificate from a throwaway CA, both on 127.0.0.1, measured in turns: a
# 256 MiB blob pulled with curl, and manifest GETs by tag with wrk on keep-alive connections and
# with a new connection per request (a TLS handshake each).
# Usage: bench/tls_bench.sh [build-dir]        (needs curl, wrk, openssl)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
root="$work/registry_storage"

echo "== seeding: a 256 MiB blob and a manifest naming it"
head -c 268435456 /dev/urandom >"$work/big"
big=$("$build/tests/seed_store" "$root" blob "$work/big")
rm "$work/big"
printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"%s","size":268435456},"layers":[]}' "$big" >"$work/manifest"
"$build/tests/seed_store" "$root" manifest bench/app latest "$work/manifest" application/vnd.oci.image.manifest.v1+json >/dev/null

openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=bench CA" -keyout "$work/ca.key" -out "$work/ca.crt" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout "$work/server.key" -out "$work/server.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\n' >"$work/ext"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" -CAcreateserial -days 1 \
  -extfile "$work/ext" -out "$work/server.crt" 2>/dev/null

# serve NAME PORT [serve.sh arguments]: an instance directory of its own, the shared storage tree.
serve() {
  mkdir -p "$work/$1"
  SKIP_BUILD=1 REGISTRY_INSTANCE="$work/$1" REGISTRY_BUILD_DIR="$build" REGISTRY_STORAGE_ROOT="$root" \
    "$here/scripts/serve.sh" --listen "127.0.0.1:$2" "${@:3}" >"$work/$1.log" 2>&1 &
  pids+=($!)
}
p1=$((20000 + RANDOM % 15000)); p2=$((p1 + 1))
serve plain "$p1"
serve tls "$p2" --tls-cert "$work/server.crt" --tls-key "$work/server.key"
http="http://127.0.0.1:$p1" https="https://127.0.0.1:$p2"
for _ in $(seq 100); do
  curl -s -o /dev/null "$http/v2/" && curl -s -o /dev/null --cacert "$work/ca.crt" "$https/v2/" && break
  sleep 0.1
done

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

echo "== pull of a 256 MiB blob with curl (MB/s, median of 5, alternating)"
: >"$work/http.txt"; : >"$work/https.txt"
for _ in 1 2 3 4 5; do
  curl -s -o /dev/null -w '%{speed_download}\n' "$http/v2/bench/app/blobs/$big" >>"$work/http.txt"
  curl -s -o /dev/null -w '%{speed_download}\n' --cacert "$work/ca.crt" "$https/v2/bench/app/blobs/$big" >>"$work/https.txt"
done
a=$(median <"$work/http.txt"); b=$(median <"$work/https.txt")
awk -v a="$a" -v b="$b" 'BEGIN { printf "HTTP %.0f MB/s, HTTPS %.0f MB/s, HTTPS/HTTP %.2f\n", a/1e6, b/1e6, b/a }'

rate() { wrk "$@" | awk '/Requests\/sec/ {print $2}'; }
echo "== manifest GET by tag with wrk, 10 s each, alternating (requests/s)"
for mode in keep-alive close; do
  extra=(); [ "$mode" = close ] && extra=(-H "Connection: close")
  a1=$(rate -t1 -c4 -d10s "${extra[@]}" "$http/v2/bench/app/manifests/latest")
  b1=$(rate -t1 -c4 -d10s "${extra[@]}" "$https/v2/bench/app/manifests/latest")
  a2=$(rate -t1 -c4 -d10s "${extra[@]}" "$http/v2/bench/app/manifests/latest")
  b2=$(rate -t1 -c4 -d10s "${extra[@]}" "$https/v2/bench/app/manifests/latest")
  awk -v m="$mode" -v a1="$a1" -v a2="$a2" -v b1="$b1" -v b2="$b2" \
    'BEGIN { printf "%-10s HTTP %.0f / %.0f req/s, HTTPS %.0f / %.0f req/s, HTTPS/HTTP %.2f\n", m, a1, a2, b1, b2, (b1+b2)/(a1+a2) }'
done
