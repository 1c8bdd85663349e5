#!/usr/bin/env bash
# The Qt form as a person sees it: run under Xvfb, it opens a session,
# measures, saves a picture of its own window and prints what its table
# holds. Twice: on the simulated bus in process, and through the virtual
# DS2480B adapter on a pseudo-terminal with real timing. Each run must
# show every one of the 21 simulated temperatures, handle no two events
# 50 ms or more apart while the worker measures (the window answers
# input), and leave a PNG that is a real picture of the window.
#
#   tests/qt_form_test.sh BUILD_DIR
set -uo pipefail

build=${1:?usage: $0 BUILD_DIR}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
form=$build/examples/qt_form
tool=$build/tools/qvds18x20/qvds18x20
[ -x "$form" ] || { echo "FAIL: $form not built"; exit 1; }
[ -x "$tool" ] || { echo "FAIL: $tool not built"; exit 1; }
command -v Xvfb >/dev/null || { echo "FAIL: Xvfb missing (package xvfb)"; exit 1; }
# shellcheck source-path=SCRIPTDIR source=support/form_check.sh
source "$here/support/form_check.sh"

work=$(mktemp -d /tmp/qvds-qt-form.XXXXXX)
adapter_pid=
form_xvfb_pid=
cleanup() {
  if [ -n "$adapter_pid" ]; then kill -INT "$adapter_pid" 2>/dev/null; wait "$adapter_pid" 2>/dev/null; fi
  if [ -n "$form_xvfb_pid" ]; then kill "$form_xvfb_pid" 2>/dev/null; wait "$form_xvfb_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT
form_start_xvfb "$work" || exit 1
# Under LeakSanitizer, what the desktop libraries keep till exit is theirs.
export LSAN_OPTIONS="suppressions=$here/support/lsan_desktop.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
# Qt wants a private runtime folder; the test's own keeps its warning away.
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"

form_device_file "$work/devices.json"
form_expected "$tool" "$work/devices.json" >"$work/expected"

passed=0
failed=0
run_form() {
  local label=$1 session=$2 png=$3
  shift 3
  local t0=$SECONDS status
  timeout -k 5 90 "$form" "$@" --shot "$png" >"$work/report" 2>"$work/stderr"
  status=$?
  cat "$work/report"
  if [ "$status" -ne 0 ]; then sed 's/^/    stderr: /' "$work/stderr"; fi
  if form_check_report "$work/report" "$png" "$work/expected" "$status" "$label ($((SECONDS - t0)) s)" "$session"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
  fi
}

run_form "simulated bus" "open on COM1 (adapter type 1)" "$work/sim.png" --sim "$work/devices.json"

"$tool" sim-adapter --type ds2480b --devices "$work/devices.json" --link "$work/ds2480b" --realtime \
  >"$work/adapter.out" 2>&1 &
adapter_pid=$!
for _ in $(seq 100); do
  [ -e "$work/ds2480b" ] && break
  sleep 0.1
done
if [ -e "$work/ds2480b" ]; then
  run_form "virtual DS2480B adapter, real timing" "open on $work/ds2480b (adapter type 5)" "$work/adapter.png" \
    --port "$work/ds2480b" --adapter ds2480b
else
  echo "FAIL: the virtual adapter made no pseudo-terminal:"
  cat "$work/adapter.out"
  failed=$((failed + 1))
fi

echo "qt_form: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
