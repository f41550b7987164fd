#!/usr/bin/env bash
# registry_admin_test.sh - the admin tool run as an operator runs it: tables, JSON, exit statuses, progress and cancel.
# Usage: registry_admin_test.sh REGISTRY_ADMIN ADMIN_FIXTURE REGISTRY_ADMIN_HELD
# REGISTRY_ADMIN_HELD is the tests' own build of the tool, whose collection
# REGISTRY_ADMIN_TEST_PAUSE_DIR holds before its first removal.
set -u
admin=$1
fixture=$2
held=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Times and durations change from run to run; everything else is compared whole.
normalize() {
  sed -E -e 's/[0-9]+(\.[0-9]+)? (ms|s|min [0-9]+ s)([.,:]|$)/<T>\3/g' \
         -e 's/"(elapsed_ms|started_unix|age_seconds)":-?[0-9]+/"\1":<T>/g' \
         -e 's/_quarantine\/[0-9]+(-[0-9]+)?/_quarantine\/<Q>/g'
}

# expect NAME STATUS EXPECTED_TEXT -- COMMAND...: stdout (normalized) and exit status.
expect() {
  local name=$1 status=$2 expected=$3
  shift 4
  local out rc
  out=$("$@" 2>"$work/stderr" | normalize; exit "${PIPESTATUS[0]}")
  rc=$?
  [ "$rc" = "$status" ] || fail "$name: exit status $rc, expected $status ($(cat "$work/stderr"))"
  if [ "$out" != "$expected" ]; then
    fail "$name: output differs"
    diff <(echo "$expected") <(echo "$out") | sed 's/^/    /'
  fi
}

# A listing of every file with its size and content hash: what "nothing changed" means.
tree_state() { (cd "$1" && find . -path ./_gc -prune -o -type f -print0 | sort -z | xargs -0 sha256sum); }

make_basic() {
  local root=$1
  "$fixture" "$root" basic || { echo "fixture failed"; exit 1; }
  # Everything was written "days ago", so that collections that spare young
  # blobs and the ages in tables do not depend on when the test runs.
  find "$root" -exec touch -d '3 days ago' {} +
  local tags=$root/repositories/library/alpine/_manifests/tags
  touch -d '40 days ago' "$tags/3.18/current/link"
  touch -d '10 days ago' "$tags/3.19/current/link"
}

store=$work/store
make_basic "$store"
run=("$admin" --root "$store")

# ---- listings, usage, check on a sound store -------------------------------------

expect "ls" 0 "$(cat <<'T'
REPOSITORY      TAGS  MANIFESTS
library/alpine     3          2
team/app           1          1
T
)" -- "${run[@]}" ls

expect "ls REPO" 0 "$(cat <<'T'
TAG     DIGEST               MEDIA TYPE                                   SIZE   AGE
3.18    sha256:2fcaedfb767e  application/vnd.oci.image.manifest.v1+json  401 B  40 d
3.19    sha256:63887997acbb  application/vnd.oci.image.manifest.v1+json  559 B  10 d
latest  sha256:63887997acbb  application/vnd.oci.image.manifest.v1+json  559 B   3 d
T
)" -- "${run[@]}" ls library/alpine

expect "ls --json" 0 '{"repositories":[{"name":"library/alpine","tags":3,"manifests":2},{"name":"team/app","tags":1,"manifests":1}],"cut":false}' \
  -- "${run[@]}" --json ls

m1=sha256:63887997acbbdb0cea322dcc3aae8303e062ab2c590993b29ef1a9c67a5d0b3f
m2=sha256:2fcaedfb767e6c494f8510171be0a6442d05f610fcfd7d91f0c9c9fab3abaa02
type=application/vnd.oci.image.manifest.v1+json
expect "ls REPO --json" 0 "{\"repository\":\"library/alpine\",\"tags\":[{\"tag\":\"3.18\",\"digest\":\"$m2\",\"media_type\":\"$type\",\"size\":401,\"age_seconds\":<T>},{\"tag\":\"3.19\",\"digest\":\"$m1\",\"media_type\":\"$type\",\"size\":559,\"age_seconds\":<T>},{\"tag\":\"latest\",\"digest\":\"$m1\",\"media_type\":\"$type\",\"size\":559,\"age_seconds\":<T>}],\"cut\":false}" \
  -- "${run[@]}" ls library/alpine --json

