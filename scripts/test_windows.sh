#!/usr/bin/env bash
# Cross-builds the library, IBFS32.DLL and the test programs for 64-bit
# Windows (MinGW-w64, posix threads) and runs every test program under
# Wine in a private, throw-away Wine prefix.
#
#   scripts/test_windows.sh [build-dir]      (default: build-mingw)
#
# Environment: QVDS_BUILD_ONLY (set: stop after the build), QVDS_DEBUG_FLAGS
# (the Debug build's flags, default -g), QVDS_JOBS
# (parallel jobs, default 2), QVDS_GTEST_FILTER (only the cases it names,
# as --gtest_filter), QVDS_WINE_TIMEOUT
# (seconds one test program may run, default 600), QVDS_NATIVE_TOOL (a
# native qvds18x20 to serve simulated adapters; default the one in
# build-plain).
#
# Two COM ports of the prefix are wired back to back (socat joins two
# pseudo-terminals) for the serial port suite. The last line is the
# summary "windows: N passed, N failed[, N skipped]"; the exit status is
# non-zero when a test failed, a program crashed or timed out, or the
# build failed.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-$ROOT/build-mingw}
case "$BUILD" in /*) ;; *) BUILD=$PWD/$BUILD ;; esac
JOBS=${QVDS_JOBS:-2}
WINE_TIMEOUT=${QVDS_WINE_TIMEOUT:-600}
WINE_DIR=/usr/lib/wine
START=$(date +%s)

log() { printf '== %s\n' "$*"; }

# Waits up to ten seconds for the links a program makes; true when all
# are there.
links_appear() {
  local link missing
  for _ in $(seq 100); do
    missing=0
    for link in "$@"; do [ -e "$link" ] || missing=1; done
    [ "$missing" -eq 0 ] && return 0
    sleep 0.1
  done
  return 1
}

# --- tools -----------------------------------------------------------------
"$ROOT/scripts/deps.sh" windows

# --- build -----------------------------------------------------------------
log "cross build in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="${QVDS_DEBUG_FLAGS:--g}" -DQVDS_BUILD_BENCH=OFF -DQVDS_BUILD_GUI=ON >/dev/null
cmake --build "$BUILD" -j "$JOBS"
BUILT=$(date +%s)
if [ -n "${QVDS_BUILD_ONLY:-}" ]; then
  log "built in $((BUILT - START)) s"
  exit 0
fi

# --- Wine prefix -----------------------------------------------------------
RUN=$(mktemp -d /tmp/qvds-wine.XXXXXX)
export WINEPREFIX=$RUN/prefix
export WINEDEBUG=-all
# No Mono or Gecko installers: nothing here needs them, and without a
# display they would only stall the first start.
export WINEDLLOVERRIDES="mscoree=;mshtml="
SOCAT_PID=
ADAPTER_PIDS=()
cleanup() {
  if [ -n "$SOCAT_PID" ]; then kill "$SOCAT_PID" 2>/dev/null || true; fi
  for pid in "${ADAPTER_PIDS[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
  timeout 30 "$WINE_DIR/wineserver" -k 2>/dev/null || true
  rm -rf "$RUN"
}
trap cleanup EXIT

log "new Wine prefix in $WINEPREFIX"
if ! timeout 300 "$WINE_DIR/wine64" wineboot -i >"$RUN/wineboot.log" 2>&1; then
  cat "$RUN/wineboot.log" >&2
  echo "test_windows.sh: wineboot failed" >&2
  exit 1
fi

# Two COM ports wired to each other: the two ends of a socat pty pair.
socat "pty,raw,echo=0,link=$RUN/ttyA" "pty,raw,echo=0,link=$RUN/ttyB" &
SOCAT_PID=$!
if links_appear "$RUN/ttyA" "$RUN/ttyB"; then
  ln -sfn "$RUN/ttyA" "$WINEPREFIX/dosdevices/com41"
  ln -sfn "$RUN/ttyB" "$WINEPREFIX/dosdevices/com42"
  export QVDS_TEST_COM_PAIR=COM41,COM42
else
  log "socat made no pseudo-terminals: the COM port pair is missing"
fi

# Simulated adapters on two more COM ports, when a native build of the
# tool is at hand (QVDS_NATIVE_TOOL, or the one scripts/test.sh builds):
# the component then reaches them through IBFS32.DLL, the serial port and
# the adapter protocols.
NATIVE_TOOL=${QVDS_NATIVE_TOOL:-$ROOT/build-plain/tools/qvds18x20/qvds18x20}
if [ -x "$NATIVE_TOOL" ]; then
  cat >"$RUN/devices.json" <<'JSON'
{"devices": [
  {"type": "DS18B20", "serial": "0416913C6BFF", "celsius": 19.5},
  {"type": "DS18S20", "serial": "00000000C0DE", "celsius": -3.0}
]}
JSON
  "$NATIVE_TOOL" sim-adapter --type ds2480b --devices "$RUN/devices.json" --link "$RUN/ds2480b" >"$RUN/ds2480b.out" 2>&1 &
  ADAPTER_PIDS+=($!)
  "$NATIVE_TOOL" sim-adapter --type passive --devices "$RUN/devices.json" --link "$RUN/passive" >"$RUN/passive.out" 2>&1 &
  ADAPTER_PIDS+=($!)
  if links_appear "$RUN/ds2480b" "$RUN/passive"; then
    ln -sfn "$RUN/ds2480b" "$WINEPREFIX/dosdevices/com43"
    ln -sfn "$RUN/passive" "$WINEPREFIX/dosdevices/com44"
    export QVDS_TEST_ADAPTERS=COM43:5,COM44:1
    export QVDS_TEST_ADAPTER_TEMPS=19.5,-3.0
  else
    log "sim-adapter made no pseudo-terminals:"
    cat "$RUN/ds2480b.out" "$RUN/passive.out"
  fi
else
  log "no native qvds18x20 tool ($NATIVE_TOOL): the adapter suite skips"
fi

# --- tests -----------------------------------------------------------------
passed=0
failed=0
skipped=0
broken=()
# The suites are one program, qvds_tests.exe, run once per group of
# suites below; the report per source file comes from GoogleTest's JSON
# output. The library's choice of bus, serial or simulated, is for the
# life of the process, so the suite that switches it has a process of its
# own.
runs=("*-VendorDriver.*" "VendorDriver.*")
if [ -n "${QVDS_GTEST_FILTER:-}" ]; then runs=("$QVDS_GTEST_FILTER"); fi
cd "$BUILD/tests"
for filter in "${runs[@]}"; do
  name="qvds_tests $filter"
  out="$RUN/run.log"
  json="$RUN/run.json"
  rm -f "$json"
  t0=$(date +%s)
  set +e
  timeout -k 10 "$WINE_TIMEOUT" "$WINE_DIR/wine64" ./qvds_tests.exe --gtest_brief=1 --gtest_output="json:Z:$json" \
    "--gtest_filter=$filter" >"$out" 2>&1
  rc=$?
  set -e
  t1=$(date +%s)
  p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$out" | tail -1)
  f=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below.*/\1/p' "$out" | tail -1)
  s=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\{0,1\}, listed below.*/\1/p' "$out" | tail -1)
  p=${p:-0}
  f=${f:-0}
  s=${s:-0}
  status="ok"
  if ! grep -q '^\[==========\] .* ran\.' "$out"; then
    # Crashed or timed out before its summary (a crash under Wine may
    # even exit with 0): one failure for the program.
    f=$((f > 0 ? f : 1))
    status="no summary, exit $rc"
  elif [ $((p + f + s)) -eq 0 ]; then
    f=1
    status="ran no test"
  elif [ "$rc" -ne 0 ] && [ "$f" -eq 0 ]; then
    f=1
    status="exit $rc"
  elif [ "$f" -gt 0 ]; then
    status="FAILED"
  fi
  if [ "$status" != "ok" ]; then
    broken+=("$name")
    cat "$out"
  fi
  if [ -s "$json" ]; then
    python3 - "$json" <<'PY' || echo "  (no report per file: unreadable $json)"
