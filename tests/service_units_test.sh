#!/usr/bin/env bash
# service_units_test.sh - the units install-service.sh writes pass systemd-analyze verify.
# The units are staged with --destdir; since they name the paths of the real host, copies whose
# paths lead into the staging root are verified, so that the programs they start are looked at.
# Every line of verify's output that names one of our units fails the test (an unknown key is only
# a warning there, with exit status 0); lines about other units of this machine are ignored.
# Usage: service_units_test.sh BUILD_DIR
# Exits 77 (skipped) only when systemd-analyze is missing.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:?build directory}")
command -v systemd-analyze >/dev/null || { echo "skipped: systemd-analyze is not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

stage=$work/stage units=$work/units
BUILD_DIR=$build bash "$here/scripts/install-service.sh" --destdir "$stage" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; echo "FAIL: install-service.sh --destdir"; exit 1; }
names=(registry.service registry-maintenance.service registry-maintenance.timer)
mkdir -p "$units"
for unit in "${names[@]}"; do
  [ -f "$stage/etc/systemd/system/$unit" ] || fail "$unit was not staged"
  sed -e "s|/usr/local/|$stage/usr/local/|g" -e "s|/srv/registry|$stage/srv/registry|g" \
    "$stage/etc/systemd/system/$unit" >"$units/$unit"
done
[ -f "$stage/etc/logrotate.d/registry" ] || fail "the logrotate snippet was not staged"

# Every program a unit starts exists in the staging root and runs (verify looks at the first only).
while read -r exe; do
  [ -x "$exe" ] || fail "a unit starts $exe, which is not an executable in the staging root"
done < <(sed -n 's/^Exec[A-Za-z]*=[-@+!]*\([^ ]*\).*/\1/p' "$units"/*.service | grep "^$stage")
"$stage/usr/local/bin/registry-admin" --help >/dev/null || fail "the staged registry-admin does not run"

out=$(systemd-analyze verify "$units"/* 2>&1)
rc=$?
[ "$rc" = 0 ] || fail "systemd-analyze verify: exit status $rc"
# verify names a unit by its path or by its name ("registry.service: Command ... is not executable").
ours=$(grep -F -e "$units/" -e "$stage/" -e "${names[0]}" -e "${names[1]}" -e "${names[2]}" <<<"$out")
[ -z "$ours" ] || fail "systemd-analyze verify says about our units: $ours"

# The settings the hardening rests on are the ones written (a template slip would drop them silently).
for want in "User=registry" "ProtectSystem=strict" "ReadWritePaths=$stage/srv/registry $stage/srv/registry/registry_storage" \
            "NoNewPrivileges=yes" "Restart=on-failure"; do
  grep -qxF "$want" "$units/registry.service" || fail "registry.service lacks $want"
done
grep -qxF "User=registry" "$units/registry-maintenance.service" || fail "the maintenance runs as another user"

[ "$failures" = 0 ] || { echo "$out"; echo "service_units: $failures failed"; exit 1; }
echo "service_units: ok (systemd-analyze verify: exit 0, nothing said about our units)"
