#!/usr/bin/env bash
# settings_doc_test.sh - docs/settings.md's settings table is the code's table, row for row.
# Usage: settings_doc_test.sh <settings-doc program> <docs/settings.md>
set -u
program=$1 doc=$2
begin='<!-- settings table: begin -->' end='<!-- settings table: end -->'
[ -f "$doc" ] || { echo "missing $doc"; exit 1; }
[ "$(grep -cxF "$begin" "$doc")" = 1 ] && [ "$(grep -cxF "$end" "$doc")" = 1 ] ||
  { echo "$doc: want exactly one '$begin' and one '$end' line"; exit 1; }
documented=$(awk -v b="$begin" -v e="$end" '$0 == e { inside = 0 } inside { print } $0 == b { inside = 1 }' "$doc")
generated=$("$program") || { echo "$program failed"; exit 1; }
[ -n "$generated" ] || { echo "$program printed nothing"; exit 1; }
if [ "$documented" != "$generated" ]; then
  echo "$doc differs from the settings table in the code (left: the file, right: the code);"
  echo "regenerate it with: $program"
  diff <(printf '%s\n' "$documented") <(printf '%s\n' "$generated")
  exit 1
fi
echo "settings table: $(printf '%s\n' "$generated" | grep -c '^| `') keys as documented"
