# shellcheck shell=bash
# podman_lib.sh - a podman of the test's own: its storage, HOME and credentials file under $instance
# (from lighttpd_lib.sh), so nothing of the machine's is read or changed. Exits 77 (skipped) when
# podman cannot run here; its images are removed on exit, before lighttpd_lib.sh's cleanup.
podman_root="$instance/podman"
podman_cmd=(podman --root "$podman_root/root" --runroot "$podman_root/run" --storage-driver vfs)
export HOME="$instance/home" XDG_RUNTIME_DIR="$instance/home/run" REGISTRY_AUTH_FILE="$instance/home/auth.json"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
echo '{}' >"$REGISTRY_AUTH_FILE"
if ! command -v podman >/dev/null || ! "${podman_cmd[@]}" info >/dev/null 2>"$instance/podman.err"; then
  echo "skipped: podman cannot run here: $(tail -1 "$instance/podman.err" 2>/dev/null)"
  exit 77
fi
cleanup_podman() {
  "${podman_cmd[@]}" rmi -af >/dev/null 2>&1
  chmod -R u+w "$podman_root" 2>/dev/null
}
trap 'cleanup_podman; cleanup' EXIT
