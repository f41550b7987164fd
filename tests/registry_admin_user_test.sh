#!/usr/bin/env bash
# registry_admin_user_test.sh - registry-admin user add|passwd|del|ls on password files as operators keep them.
# Usage: registry_admin_user_test.sh REGISTRY_ADMIN PASSWD_CHECK
set -u
admin=$1
check_pw=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

check() { [ "$2" = "$3" ] || fail "$1: expected '$2', got '$3'"; }

# run STATUS STDIN ARGS...: the tool's exit status must be STATUS; stdout in $work/out, stderr in $work/err.
run() {
  local status=$1 input=$2
  shift 2
  printf '%s' "$input" | "$admin" "$@" >"$work/out" 2>"$work/err"
  local rc=$?
  [ "$rc" = "$status" ] || fail "registry-admin $*: exit status $rc, expected $status ($(cat "$work/err"))"
}

pw_ok() { "$check_pw" "$1" "$2" "$3" && echo yes || echo no; }

inst=$work/inst
mkdir -p "$inst"
cd "$inst" || exit 2
# Lines the tool must keep as they are: a comment, a blank line, an htpasswd -B line without role.
old_bcrypt='$2b$04$mOia92LZUmC53S7Y0FhO3OvzIF/SH1632FdE2qqpczD4oOIU2RFK6' # old-pw
printf '# team registry\n\nold:%s\n' "$old_bcrypt" >htpasswd
chmod 644 htpasswd
[ "$(id -u)" = 0 ] && chown 65534:65534 htpasswd

run 0 $'s3cret\n' user add alice --role write
check "add message" "Added user alice (write) to htpasswd." "$(cat "$work/out")"
check "mode" 600 "$(stat -c %a htpasswd)"
[ "$(id -u)" = 0 ] && check "owner kept" 65534:65534 "$(stat -c %u:%g htpasswd)"
check "kept lines" "# team registry

old:$old_bcrypt" "$(head -3 htpasswd)"
check "new line" yes "$(sed -n 4p htpasswd | grep -qE '^alice:\$y\$[^:]+:write$' && echo yes || echo no)"
check "alice's password" yes "$(pw_ok htpasswd alice s3cret)"
check "line feed not part of it" no "$(pw_ok htpasswd alice $'s3cret\n')"
check "old user still verifies" yes "$(pw_ok htpasswd old old-pw)"

run 0 'pw-bob' user add bob
check "default role written out" yes "$(sed -n 5p htpasswd | grep -qE '^bob:\$y\$[^:]+:read$' && echo yes || echo no)"
check "password without line feed" yes "$(pw_ok htpasswd bob pw-bob)"

before=$(sha256sum htpasswd)
run 1 $'x\n' user add alice --role admin
check "duplicate refused" "registry-admin: user 'alice' already exists (htpasswd line 4)" "$(cat "$work/err")"
for name in 'a:b' '' "$(printf 'tab\there')" "$(printf '%0128d' 0)"; do
  run 2 $'x\n' user add "$name"
done
run 1 '' user add carol
run 1 $'\n' user add carol
run 1 $'x\n' user passwd nobody
run 1 '' user del nobody
run 2 '' user add carol --role owner
run 2 '' user del alice --role admin
run 2 '' user frob
check "refusals leave the file" "$before" "$(sha256sum htpasswd)"

inode=$(stat -c %i htpasswd)
line5=$(sed -n 5p htpasswd)
run 0 $'n3w\n' user passwd alice
check "password changed" "yes no" "$(pw_ok htpasswd alice n3w) $(pw_ok htpasswd alice s3cret)"
check "role kept" yes "$(sed -n 4p htpasswd | grep -qE '^alice:\$y\$[^:]+:write$' && echo yes || echo no)"
check "other lines kept" "# team registry

old:$old_bcrypt" "$(head -3 htpasswd)"
check "bob kept" "$line5" "$(sed -n 5p htpasswd)"
check "replaced, not rewritten in place" yes "$([ "$(stat -c %i htpasswd)" != "$inode" ] && echo yes || echo no)"

run 0 '' user ls
check "listing" "USER                     ROLE
old                      read
alice                    write
bob                      read" "$(cat "$work/out")"

run 0 '' user del old
check "deleted" "# team registry

alice bob" "$(head -2 htpasswd; cut -d: -f1 <htpasswd | tail -2 | tr '\n' ' ' | sed 's/ $//')"
check "no temporary left" "htpasswd htpasswd.lock" "$(ls -A | tr '\n' ' ' | sed 's/ $//')"

# A file the registry could not read is never rewritten.
printf 'alice:%s:root\n' "$old_bcrypt" >broken
cp broken broken.orig
run 1 $'x\n' user add dave --file broken
check "broken file named" "registry-admin: broken line 1: unknown role 'root' (file left as it is)" "$(cat "$work/err")"
run 1 '' user ls --file broken
check "broken file untouched" "" "$(cmp broken broken.orig)"

# The file the settings name, from another directory with --instance; --file relative to where the tool runs.
other=$work/other
mkdir -p "$other/auth"
printf '{"registry_auth_file": "auth/users"}\n' >"$other/config.json"
cd "$work" || exit 2
run 0 $'pw\n' --instance other user add erin --role admin
check "named file" yes "$(pw_ok other/auth/users erin pw)"
check "default file not made" no "$([ -e other/htpasswd ] && echo yes || echo no)"
run 0 $'pw2\n' --instance other user add frank --file elsewhere
check "--file beside the caller" "yes no" "$(pw_ok elsewhere frank pw2) $([ -e other/elsewhere ] && echo yes || echo no)"

# Ctrl-C at the password prompt on a terminal: what was typed is not shown, the
# terminal gets its echo back, the tool ends by the signal and the file is left
# as it was. The shell around the tool ignores Ctrl-C, so it lives on to report
# the tool's status and the terminal's settings. The prompt shows once echo is
# off and Ctrl-C is handled, so the keys go in only after it appears.
cd "$inst" || exit 2
before=$(sha256sum htpasswd)
mkfifo "$work/keys"
exec 7<>"$work/keys"
timeout 60 script -qfc "trap '' INT; $(printf '%q' "$admin") user add carol; echo \"status \$?\"; stty -a" /dev/null \
  <&7 >"$work/tty.out" 2>&1 &
tty_pid=$!
for _ in $(seq 300); do grep -q 'Password for carol: ' "$work/tty.out" && break; sleep 0.1; done
printf 'typed-secret\003' >&7
wait "$tty_pid" || fail "the terminal session did not end by itself: $(cat -v "$work/tty.out")"
exec 7>&-
grep -q 'Password for carol: ' "$work/tty.out" || fail "no prompt on the terminal: $(cat -v "$work/tty.out")"
grep -q typed-secret "$work/tty.out" && fail "the password typed at the prompt was shown"
grep -q 'status 130' "$work/tty.out" || fail "the tool did not end by Ctrl-C: $(cat -v "$work/tty.out")"
grep -qE '(^| )echo( |$)' <(tr -d '\r' <"$work/tty.out") || fail "Ctrl-C left the terminal without echo: $(cat -v "$work/tty.out")"
check "file untouched by Ctrl-C" "$before" "$(sha256sum htpasswd)"

[ $failures = 0 ] && echo "registry-admin user: all checks passed"
exit $((failures > 0))
