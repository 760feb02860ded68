#!/usr/bin/env bash
# Builds Ombrix and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOMBRIX_BUILD_TESTS=OFF >/dev/null
cmake --build build-release -j "$(nproc)"
exec ./build-release/ombrix "$@"
