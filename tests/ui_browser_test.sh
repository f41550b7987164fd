#!/usr/bin/env bash
# ui_browser_test.sh - the web page in headless Chromium against the registry served by lighttpd
# with a fixture store: first with the admin routes answered by a stand-in (tests/ui/admin_stub.sh,
# wired in by a test configuration that includes conf/lighttpd.conf), then with the registry's own
# routes behind Basic authentication. Screenshots of every view go to the artifact directory.
# Usage: ui_browser_test.sh /path/to/v2_repo /path/to/seed_store ARTIFACT_DIR
source "$(dirname "$0")/lighttpd_lib.sh" "$1"
seed=$(realpath "${2:?path to seed_store}")
artifacts=${3:?artifact directory}
source "$(dirname "$0")/image_lib.sh"

command -v node >/dev/null && [ -x "${CHROMIUM:-/usr/bin/chromium}" ] ||
  { echo "FAIL: node and chromium are needed (scripts/setup-ui.sh installs them)"; exit 1; }
mkdir -p "$artifacts"
rm -f "$artifacts"/*.png

root="$instance/registry_storage"
m=application/vnd.oci.image.manifest.v1+json
seed_image "$root" library/app || { echo "could not seed the store"; exit 1; }
for tag in t1 t2 t3 t4 t5; do "$seed" "$root" manifest library/app $tag "$img/manifest" $m >/dev/null; done
for repo in alpha beta/one gamma; do "$seed" "$root" manifest $repo latest "$img/manifest" $m >/dev/null; done
image_size=$(( $(file_size "$img/config") + $(file_size "$img/layer1") + $(file_size "$img/layer2") ))
image_size_arm=$(( $(file_size "$img/config-arm") + $(file_size "$img/layer1") + $(file_size "$img/layer2") ))
# A pull of both platforms of the index fetches the index, both manifests, both configs and the
# two layers they share once.
index_size=$(( $(file_size "$img/index") + $(file_size "$img/manifest") + $(file_size "$img/manifest-arm") +
               $(file_size "$img/config") + $(file_size "$img/config-arm") + $(file_size "$img/layer1") +
               $(file_size "$img/layer2") ))
# The tag latest was stored three days and an hour ago, t1 two hours and ten minutes ago (the page
# rounds to days and hours: far from the next step whatever the test's own pace).
now=$(date +%s)
stored=$(( now - 3 * 86400 - 3600 ))
touch -m -d "@$stored" "$root/repositories/library/app/_manifests/tags/latest/current/link"
touch -m -d "@$(( now - 7800 ))" "$root/repositories/library/app/_manifests/tags/t1/current/link"
stored_iso=$(date -u -d "@$stored" +%Y-%m-%dT%H:%M:%S.000Z)

user=alice
password='pw for the page'
auth="Basic $(printf '%s:%s' "$user" "$password" | base64 -w0)"

# facts SCENARIO-DIR: what the store holds, for the browser script.
write_facts() {
  local tags
  tags=$(curl -s -H "Authorization: $auth" "http://127.0.0.1:$port/v2/library/app/tags/list" |
         sed -e 's/.*"tags":\[//' -e 's/\].*//')
  cat >"$instance/facts.json" <<FACTS
{"base": "http://127.0.0.1:$port", "host": "127.0.0.1:$port", "artifacts": "$artifacts",
 "stubState": "$instance/stub", "auth": $( [ "${1:-}" = auth ] && printf '"%s"' "$auth" || printf 'null'),
 "credentials": {"username": "$user", "password": "$password"},
 "repos": ["alpha", "beta/one", "gamma", "library/app"], "appTags": [$tags],
 "manifest": "$manifest", "manifestArm": "$manifest_arm",
 "imageSize": $image_size, "imageSizeArm": $image_size_arm, "indexSize": $index_size,
 "storedLatest": "$stored_iso"}
FACTS
}

# run_scenario NAME: the browser script's checks join this script's tally.
run_scenario() {
  FACTS="$instance/facts.json" timeout 180 node "$here/tests/ui/ui_test.js" "$1" | tee "$instance/$1.out"
  local result
  result=$(sed -n 's/^RESULT //p' "$instance/$1.out")
  if [ -z "$result" ]; then
    check "browser scenario $1 finished" finished "no result"
    return
  fi
  passes=$((passes + ${result% *})) failures=$((failures + ${result#* }))
}

# The admin routes by the stand-in: the test configuration sends /v2/_admin/* to it.
# The stand-in is a CGI script, so this part runs the registry as CGI too (a
# FastCGI responder would take every /_registry request, stand-in or not).
mkdir -p "$instance/stub"
cat >"$instance/ui-test.conf" <<CONF
include "$here/conf/lighttpd.conf"
\$HTTP["url"] =~ "^/_registry/v2/_admin/" {
  alias.url = ( "/_registry" => "$here/tests/ui/admin_stub.sh" )
}
setenv.add-environment += ( "UI_STUB_STATE" => "$instance/stub" )
CONF
REGISTRY_HOSTING=cgi REGISTRY_LIGHTTPD_CONF="$instance/ui-test.conf" start_server || exit 1
check "the page at /" 200 "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/")"
check "the page at /ui/" 200 "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/ui/")"
check "/ui leads to /ui/" "301 http://127.0.0.1:$port/ui/" \
  "$(curl -s -o /dev/null -w '%{http_code} %{redirect_url}' "http://127.0.0.1:$port/ui")"
# A module script served as anything but JavaScript is refused by the browser.
for module in $(cd "$here/ui" && find js -name '*.js' | sort); do
  check "script type of $module" "200 text/javascript; charset=utf-8" \
    "$(curl -s -o /dev/null -w '%{http_code} %{content_type}' "http://127.0.0.1:$port/ui/$module")"
done
check "no other file is served" 404 "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/../conf/lighttpd.conf")"
write_facts
run_scenario stubbed
stop_server

# The registry's own routes, behind Basic authentication.
hash=$(printf %s "$password" | sha256sum | cut -d' ' -f1)
printf '{\n  "storage_root": "./registry_storage",\n  "registry_auth_user": "%s",\n  "registry_auth_sha256": "%s"\n}\n' \
  "$user" "$hash" >"$instance/config.json"
start_server || exit 1
check "the page itself needs no credentials" 200 "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/")"
check "the API does" 401 "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/v2/_catalog")"
write_facts auth
run_scenario auth
stop_server
echo "screenshots: $artifacts"
finish
