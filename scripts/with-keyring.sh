#!/usr/bin/env bash
# Runs a command with a GNOME keyring unlocked on the current session bus
# (started by dbus-run-session), so that the Secret Service is available.
set -euo pipefail
if command -v gnome-keyring-daemon >/dev/null 2>&1; then
  export XDG_DATA_HOME=${OMBRIX_KEYRING_HOME:-$(mktemp -d)}
  eval "$(printf '' | gnome-keyring-daemon --unlock --components=secrets 2>/dev/null)" || true
  export GNOME_KEYRING_CONTROL
  unset XDG_DATA_HOME
fi
exec "$@"
