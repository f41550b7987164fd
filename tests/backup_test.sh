#!/usr/bin/env bash
# backup_test.sh - registry-admin backup while pushes go on, and the copies put to use: backup_race
# makes one copy held at known points with pushes, moves and deletions between them and one beside
# free-running pushers, and judges both; here registry-admin check must find nothing in either, each
# is served by lighttpd and skopeo pulls every tag of it (every blob hashing right, the manifest the
# copy names). Destinations the tool must refuse leave the store as it was.
# Usage: backup_test.sh V2_REPO REGISTRY_ADMIN BACKUP_RACE
source "$(dirname "$0")/lighttpd_lib.sh" "$1"
admin=$(realpath "${2:?path to registry-admin}")
race=$(realpath "${3:?path to backup_race}")
if ! command -v skopeo >/dev/null; then echo "skopeo is not installed (scripts/setup.sh installs it)"; exit 1; fi
export HOME="$instance/home" XDG_RUNTIME_DIR="$instance/run"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
work="$instance/work"
mkdir -p "$work"
log="$instance/clients.log"

(cd "$work" && "$race" store held live) >"$work/race.out" 2>&1
check "backup_race: both copies whole, the held one equal to the store's tags" 0 "$?"
[ "$failures" = 0 ] || cat "$work/race.out"

# ---- the copies served and pulled ------------------------------------------------------------

# "repo:tag link-digest" for every tag of a tree.
tags_in() {
  local link rel
  find "$1/repositories" -path '*/_manifests/tags/*/current/link' | sort | while read -r link; do
    rel=${link#"$1/repositories/"}
    echo "${rel%%/_manifests/*}:$(basename "$(dirname "$(dirname "$link")")") $(cat "$link")"
  done
}

for copy in held live; do
  check "$copy: registry-admin check finds nothing" '0 "problems":0' \
    "$("$admin" --root "$work/$copy" check --json >"$work/check.$copy" 2>&1; echo "$? $(grep -o '"problems":[0-9]*' "$work/check.$copy")")"
  rm -rf "$instance/registry_storage"
  cp -a "$work/$copy" "$instance/registry_storage"
  start_server || exit 1
  pulled=0 wrong=""
  while read -r ref digest; do
    out="$instance/pulled/$copy/${ref//[:\/]/_}"
    mkdir -p "$out"
    if ! skopeo --insecure-policy copy --all --preserve-digests --src-tls-verify=false --digestfile "$out.digest" \
         "docker://127.0.0.1:$port/$ref" "oci:$out:pulled" >>"$log" 2>&1; then
      wrong+=" $ref(pull failed)"; continue
    fi
    [ "$(cat "$out.digest")" = "$digest" ] || wrong+=" $ref(digest $(cat "$out.digest"), copy names $digest)"
    for f in "$out"/blobs/sha256/*; do
      [ "$(sha256sum "$f" | cut -d' ' -f1)" = "$(basename "$f")" ] || wrong+=" $ref(bad blob $(basename "$f"))"
    done
    pulled=$((pulled + 1))
  done < <(tags_in "$instance/registry_storage")
  check "$copy: every tag pulled whole, as the copy names it" "" "$wrong"
  check "$copy: tags pulled" "$(tags_in "$work/$copy" | wc -l)" "$pulled"
  stop_server
done
check "the held copy has tags to pull" yes "$([ "$(tags_in "$work/held" | wc -l)" -ge 12 ] && echo yes || echo no)"

# ---- destinations refused before anything is made ----------------------------------------------

store="$work/store"
tree_state() { (cd "$1" && find . -path ./_gc -prune -o -print | sort | xargs -d '\n' stat -c '%n %s %Y'); }
before=$(tree_state "$store")
mkdir -p "$work/full" && echo keep >"$work/full/file"
ln -s "$store/repositories" "$work/into-store"
# name | destination | words the refusal must contain
rows=(
  "inside the store|$store/x|inside the store"
  "inside the store, deeper|$store/repositories/app/new|inside the store"
  "the store itself|$store|inside the store"
  "through a link into the store|$work/into-store/x|inside the store"
  "a directory that is not empty|$work/full|not empty"
  "a parent that does not exist|$work/missing/x|can be made"
)
for row in "${rows[@]}"; do
  IFS='|' read -r name dest words <<<"$row"
  "$admin" --root "$store" backup "$dest" >"$work/refusal.out" 2>&1
  rc=$?
  check "backup into $name: refused" yes "$([ "$rc" != 0 ] && grep -q "$words" "$work/refusal.out" && echo yes || echo "no (exit $rc: $(cat "$work/refusal.out"))")"
done
check "the refusals left the store as it was" "$before" "$(tree_state "$store")"
check "the non-empty destination kept its file alone" "file" "$(ls "$work/full")"
check "no parent was made for the missing one" no "$(exists "$work/missing")"

[ "$failures" = 0 ] || tail -30 "$log"
finish
