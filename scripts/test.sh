#!/usr/bin/env bash
# Builds and runs every test, in stages:
#   address  every suite under AddressSanitizer+UndefinedBehaviorSanitizer,
#            the benchmarks and examples built with it
#   thread   every suite under ThreadSanitizer, but the ones that only
#            compare documents or drive peer programs (labels docs, peers)
#   install  the library installed into a scratch prefix, a consumer built
#            through find_package and through pkg-config; scripts/run.sh
#            read, as README has it
#   release  the suites built in build-release, the install stage's
#            optimised build, with the Qt form (warnings as errors, which
#            the packages' build turns off), and run there, but the ones
#            that only compare documents or drive peer programs (labels
#            docs, peers) and the Qt form, which the address and package
#            stages run: optimised code keeps other time and order than
#            the sanitizer builds
#   windows  MinGW-w64 cross build, every suite under Wine
#   package  the Debian packages and the Windows zip, built, installed,
#            used and removed again as users would; the Qt form, built
#            with the packages' flags, run under Xvfb (a sanitizer build
#            would be too slow to show how the window keeps up); without
#            the release stage, the Qt form built once more in
#            build-release, Release with warnings as errors
#   fuzz     the adapters' answer parsers under libFuzzer, from the seed
#            corpus, FUZZ_SECONDS (10) per target: a check that the
#            parsers still hold, not a search (scripts/fuzz.sh alone: 30 s)
#   plain    Debug build without sanitizers, every suite and the Qt form:
#            the quickest stage to run by hand, left out of the full run,
#            whose address stage runs the same suites
#
#   scripts/test.sh                  every stage but plain, in that order
#   scripts/test.sh plain thread     the stages named, in that order too
#
# Each stage has a build step and a run step. The build steps run one
# after the other on a lane of their own at the lowest priority, so the
# next stage builds while the current one's tests run: many of the tests
# spend their time waiting on pseudo-terminals, peer programs and timers,
# and the tests keep their priority over the compiler. Only the first
# build is waited for with the machine idle.
#
# Installs the packages the chosen stages need (scripts/deps.sh). Every
# stage runs even when an earlier one failed; the end is a table of the
# stages with the time of each step and the result, and the exit status is
# non-zero when any stage failed. Each stage's output is also kept in
# build-logs/STAGE.log. QVDS_JOBS sets the parallel build and test jobs
# (default: the number of processors); QVDS_CCACHE whether ccache is used
# (scripts/ccache_policy.sh: by default when its cache holds something).
set -uo pipefail
cd "$(dirname "$0")/.."

all_stages=(address thread install release windows package fuzz)
known_stages=("${all_stages[@]}" plain)
for named in "$@"; do
  case " ${known_stages[*]} " in
    *" $named "*) ;;
    *) echo "unknown stage: $named (stages: ${known_stages[*]})" >&2; exit 2 ;;
  esac
done
# In the order above, whatever the order named: the release stage builds
# in the install stage's folder after it, and runs there after it. Its
# run, which mostly waits on pseudo-terminals and timers, comes before
# the long builds of the windows and package stages, which the build lane
# does meanwhile.
stages=()
for s in "${known_stages[@]}"; do
  for named in "$@"; do [ "$named" = "$s" ] && { stages+=("$s"); break; }; done
done
((${#stages[@]})) || stages=("${all_stages[@]}")

purposes=()
for s in "${stages[@]}"; do
  case "$s" in
    install) purposes+=(build) ;;
    fuzz) purposes+=(fuzz) ;;
    plain | address | thread | release) purposes+=(test) ;;
    # The Windows suites reach simulated adapters served by the native tool.
    windows) purposes+=(windows) ;;
    package) purposes+=(test windows) ;;
  esac
done
scripts/deps.sh $(printf '%s\n' "${purposes[@]}" | sort -u) || exit