# team/app names config B (37 bytes) and the 1.5 MiB layer that library/alpine
# names too: the layer counts in both repositories and once in referenced_bytes.
expect "usage" 0 "$(cat <<'T'
  Repositories         2
  Tags                 4
  Manifests            3
  Blobs                6 (1.5 MiB)
  Named by manifests   5 (1.5 MiB)
  Uploads in progress  0 (0 B)

REPOSITORY      TAGS  MANIFESTS  BLOBS    BYTES
library/alpine     3          2      4  1.5 MiB
team/app           1          1      2  1.5 MiB
T
)" -- "${run[@]}" usage

expect "usage --json" 0 '{"repositories":2,"tags":4,"manifests":3,"unreadable_manifests":0,"blobs":6,"blob_bytes":1581522,"referenced_blobs":5,"referenced_bytes":1576522,"active_uploads":0,"upload_bytes":0,"quota_bytes":0,"unlisted_directories":0,"repos":[{"name":"library/alpine","tags":3,"manifests":2,"blobs":4,"bytes":1576485},{"name":"team/app","tags":1,"manifests":1,"blobs":2,"bytes":1572901}],"repos_cut":false}' \
  -- "${run[@]}" usage --json

expect "check, sound store" 0 "Checked 6 blobs (1.5 MiB), 3 manifests, 3 revision links, 4 tags: 0 problems." \
  -- "${run[@]}" check
expect "check --json, sound store" 0 '{"repair":false,"blobs_checked":6,"blob_bytes_checked":1581522,"manifests_checked":3,"revisions_checked":3,"tags_checked":4,"problems":0,"moved":0,"quarantine":"","issues":[],"issues_cut":false}' \
  -- "${run[@]}" check --json

# ---- the instance directory: its settings file names the root, the quota and retention ----

instance=$work/instance
mkdir -p "$instance"
printf '{"storage_root": "%s", "registry_quota_bytes": 10485760, "registry_retention_days": 30}\n' "$store" \
  >"$instance/config.json"
expect "usage with a quota, root from the instance's settings" 0 "$(cat <<'T'
  Repositories         2
  Tags                 4
  Manifests            3
  Blobs                6 (1.5 MiB)
  Named by manifests   5 (1.5 MiB)
  Uploads in progress  0 (0 B)
  Quota                1.5 MiB of 10.0 MiB (15.0%)

REPOSITORY      TAGS  MANIFESTS  BLOBS    BYTES
library/alpine     3          2      4  1.5 MiB
team/app           1          1      2  1.5 MiB
T
)" -- "$admin" --instance "$instance" usage
# --root wins over REGISTRY_STORAGE_ROOT, which wins over the settings file.
expect "--root over the environment" 0 "Checked 6 blobs (1.5 MiB), 3 manifests, 3 revision links, 4 tags: 0 problems." \
  -- env REGISTRY_STORAGE_ROOT="$work/missing" "$admin" --instance "$instance" --root "$store" check
expect "the environment over the settings file" 1 "" \
  -- env REGISTRY_STORAGE_ROOT="$work/missing" "$admin" --instance "$instance" check

# ---- retention ---------------------------------------------------------------------

expect "retention --dry-run --keep 1" 0 "$(cat <<'T'
REPOSITORY      TAG   DIGEST                AGE
library/alpine  3.19  sha256:63887997acbb  10 d
library/alpine  3.18  sha256:2fcaedfb767e  40 d
Would delete 2 of 4 tags in 2 repositories; 2 kept (keep 1, days 0).
T
)" -- "${run[@]}" retention --dry-run --keep 1

