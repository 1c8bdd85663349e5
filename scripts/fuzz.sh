#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, address and undefined sanitizers)
# and runs each for a bounded time, starting from the seeds in
# fuzz/corpus. New inputs go to a scratch corpus, never into the tree.
#   scripts/fuzz.sh                 every target, 30 s each
#   FUZZ_SECONDS=300 scripts/fuzz.sh ds2480b_answers
#   FUZZ_BUILD_ONLY=1 scripts/fuzz.sh   only the build
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
dir=${FUZZ_BUILD_DIR:-build-fuzz}
targets=("$@")
((${#targets[@]})) || targets=(ds2480b_answers passive_answers emulators ds2490_status tool_texts)

command -v clang++ >/dev/null || { echo "clang++ is needed for the fuzz targets" >&2; exit 2; }
cmake -S fuzz -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$dir" -j "${FUZZ_JOBS:-2}" --target "${targets[@]/#/fuzz_}"
[ -z "${FUZZ_BUILD_ONLY:-}" ] || exit 0

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The targets are independent and each uses one processor: FUZZ_JOBS of
# them run at a time, each into its own log, shown when it ends.
run_target() {
  local t=$1
  mkdir -p "$scratch/$t"
  # Crash inputs land in the build folder, where CI can pick them up.
  "$dir/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 \
    -artifact_prefix="$dir/crash-$t-" "$scratch/$t" "fuzz/corpus/$t" >"$scratch/$t.log" 2>&1
}
status=0
running=()
finish() {
  local t=$1 pid=$2
  local rc=0
  wait "$pid" || rc=$?
  echo "=== $t: ${seconds}s ==="
  cat "$scratch/$t.log"
  if [ "$rc" -ne 0 ]; then
    echo "FAIL: $t (crash input in $dir)" >&2
    status=1
  fi
}
for t in "${targets[@]}"; do
  if ((${#running[@]} / 2 >= ${FUZZ_JOBS:-2})); then
    finish "${running[0]}" "${running[1]}"
    running=("${running[@]:2}")
  fi
  run_target "$t" &
  running+=("$t" $!)
done
while ((${#running[@]})); do
  finish "${running[0]}" "${running[1]}"
  running=("${running[@]:2}")
done
exit $status
