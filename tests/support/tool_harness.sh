# shellcheck shell=bash
# What the shell tests that drive the tool beside brokers and clients
# share: a scratch folder $WORK whose background programs ($pids) are
# killed at exit (the folder kept with QVDS_KEEP_WORK=1), checks counted
# in $failures, waits with deadlines, and the tool ($TOOL) in the
# background. Sourced by mqtt_posix_test.sh and tool_hardening_test.sh,
# which run under `set -uo pipefail` and set $TOOL first.

WORK=$(mktemp -d)
pids=()
# What the tool remembers between runs (the MQTT topics it published)
# goes here, not into the user's state folder.
export STATE_DIRECTORY=$WORK/state
# A command of the test's own to run at exit as well, before $WORK goes.
cleanup_also=:
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
  wait 2>/dev/null
  "$cleanup_also"
  if [ -n "${QVDS_KEEP_WORK:-}" ]; then echo "kept $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

failures=0
expect() {  # DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
# Polls COMMAND until it succeeds or LIMIT seconds have passed.
wait_until() {  # LIMIT COMMAND...
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < end)) || return 1
    sleep 0.05
  done
}
has() { grep -q -- "$2" "$1" 2>/dev/null; }
gone() { ! kill -0 "$1" 2>/dev/null; }

run_bg() {  # NAME TOOL-ARGS...: the tool in the background; sets TOOL_PID
  local name=$1
  shift
  "$TOOL" "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" </dev/null &
  TOOL_PID=$!
  pids+=("$TOOL_PID")
}
# shellcheck disable=SC2034  # $RC is the caller's to read
finish_bg() {  # LIMIT: waits for the background tool; sets RC
  wait_until "$1" gone "$TOOL_PID" || kill -9 "$TOOL_PID"
  wait "$TOOL_PID"
  RC=$?
}