expect "retention --dry-run --keep 1 --include-latest --json" 0 "{\"dry_run\":true,\"keep_n\":1,\"days\":0,\"include_latest\":true,\"repos_scanned\":2,\"tags_total\":4,\"tags_deleted\":2,\"tags_kept\":2,\"latest_protected\":0,\"deleted\":[{\"repository\":\"library/alpine\",\"tag\":\"3.19\",\"digest\":\"$m1\",\"age_days\":10},{\"repository\":\"library/alpine\",\"tag\":\"3.18\",\"digest\":\"$m2\",\"age_days\":40}]}" \
  -- "${run[@]}" retention --dry-run --keep 1 --include-latest --json

# days 30 from the settings file: only 3.18 (40 days) goes, for real.
expect "retention with the settings' values" 0 "$(cat <<'T'
REPOSITORY      TAG   DIGEST                AGE
library/alpine  3.18  sha256:2fcaedfb767e  40 d
Deleted 1 of 4 tags in 2 repositories; 3 kept (keep 0, days 30).
T
)" -- "$admin" --instance "$instance" retention
expect "retention without a rule" 0 "$(cat <<'T'
No retention rule is set (keep 0, days 0): no tag is selected.
Would delete 0 of 3 tags in 2 repositories; 3 kept (keep 0, days 0).
T
)" -- "${run[@]}" retention --dry-run

# ---- collection --------------------------------------------------------------------

# Retention deleted manifest 2 with its last tag, so its 2 KiB layer is named
# by nothing any more: it goes with the loose blob.
expect "gc --dry-run" 0 "$(cat <<'T'
Dry run finished in <T>: nothing was removed.
  Blobs counted            6
  Blobs kept               4
  Blobs to remove          2 (6.9 KiB)
  Stale uploads to remove  0 (0 B)
T
)" -- "${run[@]}" gc --dry-run
[ -s "$work/stderr" ] && fail "gc without a terminal drew on standard error: $(cat -v "$work/stderr")"

expect "gc --json" 0 '{"dry_run":false,"blobs_total":6,"blobs_reachable":4,"blobs_deleted":2,"bytes_freed":7048,"blobs_kept":4,"stale_uploads":0,"stale_upload_bytes":0,"cancelled":false,"elapsed_ms":<T>,"blobs_young_kept":0,"uploads_in_progress":0,"grace_seconds":3600,"young_kept_free_within_seconds":0}' \
  -- "${run[@]}" gc --json
[ "$(find "$store/blobs" -type f | wc -l)" = 4 ] || fail "gc did not remove exactly the two unnamed blobs"

expect "gc status after a run" 0 "$(cat <<'T'
Last collection finished.
  Blobs scanned  6 of 6
  Blobs removed  2 (6.9 KiB)
  Elapsed        <T>
T
)" -- "${run[@]}" gc status
expect "gc cancel with nothing running" 0 "No collection is running; nothing to cancel." -- "${run[@]}" gc cancel

# ---- the progress bar: on a terminal only ----------------------------------------------

bar_out=$(script -qc "$(printf '%q ' "${run[@]}" gc --dry-run)" /dev/null)
grep -q 'done \[########################\] 4/4 blobs' <<<"$bar_out" || fail "no progress bar under a pseudo-terminal: $(cat -v <<<"$bar_out")"
grep -q 'Dry run finished' <<<"$bar_out" || fail "no summary under a pseudo-terminal"
bar_out=$(script -qc "$(printf '%q ' "${run[@]}" gc --dry-run --json)" /dev/null)
grep -q '\[###' <<<"$bar_out" && fail "--json drew a progress bar"

# ---- a run followed and cancelled from a second process ----------------------------------
# The tests' build of the tool holds the run just before its first removal until the
# test lets it go: another process then reads "running" and leaves the cancel
# marker at a known point, and the run sees it at its next check, after 256
# blobs, whatever the machine's speed.

