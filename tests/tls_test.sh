#!/usr/bin/env bash
# tls_test.sh - the registry over HTTPS with a certificate from a throwaway CA that only this test's
# clients trust: podman and skopeo push and pull with verification on, curl reads the page and the
# API, plain HTTP on the TLS port gets no HTTP answer, and protocols older than TLS 1.2 are refused.
# Usage: tls_test.sh /path/to/v2_repo
# Exits 77 (skipped) only when podman or skopeo cannot run here.
source "$(dirname "$0")/lighttpd_lib.sh" "$1"
if ! command -v skopeo >/dev/null; then echo "skipped: skopeo is not installed"; exit 77; fi
source "$(dirname "$0")/podman_lib.sh"
log="$instance/clients.log"

# The CA, and a server certificate it signs for 127.0.0.1 and localhost. The clients'
# certificate directory holds the CA alone: trust reaches no further than this test.
pki="$instance/pki" certs="$instance/certs"
mkdir -p "$pki" "$certs"
{
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=registry test CA" \
    -keyout "$pki/ca.key" -out "$pki/ca.crt" &&
  openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout "$pki/server.key" -out "$pki/server.csr" &&
  printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n' >"$pki/ext" &&
  openssl x509 -req -in "$pki/server.csr" -CA "$pki/ca.crt" -CAkey "$pki/ca.key" -CAcreateserial -days 2 \
    -extfile "$pki/ext" -out "$pki/server.crt"
} >>"$log" 2>&1 || { echo "openssl could not make the certificates"; cat "$log"; exit 1; }
cp "$pki/ca.crt" "$certs/ca.crt"
server_ca="$pki/ca.crt"

echo "writer:$(openssl passwd -6 w-pw):write" >"$instance/htpasswd"
echo '{}' >"$instance/config.json"
start_server --tls-cert "$pki/server.crt" --tls-key "$pki/server.key" || exit 1
registry="127.0.0.1:$port"

status() { curl -s -o /dev/null -w '%{http_code}' --cacert "$server_ca" "$@"; }
check "the page over HTTPS" 200 "$(status "https://$registry/")"
check "the page by name (localhost in the certificate)" 200 "$(status "https://localhost:$port/")"
check "/v2/ over HTTPS without credentials" 401 "$(status "https://$registry/v2/")"
check "/v2/ over HTTPS with the writer's credentials" 200 "$(status -u writer:w-pw "https://$registry/v2/")"
check "a client that does not trust the CA is refused the handshake (curl exit 60)" 60 \
  "$(curl -s -o /dev/null "https://$registry/" >/dev/null 2>&1; echo $?)"
check "plain HTTP on the TLS port gets no HTTP answer" 000 \
  "$(curl -s -o /dev/null -w '%{http_code}' "http://$registry/v2/")"

# Each protocol offered alone by a client that would accept old ones (security level 0).
for row in "tls1 refused" "tls1_1 refused" "tls1_2 accepted" "tls1_3 accepted"; do
  read -r proto expected <<<"$row"
  got=$(openssl s_client -connect "$registry" -"$proto" -cipher 'DEFAULT:@SECLEVEL=0' -CAfile "$server_ca" \
          -verify_return_error </dev/null >"$instance/s_client.$proto" 2>&1 && echo accepted || echo refused)
  check "handshake offering only $proto" "$expected" "$got"
done

# podman: push an image and pull it back with the CA from --cert-dir, verification on.
# podman wants a lower-case path for the layout (mktemp's name may have capitals).
layout="/tmp/regtls-$$-$RANDOM"
trap 'rm -rf "$layout"; cleanup_podman; cleanup' EXIT
bash "$here/tests/make_oci_layout.sh" "$layout" v1 >/dev/null
"${podman_cmd[@]}" pull -q "oci:$layout:v1" >>"$log" 2>&1
id=$("${podman_cmd[@]}" images -q | head -n 1)
[ -n "$id" ] || { echo "podman could not load the test image"; cat "$log"; exit 1; }
check "podman pushes over HTTPS" ok \
  "$("${podman_cmd[@]}" push -q --cert-dir "$certs" --creds writer:w-pw "$id" "docker://$registry/team/app:v1" \
       >>"$log" 2>&1 && echo ok || echo failed)"
"${podman_cmd[@]}" rmi -af >/dev/null 2>&1
check "podman pulls it back over HTTPS (same id)" "$id" \
  "$("${podman_cmd[@]}" pull -q --cert-dir "$certs" --creds writer:w-pw "$registry/team/app:v1" 2>>"$log" | cut -c1-12)"
check "podman without the CA is refused" failed \
  "$("${podman_cmd[@]}" pull -q --creds writer:w-pw "$registry/team/app:v1" >>"$log" 2>&1 && echo ok || echo failed)"

# skopeo both ways; what comes back hashes right and equals what went out.
sk() { skopeo --insecure-policy copy --preserve-digests "$@" >>"$log" 2>&1 && echo ok || echo failed; }
check "skopeo copies the index up over HTTPS" ok \
  "$(sk --all --dest-cert-dir "$certs" --dest-creds writer:w-pw "oci:$layout:v1" "docker://$registry/team/multi:v1")"
check "skopeo copies it back over HTTPS" ok \
  "$(sk --all --src-cert-dir "$certs" --src-creds writer:w-pw "docker://$registry/team/multi:v1" "oci:$instance/back:v1")"
sound=ok
for f in "$instance"/back/blobs/sha256/*; do
  [ "$(sha256sum "$f" | cut -d' ' -f1)" = "$(basename "$f")" ] || sound="bad: $f"
  cmp -s "$f" "$layout/blobs/sha256/$(basename "$f")" || sound="not what was pushed: $f"
done
check "every blob copied back hashes right and equals the original" ok "$sound"
check "skopeo without the CA is refused" failed \
  "$(sk --src-creds writer:w-pw "docker://$registry/team/multi:v1" "oci:$instance/nope:v1")"
[ "$failures" = 0 ] || { tail -40 "$log"; cat "$instance/.lighttpd/error.log"; }
stop_server
finish