jobs=${QVDS_JOBS:-$(nproc 2>/dev/null || echo 2)}
export CMAKE_BUILD_PARALLEL_LEVEL=$jobs
export QVDS_JOBS=$jobs FUZZ_JOBS=$jobs
# A compiler cache when it already holds something (QVDS_CCACHE=1: always).
source scripts/ccache_policy.sh
qvds_ccache_policy
logs=build-logs
mkdir -p "$logs"
rm -f "$logs"/.build-* "$logs"/.status-*
# The terminal, for what the tests print while `time` measures them.
exec 3>&1

suite_dir() { case "$1" in release) echo build-release ;; *) echo "build-$1" ;; esac; }
sanitizer_of() { case "$1" in address | thread) echo "$1" ;; *) echo "" ;; esac; }

# Line tables are enough for the sanitizers' stack traces and
# cost less to compile and link than full debug information; the plain
# stage's build, the one to debug, keeps it all.
debug_flags() { [ "$1" = plain ] && echo -g || echo -g1; }
# The Windows build goes without, which costs 38 s less processor time
# (measured: 283 s with -g1, 245 s without): a failure under Wine is
# debugged in a build of scripts/test_windows.sh alone, which keeps -g.
windows_flags=-g0

build_suite() {
  local name=$1 dir
  dir=$(suite_dir "$1")
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQVDS_SANITIZE="$(sanitizer_of "$name")" \
        -DCMAKE_CXX_FLAGS_DEBUG="$(debug_flags "$name")" \
        -DQVDS_BUILD_TESTS=ON -DQVDS_BUILD_TOOLS=ON \
        -DQVDS_BUILD_BENCH=$([ "$name" = thread ] && echo OFF || echo ON) \
        -DQVDS_BUILD_GUI=$([ "$name" = plain ] && echo ON || echo OFF) >/dev/null &&
    cmake --build "$dir"
}

run_suite() {
  local name=$1 exclude=()
  # The document checks compare texts, and the peer programs are not ours:
  # neither ThreadSanitizer nor the optimiser changes anything in them that
  # the address stage has not run already. The release stage leaves the Qt
  # form to the package stage, which runs it built with the packages' flags.
  case "$name" in
    thread) exclude=(-LE 'docs|peers') ;;
    release) exclude=(-LE 'docs|peers' -E '^qt_form_test$') ;;
  esac
  ctest --test-dir "$(suite_dir "$name")" --output-on-failure -j "$jobs" --timeout 300 "${exclude[@]}"
}

# The native tool that serves the Windows suites' simulated adapters: the
# address stage's when it was built, or a release build of its own.
native_tool() {
  local dir
  for dir in build-address build-plain build-release; do
    if [ -x "$dir/tools/qvds18x20/qvds18x20" ]; then echo "$PWD/$dir/tools/qvds18x20/qvds18x20"; return; fi
  done
}
build_native_tool() {
  [ -n "$(native_tool)" ] && return
  cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQVDS_BUILD_TESTS=OFF -DQVDS_BUILD_BENCH=OFF >/dev/null &&
    cmake --build build-release --target qvds18x20_cli
}

# The forms in the optimised build with warnings as errors (GCC 12 finds
# false -Wrestrict there that Debug builds never show): build-release,
# the install stage's and scripts/run.sh's build, configured as they
# configure it, with the forms on. The release stage builds them there
# with its suites; without it, the package stage, which has Qt, does.
# After the install stage's build the library and tool are there, so that
# this adds only the forms (about 11 s of processor time).
build_release_forms() {
  cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQVDS_BUILD_TESTS=OFF -DQVDS_BUILD_BENCH=OFF \
        -DQVDS_BUILD_GUI=ON >/dev/null &&
    cmake --build build-release --target qt_form
}

