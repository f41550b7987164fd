#!/usr/bin/env bash
# serve_root_test.sh - scripts/serve.sh finds the same storage root as the programs, for a table of settings files.
# Usage: serve_root_test.sh <settings-doc program> <scripts/serve.sh>
set -u
program=$(realpath "$1") serve=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
instance=$work
# serve.sh's own function, taken from the script as it stands.
eval "$(sed -n '/^storage_root() {$/,/^}$/p' "$serve")"
declare -F storage_root >/dev/null || { echo "no storage_root function in $serve"; exit 1; }
long=$(printf 'r%.0s' $(seq 4095))
cases=(
  'none|'
  'empty object|{}'
  'storage_root|{"storage_root": "/a"}'
  'registry_storage_root|{"registry_storage_root": "/b"}'
  'storage_root first wherever it stands|{"registry_storage_root": "/b", "storage_root": "/a"}'
  'first occurrence, a nested second|{"storage_root": "/first", "x": {"storage_root": "/second"}}'
  'space before the colon is another key|{"storage_root" : "/a", "registry_storage_root": "/b"}'
  'empty value decides|{"storage_root": "", "registry_storage_root": "/b"}'
  'unterminated value decides|{"registry_storage_root": "/b", "storage_root": "/a'
  'value across lines|{"storage_root":'$'\n''  "/a"}'
  'at the length bound|{"storage_root": "/'"${long:1}"'"}'
  'past the length bound|{"storage_root": "/'"$long"'"}'
  'inside another value|{"note": "\"storage_root\": \"/n\"", "storage_root": "/a"}'
)
bad=0
for row in "${cases[@]}"; do
  label=${row%%|*} text=${row#*|}
  rm -f "$work/config.json"
  [ "$label" = none ] || printf '%s' "$text" >"$work/config.json"
  if ! want=$(cd "$work" && env -u REGISTRY_STORAGE_ROOT "$program" --storage-root); then
    echo "FAIL $label: $program failed"; bad=1; continue
  fi
  got=$(unset REGISTRY_STORAGE_ROOT; storage_root)
  if [ "$got" != "$want" ]; then
    echo "FAIL $label: serve.sh ${got:0:80} / programs ${want:0:80}"
    bad=1
  fi
done
want=$(cd "$work" && REGISTRY_STORAGE_ROOT=/env "$program" --storage-root)
got=$(REGISTRY_STORAGE_ROOT=/env storage_root)
[ "$got" = "$want" ] && [ "$got" = /env ] || { echo "FAIL environment: $got / $want"; bad=1; }
[ $bad = 0 ] && echo "serve.sh storage root: ${#cases[@]} settings files as the programs read them"
exit $bad
