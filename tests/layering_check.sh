#!/usr/bin/env bash
# layering_check.sh - dependencies point down: fails when a lower module includes a higher one.
# Order, low to high: base < platform < digest < storage < cgi < auth < front, tools.
set -u
top=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$top" || exit 2
declare -A allowed=(
  [base]="base"
  [platform]="base platform"
  [digest]="base platform digest"
  [storage]="base platform digest storage"
  [cgi]="base platform cgi"
  [auth]="base platform digest cgi auth"
  # tools may take the password file's format from auth/; the admin tool links
  # that one library of the layer (see CMakeLists.txt), never the rest.
  [tools]="base platform digest storage auth tools"
)
bad=0
for module in "${!allowed[@]}"; do
  [ -d "$module" ] || continue
  while IFS= read -r line; do
    file=${line%%:*}
    inc=$(sed -E 's/.*#include "([a-z_]+)\/.*/\1/' <<<"$line")
    case " ${allowed[$module]} " in
      *" $inc "*) ;;
      *) echo "layering: $file includes $inc/ (allowed: ${allowed[$module]})"; bad=1 ;;
    esac
  done < <(grep -rnE '#include "[a-z_]+/' "$module" --include='*.h' --include='*.cpp' 2>/dev/null)
done
[ $bad = 0 ] && echo "layering: ok"
exit $bad
