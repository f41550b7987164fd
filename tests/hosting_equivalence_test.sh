#!/usr/bin/env bash
# hosting_equivalence_test.sh - one FastCGI responder answers a long mixed run of
# requests (good and failing: 401, 400, 404, pushes, deletes) exactly as a fresh
# CGI process answers each of them: same status, headers, body and access-log line.
# Nothing one request leaves in the responder may change the answer to the next.
# Usage: hosting_equivalence_test.sh path/to/v2_repo [rounds]
# shellcheck source=tests/lighttpd_lib.sh
source "$(dirname "$0")/lighttpd_lib.sh" "$1"
source "$(dirname "$0")/image_lib.sh"
rounds=${2:-90}

# Two servers over two instances with the same settings: "cgi" and "fcgi".
declare -A server_pid server_port
stop_both() {
  local h
  for h in cgi fcgi; do
    [ -n "${server_pid[$h]:-}" ] && kill "${server_pid[$h]}" 2>/dev/null && wait "${server_pid[$h]}" 2>/dev/null
  done
  rm -rf "$instance"
}
trap stop_both EXIT

password=s3cret-pass
hash=$(printf '%s' "$password" | sha256sum | cut -d' ' -f1)
for h in cgi fcgi; do
  mkdir -p "$instance/$h"
  # Flushing is off: this test is about answers, and flushes only slow it down.
  printf '{"registry_auth_user": "ci", "registry_auth_sha256": "%s", "registry_fsync": false}\n' "$hash" \
    >"$instance/$h/config.json"
done

start_one() { # name, extra serve.sh options
  local h=$1 p
  shift
  for _ in 1 2 3 4 5 6 7 8; do
    p=$((20000 + RANDOM % 30000))
    SKIP_BUILD=1 REGISTRY_INSTANCE="$instance/$h" REGISTRY_BUILD_DIR=$(dirname "$program") REGISTRY_RESPONDERS=1 \
      REGISTRY_STORAGE_ROOT='' "$here/scripts/serve.sh" "$@" "$p" >"$instance/$h.serve.log" 2>&1 &
    server_pid[$h]=$!
    for _ in $(seq 50); do
      if curl -s -o /dev/null "http://127.0.0.1:$p/"; then server_port[$h]=$p; return 0; fi
      kill -0 "${server_pid[$h]}" 2>/dev/null || break
      sleep 0.1
    done
    kill "${server_pid[$h]}" 2>/dev/null; wait "${server_pid[$h]}" 2>/dev/null; server_pid[$h]=""
  done
  echo "could not start lighttpd ($h)"; cat "$instance/$h.serve.log" "$instance/$h/.lighttpd/error.log" 2>/dev/null
  return 1
}
start_one cgi --cgi || exit 1
start_one fcgi || exit 1

# The responders lighttpd started for the FastCGI instance (its children).
responders() { cat "/proc/${server_pid[fcgi]}/task/"*/children 2>/dev/null | tr ' ' '\n' | grep -c . ; }
responder() { cat "/proc/${server_pid[fcgi]}/task/"*/children 2>/dev/null | tr ' ' '\n' | grep . | head -n 1; }
check "one FastCGI responder" 1 "$(responders)"
first_responder=$(responder)

# The objects the pushes store.
work="$instance/objects"
mkdir -p "$work"
small_image "$work" 'layer bytes of the hosting test'
printf '{"schemaVersion":2,' >"$work/broken"
zero=sha256:$(printf '%064d' 0)
oci=application/vnd.oci.image.manifest.v1+json

