#!/usr/bin/env bash
# Builds Ombrix, registers the built program for the current user (so that
# `xdg-open ombrix://…` reaches it), and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOMBRIX_BUILD_TESTS=OFF >/dev/null
cmake --build build-release -j "$(nproc)"
bash scripts/register-desktop.sh "$root/build-release/ombrix"
exec ./build-release/ombrix "$@"
