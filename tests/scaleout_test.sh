#!/usr/bin/env bash
# scaleout_test.sh - two web hosts over one storage tree: two lighttpd instances, each with its own
# instance directory, push images into the same store while a third process collects garbage back to
# back. Afterwards every tag of every pushed image pulls through either host and every blob hashes to
# its digest; no push failed. The outcome is certain on any machine: the grace period covers every
# push (a push may fail by design when a collection finds its layer older than the grace period), and
# the orphans the collections must remove are dated back past it.
# Usage: scaleout_test.sh /path/to/build-dir
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:?build directory}")
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
passes=0 failures=0
check() { # description, expected, actual
  if [ "$2" == "$3" ]; then echo "ok: $1"; passes=$((passes + 1));
  else echo "FAIL: $1"; echo "  expected: $2"; echo "  actual:   $3"; failures=$((failures + 1)); fi
}

store="$work/shared-store"
mkdir -p "$store"
# An hour's grace: a collection runs between a push's uploads and its manifest, and keeps the push's
# fresh layers however slow the machine is.
for host in a b collector; do
  mkdir -p "$work/$host"
  printf '{"registry_gc_grace_seconds": 3600}\n' >"$work/$host/config.json"
done

start_host() { # name -> sets port_<name>
  local name=$1 port
  for _ in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 30000))
    SKIP_BUILD=1 REGISTRY_INSTANCE="$work/$name" REGISTRY_BUILD_DIR="$build" REGISTRY_STORAGE_ROOT="$store" \
      "$here/scripts/serve.sh" "$port" >"$work/$name/serve.log" 2>&1 &
    local pid=$!
    for _ in $(seq 50); do
      if curl -s -o /dev/null "http://127.0.0.1:$port/v2/"; then pids+=("$pid"); eval "port_$name=$port"; return 0; fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
  done
  echo "could not start host $name"; return 1
}
start_host a || exit 1
start_host b || exit 1

# push HOST REPO TAG: two fresh layers and a config by monolithic upload, then the manifest.
push() {
  local base="http://127.0.0.1:$1" repo=$2 tag=$3 dir="$work/push-$2-$3" f digest layers="" code
  mkdir -p "$dir"
  printf '{"tag":"%s"}' "$tag" >"$dir/config"
  head -c 20000 /dev/urandom >"$dir/l1"
  head -c 30000 /dev/urandom >"$dir/l2"
  head -c 10000 /dev/urandom >"$dir/orphan" # uploaded, never named: the collections' work
  for f in orphan config l1 l2; do
    digest="sha256:$(sha256sum "$dir/$f" | cut -d' ' -f1)"
    code=$(curl -s -o /dev/null -w '%{http_code}' -X POST -H 'Content-Type: application/octet-stream' \
      --data-binary "@$dir/$f" "$base/v2/$repo/blobs/uploads/?digest=$digest")
    [ "$code" = 201 ] || { echo "upload $f: $code"; return 1; }
    # Never named: dated back past the grace period, so the next collection removes it.
    [ $f = orphan ] && touch -d '2 hours ago' "$store/blobs/sha256/${digest:7:2}/${digest:7}"
    [ $f = config ] || [ $f = orphan ] && continue
    layers+="${layers:+,}{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar\",\"digest\":\"$digest\",\"size\":$(stat -c %s "$dir/$f")}"
  done
  printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"sha256:%s","size":%s},"layers":[%s]}' \
    "$(sha256sum "$dir/config" | cut -d' ' -f1)" "$(stat -c %s "$dir/config")" "$layers" >"$dir/manifest"
  code=$(curl -s -o "$dir/put.out" -w '%{http_code}' -X PUT -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' \
    --data-binary "@$dir/manifest" "$base/v2/$repo/manifests/$tag")
  [ "$code" = 201 ] || { echo "manifest $repo:$tag: $code $(cat "$dir/put.out")"; return 1; }
}

pusher() { # host repo count -> prints the failures
  local n failed=0
  for n in $(seq "$3"); do push "$1" "$2" "t$n" || failed=$((failed + 1)); done
  echo "$failed" >"$work/failed-${2//\//_}"
}

curl -s -o /dev/null "http://127.0.0.1:$port_a/v2/_catalog" # the store exists before the collector looks
# The collector: the admin tool on the same tree, as an operator's cron job would run it.
( cd "$work/collector" && for _ in $(seq 400); do
    [ -e "$work/stop" ] && break
    "$build/registry-admin" --root "$store" --json gc >>"$work/gc.log" 2>>"$work/gc.err" || echo "refused" >>"$work/gc.refused"
  done ) &
collector=$!
pusher "$port_a" team/one 25 &
p1=$!
pusher "$port_b" team/two 25 &
p2=$!
wait $p1 $p2
touch "$work/stop"
wait $collector
# One run after every orphan is dated: the removals below do not depend on how the runs fell.
( cd "$work/collector" && "$build/registry-admin" --root "$store" --json gc >>"$work/gc.log" 2>>"$work/gc.err" ) ||
  echo "refused" >>"$work/gc.refused"

check "no push through host a failed" 0 "$(cat "$work/failed-team_one" 2>/dev/null || echo missing)"
check "no push through host b failed" 0 "$(cat "$work/failed-team_two" 2>/dev/null || echo missing)"
runs=$(grep -c '"blobs_total"' "$work/gc.log")
check "collections ran" yes "$([ "$runs" -gt 0 ] && echo yes || echo no)"
check "no collection refused" 0 "$(if [ -f "$work/gc.refused" ]; then wc -l <"$work/gc.refused"; else echo 0; fi)"
[ -s "$work/gc.err" ] && sort "$work/gc.err" | uniq -c | head -5
removed=$(grep -o '"blobs_deleted":[0-9]*' "$work/gc.log" | cut -d: -f2 | awk '{s += $1} END {print s + 0}')
echo "collections: $runs, blobs removed: $removed"
check "the collections removed the abandoned uploads' blobs" yes "$([ "$removed" -gt 0 ] && echo yes || echo no)"

# Every tag pulls through the other host and every blob hashes to its digest.
bad=0
for repo in team/one team/two; do
  for n in $(seq 25); do
    for port in "$port_a" "$port_b"; do
      m=$(curl -s -f "http://127.0.0.1:$port/v2/$repo/manifests/t$n") || { bad=$((bad + 1)); continue; }
      for d in $(grep -o 'sha256:[0-9a-f]\{64\}' <<<"$m"); do
        got=$(curl -s -f "http://127.0.0.1:$port/v2/$repo/blobs/$d" | sha256sum | cut -d' ' -f1)
        [ "sha256:$got" = "$d" ] || bad=$((bad + 1))
      done
    done
  done
done
check "every pushed image pulls whole through both hosts" 0 "$bad"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