loose=$work/loose
"$fixture" "$loose" loose 600 || exit 1
find "$loose" -exec touch -d '2 days ago' {} +
cp -a "$loose" "$work/loose2"
cp -a "$loose" "$work/loose3"

gate=$work/gate
mkdir -p "$gate"
REGISTRY_ADMIN_TEST_PAUSE_DIR=$gate "$held" --root "$loose" gc >"$work/gc.out" 2>"$work/gc.err" &
gc_pid=$!
for _ in $(seq 300); do [ -e "$gate/paused" ] && break; sleep 0.1; done
[ -e "$gate/paused" ] || fail "the run never reached its first removal"

expect "gc status of a run in another process" 0 "$(cat <<'T'
Collection running, phase deleting.
  Blobs scanned  0 of 600
  Blobs removed  0 (0 B)
  Elapsed        <T>
T
)" -- "$admin" --root "$loose" gc status
expect "gc status --json of a run in another process" 0 '{"running":true,"phase":"deleting","blobs_scanned":0,"blobs_total":600,"blobs_deleted":0,"bytes_freed":0,"dry_run":false,"started_unix":<T>,"elapsed_ms":<T>,"cancelled":false}' \
  -- "$admin" --root "$loose" --json gc status
expect "gc cancel from another process" 0 "Asked the running collection to stop; it stops at its next check." \
  -- "$admin" --root "$loose" gc cancel
"$admin" --root "$loose" gc status --watch >"$work/watch.out" 2>&1 &
watch_pid=$!
touch "$gate/resume"
wait "$gc_pid"
rc=$?
wait "$watch_pid" || fail "gc status --watch failed: $(cat "$work/watch.out")"
[ $rc = 0 ] || fail "cancelled run: exit status $rc"
got=$(normalize <"$work/gc.out")
want="$(cat <<'T'
Collection cancelled after <T>: it stopped at its next check; every blob not yet removed was kept.
  Blobs counted          600
  Blobs kept             344
  Blobs removed          256 (256.0 KiB)
  Stale uploads removed  0 (0 B)
T
)"
[ "$got" = "$want" ] || fail "cancelled run's report: $got"
[ "$(find "$loose/blobs" -type f | wc -l)" = 344 ] || fail "cancelled run left $(find "$loose/blobs" -type f | wc -l) blobs, not 344"
tail -n 4 "$work/watch.out" | normalize | head -n 1 | grep -qx 'Last collection cancelled.' ||
  fail "gc status --watch did not follow the run to its end: $(cat "$work/watch.out")"

# Ctrl-C in the tool itself: the same cancel, and the report of what was kept.
rm -f "$gate/paused" "$gate/resume"
REGISTRY_ADMIN_TEST_PAUSE_DIR=$gate "$held" --root "$work/loose2" gc >"$work/int.out" 2>"$work/int.err" &
gc_pid=$!
for _ in $(seq 300); do [ -e "$gate/paused" ] && break; sleep 0.1; done
kill -INT "$gc_pid"
for _ in $(seq 50); do grep -q stopping "$work/int.err" && break; sleep 0.1; done
touch "$gate/resume"
wait "$gc_pid" || fail "interrupted run: exit status $?"
grep -q 'Blobs kept             344' "$work/int.out" || fail "interrupted run: $(cat "$work/int.out" "$work/int.err")"
grep -qx 'registry-admin: stopping the collection at its next check...' "$work/int.err" || fail "no word of the stop: $(cat "$work/int.err")"

# The shipped tool holds nothing: the variable is not even named in it, and a
# collection with it set runs through to the end.
grep -qa REGISTRY_ADMIN_TEST "$admin" && fail "the shipped registry-admin names a test variable"
rm -f "$gate/paused" "$gate/resume"
REGISTRY_ADMIN_TEST_PAUSE_DIR=$gate timeout 120 "$admin" --root "$work/loose3" gc >"$work/free.out" 2>&1 ||
  fail "the shipped tool's collection with the test variable set: exit status $? ($(cat "$work/free.out"))"
