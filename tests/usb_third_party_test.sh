#!/usr/bin/env bash
# The emulated DS2490 through the libusb stand-in: OWFS's owserver (-u, its
# DS2490 driver over libusb) with owread, and our own tool as adapter type
# 6, each as an unmodified libusb program under `qvds18x20 sim-usb`, read
# every simulated temperature, which must be the one the device file gives.
#
#   tests/usb_third_party_test.sh BUILD_DIR
#
# Skips (exit 0) only when owserver/owread are not installed (Debian
# packages owserver, ow-shell) or the build has no USB stand-in.
set -uo pipefail

build=${1:?usage: $0 BUILD_DIR}
tool=$build/tools/qvds18x20/qvds18x20
[ -x "$tool" ] || { echo "FAIL: $tool not built"; exit 1; }
shim=$(ls "$build"/tools/qvds18x20/libqvds18x20_usbshim.so 2>/dev/null)
if [ -z "$shim" ]; then
  echo "SKIP: no USB stand-in in this build (libusb-1.0 headers missing)"
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

# Serial (most significant byte first), family, temperature.
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

bus_order() { echo "$1" | sed -E 's/(..)(..)(..)(..)(..)(..)/\6\5\4\3\2\1/'; }
# The ROM as our tool prints it: CRC byte first, family last; the CRC
# column is matched loosely.
tool_rom() { echo "$1$2" | sed -E 's/^(.*)$/..\1/'; }

within() { awk -v a="$1" -v b="$2" -v t="$3" 'BEGIN { d = a - b; exit !(d <= t && d >= -t) }'; }

wait_for() {
  local deadline=$((SECONDS + $2))
  until eval "$1" >/dev/null 2>&1; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}

# Compares our tool's CSV ($2) with the sensors; $1 names the run.
check_tool_csv() {
  local run=$1 file=$2 seen=0
  for s in "${sensors[@]}"; do
    read -r serial family celsius <<<"$s"
    rom=$(tool_rom "$serial" "$family")
    got=$(grep -E "^[^,]*,USB1,6,[0-9]+,$rom," "$file" | cut -d, -f8 | head -n1)
    if [ -z "$got" ]; then
      fail "$run: no reading for $family.$serial"
    elif within "$got" "$celsius" 0.1; then
      seen=$((seen + 1))
    else
      fail "$run: $family.$serial read $got, simulated $celsius"
    fi
  done
  echo "$run: $seen of ${#sensors[@]} temperatures match"
}

# --- our tool: the DS2490 backend on the emulated chip, in process ----------
if ! timeout 120 "$tool" read --sim "$work/devices.json" --adapter usb --port USB1 --format csv \
    >"$work/inprocess.csv" 2>"$work/inprocess.err"; then
  fail "qvds18x20 read --sim --adapter usb: $(tail -n3 "$work/inprocess.err")"
else
  check_tool_csv "qvds18x20 (type 6, emulated chip in process)" "$work/inprocess.csv"
fi

# --- our tool, as a libusb program under the stand-in ----------------------
if ! timeout 120 "$tool" sim-usb --devices "$work/devices.json" --id-chip --trace "$work/tool.trace" -- \
    "$tool" read --adapter usb --port USB1 --format csv >"$work/tool.csv" 2>"$work/tool.err"; then
  fail "qvds18x20 read through the stand-in: $(tail -n3 "$work/tool.err")"
else
  check_tool_csv "qvds18x20 (type 6 through libusb)" "$work/tool.csv"
  grep -q "libusb_set_interface_alt_setting 0 3 -> 0" "$work/tool.trace" || fail "qvds18x20 did not select alt setting 3"
fi
# With no adapter there is nothing to open.
if "$tool" sim-usb --devices "$work/devices.json" -- "$tool" read --adapter usb --port USB2 >/dev/null 2>"$work/usb2.err"; then
  fail "USB2 opened with one adapter present"
fi
grep -q "port does not exist" "$work/usb2.err" || fail "USB2: $(cat "$work/usb2.err")"
# The ports command lists the emulated adapters.
"$tool" sim-usb --devices "$work/devices.json" --devices - -- "$tool" ports >"$work/ports" 2>&1
grep -q "^USB2 *DS2490 on bus 1, device 5" "$work/ports" || fail "ports: $(cat "$work/ports")"

# --- owserver -u + owread ---------------------------------------------------
missing=()
for p in owserver owread owdir; do command -v "$p" >/dev/null 2>&1 || missing+=("$p"); done
if ((${#missing[@]})); then
  echo "SKIP owserver: not installed: ${missing[*]}"
else
  port="" pid=""
  for try in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 20000))
    "$tool" sim-usb --devices "$work/devices.json" --id-chip --trace "$work/owserver.trace" -- \
      owserver -u -p "127.0.0.1:$port" --foreground --error_level=1 >"$work/owserver.log" 2>&1 &
    pid=$!
    if wait_for "owdir -s 127.0.0.1:$port / | grep -q '^/28\\.'" 30; then break; fi
    kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
    pid=""
  done
  if [ -z "$pid" ]; then
    fail "owserver -u never listed the sensors: $(tail -n5 "$work/owserver.log")"
  else
    pids+=("$pid")
    owdir -s "127.0.0.1:$port" / >"$work/owdir"
    grep -q '^/81\.' "$work/owdir" || fail "owserver does not list the adapter's ID chip: $(tr '\n' ' ' <"$work/owdir")"
    seen=0
    for s in "${sensors[@]}"; do
      read -r serial family celsius <<<"$s"
      id="$family.$(bus_order "$serial")"
      t=$(timeout 30 owread -s "127.0.0.1:$port" "/uncached/$id/temperature" 2>&1) || { fail "owread $id: $t"; continue; }
      t=$(echo "$t" | tr -d ' ')
      if within "$t" "$celsius" 0.001; then
        seen=$((seen + 1))
      else
        fail "owserver: $id read $t, simulated $celsius"
      fi
    done
    echo "owserver -u: $seen of ${#sensors[@]} temperatures match"
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  fi
fi

if ((failures)); then
  echo "$failures failure(s)"
  exit 1
fi
echo "every client read every simulated temperature through the emulated DS2490"
