#!/usr/bin/env bash
# Builds Ombrix and runs every test: once in a normal build (warnings as errors),
# once under AddressSanitizer and UndefinedBehaviorSanitizer.
# Set OMBRIX_SKIP_SANITIZERS=1 to run only the normal build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh

jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOMBRIX_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  # The secret store tests need a session bus with an unlocked keyring; the global
  # key tests need an X server (tests keep QT_QPA_PLATFORM=offscreen for Qt).
  xvfb-run -a -s "-screen 0 1280x800x24" dbus-run-session -- bash scripts/with-keyring.sh ctest --test-dir "$dir" -j "$jobs" --output-on-failure
}

echo "== Build and tests"
run_suite build
if [ "${OMBRIX_SKIP_SANITIZERS:-0}" != "1" ]; then
  echo "== Build and tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run_suite build-asan -DOMBRIX_SANITIZE=ON
fi