# The tool built without its optional parts (QVDS_WITH_MQTT, QVDS_WITH_HTTP
# and QVDS_WITH_OWSERVER off), as a system without libmosquitto or Asio
# builds it: its --help must offer none of them and refuse their options. Only its options
# are checked: a Debug build without debug information is the cheapest
# (the library's objects are compiled once more here).
build_lean_tool() {
  cmake -S . -B build-lean -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g0 -DQVDS_BUILD_TESTS=OFF \
        -DQVDS_BUILD_BENCH=OFF -DQVDS_WITH_MQTT=OFF -DQVDS_WITH_HTTP=OFF -DQVDS_WITH_OWSERVER=OFF >/dev/null &&
    cmake --build build-lean --target qvds18x20_cli
}

# The suites in build-release, the optimised build that the install stage
# (scripts/install_check.sh) has built with its tests off: turned on,
# only they and the forms are left to build. On the lane after the
# install stage's build, and run before anything else builds there.
build_release_suites() {
  cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQVDS_BUILD_TESTS=ON -DQVDS_BUILD_BENCH=OFF \
        -DQVDS_BUILD_GUI=ON >/dev/null &&
    cmake --build build-release
}

build_stage() {
  case "$1" in
    # scripts/run.sh builds in build-release as well: run here, on the
    # build lane, it cannot meet the release stage's build there.
    install) scripts/install_check.sh && check_run_command && build_lean_tool ;;
    release) build_release_suites ;;
    fuzz) FUZZ_BUILD_ONLY=1 scripts/fuzz.sh ;;
    plain | address | thread) build_suite "$1" ;;
    windows) build_native_tool && QVDS_DEBUG_FLAGS=$windows_flags QVDS_BUILD_ONLY=1 scripts/test_windows.sh build-mingw ;;
    package)
      QVDS_PACKAGE_GUI=ON scripts/package.sh all || return
      # The release stage has built them, and may be running its suites there.
      [[ " ${stages[*]} " == *" release "* ]] || build_release_forms ;;
  esac
}

check_run_command() {
  local out
  out=$(scripts/run.sh read 2>&1) || { printf '%s\n' "$out"; echo "scripts/run.sh read failed"; return 1; }
  printf '%s\n' "$out"
  if [ "$(grep -ciE '^[0-9]+ +[0-9A-F]{16} +DS18[BS]20 +-?[0-9]+\.[0-9]' <<<"$out")" -lt 1 ]; then
    echo "scripts/run.sh read printed no temperature"
    return 1
  fi
  echo "scripts/run.sh read: ok"
}

run_stage() {
  case "$1" in
    install) QVDS_EXPECT_MQTT=0 QVDS_EXPECT_HTTP=0 QVDS_EXPECT_OWSERVER=0 bash tests/tool_features_test.sh build-lean ;;
    release) run_suite release ;;
    fuzz) FUZZ_SECONDS=${FUZZ_SECONDS:-10} scripts/fuzz.sh ;;
    plain) run_suite plain ;;
    windows) QVDS_DEBUG_FLAGS=$windows_flags QVDS_NATIVE_TOOL=$(native_tool) scripts/test_windows.sh build-mingw ;;
    address)
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_suite address ;;
    # Pseudo-terminal tests fork socat and clients; TSan only watches us.
    thread) TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_suite thread ;;
    package)
      local status=0
      QVDS_PACKAGE_GUI=ON scripts/package.sh check || status=1
      bash tests/qt_form_test.sh build-package-deb || status=1
      return $status ;;
  esac
}

# The line of a stage's log that says how it went.
stage_result() {
  local log=$1
  case "$2" in
    plain | address | thread | release) grep -E '^[0-9]+% tests passed' "$log" | tail -n1 ;;
    windows) grep -E '^windows: ' "$log" | tail -n1 ;;
    fuzz) grep -cE '^Done [0-9]+ runs' "$log" | sed 's/$/ targets ran out their time/' ;;
    install) grep -E '^(find_package|pkg-config|scripts/run.sh)[^:]*: ok' "$log" | paste -sd, - ;;
    package) grep -E '^(package|qt_form): ' "$log" | paste -sd, - ;;
  esac
}

