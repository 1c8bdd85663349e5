#!/usr/bin/env bash
# The tool's kernel w1 masters (--adapter w1, --port w1_bus_master1) on
# this machine: the port forms it takes and refuses, what it says where
# the w1 module is not loaded, and the masters "ports" lists (those of
# /sys/bus/w1/devices where the module is loaded).
#
#   tests/w1_tool_test.sh BUILD_DIR
set -uo pipefail

build=${1:?usage: $0 BUILD_DIR}
tool=$build/tools/qvds18x20/qvds18x20
[ -x "$tool" ] || { echo "FAIL: $tool not built"; exit 1; }

failures=0
checks=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# run EXPECTED_EXIT TEXT_ON_STDERR ARGS...: the exit code, and a text the
# error output must hold (empty: anything).
run() {
  local want=$1 text=$2
  shift 2
  checks=$((checks + 1))
  timeout 30 "$tool" "$@" >"$work/out" 2>"$work/err"
  local got=$?
  if [ "$got" -ne "$want" ] || { [ -n "$text" ] && ! grep -qF -- "$text" "$work/err"; }; then
    echo "FAIL: qvds18x20 $*: exit $got (want $want), stderr: $(cat "$work/err")"
    failures=$((failures + 1))
  fi
}

# Forms no w1 master has: usage errors, whatever the machine has.
run 2 'takes a kernel w1 master as --port' read --adapter w1 --port COM1
run 2 'takes a kernel w1 master as --port' read --adapter w1 --port 0
run 2 'takes a kernel w1 master as --port' list --adapter w1 --port w1_bus_master01
run 2 'cannot be combined' read --port w1_bus_master1 --sim
run 2 'a kernel w1 master (w1_bus_master1' read --port 7

if [ ! -d /sys/bus/w1 ]; then
  # Each form names master 1 and reaches the driver's type 9, which says
  # what to load.
  for form in "--port w1_bus_master1" "--adapter w1 --port 1" "--adapter 9 --port 1" \
    "--port /sys/bus/w1/devices/w1_bus_master1"; do
    # shellcheck disable=SC2086 # the form is words
    run 1 'on w1_bus_master1 (adapter type 9)' read $form
    grep -qF 'modprobe w1-gpio' "$work/err" || {
      echo "FAIL: read $form does not say what to load: $(cat "$work/err")"
      failures=$((failures + 1))
    }
  done
  run 1 'modprobe w1-gpio' list --port w1_bus_master2
  checks=$((checks + 1))
  "$tool" ports >"$work/ports" 2>"$work/err"
  if grep -q '^w1_bus_master' "$work/ports"; then
    echo "FAIL: ports lists a w1 master without /sys/bus/w1: $(cat "$work/ports")"
    failures=$((failures + 1))
  fi
else
  echo "the w1 module is loaded: its masters must be listed"
  checks=$((checks + 1))
  "$tool" ports >"$work/ports" 2>"$work/err"
  for dir in /sys/bus/w1/devices/w1_bus_master*; do
    [ -d "$dir" ] || continue
    name=${dir##*/}
    grep -q "^$name $dir (kernel w1 master" "$work/ports" || {
      echo "FAIL: ports does not list $name: $(cat "$work/ports")"
      failures=$((failures + 1))
    }
  done
fi

echo "w1 tool: $checks checks, $failures failed"
[ "$failures" -eq 0 ]
