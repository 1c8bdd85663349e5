#!/usr/bin/env bash
# Third-party 1-Wire programs against our virtual adapters: DigiTemp (its
# DS2480B and its passive-adapter build) and OWFS's owserver with owread
# drive `qvds18x20 sim-adapter` on a pseudo-terminal exactly as they would
# drive a real adapter, and every temperature they print must be the one
# the device file gives the simulated sensor.
#
#   tests/third_party_clients_test.sh BUILD_DIR
#
# The DS2480B and the passive adapter are also served behind a modelled
# USB bridge with a 16 ms latency timer. Two of the sensors are
# parasite-powered: through the DS2480B the programs' strong pull-up feeds
# their conversion; the passive adapter has none, and what the programs
# read there is the power-on 85 degrees the emulated parts come back with.
#
# Skips (exit 0) only when the programs are not installed.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=support/peer_programs.sh
source "$here/support/peer_programs.sh"
peers_tool "${1:-}"

missing=()
for p in digitemp_DS9097U digitemp_DS9097 owserver owread owdir; do
  command -v "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "SKIP: not installed: ${missing[*]} (Debian packages digitemp, owserver, ow-shell)"
  exit 0
fi
peers_start

# Starts the virtual adapter ($1 type, $2 link, rest extra options);
# sets $pty and $adapter_pid.
adapters=0
start_adapter() {
  local type=$1 link=$2
  shift 2
  adapters=$((adapters + 1))
  local out=$work/adapter-$adapters.out
  "$tool" sim-adapter --type "$type" --devices "$work/devices.json" --link "$link" "$@" >"$out" 2>"$out.err" &
  adapter_pid=$!
  pids+=("$adapter_pid")
  if ! wait_for "[ -s '$out' ]" 10; then
    fail "sim-adapter --type $type printed no path: $(cat "$out.err")"
    return 1
  fi
  pty=$(head -n1 "$out")
  [ -c "$pty" ] || { fail "sim-adapter printed '$pty', not a device"; return 1; }
  [ "$(readlink "$link")" = "$pty" ] || { fail "--link $link does not point at $pty"; return 1; }
}

# --- DigiTemp: search into an rc file, then read every sensor ---------------
run_digitemp() {
  local program=$1 type=$2 link=$work/digitemp-$2
  shift 2
  start_adapter "$type" "$link" "$@" || return
  local rc=$work/$program.rc
  if ! timeout 60 "$program" -q -i -s "$link" -c "$rc" >"$work/$program.init" 2>&1; then
    fail "$program -i: $(tail -n3 "$work/$program.init")"
    return
  fi
  grep -q "^SENSORS ${#sensors[@]}\$" "$rc" || fail "$program found $(grep '^SENSORS' "$rc") (expected ${#sensors[@]})"
  # A conversion takes at most 750 ms.
  if ! timeout 120 "$program" -q -a -r 800 -c "$rc" -o "%R %.4C" >"$work/$program.read" 2>&1; then
    fail "$program -a: $(tail -n3 "$work/$program.read")"
    return
  fi
  local feeding=fed
  [ "$type" = passive ] && feeding=unfed
  check_temperatures "$program" "$work/$program.read" digitemp "$feeding"
  stop_adapter "$link"
}

# Stops the adapter (SIGINT, as Ctrl-C would) and checks that it exits
# cleanly and takes its link along.
stop_adapter() {
  kill -INT "$adapter_pid"
  wait "$adapter_pid"
  local status=$?
  [ "$status" = 0 ] || fail "sim-adapter exited with $status after SIGINT"
  [ -L "$1" ] && fail "sim-adapter left its link $1 behind"
}

# --- owserver + owread ------------------------------------------------------
run_owserver() {
  local type=$1 device_option=$2 link=$work/owfs-$1
  shift 2
  start_adapter "$type" "$link" "$@" || return
  if ! start_owserver "$work/owserver-$type.log" owserver "$device_option$link" --error_level=0; then
    fail "owserver ($type) never listed the sensors: $(tail -n3 "$work/owserver-$type.log")"
    return
  fi
  owread_sensors "$owserver_port" "$work/owread-$type"
  local feeding=fed
  [ "$type" = passive ] && feeding=unfed
  check_temperatures "owserver ($type)" "$work/owread-$type" owfs "$feeding"
  stop_owserver
  stop_adapter "$link"
}

run_digitemp digitemp_DS9097U ds2480b --realtime
run_digitemp digitemp_DS9097 passive
run_owserver ds2480b "--device="
run_owserver passive "--passive="
# Behind a USB bridge with the FTDI default latency timer.
run_digitemp digitemp_DS9097U ds2480b --realtime --latency 16
run_owserver ds2480b "--device=" --latency 16
run_owserver passive "--passive=" --latency 16

peers_finish "all third-party clients read every simulated temperature"