# What a failed stage's log says went wrong, short enough to read at the
# end of the run: the build steps that failed and the compiler's errors,
# the tests ctest counted as failed, each failed check
# (a GoogleTest failure with the lines that follow it, a shell test's
# "not ok"/"FAIL"), and the sanitizers' reports.
stage_failures() {
  local log=$1
  {
    sed -n '/^The following tests FAILED:/,/^$/p' "$log"
    grep -E '^FAILED: |: error: ' "$log" | head -n 20
    grep -E -A4 ': Failure$' "$log" | head -n 60
    grep -E '^(not ok|FAIL)' "$log" | head -n 20
    grep -E -A6 '^(WARNING: ThreadSanitizer|SUMMARY: (Address|Undefined|Thread)Sanitizer|==[0-9]+==ERROR)' "$log" |
      head -n 40
  } | cut -c1-240
}

# The status of the step itself: `time` hides it, so the step writes it.
build_stage_checked() { build_stage "$1"; echo $? >"$logs/.status-build-$1"; }
run_stage_checked() { run_stage "$1"; echo $? >"$logs/.status-run-$1"; }

total_start=$SECONDS
for s in "${stages[@]}"; do : >"$logs/$s.log"; done

# The build lane: every stage's build in turn, at the lowest priority.
(
  renice -n 19 $BASHPID >/dev/null 2>&1
  for s in "${stages[@]}"; do
    start=$SECONDS
    cpu=$( { TIMEFORMAT='%U %S'; time build_stage_checked "$s" >>"$logs/$s.log" 2>&1; } 2>&1 )
    echo "$(cat "$logs/.status-build-$s") $((SECONDS - start)) $(awk '{ printf "%d", $1 + $2 }' <<<"$cpu")" \
      >"$logs/.build-$s.tmp"
    mv "$logs/.build-$s.tmp" "$logs/.build-$s"
  done
) &
lane=$!
# Interrupted: the lane's builds stop with us.
trap 'trap - INT TERM; kill 0' INT TERM

summary=()
failed_stages=()
for s in "${stages[@]}"; do
  echo "=== $s: waiting for its build ==="
  while [ ! -e "$logs/.build-$s" ] && kill -0 "$lane" 2>/dev/null; do sleep 1; done
  read -r b_status b_wall b_cpu <"$logs/.build-$s" 2>/dev/null || { b_status=1 b_wall=0 b_cpu=0; }
  if [ "$b_status" -ne 0 ]; then
    tail -n 40 "$logs/$s.log"
    r_status=1 r_wall=0 r_cpu=0
  else
    echo "=== $s: built in ${b_wall} s; running ==="
    start=$SECONDS
    cpu=$( { TIMEFORMAT='%U %S'; time { run_stage_checked "$s" 2>&1 | tee -a "$logs/$s.log" >&3; }; } 2>&1 )
    r_status=$(cat "$logs/.status-run-$s")
    r_wall=$((SECONDS - start))
    r_cpu=$(awk '{ printf "%d", $1 + $2 }' <<<"$cpu")
  fi
  verdict=ok
  if [ "$b_status" -ne 0 ] || [ "$r_status" -ne 0 ]; then verdict=FAILED; failed_stages+=("$s"); fi
  summary+=("$(printf '%-8s %-6s %5d s %5d s %6d s  %s' "$s" "$verdict" "$b_wall" "$r_wall" \
    "$((b_cpu + r_cpu))" "$(stage_result "$logs/$s.log" "$s")")")
done
wait "$lane" 2>/dev/null

echo
echo "=== ${#stages[@]} stage(s) in $((SECONDS - total_start)) s with $jobs jobs, ${#failed_stages[@]} failed ==="
echo "(a stage's build ran on the build lane, beside the tests of the stages before it)"
printf '%-8s %-6s %7s %7s %8s  %s\n' stage result build run cpu outcome
printf '%s\n' "${summary[@]}"
for s in "${failed_stages[@]}"; do
  echo
  echo "=== $s: what failed (the whole output: build-logs/$s.log) ==="
  stage_failures "$logs/$s.log"
done
[ "${#failed_stages[@]}" -eq 0 ]
