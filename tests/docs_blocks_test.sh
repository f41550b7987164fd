#!/usr/bin/env bash
# docs_blocks_test.sh - runs every shell block the guides mark as runnable, in order, against a
# fresh instance, and fails when one of them fails.
# Usage: docs_blocks_test.sh BUILD_DIR [MARKDOWN_FILE...]   (default: README.md, then docs/)
#
# A runnable block is a fenced block whose info string is "sh runnable" (see docs/developing.md).
# The blocks run in one bash process (variables set by one block are seen by the next) with
# errexit and pipefail, from a scratch copy of the checkout: a directory of links to the
# repository's top-level entries, with build/ linking the build directory given. So the
# instance directory, the storage tree and every file a block writes are the test's own, and
# `scripts/serve.sh` in a block serves this checkout's programs. PORT and VERIFY_PORT are free
# loopback ports; the blocks fall back to 5000 and 5001 when they are unset, as for a reader.
# Everything the blocks start runs in a process group of its own, ended by its id at the end,
# also when a block fails.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:?build directory}")
shift
docs=("$@")
# The guides in reading order (a later guide goes on from what an earlier one set up), then any
# other page of docs/ in name order.
if [ ${#docs[@]} -eq 0 ]; then
  docs=("$here/README.md" "$here/docs/using.md" "$here/docs/operating.md" "$here/docs/developing.md")
  for f in "$here"/docs/*.md; do
    case " ${docs[*]} " in *" $f "*) ;; *) [ -e "$f" ] && docs+=("$f") ;; esac
  done
fi
for tool in curl skopeo lighttpd; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
group=""
cleanup() {
  if [ -n "$group" ]; then
    kill -TERM -- "-$group" 2>/dev/null
    # lighttpd ends its FastCGI responders as it stops; wait for the group to go (bounded).
    for _ in $(seq 50); do kill -0 -- "-$group" 2>/dev/null || break; sleep 0.1; done
    kill -KILL -- "-$group" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The scratch checkout.
checkout=$work/checkout
mkdir -p "$checkout"
for entry in "$here"/* "$here"/.ci; do
  name=$(basename "$entry")
  case $name in build | build-* | registry_storage | .lighttpd | config.json | htpasswd) continue ;; esac
  ln -s "$entry" "$checkout/$name"
done
ln -s "$build" "$checkout/build"

# A loopback port nobody listens on (the server started by a block binds it a moment later).
free_port() {
  local p
  for _ in $(seq 20); do
    p=$((20000 + RANDOM % 30000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo "$p"; return 0; fi
  done
  return 1
}
PORT=$(free_port) || { echo "no free port"; exit 1; }
VERIFY_PORT=$(free_port) || { echo "no free port"; exit 1; }
[ "$VERIFY_PORT" != "$PORT" ] || VERIFY_PORT=$((PORT + 1))

# extract FILE: the runnable blocks of FILE as shell text, each preceded by a line naming where it
# starts, so that a failure points at the block.
extract() {
  awk -v file="$1" '
    inblock && /^[[:space:]]*```/ { inblock = 0; print "block_done"; next }
    inblock { print; next }
    /^```sh runnable[[:space:]]*$/ {
      inblock = 1
      printf "block=%s\n", "\"" file ":" NR "\""
      next
    }
    END { if (inblock) { print "echo \"unterminated block in " file "\" >&2; exit 1" } }
  ' "$1"
}

script=$work/blocks.sh
{
  cat <<'PRELUDE'
set -eE -o pipefail
block=none blocks_run=0
block_done() { blocks_run=$((blocks_run + 1)); echo "ok: block at $block"; }
trap 'echo "FAIL: the block at $block: $BASH_COMMAND" >&2' ERR
PRELUDE
  for doc in "${docs[@]}"; do
    extract "$doc" | sed "s|^block=\"$here/|block=\"|"
  done
  cat <<'CODA'
echo "$blocks_run runnable blocks passed" >&2
CODA
} >"$script"

count=$(grep -c '^block_done$' "$script")
if [ "$count" -eq 0 ]; then
  echo "FAIL: no runnable block found in ${docs[*]}"
  exit 1
fi
echo "running $count blocks from ${#docs[@]} files in $checkout (PORT=$PORT, VERIFY_PORT=$VERIFY_PORT)"

# The blocks run without a terminal and without the caller's registry settings.
(
  cd "$checkout" || exit 1
  unset REGISTRY_INSTANCE REGISTRY_STORAGE_ROOT REGISTRY_BUILD_DIR REGISTRY_HOSTING
  export PORT VERIFY_PORT SKIP_BUILD=1
  exec setsid bash "$script" </dev/null
) &
group=$!
wait "$group"
status=$?
if [ "$status" -ne 0 ]; then
  echo "FAIL: the runnable blocks stopped with status $status"
  for log in "$checkout"/serve.log "$checkout"/.lighttpd/error.log; do
    [ -s "$log" ] && { echo "--- $log"; tail -n 20 "$log"; }
  done
  exit 1
fi
echo "ok: all $count runnable blocks ran"
