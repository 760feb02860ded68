#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing Ombrix need.
# Idempotent: when every package is installed it changes nothing and touches no
# network (no apt-get at all), so it runs offline on a machine already set up.
#   --list   prints the package names, one a line, and installs nothing
#            (scripts/test.sh checks that each one is a real, installable package).
# Every name must be a real package, never a virtual one: a virtual name is never
# "installed" in dpkg's database, so it would be looked for again at every run.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git openssl ca-certificates clang-format
  qt6-base-dev qt6-base-dev-tools qt6-websockets-dev qt6-multimedia-dev qt6-svg-dev
  qt6-l10n-tools qt6-tools-dev-tools
  qcoro-qt6-dev nlohmann-json3-dev
  libsecret-1-dev libgcrypt20-dev libpam0g-dev libseccomp-dev
  libtesseract-dev libleptonica-dev tesseract-ocr tesseract-ocr-fra tesseract-ocr-eng
  libpoppler-qt6-dev libexiv2-dev libheif-dev libespeak-ng-dev
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev
  libxcb1-dev libxcb-xinput-dev libxcb-keysyms1-dev libx11-xcb-dev
  libtracker-sparql-3.0-dev
  libgtest-dev libgmock-dev
  xvfb xauth dbus dbus-x11 gnome-keyring libsecret-tools
  fonts-dejavu-core fonts-noto-color-emoji adwaita-icon-theme
  tracker-miner-fs
  pulseaudio pulseaudio-utils
  xdotool trayer libxcb-xtest0-dev xdg-utils
  libfuse3-dev fuse3
  unicode-data
)

if [ "${1:-}" = "--list" ]; then
  printf '%s\n' "${PACKAGES[@]}"
  exit 0
fi

# Installed: dpkg's own state for the package is "installed" (whatever its
# selection, "install" or "hold"; for any architecture it is known for).
missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null | grep -qx 'installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installation des paquets manquants : ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
