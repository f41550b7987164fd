#!/usr/bin/env bash
# serve.sh - builds the registry and serves it with lighttpd on 127.0.0.1.
# Usage: scripts/serve.sh [--cgi] [port]      (default: $PORT, else 5000)
#        scripts/serve.sh [--cgi] [--listen ADDR:PORT] [--tls-cert FILE --tls-key FILE] [--insecure-open]
# The registry runs as FastCGI responders (one per core, each answering many
# requests; REGISTRY_RESPONDERS sets another count); --cgi runs it as a CGI
# program, one process per request.
# Listening on an address other than loopback needs a configured user (see README,
# "Deploying on a host") or --insecure-open.
# The instance directory ($REGISTRY_INSTANCE, default the current directory) holds
# config.json and, unless configured otherwise, registry_storage/. The web page (ui/) is served
# at / and /ui/. REGISTRY_LIGHTTPD_CONF names another server configuration (tests use one that
# includes conf/lighttpd.conf and adds to it).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
[ "${SKIP_BUILD:-0}" = 1 ] || "$here/scripts/setup.sh"

hosting=fastcgi addr=127.0.0.1 port=${PORT:-5000} cert= key= open=0
while [ $# -gt 0 ]; do
  case $1 in
    --listen) addr=${2%:*} port=${2##*:}; shift 2 ;;
    --tls-cert) cert=$(realpath "$2"); shift 2 ;;
    --tls-key) key=$(realpath "$2"); shift 2 ;;
    --insecure-open) open=1; shift ;;
    --cgi) hosting=cgi; shift ;;
    [0-9]*) port=$1; shift ;;
    *) echo "serve.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
addr=${addr#[}; addr=${addr%]}
case $port in ''|*[!0-9]*) echo "serve.sh: the port must be a number (--listen ADDR:PORT): $port" >&2; exit 2 ;; esac
if { [ -n "$cert" ] && [ -z "$key" ]; } || { [ -z "$cert" ] && [ -n "$key" ]; }; then
  echo "serve.sh: --tls-cert and --tls-key go together" >&2; exit 2
fi
instance=$(cd "${REGISTRY_INSTANCE:-$PWD}" && pwd)

# "A user is configured" as the registry judges it: config.json names registry_auth_user
# or registry_auth_file, or the instance holds an htpasswd entry (a link that leads
# nowhere counts: the registry then refuses every request). registry_anonymous_read
# alone is not a user.
user_configured() {
  [ -e "$instance/htpasswd" ] || [ -L "$instance/htpasswd" ] ||
    grep -Eq '"registry_auth_(user|file)"[[:space:]]*:' "$instance/config.json" 2>/dev/null
}
case $addr in
  127.*|::1|localhost) ;;
  *) if [ "$open" != 1 ] && ! user_configured; then
       echo "serve.sh: refusing to listen on $addr: no user is configured, so anyone who can" \
            "reach it could push and delete. Add a user (htpasswd in $instance, or" \
            "registry_auth_user/registry_auth_file in config.json), or pass --insecure-open" \
            "to serve it open anyway." >&2
       exit 2
     fi ;;
esac
mkdir -p "$instance/.lighttpd/uploads"
# The listen lines, kept out of conf/lighttpd.conf.
listen_conf=$instance/.lighttpd/listen.conf
{
  case $addr in *:*) echo "server.bind = \"[$addr]\"" ;; *) echo "server.bind = \"$addr\"" ;; esac
  echo "server.port = $port"
  [ -z "$cert" ] || echo "include \"$here/conf/tls.conf\""
} >"$listen_conf"
build=$(cd "${REGISTRY_BUILD_DIR:-$here/build}" && pwd)
ln -sfn "$build/registry" "$instance/registry"
ln -sfn "$build/v2_repo" "$instance/v2_repo"

# The storage root as the programs find it: the environment, else the settings
# file's first "storage_root", else its first "registry_storage_root" (the key
# directly followed by its colon; the first key found decides even when its
# value is empty, unterminated or longer than 4095 bytes), else
# ./registry_storage; relative to the instance directory.
storage_root() {
  if [ -n "${REGISTRY_STORAGE_ROOT:-}" ]; then printf '%s' "$REGISTRY_STORAGE_ROOT"; return; fi
  local value
  value=$(cat "$instance/config.json" 2>/dev/null | tr '\n' ' ' | LC_ALL=C awk '{
    for (i = 1; i <= 2; i++) {
      key = i == 1 ? "\"storage_root\":" : "\"registry_storage_root\":"
      at = index($0, key)
      if (!at) continue
      rest = substr($0, at + length(key)); opening = index(rest, "\"")
      if (!opening) exit
      rest = substr(rest, opening + 1); closing = index(rest, "\"")
      if (closing && closing - 1 <= 4095) printf "%s", substr(rest, 1, closing - 1)
      exit
    }
  }')
  printf '%s' "${value:-./registry_storage}"
}
root=$(cd "$instance" && realpath -m "$(storage_root)")
mkdir -p "$root/blobs/sha256"

export REGISTRY_LISTEN_CONF="$listen_conf" REGISTRY_TLS_CERT="$cert" REGISTRY_TLS_KEY="$key"
export PORT="$port" REGISTRY_INSTANCE="$instance" REGISTRY_STORAGE_ROOT="${REGISTRY_STORAGE_ROOT:-}"
export REGISTRY_BLOB_DIR="$root/blobs/sha256"
export REGISTRY_UI_DIR="$here/ui"
export REGISTRY_HOSTING_CONF="$here/conf/hosting-$hosting.conf" REGISTRY_RESPONDERS="${REGISTRY_RESPONDERS:-$(nproc)}"
scheme=http; [ -z "$cert" ] || scheme=https
echo "registry ($hosting): $scheme://$addr:$port/v2/ (instance $instance, storage $root), page at $scheme://$addr:$port/"
exec lighttpd -D -f "${REGISTRY_LIGHTTPD_CONF:-$here/conf/lighttpd.conf}"
