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

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=support/peer_programs.sh
source "$here/support/peer_programs.sh"
peers_tool "${1:-}"
shim=$(ls "$build"/tools/qvds18x20/libqvds18x20_usbshim.so 2>/dev/null)
if [ -z "$shim" ]; then
  echo "SKIP: no USB stand-in in this build (libusb-1.0 headers missing)"
  exit 0
fi
peers_start

# Compares our tool's CSV ($2) with the sensors; $1 names the run.
check_tool_csv() {
  local run=$1 file=$2 seen=0
  for s in "${sensors[@]}"; do
    read -r serial family celsius _ <<<"$s"
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
  if ! start_owserver "$work/owserver.log" "$tool" sim-usb --devices "$work/devices.json" --id-chip \
      --trace "$work/owserver.trace" -- owserver -u --error_level=1; then
    fail "owserver -u never listed the sensors: $(tail -n5 "$work/owserver.log")"
  else
    owdir -s "127.0.0.1:$owserver_port" / >"$work/owdir"
    grep -q '^/81\.' "$work/owdir" || fail "owserver does not list the adapter's ID chip: $(tr '\n' ' ' <"$work/owdir")"
    owread_sensors "$owserver_port" "$work/owread"
    check_temperatures "owserver -u" "$work/owread" owfs
    stop_owserver
  fi
fi

peers_finish "every client read every simulated temperature through the emulated DS2490"
