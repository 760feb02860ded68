#!/usr/bin/env bash
# Runs a command with a private PulseAudio server: a null sink "ombrix_speaker" as
# the speaker and a remapped source "ombrix_mic" of its monitor as the microphone,
# so that what the program plays can be recorded back, and what a test plays into
# the sink reaches the program's recorder. The server lives in a temporary
# XDG_RUNTIME_DIR and serves one native socket; PULSE_SERVER points the child at it
# and OMBRIX_TEST_SOUND=1 tells the tests that it runs. Works as root (the server is
# started as a per-user daemon with --system=false). Without pulseaudio the command
# runs as is and the tests that need sound skip.
#   bash scripts/with-sound.sh COMMAND...
set -euo pipefail

if ! command -v pulseaudio >/dev/null 2>&1 || ! command -v pactl >/dev/null 2>&1; then
  echo "with-sound: pulseaudio is not installed; the tests that need a sound server will be skipped" >&2
  exec "$@"
fi

sound_dir=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-sound-XXXXXX")
chmod 700 "$sound_dir"
mkdir -p "$sound_dir/run" "$sound_dir/home"
chmod 700 "$sound_dir/run"
socket="$sound_dir/run/native"
pa_pid=""
cleanup() {
  if [ -n "$pa_pid" ] && kill -0 "$pa_pid" 2>/dev/null; then
    kill "$pa_pid" 2>/dev/null || true
    wait "$pa_pid" 2>/dev/null || true
  fi
  rm -rf "$sound_dir"
}
trap cleanup EXIT

# No configuration files (-n): only the modules named here. Anonymous access on a
# socket inside a folder only this user can enter; no cookie, no D-Bus, no autospawn.
(
  export XDG_RUNTIME_DIR="$sound_dir/run" HOME="$sound_dir/home"
  export XDG_CONFIG_HOME="$sound_dir/home/.config" PULSE_STATE_PATH="$sound_dir/home/state"
  exec pulseaudio --daemonize=no --exit-idle-time=-1 -n --system=false --use-pid-file=false \
    --disallow-module-loading=false --log-target=stderr --log-level=error \
    -L "module-native-protocol-unix auth-anonymous=1 socket=$socket" \
    -L "module-null-sink sink_name=ombrix_speaker rate=48000 channels=2" \
    -L "module-remap-source source_name=ombrix_mic master=ombrix_speaker.monitor"
) 2>"$sound_dir/pulseaudio.log" &
pa_pid=$!

export PULSE_SERVER="unix:$socket"
ready=0
for _ in $(seq 1 100); do
  if pactl info >/dev/null 2>&1; then
    ready=1
    break
  fi
  if ! kill -0 "$pa_pid" 2>/dev/null; then
    break
  fi
  sleep 0.05
done
if [ "$ready" = 1 ]; then
  pactl set-default-sink ombrix_speaker >/dev/null
  pactl set-default-source ombrix_mic >/dev/null
  export OMBRIX_TEST_SOUND=1
else
  echo "with-sound: the sound server did not start; the tests that need it will be skipped" >&2
  cat "$sound_dir/pulseaudio.log" >&2 || true
  unset PULSE_SERVER
fi

status=0
"$@" || status=$?
exit "$status"
