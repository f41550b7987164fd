#!/usr/bin/env bash
# install-service.sh - installs the built registry as a systemd service on this host.
# Usage: scripts/install-service.sh [--prefix DIR] [--instance DIR] [--storage DIR] [--user NAME]
#                                   [--destdir DIR] [--no-start]
#   --prefix    programs under PREFIX/lib/registry, registry-admin in PREFIX/bin (default /usr/local)
#   --instance  the instance directory: config.json, htpasswd, .lighttpd/ (default /srv/registry)
#   --storage   the storage tree (default INSTANCE/registry_storage; set storage_root to match)
#   --user      the account that runs the registry and owns both (default registry; created)
#   --destdir   install into a staging root instead: no account, no ownership, no systemctl
#   --no-start  install and enable nothing
# Installs registry.service, registry-maintenance.service/.timer and /etc/logrotate.d/registry.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
prefix=/usr/local instance=/srv/registry storage= user=registry destdir= start=1
while [ $# -gt 0 ]; do
  case $1 in
    --prefix) prefix=$2; shift 2 ;;
    --instance) instance=$2; shift 2 ;;
    --storage) storage=$2; shift 2 ;;
    --user) user=$2; shift 2 ;;
    --destdir) destdir=$(realpath -m "$2"); shift 2 ;;
    --no-start) start=0; shift ;;
    *) echo "install-service.sh: unknown argument $1 (see the head of this script)" >&2; exit 2 ;;
  esac
done
storage=${storage:-$instance/registry_storage}
libdir=$prefix/lib/registry
build=$(cd "${BUILD_DIR:-$here/build}" && pwd)
for program in registry v2_repo registry-admin; do
  [ -x "$build/$program" ] || { echo "install-service.sh: $build/$program is not built (scripts/setup.sh)" >&2; exit 1; }
done

# The programs, serve.sh with the server configuration and the page, laid out as in
# the source tree so that serve.sh finds conf/ and ui/ beside itself.
install -d "$destdir$libdir/bin" "$destdir$libdir/scripts" "$destdir$libdir/conf" "$destdir$libdir/ui" \
  "$destdir$prefix/bin" "$destdir/etc/systemd/system" "$destdir/etc/logrotate.d"
install -m 0755 "$build/registry" "$build/v2_repo" "$build/registry-admin" "$destdir$libdir/bin/"
install -m 0755 "$here/scripts/serve.sh" "$destdir$libdir/scripts/"
install -m 0644 "$here"/conf/*.conf "$destdir$libdir/conf/"
cp -r "$here"/ui/. "$destdir$libdir/ui/"
install -m 0644 "$here/README.md" "$destdir$libdir/"
install -d "$destdir$libdir/docs" && install -m 0644 "$here"/docs/*.md "$destdir$libdir/docs/"
# Relative, so that it also leads to the program in a staging root (--destdir).
ln -sfn ../lib/registry/bin/registry-admin "$destdir$prefix/bin/registry-admin"

fill() { # template destination
  sed -e "s|@PREFIX@|$prefix|g" -e "s|@LIBDIR@|$libdir|g" -e "s|@INSTANCE@|$instance|g" \
      -e "s|@STORAGE@|$storage|g" -e "s|@USER@|$user|g" "$1" >"$2"
  chmod 0644 "$2"
}
fill "$here/deploy/registry.service.in" "$destdir/etc/systemd/system/registry.service"
fill "$here/deploy/registry-maintenance.service.in" "$destdir/etc/systemd/system/registry-maintenance.service"
install -m 0644 "$here/deploy/registry-maintenance.timer" "$destdir/etc/systemd/system/"
fill "$here/deploy/registry.logrotate.in" "$destdir/etc/logrotate.d/registry"
install -d "$destdir$instance" "$destdir$storage"
[ -n "$destdir" ] && { echo "installed under $destdir"; exit 0; }

# The account owns the instance and the storage tree; nobody else reads them.
if ! getent passwd "$user" >/dev/null; then
  useradd --system --user-group --home-dir "$instance" --no-create-home --shell /usr/sbin/nologin "$user"
fi
chown -R "$user:$user" "$instance" "$storage"
chmod 0750 "$instance"
if [ "$start" = 1 ] && [ -d /run/systemd/system ]; then
  systemctl daemon-reload
  systemctl enable --now registry.service registry-maintenance.timer
  systemctl --no-pager status registry.service || true
else
  echo "installed; start with: systemctl daemon-reload && systemctl enable --now registry.service registry-maintenance.timer"
fi
