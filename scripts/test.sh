#!/usr/bin/env bash
# Builds and runs every test: the install check (find_package and
# pkg-config), the adapters' fuzz targets for a bounded time, a plain
# Debug build, the Windows build under Wine, then the suite again under
# AddressSanitizer+UndefinedBehaviorSanitizer and under ThreadSanitizer.
#   scripts/test.sh            all of it
#   scripts/test.sh plain      one configuration (install, fuzz, plain, windows, address, thread or package)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
configs=("$@")
((${#configs[@]})) || configs=(install fuzz plain windows address thread package)

run_suite() {
  local name=$1 sanitize=$2 dir=build-$1
  echo "=== $name ==="
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQVDS_SANITIZE="$sanitize" \
        -DQVDS_BUILD_BENCH=$([ "$name" = plain ] && echo ON || echo OFF) >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
}

for c in "${configs[@]}"; do
  case "$c" in
    plain) run_suite plain "" ;;
    address)
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_suite address address ;;
    thread)
      # Pseudo-terminal tests fork socat and clients; TSan only watches us.
      TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_suite thread thread ;;
    install) scripts/install_check.sh ;;
    # Cross-built with MinGW-w64 and run under Wine; needs the plain build's
    # tool to serve the simulated adapters behind COM ports.
    windows) echo "=== windows ==="; scripts/test_windows.sh build-mingw ;;
    # The adapters' answer parsers under libFuzzer, from the seed corpus,
    # for a bounded time.
    fuzz) FUZZ_SECONDS=${FUZZ_SECONDS:-20} scripts/fuzz.sh ;;
    # The Debian packages and the Windows zip, built, installed, used and
    # removed again as users would.
    package) echo "=== package ==="; scripts/package.sh check ;;
    *) echo "unknown configuration: $c" >&2; exit 2 ;;
  esac
done
