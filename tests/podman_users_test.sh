#!/usr/bin/env bash
# podman_users_test.sh - real clients log in as users of a password file: a writer pushes with podman,
# a reader logs in and pulls the image back but is refused a push, a wrong password is refused at
# login, and skopeo with a reader's credentials lists the tags.
# Usage: podman_users_test.sh /path/to/v2_repo
# Exits 77 (skipped) only when podman cannot run here.
source "$(dirname "$0")/lighttpd_lib.sh" "$1"
source "$(dirname "$0")/podman_lib.sh"

{
  echo "reader:$(openssl passwd -6 r-pw):read"
  echo "writer:$(openssl passwd -6 w-pw):write"
} >"$instance/htpasswd"
echo '{}' >"$instance/config.json"
start_server || exit 1
registry="127.0.0.1:$port"
log="$instance/clients.log"

layout="/tmp/regusers-$$-$RANDOM"
bash "$here/tests/make_oci_layout.sh" "$layout" v1 >/dev/null
"${podman_cmd[@]}" pull -q "oci:$layout:v1" >>"$log" 2>&1
rm -rf "$layout"
id=$("${podman_cmd[@]}" images -q | head -n 1)
[ -n "$id" ] || { echo "podman could not load the test image"; cat "$log"; exit 1; }

login() { "${podman_cmd[@]}" login --tls-verify=false -u "$1" -p "$2" "$registry" >>"$log" 2>&1 && echo ok || echo refused; }
check "a wrong password is refused at login" refused "$(login writer nope)"
check "the writer logs in" ok "$(login writer w-pw)"
check "the writer pushes" ok \
  "$("${podman_cmd[@]}" push -q --tls-verify=false "$id" "docker://$registry/team/app:v1" >>"$log" 2>&1 && echo ok || echo failed)"
"${podman_cmd[@]}" rmi -af >/dev/null 2>&1
check "the reader logs in" ok "$(login reader r-pw)"
check "the reader pulls the image back (same id)" "$id" \
  "$("${podman_cmd[@]}" pull -q --tls-verify=false "$registry/team/app:v1" 2>>"$log" | cut -c1-12)"
check "the reader may not push" refused \
  "$("${podman_cmd[@]}" push -q --tls-verify=false "$id" "docker://$registry/team/other:v1" >>"$log" 2>&1 && echo pushed || echo refused)"
check "the refused push stored no tag" 404 \
  "$(curl -s -o /dev/null -w '%{http_code}' -u writer:w-pw "http://$registry/v2/team/other/tags/list")"
check "skopeo lists the tags as the reader" v1 \
  "$(skopeo list-tags --tls-verify=false --creds reader:r-pw "docker://$registry/team/app" 2>>"$log" | sed -n 's/^ *"\(v1\)"$/\1/p')"
[ "$failures" = 0 ] || tail -30 "$log"
finish
