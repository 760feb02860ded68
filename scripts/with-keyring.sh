#!/usr/bin/env bash
# Runs a command with a throw-away GNOME keyring, unlocked, serving the Secret
# Service on the current session bus. Use it inside dbus-run-session:
#   dbus-run-session -- bash scripts/with-keyring.sh COMMAND...
# Works without a display and as root. The keyring lives in a temporary folder,
# never in the user's own one; OMBRIX_TEST_KEYRING=1 tells the tests that the
# Secret Service they see is this throw-away one.
set -euo pipefail

if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
  echo "with-keyring: no session bus; run under dbus-run-session" >&2
  exec "$@"
fi
if ! command -v gnome-keyring-daemon >/dev/null 2>&1; then
  echo "with-keyring: gnome-keyring-daemon is not installed; Secret Service tests will be skipped" >&2
  exec "$@"
fi

keyring_dir=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-keyring-XXXXXX")
cleanup() { rm -rf "$keyring_dir"; }
trap cleanup EXIT
mkdir -p "$keyring_dir/data" "$keyring_dir/run"
chmod 700 "$keyring_dir/run"

# A non-empty password creates the login keyring unlocked without any prompt (an
# empty one makes the daemon ask through a prompter, which needs a display).
(
  export XDG_DATA_HOME="$keyring_dir/data" XDG_RUNTIME_DIR="$keyring_dir/run"
  printf '%s' "ombrix-test-keyring" | gnome-keyring-daemon --unlock --components=secrets >/dev/null
)

# Wait until the service owns its name on the bus.
ready=0
for _ in $(seq 1 100); do
  if dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q "boolean true"; then
    ready=1
    break
  fi
  sleep 0.05
done
if [ "$ready" = 1 ]; then
  export OMBRIX_TEST_KEYRING=1
else
  echo "with-keyring: the Secret Service did not start; its tests will be skipped" >&2
fi

status=0
"$@" || status=$?
exit "$status"