# One round of requests for repository r$1, as lines: METHOD PATH AUTH BODY TYPE
# (AUTH good, bad or none; BODY a file of $work or -). Failing requests sit
# between good ones so that anything a failure leaves behind shows in the next answer.
round() {
  local r="team/r$1"
  cat <<EOF
GET /v2/ none - -
GET /v2/ good - -
POST /v2/$r/blobs/uploads/?digest=$layer good layer application/octet-stream
GET /v2/$r/blobs/$zero good - -
POST /v2/$r/blobs/uploads/?digest=$cfg good config application/octet-stream
HEAD /v2/$r/blobs/$layer good - -
GET /v2/$r/blobs/sha256:nothex good - -
GET /v2/$r/blobs/$layer good - -
PUT /v2/$r/manifests/v1 good broken $oci
PUT /v2/$r/manifests/v1 good manifest $oci
GET /v2/$r/manifests/v1 none - -
GET /v2/$r/manifests/v1 good - -
GET /v2/$r/manifests/nosuchtag good - -
GET /v2/$r/manifests/$manifest good - -
GET /v2/Bad_Name/tags/list good - -
GET /v2/$r/tags/list good - -
GET /v2/$r//tags/list good - -
GET /v2/team%2Fr$1/tags/list good - -
GET /v2/$r/../r$1/tags/list good - -
PATCH /v2/$r/blobs/uploads/0123456789abcdef0123456789abcdef good layer application/octet-stream
DELETE /v2/$r/manifests/$manifest good - -
GET /v2/$r/manifests/v1 good - -
DELETE /v2/$r/blobs/$layer good - -
HEAD /v2/$r/blobs/$layer good - -
GET /v2/_catalog?n=3 good - -
DELETE /v2/$r none - -
DELETE /v2/$r good - -
GET /v2/$r/tags/list good - -
DELETE /v2/$r good - -
EOF
}

# A curl configuration for the requests of rounds $1..$2 against server $3, its
# answers into $instance/out/$3/N.{h,b}.
write_config() {
  local from=$1 to=$2 h=$3 n=$4 i method path auth body type
  for ((i = from; i <= to; i++)); do
    while read -r method path auth body type; do
      [ "$n" -gt "$4" ] && printf 'next\n'
      n=$((n + 1))
      printf 'url = "http://127.0.0.1:%s%s"\n' "${server_port[$h]}" "$path"
      printf 'path-as-is\nsilent\n'
      # curl writes the headers of a HEAD as its output: the body file stays empty.
      if [ "$method" = HEAD ]; then printf 'head\n'; : >"$instance/out/$h/$n.b"; else printf 'request = "%s"\n' "$method"; fi
      case $auth in
        good) printf 'user = "ci:%s"\n' "$password" ;;
        bad) printf 'user = "ci:wrong"\n' ;;
      esac
      if [ "$body" != - ]; then
        printf 'data-binary = "@%s"\nheader = "Content-Type: %s"\n' "$work/$body" "$type"
      fi
      printf 'dump-header = "%s/out/%s/%d.h"\n' "$instance" "$h" "$n"
      if [ "$method" = HEAD ]; then printf 'output = "/dev/null"\n'; else printf 'output = "%s/out/%s/%d.b"\n' "$instance" "$h" "$n"; fi
    done < <(round "$i")
  done
}

# Headers the server makes up itself (time, and the file identity of a blob
# lighttpd sends) are left out.
normal_headers() { grep -viE '^(date|etag|last-modified|server):' "$1" | tr -d '\r'; }
# The time stamp of an access-log line, in the text and in the JSON.
normal_log() { sed -E 's/ [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z \{"ts":"[^"]*"/ TIME {"ts":"TIME"/' "$1"; }

per_round=$(round 0 | wc -l)
# Each batch of rounds goes to the CGI server, then to the FastCGI one.
batch=20
total=0
for ((start = 0; start < rounds; start += batch)); do
  end=$((start + batch - 1))
  [ "$end" -ge "$rounds" ] && end=$((rounds - 1))
  for h in cgi fcgi; do
    mkdir -p "$instance/out/$h"
    write_config "$start" "$end" "$h" "$total" >"$instance/$h.curl"
    curl -K "$instance/$h.curl" || true
  done
  total=$((total + (end - start + 1) * per_round))
