#!/usr/bin/env bash
# Builds and runs every test, in stages:
#   install  the library installed into a scratch prefix, a consumer built
#            through find_package and through pkg-config
#   fuzz     the adapters' answer parsers under libFuzzer, from the seed
#            corpus, FUZZ_SECONDS (20) per target
#   plain    Debug build, every suite (and the benchmarks and the Qt form
#            built; the form runs under Xvfb)
#   windows  MinGW-w64 cross build, every suite under Wine
#   address  every suite under AddressSanitizer+UndefinedBehaviorSanitizer
#   thread   every suite under ThreadSanitizer
#   package  the Debian packages and the Windows zip, built, installed,
#            used and removed again as users would
#
#   scripts/test.sh                  every stage, in that order
#   scripts/test.sh plain thread     the stages named
#
# Installs the packages the chosen stages need (scripts/deps.sh). Every
# stage runs even when an earlier one failed; the end is a table of the
# stages with their durations and results, and the exit status is non-zero
# when any stage failed. Each stage's output is also kept in
# build-logs/STAGE.log. QVDS_JOBS sets the parallel build and test jobs
# (default: the number of processors); ccache is used when installed.
set -uo pipefail
cd "$(dirname "$0")/.."

all_stages=(install fuzz plain windows address thread package)
stages=("$@")
((${#stages[@]})) || stages=("${all_stages[@]}")

purposes=()
for s in "${stages[@]}"; do
  case "$s" in
    install) purposes+=(build) ;;
    fuzz) purposes+=(fuzz) ;;
    plain | address | thread) purposes+=(test) ;;
    # The Windows suites reach simulated adapters served by the native tool.
    windows) purposes+=(windows) ;;
    package) purposes+=(test windows) ;;
    *) echo "unknown stage: $s (stages: ${all_stages[*]})" >&2; exit 2 ;;
  esac
done
scripts/deps.sh $(printf '%s\n' "${purposes[@]}" | sort -u) || exit

jobs=${QVDS_JOBS:-$(nproc 2>/dev/null || echo 2)}
export CMAKE_BUILD_PARALLEL_LEVEL=$jobs
export QVDS_JOBS=$jobs FUZZ_JOBS=$jobs
# Six builds of mostly the same sources: a compiler cache, when there is
# one, makes the second run of the script much shorter than the first.
if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] && command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
logs=build-logs
mkdir -p "$logs"

run_suite() {
  local name=$1 sanitize=$2 dir=build-$1
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQVDS_SANITIZE="$sanitize" \
        -DQVDS_BUILD_TESTS=ON -DQVDS_BUILD_TOOLS=ON -DQVDS_BUILD_BENCH=$([ "$name" = plain ] && echo ON || echo OFF) \
        -DQVDS_BUILD_GUI=$([ "$name" = plain ] && echo ON || echo OFF) >/dev/null &&
    cmake --build "$dir" &&
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
}

# The native tool that serves the Windows suites' simulated adapters: the
# plain build's, brought up to date, or the one scripts/run.sh builds when
# this stage runs alone.
native_tool=
build_native_tool() {
  local dir=build-plain
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    dir=build-release
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQVDS_BUILD_TESTS=OFF -DQVDS_BUILD_BENCH=OFF >/dev/null ||
      return
  fi
  cmake --build "$dir" --target qvds18x20_cli && native_tool=$PWD/$dir/tools/qvds18x20/qvds18x20
}

run_stage() {
  case "$1" in
    install) scripts/install_check.sh ;;
    fuzz) FUZZ_SECONDS=${FUZZ_SECONDS:-20} scripts/fuzz.sh ;;
    plain) run_suite plain "" ;;
    windows)
      build_native_tool && QVDS_NATIVE_TOOL=$native_tool scripts/test_windows.sh build-mingw ;;
    address)
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_suite address address ;;
    # Pseudo-terminal tests fork socat and clients; TSan only watches us.
    thread) TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_suite thread thread ;;
    package) scripts/package.sh check ;;
  esac
}

# The line of a stage's log that says how it went.
stage_result() {
  local log=$1
  case "$2" in
    plain | address | thread) grep -E '^[0-9]+% tests passed' "$log" | tail -n1 ;;
    windows) grep -E '^windows: ' "$log" | tail -n1 ;;
    fuzz) grep -cE '^Done [0-9]+ runs' "$log" | sed 's/$/ targets ran out their time/' ;;
    install) grep -E '^(find_package|pkg-config)[^:]*: ok' "$log" | paste -sd, - ;;
    package) grep -E '^package: ' "$log" | tail -n1 ;;
  esac
}

# Processor seconds (user and system) of every finished child so far: the
# measure of a stage that does not depend on what else the machine runs.
# `times` must run in this shell, not in a command substitution's.
cpu_seconds() {
  times >"$logs/.times"
  tail -n1 "$logs/.times" | awk '{ t = 0; for (i = 1; i <= 2; ++i) { split($i, a, /[ms]/); t += a[1] * 60 + a[2] } printf "%d", t }'
}

summary=()
failed=0
total_start=$SECONDS
for s in "${stages[@]}"; do
  echo "=== $s ==="
  start=$SECONDS
  cpu_seconds >"$logs/.cpu"
  cpu_start=$(cat "$logs/.cpu")
  run_stage "$s" 2>&1 | tee "$logs/$s.log"
  status=${PIPESTATUS[0]}
  took=$((SECONDS - start))
  cpu_seconds >"$logs/.cpu"
  cpu=$(($(cat "$logs/.cpu") - cpu_start))
  verdict=ok
  if [ "$status" -ne 0 ]; then verdict=FAILED; failed=$((failed + 1)); fi
  summary+=("$(printf '%-8s %-6s %5d s %6d s  %s' "$s" "$verdict" "$took" "$cpu" "$(stage_result "$logs/$s.log" "$s")")")
done

echo
echo "=== ${#stages[@]} stage(s) in $((SECONDS - total_start)) s with $jobs jobs, $failed failed ==="
printf '%-8s %-6s %7s %8s  %s\n' stage result time cpu outcome
printf '%s\n' "${summary[@]}"
[ "$failed" -eq 0 ]