[ -e "$gate/paused" ] && fail "the shipped tool held its collection"
[ "$(find "$work/loose3/blobs" -type f | wc -l)" = 0 ] || fail "the shipped tool's collection did not remove every loose blob"

# ---- a damaged tree: check lists, --repair moves aside, collections run again ----------

damaged=$work/damaged
make_basic "$damaged"
l3=$(head -c 2048 /dev/zero | tr '\0' c | sha256sum | cut -c1-64)
printf 'bad' >"$damaged/blobs/sha256/${l3:0:2}/$l3"
app=$damaged/repositories/team/app/_manifests
m3=$(cd "$app" && ls | grep -xE '[0-9a-f]{64}')
printf '{broken' >"$app/$m3"
printf 'x' >"$damaged/blobs/sha256/stray.txt"
bad_sum=$(sha256sum <<<"bad" | cut -c1-64)
expect "gc refuses while a manifest does not parse" 1 "" -- "$admin" --root "$damaged" gc
grep -qx "registry-admin: collection refused: cannot parse manifest: repositories/team/app/_manifests/$m3" "$work/stderr" ||
  fail "refusal message: $(cat "$work/stderr")"

l3d=sha256:$l3
body_sum=sha256:$(printf '{broken' | sha256sum | cut -c1-64)
blob_sum=sha256:$(printf 'bad' | sha256sum | cut -c1-64)
before=$(tree_state "$damaged")
"$admin" --root "$damaged" check --json >"$work/check.json"
[ $? = 1 ] || fail "check of a damaged tree: exit status not 1"
[ "$(tree_state "$damaged")" = "$before" ] || fail "check without --repair changed the tree"
want="{\"repair\":false,\"blobs_checked\":6,\"blob_bytes_checked\":1579477,\"manifests_checked\":3,\"revisions_checked\":3,\"tags_checked\":4,\"problems\":6,\"moved\":0,\"quarantine\":\"\",\"issues\":[{\"problem\":\"stray file\",\"path\":\"blobs/sha256/stray.txt\",\"detail\":\"\",\"action\":\"reported\"},{\"problem\":\"blob content does not match its digest\",\"path\":\"blobs/sha256/${l3:0:2}/$l3\",\"detail\":\"$blob_sum\",\"action\":\"reported\"},{\"problem\":\"manifest names a blob that is missing or damaged\",\"path\":\"repositories/library/alpine/_manifests/${m2#sha256:}\",\"detail\":\"$l3d\",\"action\":\"reported\"},{\"problem\":\"manifest content does not match its digest\",\"path\":\"repositories/team/app/_manifests/$m3\",\"detail\":\"$body_sum\",\"action\":\"reported\"},{\"problem\":\"revision link names a manifest that is not stored\",\"path\":\"repositories/team/app/_manifests/revisions/sha256/$m3/link\",\"detail\":\"sha256:$m3\",\"action\":\"reported\"},{\"problem\":\"tag names a manifest that is not stored\",\"path\":\"repositories/team/app/_manifests/tags/v1/current/link\",\"detail\":\"sha256:$m3\",\"action\":\"reported\"}],\"issues_cut\":false}"
# Listing order within a directory is the file system's; the issues are compared as a set.
sorted_issues() { sed 's/},{/}\n{/g' | sort; }
[ "$(sorted_issues <"$work/check.json")" = "$(sorted_issues <<<"$want")" ] || {
  fail "check --json of a damaged tree"
  diff <(sorted_issues <<<"$want") <(sorted_issues <"$work/check.json") | sed 's/^/    /'
}