import collections, json, os, sys
counts = collections.defaultdict(lambda: [0, 0, 0, 0.0])
for suite in json.load(open(sys.argv[1]))["testsuites"]:
    for case in suite["testsuite"]:
        if case.get("status") == "NOTRUN":
            continue
        c = counts[os.path.splitext(os.path.basename(case.get("file", "?").replace("\\", "/")))[0]]
        if case.get("failures"):
            c[1] += 1
        elif case.get("result") == "SKIPPED":
            c[2] += 1
        else:
            c[0] += 1
        c[3] += float(case.get("time", "0s").rstrip("s") or 0)
for name, (p, f, s, t) in sorted(counts.items()):
    print(f"  {name:30} {p:4d} passed {f:3d} failed {s:3d} skipped  {t:5.1f}s")
PY
  fi
  printf '%-32s %4d passed %3d failed %3d skipped  %4ds  %s\n' "$name" "$p" "$f" "$s" $((t1 - t0)) "$status"
  passed=$((passed + p))
  failed=$((failed + f))
  skipped=$((skipped + s))
done

# The tool itself on the simulated adapters behind COM43 and COM44, as a
# user runs it under Wine: every simulated temperature must come back.
TOOL_EXE=$BUILD/tools/qvds18x20/qvds18x20.exe
if [ -n "${QVDS_TEST_ADAPTERS:-}" ] && [ ! -f "$TOOL_EXE" ]; then
  failed=$((failed + 1))
  broken+=("tool")
  echo "the Windows tool was not built: $TOOL_EXE"
