#!/usr/bin/env bash
# gluster_scaleout_test.sh - two web hosts over one replicated GlusterFS volume. Inside a network
# namespace of its own (its loopback also carries 192.0.2.10, since GlusterFS refuses loopback addresses
# for bricks) the test runs glusterd with its state under a temporary directory, makes a replica-2 volume
# over two brick directories, mounts it three times through FUSE, serves one lighttpd host from each of
# two mounts and runs registry-admin gc back to back on the third while images are pushed through both
# hosts. Then every image pulls whole through both hosts, and the chunks of one upload sent alternately
# through both hosts make one blob. Skips (77) where there is no FUSE or no network namespace.
# Usage: gluster_scaleout_test.sh /path/to/build-dir
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:?build directory}")
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root for network namespaces and FUSE mounts"; exit 77; }
[ -c /dev/fuse ] || { echo "SKIP: the kernel offers no FUSE (/dev/fuse)"; exit 77; }
command -v glusterd >/dev/null && command -v glusterfs >/dev/null || {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends glusterfs-server glusterfs-client >/dev/null
}
command -v glusterd >/dev/null || { echo "FAIL: glusterfs-server could not be installed"; exit 1; }
work=$(mktemp -d /tmp/gluster-scaleout-XXXXXX)
ns="regtest-$$-$RANDOM"
vol="regtest$$"
addr=192.0.2.10
pids=() mounts=() gd_pid="" volume_made=0
# Enters only the namespace's network (nsenter --net, as ip netns exec does for the network), so the
# FUSE mounts its processes make are seen by every process of the test and unmounted by the trap.
in_ns() { nsenter --net="/run/netns/$ns" "$@"; }
gcli() { in_ns gluster --mode=script --glusterd-sock="$work/glusterd.socket" --log-file="$work/cli.log" "$@"; }
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  local m
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null; done
  if [ "$volume_made" = 1 ]; then
    timeout 20 nsenter --net="/run/netns/$ns" gluster --mode=script --glusterd-sock="$work/glusterd.socket" --log-file="$work/cli.log" volume stop "$vol" force >/dev/null 2>&1
    timeout 20 nsenter --net="/run/netns/$ns" gluster --mode=script --glusterd-sock="$work/glusterd.socket" --log-file="$work/cli.log" volume delete "$vol" >/dev/null 2>&1
  fi
  # The brick and self-heal processes glusterd started record their pids under the working and run
  # directories (the self-heal daemon's under run/shd/<volume>/): every one is stopped by its id, also
  # when the volume could not be stopped in time.
  local f
  for f in $(find "$work/glusterd" "$work/run" -name '*.pid' 2>/dev/null); do
    [ -f "$f" ] && [ "$f" != "$work/glusterd.pid" ] && kill "$(cat "$f")" 2>/dev/null
  done
  [ -n "$gd_pid" ] && { kill "$gd_pid" 2>/dev/null; wait "$gd_pid" 2>/dev/null; }
  ip netns del "$ns" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' TERM INT
passes=0 failures=0
check() { # description, expected, actual
  if [ "$2" == "$3" ]; then echo "ok: $1"; passes=$((passes + 1));
  else echo "FAIL: $1"; echo "  expected: $2"; echo "  actual:   $3"; failures=$((failures + 1)); return 1; fi
}

ip netns add "$ns" 2>"$work/netns.err" || { echo "SKIP: no network namespace: $(cat "$work/netns.err")"; exit 77; }
in_ns ip link set lo up
in_ns ip addr add "$addr/32" dev lo

# glusterd with its working and run directories, socket and logs under the temporary directory.
mkdir -p "$work/glusterd" "$work/run" "$work/log"
cat >"$work/glusterd.vol" <<VOL
volume management
    type mgmt/glusterd
    option working-directory $work/glusterd
    option run-directory $work/run
    option logging-directory $work/log
    option glusterd-sockfile $work/glusterd.socket
    option transport-type socket
    option transport.socket.listen-port 24007
    option ping-timeout 0
    option event-threads 1
end-volume
VOL
# nsenter execs glusterd, so $! is glusterd's own pid (a shell function here would leave a subshell's).
nsenter --net="/run/netns/$ns" glusterd -N -f "$work/glusterd.vol" --log-file="$work/log/glusterd.log" --pid-file="$work/glusterd.pid" &
gd_pid=$!
ready=0
for _ in $(seq 100); do
  gcli volume list >/dev/null 2>&1 && { ready=1; break; }
  kill -0 "$gd_pid" 2>/dev/null || break
  sleep 0.2