"$admin" --root "$damaged" check --repair >"$work/repair.out"
[ $? = 1 ] || fail "check --repair: the manifest naming a damaged blob stays, so the status is 1"
q=$(ls "$damaged/_quarantine")
for rel in "blobs/sha256/stray.txt" "blobs/sha256/${l3:0:2}/$l3" "repositories/team/app/_manifests/$m3" \
  "repositories/team/app/_manifests/$m3.ct" "repositories/team/app/_manifests/tags/v1/current/link" \
  "repositories/team/app/_manifests/revisions/sha256/$m3/link"; do
  [ -f "$damaged/_quarantine/$q/$rel" ] || fail "--repair did not move $rel into the quarantine"
  [ -e "$damaged/$rel" ] && fail "--repair left $rel in place"
  grep -q "moved to _quarantine/$q/$rel\$" "$work/repair.out" || fail "--repair did not say it moved $rel"
done
grep -qx "Moved 6 files into _quarantine/$q (nothing was deleted)." "$work/repair.out" || fail "repair summary: $(tail -2 "$work/repair.out")"
expect "check after repair" 1 "$(cat <<T
PROBLEM                                           PATH                                                                                                     DETAIL
manifest names a blob that is missing or damaged  repositories/library/alpine/_manifests/${m2#sha256:}  $l3d
Checked 5 blobs (1.5 MiB), 2 manifests, 2 revision links, 3 tags: 1 problems.
T
)" -- "$admin" --root "$damaged" check
expect "gc runs again after repair" 0 "$(cat <<'T'
Collection finished in <T>.
  Blobs counted          5
  Blobs kept             3
  Blobs removed          2 (4.9 KiB)
  Stale uploads removed  0 (0 B)
T
)" -- "$admin" --root "$damaged" gc

# ---- a corrupt progress file --------------------------------------------------------------

corrupt=$work/corrupt
make_basic "$corrupt"
mkdir -p "$corrupt/_gc"
printf '{"running":tr' >"$corrupt/_gc/progress.json"
before=$(tree_state "$corrupt")
for cmd in "gc status" "gc status --watch" "gc cancel"; do
  # shellcheck disable=SC2086
  expect "$cmd with a corrupt progress file" 1 "" -- "$admin" --root "$corrupt" $cmd
  grep -qx "registry-admin: the collection's progress record is corrupt (it does not parse as a progress snapshot)" "$work/stderr" ||
    fail "$cmd with a corrupt progress file: $(cat "$work/stderr")"
done
[ "$(tree_state "$corrupt")" = "$before" ] || fail "a corrupt progress file led to a change"
[ "$(cat "$corrupt/_gc/progress.json")" = '{"running":tr' ] || fail "the corrupt progress file was touched"

# ---- bad input: a message, status 2 (usage) or 1 (refused), nothing created or deleted ---------

before=$(tree_state "$store")
plain=$work/plain
mkdir -p "$plain"
while IFS='|' read -r status message args; do
  [ -z "$status" ] && continue
  # shellcheck disable=SC2086
  expect "bad input: $args" "$status" "" -- "$admin" $args
  first=$(head -n 1 "$work/stderr")
  [ "$first" = "registry-admin: $message" ] || fail "bad input: $args: message '$first', expected 'registry-admin: $message'"
