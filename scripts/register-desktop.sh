#!/usr/bin/env bash
# Registers a built Ombrix for the current user: its own desktop entry in
# $XDG_DATA_HOME/applications pointing at the given executable, its icon, and
# the ombrix: scheme handler through xdg-mime.
set -euo pipefail
program=$(readlink -f "$1")
root=$(cd "$(dirname "$0")/.." && pwd)
data=${XDG_DATA_HOME:-$HOME/.local/share}
mkdir -p "$data/applications" "$data/icons/hicolor/scalable/apps"
cp "$root/resources/icons/ombrix.svg" "$data/icons/hicolor/scalable/apps/ombrix.svg"
# Launchers split Exec at blanks and not all of them read quotes (xdg-open does
# not), so a path with blanks or quotes is reached through a plain link.
exec_path=$program
plain='^[A-Za-z0-9/._+-]+$'
if ! [[ "$exec_path" =~ $plain ]]; then
  mkdir -p "$data/ombrix"
  ln -sfn "$program" "$data/ombrix/ombrix"
  exec_path="$data/ombrix/ombrix"
  if ! [[ "$exec_path" =~ $plain ]]; then
    exec_path="\"$(printf '%s' "$exec_path" | sed 's/[\\"`$]/\\&/g')\""
  fi
fi
while IFS= read -r line; do
  case "$line" in
    Exec=*) printf 'Exec=%s %%u\n' "$exec_path" ;;
    *) printf '%s\n' "$line" ;;
  esac
done < "$root/resources/ombrix.desktop" > "$data/applications/ombrix.desktop"
if command -v update-desktop-database >/dev/null 2>&1; then
  update-desktop-database "$data/applications" >/dev/null 2>&1 || true
fi
if command -v xdg-mime >/dev/null 2>&1; then
  xdg-mime default ombrix.desktop x-scheme-handler/ombrix
fi
