#!/usr/bin/env bash
# Copies the screens rendered by a test run into docs/screenshots, on purpose.
# The tests render into <build>/screenshots and never into the sources; after a
# change to a screen, run the suite (or the test that renders it), look at the
# renders, then run this to update the committed ones.
#   bash scripts/refresh-screenshots.sh [BUILD_DIR]    (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
renders="$build/screenshots"
shopt -s nullglob
pngs=("$renders"/*.png)
if [ ${#pngs[@]} -eq 0 ]; then
  echo "Aucun rendu dans $renders : lancez d'abord les tests de ce dossier de construction." >&2
  exit 1
fi
mkdir -p "$root/docs/screenshots"
cp -- "${pngs[@]}" "$root/docs/screenshots/"
echo "${#pngs[@]} rendus copiés de $renders vers docs/screenshots."