done
# Three wrong passwords, under the throttle's limit, between good requests.
for h in cgi fcgi; do
  n=$total
  for pw in wrong "$password" wrong "$password" wrong "$password"; do
    n=$((n + 1))
    curl -s -u "ci:$pw" -D "$instance/out/$h/$n.h" -o "$instance/out/$h/$n.b" "http://127.0.0.1:${server_port[$h]}/v2/"
  done
done
total=$((total + 6))

# Every answer of a server as one text: "== N" and, per request, the headers
# (less those lighttpd makes up) and the body. One pass, as a run has thousands.
answers() { # server
  local n
  for ((n = 1; n <= total; n++)); do printf '%s\n%s\n' "$instance/out/$1/$n.h" "$instance/out/$1/$n.b"; done |
    xargs awk 'FNR == 1 && FILENAME ~ /\.h$/ { name = FILENAME; sub(/.*\//, "", name); sub(/\.h$/, "", name); print "== " name }
               FILENAME ~ /\.h$/ { sub(/\r$/, ""); if (tolower($0) ~ /^(date|etag|last-modified|server):/) next }
               { print }'
}
answers cgi >"$instance/cgi.answers"
answers fcgi >"$instance/fcgi.answers"
diff "$instance/cgi.answers" "$instance/fcgi.answers" >"$instance/answers.diff"
head -n 30 "$instance/answers.diff"
check "every request answered by the CGI server" "$total" "$(grep -c '^HTTP/1.1 ' "$instance/cgi.answers")"
check "answers of the responder equal to fresh processes' ($total requests)" 0 \
  "$(grep -c '^[<>]' "$instance/answers.diff")"
check "the run had successes and failures of each kind" "200 201 202 400 401 404" \
  "$(awk '/^HTTP\/1.1 / {print $2}' "$instance/cgi.answers" | sort -u | grep -E '^(200|201|202|400|401|404)$' |
     tr '\n' ' ' | sed 's/ $//')"

cgi_log="$instance/cgi/registry_storage/registry_access.log"
fcgi_log="$instance/fcgi/registry_storage/registry_access.log"
check "one access-log line per request" "$total" "$(wc -l <"$fcgi_log")"
if ! diff <(normal_log "$cgi_log") <(normal_log "$fcgi_log") >"$instance/log.diff"; then
  head -n 10 "$instance/log.diff"
fi
check "access-log lines equal" 0 "$(grep -c '^[<>]' "$instance/log.diff")"
check "the same responder answered everything" "$first_responder" "$(responder)"

# An edit of the settings takes effect at the next request, without a restart:
# the password changes and the access log is switched off, and then a broken
# file is refused.
declare -A code_old code_new code_broken lines_before lines_after
for h in cgi fcgi; do
  lines_before[$h]=$(wc -l <"$instance/$h/registry_storage/registry_access.log")
  printf '{"registry_auth_user": "ci", "registry_auth_sha256": "%s", "registry_access_log": 0}\n' \
    "$(printf 'other' | sha256sum | cut -d' ' -f1)" >"$instance/$h/config.json"
  code_old[$h]=$(curl -s -o /dev/null -w '%{http_code}' -u "ci:$password" "http://127.0.0.1:${server_port[$h]}/v2/")
  code_new[$h]=$(curl -s -o /dev/null -w '%{http_code}' -u "ci:other" "http://127.0.0.1:${server_port[$h]}/v2/")
  lines_after[$h]=$(wc -l <"$instance/$h/registry_storage/registry_access.log")
  printf '{"registry_auth_user": "ci", ' >"$instance/$h/config.json"
  code_broken[$h]=$(curl -s -o /dev/null -w '%{http_code}' -u "ci:other" "http://127.0.0.1:${server_port[$h]}/v2/")
done
for h in cgi fcgi; do
  check "$h: old password refused after the edit" 401 "${code_old[$h]}"
  check "$h: new password taken" 200 "${code_new[$h]}"
  check "$h: broken settings refused" 500 "${code_broken[$h]}"
  check "$h: no log line once the log is off" "${lines_before[$h]}" "${lines_after[$h]}"
done
check "still the same responder" "$first_responder" "$(responder)"
finish