done
[ "$ready" = 1 ] || { echo "FAIL: glusterd did not answer"; tail -20 "$work/log/glusterd.log"; exit 1; }

mkdir -p "$work/brick1" "$work/brick2"
gcli volume create "$vol" replica 2 "$addr:$work/brick1/b" "$addr:$work/brick2/b" force >"$work/create.out" 2>&1 ||
  { echo "FAIL: volume create: $(cat "$work/create.out")"; exit 1; }
volume_made=1
# The engine reads on one host what another host has just renamed, touched or removed: the client-side
# caches of names, attributes and content would hand it what was there a moment ago (a lock naming a
# holder that has gone, a record already removed), and flush-behind would let close return before the
# bytes reach the bricks. The deployment guide in README.md names the same settings.
for opt in performance.stat-prefetch performance.quick-read performance.io-cache performance.read-ahead \
           performance.readdir-ahead performance.open-behind performance.flush-behind; do
  gcli volume set "$vol" "$opt" off >"$work/set.out" 2>&1 || { echo "FAIL: volume set $opt: $(cat "$work/set.out")"; exit 1; }
done
# GLUSTER_BENCH_VOLUME="option value ...": further volume options, for the benchmark's comparison of
# settings only (bench/gluster_bench.sh); the test itself never sets it.
set -- ${GLUSTER_BENCH_VOLUME:-}
while [ $# -ge 2 ]; do
  gcli volume set "$vol" "$1" "$2" >"$work/set.out" 2>&1 || { echo "FAIL: volume set $1 $2: $(cat "$work/set.out")"; exit 1; }
  shift 2
done
gcli volume start "$vol" force >"$work/start.out" 2>&1 || { echo "FAIL: volume start: $(cat "$work/start.out")"; exit 1; }
# GLUSTER_BENCH_MOUNT: other mount options in place of the three timeouts, for the benchmark only.
for m in a b collector; do
  mkdir -p "$work/mnt-$m"
  in_ns glusterfs --volfile-server="$addr" --volfile-id="$vol" --log-file="$work/log/mount-$m.log" \
    ${GLUSTER_BENCH_MOUNT:---attribute-timeout=0 --entry-timeout=0 --negative-timeout=0} "$work/mnt-$m" ||
    { echo "FAIL: mount $m"; tail -20 "$work/log/mount-$m.log"; exit 1; }
  mounts+=("$work/mnt-$m")
done
check "the three mounts are FUSE mounts of the volume" 3 "$(grep -c " $work/mnt-[a-z]* fuse.glusterfs " /proc/mounts)"

# GLUSTER_BENCH="program args": runs it once with its temporary directory on the volume (mount a)
# instead of the test, for figures on this volume; GLUSTER_BENCH_OTHER names the same directory through
# the collector's mount. The trap removes everything as after the test.
if [ -n "${GLUSTER_BENCH:-}" ]; then
  mkdir -p "$work/mnt-a/bench"
  TMPDIR="$work/mnt-a/bench" GLUSTER_BENCH_OTHER="$work/mnt-collector/bench" $GLUSTER_BENCH
  exit $?
fi

# Grace period of an hour: the orphans are dated back two hours with touch -d instead, so what the
# collections remove is known whatever the machine's speed.
for host in a b collector; do
  mkdir -p "$work/$host"
  printf '{"registry_gc_grace_seconds": 3600}\n' >"$work/$host/config.json"
done
store_of() { printf '%s/registry' "$work/mnt-$1"; }

start_host() { # name port
  local name=$1 port=$2
  SKIP_BUILD=1 REGISTRY_INSTANCE="$work/$name" REGISTRY_BUILD_DIR="$build" REGISTRY_STORAGE_ROOT="$(store_of "$name")" \
    nsenter --net="/run/netns/$ns" "$here/scripts/serve.sh" "$port" >"$work/$name/serve.log" 2>&1 &
  local pid=$!
  for _ in $(seq 100); do
    if in_ns curl -s -o /dev/null "http://127.0.0.1:$port/v2/"; then pids+=("$pid"); return 0; fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
  echo "could not start host $name"; cat "$work/$name/serve.log"; return 1
}
# The namespace is the test's own, so fixed ports are free in it.
port_a=5001 port_b=5002
start_host a $port_a || exit 1
start_host b $port_b || exit 1

# push PORT REPO TAG: an orphan (dated back, so collectable), a config and two layers, then the manifest.
push() {
  local base="http://127.0.0.1:$1" repo=$2 tag=$3 dir="$work/push-$2-$3" f digest layers="" code
  mkdir -p "$dir"
  printf '{"tag":"%s"}' "$tag" >"$dir/config"
  head -c 20000 /dev/urandom >"$dir/l1"
  head -c 30000 /dev/urandom >"$dir/l2"
  head -c 10000 /dev/urandom >"$dir/orphan"
  for f in orphan config l1 l2; do
    digest="sha256:$(sha256sum "$dir/$f" | cut -d' ' -f1)"
    code=$(in_ns curl -s -o /dev/null -w '%{http_code}' -X POST -H 'Content-Type: application/octet-stream' \
      --data-binary "@$dir/$f" "$base/v2/$repo/blobs/uploads/?digest=$digest")
    [ "$code" = 201 ] || { echo "upload $f: $code"; return 1; }
    if [ $f = orphan ]; then local hex=${digest#sha256:}; touch -d '-2 hours' "$(store_of a)/blobs/sha256/${hex:0:2}/$hex"; continue; fi
    [ $f = config ] && continue
    layers+="${layers:+,}{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar\",\"digest\":\"$digest\",\"size\":$(stat -c %s "$dir/$f")}"
  done
  printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"sha256:%s","size":%s},"layers":[%s]}' \
    "$(sha256sum "$dir/config" | cut -d' ' -f1)" "$(stat -c %s "$dir/config")" "$layers" >"$dir/manifest"
  code=$(in_ns curl -s -o "$dir/put.out" -w '%{http_code}' -X PUT -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' \
    --data-binary "@$dir/manifest" "$base/v2/$repo/manifests/$tag")
  [ "$code" = 201 ] || { echo "manifest $repo:$tag: $code $(cat "$dir/put.out")"; return 1; }
}
pusher() { # port repo count
  local n failed=0
  for n in $(seq "$3"); do push "$1" "$2" "t$n" || failed=$((failed + 1)); done
  echo "$failed" >"$work/failed-${2//\//_}"
}

in_ns curl -s -o /dev/null "http://127.0.0.1:$port_a/v2/_catalog"
( cd "$work/collector" && for _ in $(seq 100); do
    [ -e "$work/stop" ] && break
    in_ns "$build/registry-admin" --root "$(store_of collector)" --json gc >>"$work/gc.log" 2>>"$work/gc.err" || echo refused >>"$work/gc.refused"
  done ) &
collector=$!
pids+=("$collector")
pusher $port_a team/one 8 &
p1=$!
pusher $port_b team/two 8 &
p2=$!
wait $p1 $p2
touch "$work/stop"
wait $collector
# One more collection after the pushes: every orphan is old and unnamed by then.
( cd "$work/collector" && in_ns "$build/registry-admin" --root "$(store_of collector)" --json gc >>"$work/gc.log" 2>>"$work/gc.err" ) ||
  echo refused >>"$work/gc.refused"

check "no push through host a failed" 0 "$(cat "$work/failed-team_one" 2>/dev/null || echo missing)"
check "no push through host b failed" 0 "$(cat "$work/failed-team_two" 2>/dev/null || echo missing)"
check "no collection refused" 0 "$(if [ -f "$work/gc.refused" ]; then wc -l <"$work/gc.refused"; else echo 0; fi)"
[ -s "$work/gc.err" ] && sort "$work/gc.err" | uniq -c | head -5
removed=$(grep -o '"blobs_deleted":[0-9]*' "$work/gc.log" | cut -d: -f2 | awk '{s += $1} END {print s + 0}')
echo "collections: $(grep -c '"blobs_total"' "$work/gc.log"), blobs removed: $removed"
check "the collections removed every dated-back orphan" 16 "$removed"

bad=0
for repo in team/one team/two; do
  for n in $(seq 8); do
    for port in $port_a $port_b; do
      m=$(in_ns curl -s -f "http://127.0.0.1:$port/v2/$repo/manifests/t$n") || { bad=$((bad + 1)); continue; }
      for d in $(grep -o 'sha256:[0-9a-f]\{64\}' <<<"$m"); do
        got=$(in_ns curl -s -f "http://127.0.0.1:$port/v2/$repo/blobs/$d" | sha256sum | cut -d' ' -f1)
        [ "sha256:$got" = "$d" ] || bad=$((bad + 1))
      done
    done
  done
done
check "every pushed image pulls whole through both hosts" 0 "$bad"

# One upload, four chunks, sent alternately through host a and host b.
head -c 400000 /dev/urandom >"$work/chunked"
digest="sha256:$(sha256sum "$work/chunked" | cut -d' ' -f1)"
# lighttpd answers 411 to a POST or PUT without Content-Length: an empty body says so.
loc=$(in_ns curl -s -D - -o /dev/null -X POST -H 'Content-Length: 0' "http://127.0.0.1:$port_a/v2/team/chunks/blobs/uploads/" |
      tr -d '\r' | sed -n 's/^[Ll]ocation: //p')
chunk_fail=0 off=0
for i in 0 1 2 3; do
  port=$([ $((i % 2)) = 0 ] && echo $port_a || echo $port_b)
  dd if="$work/chunked" of="$work/chunk$i" bs=100000 skip=$i count=1 status=none
  url=$loc; [[ $url == /* ]] && url="http://127.0.0.1:$port$loc" || url=$(sed "s#127.0.0.1:[0-9]*#127.0.0.1:$port#" <<<"$loc")
  resp=$(in_ns curl -s -D - -o /dev/null -X PATCH -H 'Content-Type: application/octet-stream' \
    -H "Content-Range: $off-$((off + 99999))" --data-binary "@$work/chunk$i" "$url" | tr -d '\r')
  grep -q '^HTTP/[0-9.]* 202' <<<"$resp" || chunk_fail=$((chunk_fail + 1))
  new=$(sed -n 's/^[Ll]ocation: //p' <<<"$resp"); [ -n "$new" ] && loc=$new
  off=$((off + 100000))
done
url=$loc; [[ $url == /* ]] && url="http://127.0.0.1:$port_b$loc"
sep='?'; [[ $url == *\?* ]] && sep='&'
code=$(in_ns curl -s -o /dev/null -w '%{http_code}' -X PUT -H 'Content-Length: 0' "$url${sep}digest=$digest")
check "four chunks through alternate hosts were all taken" 0 "$chunk_fail"
check "the alternately sent upload finishes" 201 "$code"
got=$(in_ns curl -s -f "http://127.0.0.1:$port_a/v2/team/chunks/blobs/$digest" | sha256sum | cut -d' ' -f1)
check "the alternately sent upload pulls whole" "$digest" "sha256:$got"

# The run lock across mounts: a lock made through mount a naming a live process of this host (this
# shell) refuses a collection through the collector's mount; one naming a process that has ended is
# taken over.
admin_gc() { ( cd "$work/collector" && in_ns "$build/registry-admin" --root "$(store_of collector)" --json gc ) >"$work/gc1.out" 2>&1; }
lock="$(store_of a)/_gc/run.lock"
put_lock() { printf '%s %s' "$(hostname)" "$1" >"$lock.new" && mv "$lock.new" "$lock"; }
put_lock $$
admin_gc; rc=$?
check "a run lock made through another mount refuses the collection" "1 yes" \
  "$([ $rc -ne 0 ] && echo 1 || echo 0) $(grep -q 'already running' "$work/gc1.out" && echo yes || echo no)"
true & gone=$!; wait $gone
put_lock $gone
admin_gc; rc=$?
check "a run lock whose holder has ended is taken over through another mount" "0 absent" \
  "$rc $([ -e "$(store_of b)/_gc/run.lock" ] && echo present || echo absent)" || cat "$work/gc1.out"

# Deletions through the other host: a blob a manifest pushed through host a names is refused through
# host b; a blob whose deletion mark stands (made through mount a) is refused through host b and stays;
# an unnamed blob deleted through host b is gone through host a.
named=$(in_ns curl -s -f "http://127.0.0.1:$port_a/v2/team/one/manifests/t1" | grep -o 'sha256:[0-9a-f]\{64\}' | tail -1)
del() { in_ns curl -s -o /dev/null -w '%{http_code}' -X DELETE "http://127.0.0.1:$1/v2/$2/blobs/$3"; }
check "deleting a blob a manifest names is refused through the other host" 405 "$(del $port_b team/one "$named")"
for k in marked loose; do
  head -c 5000 /dev/urandom >"$work/$k"
  d="sha256:$(sha256sum "$work/$k" | cut -d' ' -f1)"
  in_ns curl -s -o /dev/null -X POST -H 'Content-Type: application/octet-stream' --data-binary "@$work/$k" \
    "http://127.0.0.1:$port_a/v2/team/one/blobs/uploads/?digest=$d"
  eval "${k}_digest=$d"
done
mkdir -p "$(store_of a)/_gc/deleting"
: >"$(store_of a)/_gc/deleting/${marked_digest#sha256:}"
check "a deletion mark made through another mount refuses the deletion" 405 "$(del $port_b team/one "$marked_digest")"
check "the marked blob stays" 200 \
  "$(in_ns curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port_a/v2/team/one/blobs/$marked_digest")"
check "an unnamed blob deleted through host b" 202 "$(del $port_b team/one "$loose_digest")"
check "is gone through host a" 404 \
  "$(in_ns curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port_a/v2/team/one/blobs/$loose_digest")"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
