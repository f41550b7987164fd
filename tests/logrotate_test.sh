#!/usr/bin/env bash
# logrotate_test.sh - the logrotate snippet install-service.sh writes, pointed at a test instance:
# logrotate -d reads it without an error, and a forced rotation moves the access log and lighttpd's
# error log aside; the next request writes a fresh access log and lighttpd, told by the snippet's
# signal, goes on logging into a fresh error log with the same process.
# Usage: logrotate_test.sh /path/to/v2_repo
# Exits 77 (skipped) when logrotate is missing or the test does not run as root (the snippet's
# "su" line needs root, as on a host).
source "$(dirname "$0")/lighttpd_lib.sh" "$1"
command -v logrotate >/dev/null || { echo "skipped: logrotate is not installed"; exit 77; }
[ "$(id -u)" = 0 ] || { echo "skipped: logrotate runs as root"; exit 77; }
stage="$instance/stage" state="$instance/logrotate.state"
BUILD_DIR=$(dirname "$program") bash "$here/scripts/install-service.sh" --destdir "$stage" --instance "$instance" \
  --user root >"$instance/install.log" 2>&1 || { cat "$instance/install.log"; echo "install-service.sh failed"; exit 1; }
snippet="$stage/etc/logrotate.d/registry"

start_server || exit 1
access="$instance/registry_storage/registry_access.log" errors="$instance/.lighttpd/error.log"
status() { curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port$1"; }
check "a request before the rotation" 200 "$(status /v2/)"
check "it is in the access log" 1 "$(grep -c ' /v2/ ' "$access")"
check "lighttpd wrote its error log" yes "$([ -s "$errors" ] && echo yes || echo no)"
server_pid=$pid

logrotate -d -f -s "$state" "$snippet" >"$instance/dry.log" 2>&1
check "logrotate -d reads the snippet" 0 "$?"
check "logrotate -d reports no error" "" "$(grep -iE '^error' "$instance/dry.log")"
check "logrotate -d would rotate the access log" yes \
  "$(grep -qF "rotating log $instance/registry_storage/registry_access.log" "$instance/dry.log" && echo yes || echo no)"


logrotate -f -s "$state" "$snippet" >"$instance/rotate.log" 2>&1
check "the forced rotation ran" 0 "$?"
check "the access log moved aside whole" 1 "$(grep -c ' /v2/ ' "$access.1" 2>/dev/null)"
check "the error log moved aside" yes "$([ -s "$errors.1" ] && echo yes || echo no)"
check "no access log line is in the new file yet" 0 "$(cat "$access" 2>/dev/null | grep -c ' /v2/')"

# The snippet signals lighttpd, which says in its (reopened) error log that it cycled its logs.
for _ in $(seq 100); do
  grep -q 'cycled' "$errors" 2>/dev/null && break
  sleep 0.1
done
check "lighttpd logs into the fresh error log after the signal" yes \
  "$(grep -q 'cycled' "$errors" 2>/dev/null && echo yes || echo no)"
check "the same lighttpd serves on" "200 $server_pid" "$(status /v2/_catalog) $(cat "$instance/.lighttpd/lighttpd.pid")"
check "the next request writes a fresh access log" 1 "$(grep -c ' /v2/_catalog ' "$access")"
check "and the old one is not written to" 0 "$(grep -c ' /v2/_catalog ' "$access.1")"

# A second forced rotation compresses the first (delaycompress).
status /v2/ >/dev/null
logrotate -f -s "$state" "$snippet" >>"$instance/rotate.log" 2>&1
check "the second rotation compressed the first" 1 "$(zcat "$access.2.gz" 2>/dev/null | grep -c ' /v2/ ')"
[ "$failures" = 0 ] || cat "$instance/dry.log" "$instance/rotate.log" "$errors"
stop_server
finish
