#!/usr/bin/env bash
# busy-check.sh [RUNS] — the README's test command on a busy machine: runs
# `bash scripts/test.sh` RUNS times in a row (default 3) while a full parallel
# build of the project (`nproc` compile jobs, from a copy of this checkout in a
# temporary folder) runs beside it, again and again. After each run it prints the
# run's result, its duration, the load averages seen while it ran and the ten
# slowest tests of each suite (optimised and under the sanitizers). Ends with
# status 0 only when every run passed. Logs stay in a folder it names.
#   OMBRIX_BUSY_JOBS=n   compile jobs beside the suite (default: nproc)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-3}
jobs=${OMBRIX_BUSY_JOBS:-$(nproc)}
work=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-busy-XXXXXX")
echo "busy-check: $runs runs of scripts/test.sh beside $jobs compile jobs; logs in $work"

# The load: a copy of the sources (the suite checks that its own tree is left
# unchanged), built from scratch again and again.
rsync -a --exclude '/build*' --exclude '/.git' "$root/" "$work/src/" 2>/dev/null || {
  mkdir -p "$work/src" && (cd "$root" && tar --exclude='./build*' --exclude='./.git' -cf - .) | tar -xf - -C "$work/src"
}
load_pid=""
sampler_pid=""
stop() {
  [ -n "$load_pid" ] && kill -- -"$load_pid" 2>/dev/null
  [ -n "$sampler_pid" ] && kill "$sampler_pid" 2>/dev/null
  wait 2>/dev/null
  # The load's copy and build are gigabytes: only the logs stay.
  rm -rf "$work/src" "$work/load"
}
trap stop EXIT
bash "$root/scripts/install-deps.sh" || exit 1
if ! cmake -S "$work/src" -B "$work/load" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null ||
  [ ! -f "$work/load/build.ninja" ]; then
  echo "busy-check: the build that makes the load cannot be configured" >&2
  exit 1
fi
setsid bash -c "while true; do cmake --build '$work/load' -j $jobs --clean-first >/dev/null 2>&1; done" &
load_pid=$!

# The ten slowest tests of each suite in a log of scripts/test.sh.
slowest() {
  awk '
    /^== Build and tests under/ { suite = "sanitizers" }
    /^== Build and tests$/ { suite = "optimised" }
    match($0, /Test +#[0-9]+: [^ ]+/) {
      name = substr($0, RSTART, RLENGTH); sub(/Test +#[0-9]+: /, "", name)
      if (match($0, /[0-9.]+ sec/)) { t = substr($0, RSTART, RLENGTH - 4); print suite, t, name }
    }' "$1" | sort -k1,1 -k2,2nr | awk '
    { if (count[$1]++ < 10) printf "  %-10s %8.2f s  %s\n", $1, $2, $3 }'
}

failed=0
for run in $(seq 1 "$runs"); do
  log="$work/run-$run.log"
  loads="$work/run-$run.load"
  (while true; do cut -d' ' -f1 /proc/loadavg; sleep 10; done) >"$loads" &
  sampler_pid=$!
  start=$(date +%s)
  bash "$root/scripts/test.sh" >"$log" 2>&1
  status=$?
  kill "$sampler_pid" 2>/dev/null
  wait "$sampler_pid" 2>/dev/null
  sampler_pid=""
  elapsed=$(($(date +%s) - start))
  load=$(sort -n "$loads" | awk '{ a[NR] = $1 } END { if (NR) printf "%s to %s (median %s)", a[1], a[NR], a[int((NR + 1) / 2)] }')
  if [ $status -eq 0 ]; then result=passed; else result="FAILED (status $status)"; failed=1; fi
  echo "run $run: $result in ${elapsed} s, load $load"
  grep -E '^[0-9]+% tests passed|tests failed out of' "$log" | sed 's/^/  /'
  grep -E '^\s+[0-9]+ - .*\((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception|Not Run)\)' "$log" | sed 's/^/  failed: /'
  slowest "$log"
done
exit $failed
