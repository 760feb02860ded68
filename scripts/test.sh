#!/usr/bin/env bash
# Builds Ombrix and runs every test: once in an optimised build with debug
# information (warnings as errors), once in a Debug build under AddressSanitizer
# and UndefinedBehaviorSanitizer. Fails too when install-deps.sh names a package
# that is not installable here, or when the suite changed the source tree.
# Set OMBRIX_SKIP_SANITIZERS=1 to run only the normal build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh

# Every package install-deps.sh names is a real package this machine's package
# lists offer (a candidate version; read offline from apt's cache), so that the
# list cannot drift to a virtual or misspelt name again.
mapfile -t packages < <(bash scripts/install-deps.sh --list)
arch=$(dpkg --print-architecture)
mapfile -t offered < <(apt-cache policy "${packages[@]}" 2>/dev/null | awk -v arch="$arch" '
  /^[^ ].*:$/ { name = substr($0, 1, length($0) - 1); sub(":" arch "$", "", name) }
  /^  Candidate: / && $2 != "(none)" { print name }')
unknown=()
for p in "${packages[@]}"; do
  found=0
  for o in "${offered[@]}"; do [ "$o" = "$p" ] && found=1 && break; done
  [ $found -eq 1 ] || unknown+=("$p")
done
if [ ${#unknown[@]} -ne 0 ]; then
  echo "scripts/install-deps.sh nomme des paquets qui ne sont pas installables ici : ${unknown[*]}" >&2
  exit 1
fi

# The suite must leave the source tree as it found it (renders go to the build tree).
tree_state() {
  if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    { git -C "$root" status --porcelain --untracked-files=all; git -C "$root" diff --binary HEAD 2>/dev/null; } | sha256sum
  fi
}
tree_before=$(tree_state)
check_tree() {
  if [ "$(tree_state)" != "$tree_before" ]; then
    echo "Les tests ont modifié l'arbre des sources :" >&2
    git -C "$root" status --porcelain --untracked-files=all >&2
    exit 1
  fi
}

jobs=$(nproc)
# The Tracker integration test fails instead of skipping when the miner is missing.
export OMBRIX_REQUIRE_TRACKER_MINER=1
run_suite() {
  local dir=$1 type=$2; shift 2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DOMBRIX_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  # The secret store tests need a session bus with an unlocked keyring; the global
  # key tests need an X server (tests keep QT_QPA_PLATFORM=offscreen for Qt); the
  # voice tests a private sound server.
  xvfb-run -a -s "-screen 0 1280x800x24" dbus-run-session -- bash scripts/with-keyring.sh bash scripts/with-sound.sh ctest --test-dir "$dir" -j "$jobs" --output-on-failure
}

echo "== Build and tests"
run_suite build RelWithDebInfo
check_tree
if [ "${OMBRIX_SKIP_SANITIZERS:-0}" != "1" ]; then
  echo "== Build and tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run_suite build-asan Debug -DOMBRIX_SANITIZE=ON
  check_tree
fi