done <<ROWS
2|no command given|--root $store
2|unknown command: prune|--root $store prune
2|unknown option: --force|--root $store gc --force
2|unknown option: --verbose|--verbose usage
2|unknown gc command: stop|--root $store gc stop
2|unknown option: --watch|--root $store gc --watch
2|unexpected argument: extra|--root $store usage extra
2|unexpected argument: b|--root $store ls a b
2|--keep needs a whole number from 0 to 2147483647, not '-1'|--root $store retention --keep -1
2|--keep needs a whole number from 0 to 2147483647, not 'many'|--root $store retention --keep many
2|--days needs a whole number from 0 to 2147483647, not '2147483648'|--root $store retention --days 2147483648
2|--days needs a whole number from 0 to 2147483647, not '99999999999999999999'|--root $store retention --days 99999999999999999999
2|--days needs a value|--root $store retention --days
2|--dry-run takes no value|--root $store gc --dry-run=yes
2|--root needs a directory|usage --root
1|storage root does not exist: $work/nowhere|--root $work/nowhere usage
1|not a registry store (no storage descriptor config.json, blobs or repositories): $plain|--root $plain gc
1|cannot enter instance directory: $work/nowhere|--instance $work/nowhere usage
1|repository not found: no/such|--root $store ls no/such
1|invalid repository name|--root $store ls ../etc
2|no destination given|--root $store backup
2|unexpected argument: b|--root $store backup a b
2|unexpected argument: extra|--root $store gc status extra
2|unknown option: --dry-run|--root $store gc status --dry-run
2|unknown option: --watch|--root $store gc cancel --watch
2|unexpected argument: status|--root $store gc --dry-run status
2|--repair takes no value|--root $store check --repair=yes
2|unknown command: prune|help prune
ROWS
[ -e "$work/nowhere" ] && fail "a missing root was created"
[ -z "$(ls -A "$plain")" ] || fail "a directory that is not a store was written to: $(ls -A "$plain")"
[ "$(tree_state "$store")" = "$before" ] || fail "bad input changed the store"

# ---- help on every command ------------------------------------------------------------------

for cmd in "" gc "gc status" "gc cancel" retention usage ls check backup user; do
  # shellcheck disable=SC2086
  out=$("$admin" $cmd --help)
  rc=$?
  [ $rc = 0 ] || fail "$cmd --help: exit status $rc"
  grep -q "^Usage: registry-admin ${cmd%% *}" <<<"$out" || fail "$cmd --help: $(head -1 <<<"$out")"
done

# The list of commands, as the help and an unknown command show it: one line
# each, the summary in its column unless the line would pass 80 columns.
commands="$(cat <<'T'
Commands:
  gc [--dry-run]        collect unreferenced blobs and abandoned uploads
  gc status [--watch]   show (or follow) the progress of a collection in another process
  gc cancel             ask a running collection to stop
  retention [--dry-run] [--keep N] [--days D] [--include-latest]
                        delete old tags (defaults from the settings file)
  usage                 what the store holds, in all and per repository
  ls [REPO]             the repositories, or one repository's tags
  check [--repair]      verify the whole tree; --repair moves damaged files aside
  backup DEST           copy the store into DEST while pushes go on
  user add|passwd|del|ls  the users of the password file (see user --help)
T
)"
expect "--help" 0 "$(cat <<T
Usage: registry-admin [--root DIR] [--instance DIR] [--json] COMMAND [OPTIONS]

Maintenance of the registry's storage tree, run on the registry host.

$commands

Options (before or after the command):
  --root DIR      storage root (else REGISTRY_STORAGE_ROOT, else the settings
                  file config.json of the instance directory, else ./registry_storage)
  --instance DIR  instance directory holding config.json (default: the current directory)
  --json          print the engine's JSON instead of tables
  --help          this text; COMMAND --help for one command

Exit status: 0 success, 1 the engine refused or failed (message on standard error),
2 usage error.
T
)" -- "$admin" --help
[ "$("$admin" help)" = "$("$admin" --help)" ] || fail "help differs from --help"
for cmd in gc retention usage ls check backup user; do
  [ "$("$admin" help $cmd)" = "$("$admin" $cmd --help)" ] || fail "help $cmd differs from $cmd --help"
done
"$admin" prune >"$work/out" 2>"$work/err"
[ $? = 2 ] || fail "unknown command: exit status not 2"
[ -s "$work/out" ] && fail "unknown command wrote to standard output: $(cat "$work/out")"
want="registry-admin: unknown command: prune
Try 'registry-admin --help'.

$commands"
[ "$(cat "$work/err")" = "$want" ] || {
  fail "unknown command: what it says"
  diff <(echo "$want") "$work/err" | sed 's/^/    /'
}

if [ $failures -gt 0 ]; then
  echo "registry_admin: $failures failed"
  exit 1
fi
echo "registry_admin: ok"
