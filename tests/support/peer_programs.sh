# shellcheck shell=bash
# What the tests that drive third-party 1-Wire programs share: the tool
# under test, a scratch folder whose background programs end with the
# test, failures counted, the simulated sensors with their device file,
# and owserver started on a free port and read sensor by sensor. Sourced
# by third_party_clients_test.sh, usb_third_party_test.sh and
# i2c_third_party_test.sh, which run under `set -uo pipefail`.

# Sets $build to the build folder $1 and $tool, or fails the test.
peers_tool() {
  build=${1:?usage: $0 BUILD_DIR}
  tool=$build/tools/qvds18x20/qvds18x20
  [ -x "$tool" ] || { echo "FAIL: $tool not built"; exit 1; }
}

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Sensors: serial (as the device file gives it, most significant byte
# first), family, temperature, and how it is powered. DS18B20
# temperatures are in sixteenths, DS18S20 ones exercise the extended
# resolution; one ROM-only device must not disturb anyone. The parasite-
# powered ones convert only under a host's strong pull-up.
sensors=(
  "0416913C6BFF 28 21.5 parasite"
  "0316A2B80C11 28 4.0625 vdd"
  "0417C0DE0042 28 -18.25 vdd"
  "041700000A3B 28 85.5 vdd"
  "000802B4A1C3 10 23.75 parasite"
  "000802B4A2D7 10 -3.25 vdd"
)

# A device file of the sensors "$@" (lines as in $sensors) and one
# ROM-only DS2401, on standard output.
device_file() {
  local s serial family celsius power type parasite
  echo '{"devices": ['
  for s in "$@"; do
    read -r serial family celsius power <<<"$s"
    type=DS18B20; [ "$family" = 10 ] && type=DS18S20
    parasite=false; [ "$power" = parasite ] && parasite=true
    echo "  {\"type\": \"$type\", \"serial\": \"$serial\", \"celsius\": $celsius, \"parasite\": $parasite},"
  done
  echo '  {"type": "DS2401", "serial": "00001A2B3C4D"}'
  echo ']}'
}

# Makes $work (removed at exit, with every program in $pids ended first).
peers_work() {
  work=$(mktemp -d)
  pids=()
  trap peers_cleanup EXIT
}
# $work and the sensors' device file, $work/devices.json.
peers_start() {
  peers_work
  device_file "${sensors[@]}" >"$work/devices.json"
}
peers_cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}

# The serial in bus order (least significant byte first), as the peer
# programs print ROMs.
bus_order() { echo "$1" | sed -E 's/(..)(..)(..)(..)(..)(..)/\6\5\4\3\2\1/'; }

# The ROM of serial $1 and family $2 as our tool prints it: CRC byte
# first, family last; the CRC column is matched loosely.
tool_rom() { echo "..$1$2"; }

# Whether $1 and $2 differ by at most $3.
within() { awk -v a="$1" -v b="$2" -v t="$3" 'BEGIN { d = a - b; exit !(d <= t && d >= -t) }'; }

# Waits (up to $2 seconds) until command $1 succeeds.
wait_for() {
  local deadline=$((SECONDS + $2))
  until eval "$1" >/dev/null 2>&1; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# Compares "ROM-or-id temperature" lines with the sensors; $1 names the
# client, $2 the file, $3 the id form (digitemp or owfs). $4 "unfed": the
# adapter has no strong pull-up, so a parasite-powered sensor never
# converts and comes back from its brown-out with its power-on 85
# degrees, which is what such a client reads.
check_temperatures() {
  local client=$1 file=$2 form=$3 feeding=${4:-fed} seen=0
  for s in "${sensors[@]}"; do
    read -r serial family celsius power <<<"$s"
    [ "$feeding" = unfed ] && [ "$power" = parasite ] && celsius=85
    local bytes id got
    bytes=$(bus_order "$serial")
    if [ "$form" = digitemp ]; then id="$family$bytes"; else id="$family.$bytes"; fi
    got=$(grep -i "^$id" "$file" | awk '{print $2}' | head -n1)
    if [ -z "$got" ]; then
      fail "$client: no reading for $id"
      continue
    fi
    if within "$got" "$celsius" 0.001; then
      seen=$((seen + 1))
    else
      fail "$client: $id read $got, simulated $celsius"
    fi
  done
  echo "$client: $seen of ${#sensors[@]} temperatures match"
}

# Runs the owserver command line "$@" (-p and --foreground are added) on a
# free port, five tries at most, until it lists a DS18B20; its output goes
# to $1 before the command. Sets $owserver_port and $owserver_pid, and
# fails (returns 1) when it never came up.
# shellcheck disable=SC2034  # $owserver_port is the caller's to read
start_owserver() {
  local log=$1 port pid
  shift
  owserver_port="" owserver_pid=""
  for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 20000))
    "$@" -p "127.0.0.1:$port" --foreground >"$log" 2>&1 &
    pid=$!
    if wait_for "owdir -s 127.0.0.1:$port / | grep -q '^/28\\.'" 30; then
      owserver_port=$port owserver_pid=$pid
      pids+=("$pid")
      return 0
    fi
    kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
  done
  return 1
}

# Reads every sensor's uncached temperature from owserver on port $1 into
# $2, one "id temperature" line each.
owread_sensors() {
  local port=$1 out=$2 id t
  : >"$out"
  for s in "${sensors[@]}"; do
    read -r serial family _ <<<"$s"
    id="$family.$(bus_order "$serial")"
    t=$(timeout 30 owread -s "127.0.0.1:$port" "/uncached/$id/temperature" 2>&1) || { fail "owread $id: $t"; continue; }
    echo "$id $(echo "$t" | tr -d ' ')" >>"$out"
  done
}

# Stops owserver as start_owserver left it.
stop_owserver() {
  kill "$owserver_pid" 2>/dev/null
  wait "$owserver_pid" 2>/dev/null
}

# The end of the test: its failures, or the message $1.
peers_finish() {
  if ((failures)); then
    echo "$failures failure(s)"
    exit 1
  fi
  echo "$1"
}
