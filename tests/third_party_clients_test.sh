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
# USB bridge with a 16 ms latency timer.
#
# Skips (exit 0) only when the programs are not installed.
set -uo pipefail

build=${1:?usage: $0 BUILD_DIR}
tool=$build/tools/qvds18x20/qvds18x20
[ -x "$tool" ] || { echo "FAIL: $tool not built"; exit 1; }

missing=()
for p in digitemp_DS9097U digitemp_DS9097 owserver owread owdir; do
  command -v "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "SKIP: not installed: ${missing[*]} (Debian packages digitemp, owserver, ow-shell)"
  exit 0
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Sensors: serial (as the device file gives it, most significant byte
# first), family, temperature. DS18B20 temperatures are in sixteenths,
# DS18S20 ones exercise the extended resolution; one ROM-only device
# must not disturb anyone.
sensors=(
  "0416913C6BFF 28 21.5"
  "0316A2B80C11 28 4.0625"
  "0417C0DE0042 28 -18.25"
  "041700000A3B 28 85.5"
  "000802B4A1C3 10 23.75"
  "000802B4A2D7 10 -3.25"
)
{
  echo '{"devices": ['
  for s in "${sensors[@]}"; do
    read -r serial family celsius <<<"$s"
    type=DS18B20; [ "$family" = 10 ] && type=DS18S20
    echo "  {\"type\": \"$type\", \"serial\": \"$serial\", \"celsius\": $celsius},"
  done
  echo '  {"type": "DS2401", "serial": "00001A2B3C4D"}'
  echo ']}'
} >"$work/devices.json"

# The serial in bus order (least significant byte first), as both
# programs print ROMs.
bus_order() { echo "$1" | sed -E 's/(..)(..)(..)(..)(..)(..)/\6\5\4\3\2\1/'; }

# Waits (up to $2 seconds) until command $1 succeeds.
wait_for() {
  local deadline=$((SECONDS + $2))
  until eval "$1" >/dev/null 2>&1; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

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

# Compares "ROM-or-id temperature" lines with the sensors; $1 names the
# client, $2 the file, $3 the id form (digitemp or owfs).
check_temperatures() {
  local client=$1 file=$2 form=$3 seen=0
  for s in "${sensors[@]}"; do
    read -r serial family celsius <<<"$s"
    local bytes id got
    bytes=$(bus_order "$serial")
    if [ "$form" = digitemp ]; then id="$family$bytes"; else id="$family.$bytes"; fi
    got=$(grep -i "^$id" "$file" | awk '{print $2}' | head -n1)
    if [ -z "$got" ]; then
      fail "$client: no reading for $id"
      continue
    fi
    if awk -v a="$got" -v b="$celsius" 'BEGIN { d = a - b; exit !(d < 0.001 && d > -0.001) }'; then
      seen=$((seen + 1))
    else
      fail "$client: $id read $got, simulated $celsius"
    fi
  done
  echo "$client: $seen of ${#sensors[@]} temperatures match"
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
  check_temperatures "$program" "$work/$program.read" digitemp
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
  local port="" pid=""
  for try in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 20000))
    owserver "$device_option$link" -p "127.0.0.1:$port" --foreground --error_level=0 >"$work/owserver-$type.log" 2>&1 &
    pid=$!
    if wait_for "owdir -s 127.0.0.1:$port / | grep -q '^/28\\.'" 30; then break; fi
    kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
    pid=""
  done
  if [ -z "$pid" ]; then
    fail "owserver ($type) never listed the sensors: $(tail -n3 "$work/owserver-$type.log")"
    return
  fi
  pids+=("$pid")
  local out=$work/owread-$type
  : >"$out"
  for s in "${sensors[@]}"; do
    read -r serial family _ <<<"$s"
    local id
    id="$family.$(bus_order "$serial")"
    local t
    t=$(timeout 30 owread -s "127.0.0.1:$port" "/uncached/$id/temperature" 2>&1) || { fail "owread $id: $t"; continue; }
    echo "$id $(echo "$t" | tr -d ' ')" >>"$out"
  done
  check_temperatures "owserver ($type)" "$out" owfs
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
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

if ((failures)); then
  echo "$failures failure(s)"
  exit 1
fi
echo "all third-party clients read every simulated temperature"
