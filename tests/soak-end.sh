#!/usr/bin/env bash
# soak-end.sh [BUILD_DIR] — the program's launch and end at full counts, on the
# private X server, session bus, keyring and sound server of the suite: 200 quits
# while a search walk runs on a slow and a hung share, 200 quits right after a
# sound played, 50 links handed to a program that has a SIGTERM pending, 10 links
# handed to a program that is quitting, and 5 rounds of ten pairs of launches.
# The suite runs a few rounds of each; the counts can be changed through the
# variables below. Build first (scripts/test.sh, or cmake --build on BUILD_DIR,
# default build/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
export OMBRIX_SOAK_WALK_QUITS=${OMBRIX_SOAK_WALK_QUITS:-200}
export OMBRIX_SOAK_SOUND_QUITS=${OMBRIX_SOAK_SOUND_QUITS:-200}
export OMBRIX_SOAK_HANDOVERS=${OMBRIX_SOAK_HANDOVERS:-50}
export OMBRIX_SOAK_QUITTING_LAUNCHES=${OMBRIX_SOAK_QUITTING_LAUNCHES:-10}
export OMBRIX_SOAK_PAIRED_LAUNCHES=${OMBRIX_SOAK_PAIRED_LAUNCHES:-5}
export QT_QPA_PLATFORM=offscreen
cd "$root"
xvfb-run -a -s "-screen 0 1280x800x24" dbus-run-session -- bash scripts/with-keyring.sh \
  bash scripts/with-sound.sh bash -c '
    set -e
    "$1/tests/test_app" --gtest_filter="ProgramEnd.*:SingleInstance.ALinkHandedToAProgramWithASignalPendingIsNeverLost:SingleInstance.ALaunchAgainstAQuittingProgramBecomesTheProgramWithItsLink:SingleInstance.PairedLaunchesLeaveExactlyOneProgram"
    "$1/tests/test_voice" --gtest_filter="RealDevices.TheProgramEndsCleanlyRightAfterASound"
  ' soak-end "$build"