elif [ -n "${QVDS_TEST_ADAPTERS:-}" ]; then
  for pair in COM43:ds2480b COM44:passive; do
    port=${pair%%:*}
    type=${pair#*:}
    out="$RUN/tool-$type.log"
    set +e
    timeout -k 10 120 "$WINE_DIR/wine64" "$TOOL_EXE" read --port "$port" --adapter "$type" --format csv >"$out" 2>&1
    rc=$?
    set -e
    temps=$(awk -F, 'NR > 1 && $7 != "" {print $7}' "$out" | tr -d '\r' | sort -n | paste -sd, -)
    if [ "$rc" -eq 0 ] && [ "$temps" = "-3.0,19.5" ]; then
      passed=$((passed + 1))
      printf '%-32s %4d passed %3d failed %3d skipped  %s\n' "tool read $port ($type)" 1 0 0 "$temps"
    else
      failed=$((failed + 1))
      broken+=("tool-$type")
      cat "$out"
      printf '%-32s %4d passed %3d failed %3d skipped  exit %s, temperatures "%s"\n' "tool read $port ($type)" 0 1 0 "$rc" "$temps"
    fi
  done
fi

# The Win32 form as a person sees it, under Wine on an X server of its
# own (Xvfb): it opens a session, measures, saves a picture of its own
# window and prints what its list view holds; on the simulated bus, and
# through a virtual DS2480B adapter with real timing behind COM45. Every
# one of the 21 simulated temperatures must be shown, no two messages the
# loop handles while the worker measures may lie 50 ms or more apart, and
# the picture must be a real one (tests/support/form_check.sh).
FORM_EXE=$BUILD/examples/win32_form.exe
if [ ! -f "$FORM_EXE" ]; then
  failed=$((failed + 1))
  broken+=("win32_form")
  echo "the Win32 form was not built: $FORM_EXE"
elif [ ! -x "$NATIVE_TOOL" ]; then
  skipped=$((skipped + 2))
  log "no native qvds18x20 tool: the Win32 form checks skip"
else
  # shellcheck source=../tests/support/form_check.sh
  source "$ROOT/tests/support/form_check.sh"
  form_device_file "$RUN/form.json"
  form_expected "$NATIVE_TOOL" "$RUN/form.json" >"$RUN/form.expected"
  "$NATIVE_TOOL" sim-adapter --type ds2480b --devices "$RUN/form.json" --link "$RUN/form-ds2480b" --realtime \
    >"$RUN/form-adapter.out" 2>&1 &
  ADAPTER_PIDS+=($!)
  links_appear "$RUN/form-ds2480b" || log "the form's adapter made no link"
  ln -sfn "$RUN/form-ds2480b" "$WINEPREFIX/dosdevices/com45"
  # The prefix's programs so far ran without a display; the form's Wine
  # session starts afresh on the X server.
  timeout 30 "$WINE_DIR/wineserver" -k 2>/dev/null || true
  timeout 30 "$WINE_DIR/wineserver" -w 2>/dev/null || true
  form_xvfb_pid=
  if form_start_xvfb "$RUN"; then
    form_run=0
    for run in "sim|open on COM1 (adapter type 1)|--sim Z:$RUN/form.json" \
      "COM45 (ds2480b)|open on COM45 (adapter type 5)|--port COM45 --adapter ds2480b"; do
      IFS='|' read -r label session args <<<"$run"
      label="win32_form $label"
      read -ra form_args <<<"$args"
      form_run=$((form_run + 1))
      png=$RUN/form-$form_run.png
      t0=$(date +%s)
      set +e
      timeout -k 10 120 "$WINE_DIR/wine64" "$FORM_EXE" "${form_args[@]}" --shot "Z:$png" >"$RUN/form.report" 2>"$RUN/form.err"
      rc=$?
      form_check_report "$RUN/form.report" "$png" "$RUN/form.expected" "$rc" "$label" "$session" \
        >"$RUN/form.check"
      check=$?
      set -e
      t1=$(date +%s)
      if [ "$check" -eq 0 ]; then
        passed=$((passed + 1))
        printf '%-32s %4d passed %3d failed %3d skipped  %4ds  %s\n' "$label" 1 0 0 $((t1 - t0)) \
          "$(grep -o 'longest gap [0-9.]* ms' "$RUN/form.check")"
      else
        failed=$((failed + 1))
        broken+=("$label")
        cat "$RUN/form.report" "$RUN/form.check"
        sed 's/^/    stderr: /' "$RUN/form.err" | tail -n 20
        printf '%-32s %4d passed %3d failed %3d skipped  %4ds  FAILED\n' "$label" 0 1 0 $((t1 - t0))
      fi
    done
    timeout 30 "$WINE_DIR/wineserver" -k 2>/dev/null || true
    kill "$form_xvfb_pid" 2>/dev/null || true
  else
    failed=$((failed + 2))
    broken+=("win32_form (no X server)")
  fi
fi
END=$(date +%s)

log "build $((BUILT - START))s, Wine prefix and tests $((END - BUILT))s"
if [ ${#broken[@]} -gt 0 ]; then log "failing programs: ${broken[*]}"; fi
echo "windows: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
