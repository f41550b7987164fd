#!/usr/bin/env bash
# admin_stub.sh - stands in for the registry's admin routes in the browser test (a CGI program):
# fixed usage and retention reports, and a collection that runs for a few seconds of wall clock,
# with 202 on start, 409 while one runs, cancel, and the progress record in between.
# State lives in $UI_STUB_STATE: run (start time and dry-run flag), cancel (its time), requests (a
# log the test reads), fail-usage (present: the usage route answers 500).
state=${UI_STUB_STATE:?}
now=$(date +%s%3N)
printf '%s %s %s\n' "$REQUEST_METHOD" "${PATH_INFO:-}" "${QUERY_STRING:-}" >>"$state/requests"

respond() { # status body [extra header line]
  printf 'Status: %s\r\nContent-Type: application/json\r\n' "$1"
  [ -n "${3:-}" ] && printf '%s\r\n' "$3"
  printf '\r\n%s' "$2"
}

readonly RUN_MS=4000 WALK_MS=800 TOTAL=40

# The progress record of the run in $state/run as of now.
progress() {
  if [ ! -f "$state/run" ]; then
    printf '{"running":false,"phase":"idle","blobs_scanned":0,"blobs_total":0,"blobs_deleted":0,"bytes_freed":0,"dry_run":false,"started_unix":0,"elapsed_ms":0,"cancelled":false}'
    return
  fi
  local start dry end cancelled=false running=true phase scanned
  read -r start dry <"$state/run"
  end=$now
  if [ -f "$state/cancel" ]; then end=$(cat "$state/cancel"); cancelled=true; fi
  local elapsed=$((end - start))
  if [ "$cancelled" = true ] || [ $elapsed -ge $RUN_MS ]; then
    running=false phase=done
    [ $elapsed -gt $RUN_MS ] && elapsed=$RUN_MS
  elif [ $elapsed -lt $WALK_MS ]; then
    phase=walking
  else
    phase=deleting
  fi
  if [ $elapsed -lt $WALK_MS ]; then scanned=0; else scanned=$((TOTAL * (elapsed - WALK_MS) / (RUN_MS - WALK_MS))); fi
  local deleted=$((scanned / 4))
  printf '{"running":%s,"phase":"%s","blobs_scanned":%d,"blobs_total":%d,"blobs_deleted":%d,"bytes_freed":%d,"dry_run":%s,"started_unix":%d,"elapsed_ms":%d,"cancelled":%s}' \
    $running $phase "$scanned" $TOTAL "$deleted" $((deleted * 1048576)) "$dry" $((start / 1000)) $elapsed $cancelled
}

is_running() { progress | grep -q '"running":true'; }

case "$REQUEST_METHOD ${PATH_INFO:-}" in
  "GET /v2/_admin/usage")
    if [ -f "$state/fail-usage" ]; then
      respond "500 Internal Server Error" '{"errors":[{"code":"UNKNOWN","message":"cannot read storage statistics"}]}'
    else
      respond "200 OK" '{"repositories":4,"tags":10,"manifests":6,"blobs":5,"blob_bytes":3221225472,"active_uploads":1,"quota_bytes":5368709120,"repos":[{"name":"library/app","bytes":1349100,"tags":7},{"name":"alpha","bytes":1348900,"tags":1},{"name":"beta/one","bytes":1348900,"tags":1},{"name":"gamma","bytes":1348900,"tags":1}]}'
    fi ;;
  "GET /v2/_admin/gc")
    respond "200 OK" "$(progress)" ;;
  "POST /v2/_admin/gc")
    if is_running; then
      respond "409 Conflict" "$(progress)"
    else
      dry=false
      [[ "&${QUERY_STRING:-}&" == *"&dry_run=1&"* ]] && dry=true
      rm -f "$state/cancel"
      echo "$now $dry" >"$state/run"
      respond "202 Accepted" "" "Location: /v2/_admin/gc"
    fi ;;
  "DELETE /v2/_admin/gc")
    is_running && echo "$now" >"$state/cancel"
    respond "202 Accepted" "" ;;
  "POST /v2/_admin/retention")
    respond "200 OK" '{"dry_run":true,"keep_n":3,"days":30,"include_latest":false,"repos_scanned":4,"tags_total":10,"tags_deleted":2,"tags_kept":8,"latest_protected":1,"deleted":[{"repository":"library/app","tag":"t1","digest":"sha256:4ce039a92257aaaabbbbccccddddeeeeffff0000111122223333444455556666","age_days":41},{"repository":"library/app","tag":"t2","digest":"sha256:4ce039a92257aaaabbbbccccddddeeeeffff0000111122223333444455556666","age_days":40}]}' ;;
  *)
    respond "404 Not Found" '{"errors":[{"code":"UNSUPPORTED","message":"no such route"}]}' ;;
esac
