#!/usr/bin/env bash
# The emulated DS2482 through the i2c-dev stand-in: OWFS's owserver
# (--i2c=/dev/i2c-1:ALL, its own DS2482 driver over i2c-dev) with owread,
# and our own tool as adapter type 8, each an unmodified program under
# `qvds18x20 sim-i2c`, read every simulated temperature, which must be the
# one the device file gives: on a DS2482-100, and on a DS2482-800 with
# sensors on two channels, parasite-powered sensors on both. Then what
# sim-i2c and the tool say when something is wrong.
#
#   tests/i2c_third_party_test.sh BUILD_DIR
#
# Skips (exit 0) only where the build has no i2c-dev stand-in (not Linux)
# and, for owserver alone, where owserver/owread are not installed (Debian
# packages owserver, ow-shell).
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=support/peer_programs.sh
source "$here/support/peer_programs.sh"
peers_tool "${1:-}"
shim=$build/tools/qvds18x20/libqvds18x20_i2cshim.so
if [ ! -f "$shim" ]; then
  echo "SKIP: no i2c-dev stand-in in this build (not Linux)"
  exit 0
fi

peers_work

# Serial (most significant byte first), family, temperature, power.
hundred=(
  "0416913C6BFF 28 21.5 vdd"
  "0316A2B80C11 28 4.0625 parasite"
  "041700000A3B 28 85.5 vdd"
  "000802B4A1C3 10 23.75 vdd"
)
channel2=(
  "0417C0DE0042 28 -18.25 vdd"
  "000802B4A2D7 10 -3.25 parasite"
  "0422AA55AA01 28 0.5 vdd"
)
channel5=(
  "051234567890 28 31.125 parasite"
  "000802B4A3E9 10 12.5 vdd"
)
device_file "${hundred[@]}" >"$work/hundred.json"
device_file "${channel2[@]}" | sed 's/00001A2B3C4D/00001A2B3C4E/' >"$work/channel2.json"
device_file "${channel5[@]}" | sed 's/00001A2B3C4D/00001A2B3C4F/' >"$work/channel5.json"

# Our tool's CSV ($2) against the sensors after $3; $1 names the run. Each
# temperature is also kept in $work/ours.<family>.<serial> for owserver's.
check_tool_csv() {
  local run=$1 file=$2 seen=0 s serial family celsius power got
  shift 2
  for s in "$@"; do
    read -r serial family celsius power <<<"$s"
    got=$(grep -E "^[^,]*,[^,]*,8,[0-9]+,$(tool_rom "$serial" "$family")," "$file" | cut -d, -f8 | head -n1)
    if [ -z "$got" ]; then
      fail "$run: no reading for $family.$serial ($power)"
    elif within "$got" "$celsius" 0.1; then
      seen=$((seen + 1))
      echo "$got" >"$work/ours.$family.$serial"
    else
      fail "$run: $family.$serial ($power) read $got, simulated $celsius"
    fi
  done
  echo "$run: $seen of $# temperatures match"
}

# --- our tool, as an i2c-dev program under the stand-in ---------------------
sim100=("$tool" sim-i2c --devices "$work/hundred.json")
sim800=("$tool" sim-i2c --chip ds2482-800 --address 0x1C --channel "2=$work/channel2.json" --channel "5=$work/channel5.json")

if ! timeout 120 "${sim100[@]}" --trace "$work/tool100.trace" -- \
    "$tool" read --adapter ds2482 --port /dev/i2c-1 --format csv >"$work/tool100.csv" 2>"$work/tool100.err"; then
  fail "qvds18x20 read on the DS2482-100: $(tail -n3 "$work/tool100.err")"
else
  check_tool_csv "qvds18x20 (type 8, DS2482-100)" "$work/tool100.csv" "${hundred[@]}"
fi
grep -q "^open /dev/i2c-1 -> " "$work/tool100.trace" || fail "our tool did not open /dev/i2c-1 through the stand-in"
grep -q "^ioctl I2C_SLAVE 0x18" "$work/tool100.trace" || fail "our tool did not address the chip at 0x18"
# CONVERT T with SPU for the parasite sensor: configuration APU+SPU (A5h).
grep -q "W 18 \[D2 A5\] -> ack" "$work/tool100.trace" || fail "our tool never set SPU for the parasite sensor"

for c in 2 5; do
  if [ "$c" = 2 ]; then list=("${channel2[@]}"); else list=("${channel5[@]}"); fi
  if ! timeout 120 "${sim800[@]}" -- "$tool" read --adapter ds2482 --port "/dev/i2c-1:0x1C:$c" --format csv \
      >"$work/tool800.$c.csv" 2>"$work/tool800.$c.err"; then
    fail "qvds18x20 read on the DS2482-800 channel $c: $(tail -n3 "$work/tool800.$c.err")"
  else
    check_tool_csv "qvds18x20 (type 8, DS2482-800 channel $c)" "$work/tool800.$c.csv" "${list[@]}"
  fi
done

# --- owserver --i2c + owread --------------------------------------------------
# owserver under the stand-in (the sim-i2c arguments "$@"), with its own
# DS2482 driver over i2c-dev.
start_i2c_owserver() {
  local log=$1
  shift
  start_owserver "$log" "$@" -- owserver --i2c=/dev/i2c-1:ALL --error_level=1
}

# owread of every sensor, against the device file and against our tool.
check_owread() {
  local run=$1 seen=0 s serial family celsius power id t p ours
  shift
  for s in "$@"; do
    read -r serial family celsius power <<<"$s"
    id="$family.$(bus_order "$serial")"
    t=$(timeout 30 owread -s "127.0.0.1:$owserver_port" "/uncached/$id/temperature" 2>&1) || { fail "$run: owread $id: $t"; continue; }
    t=$(echo "$t" | tr -d ' ')
    p=$(timeout 30 owread -s "127.0.0.1:$owserver_port" "/uncached/$id/power" 2>&1 | tr -d ' ')
    ours=$(cat "$work/ours.$family.$serial" 2>/dev/null)
    if ! within "$t" "$celsius" 0.001; then
      fail "$run: $id ($power) read $t, simulated $celsius"
    elif [ -n "$ours" ] && ! within "$t" "$ours" 0.1; then
      fail "$run: $id read $t, our tool $ours"
    elif [ "$p" != "$([ "$power" = parasite ] && echo 0 || echo 1)" ]; then
      fail "$run: $id power reads $p, the sensor is $power-powered"
    else
      seen=$((seen + 1))
    fi
  done
  echo "$run: $seen of $# temperatures match the device file and our tool"
}

missing=()
for p in owserver owread owdir; do command -v "$p" >/dev/null 2>&1 || missing+=("$p"); done
if ((${#missing[@]})); then
  echo "SKIP owserver: not installed: ${missing[*]}"
else
  if ! start_i2c_owserver "$work/owserver100.log" "${sim100[@]}" --trace "$work/owserver100.trace"; then
    fail "owserver --i2c never listed the DS2482-100's sensors: $(tail -n5 "$work/owserver100.log")"
  else
    grep -q "DS2482-100" "$work/owserver100.log" || fail "owserver did not take the chip for a DS2482-100"
    check_owread "owserver --i2c (DS2482-100)" "${hundred[@]}"
    grep -q "^open /dev/i2c-1 -> " "$work/owserver100.trace" || fail "owserver did not open /dev/i2c-1 through the stand-in"
    grep -q "W 18 \[D2 A5\] -> ack" "$work/owserver100.trace" || fail "owserver never set SPU for the parasite sensor"
    stop_owserver
  fi
  if ! start_i2c_owserver "$work/owserver800.log" "${sim800[@]}"; then
    fail "owserver --i2c never listed the DS2482-800's sensors: $(tail -n5 "$work/owserver800.log")"
  else
    grep -q "DS2482-800" "$work/owserver800.log" || fail "owserver did not take the chip for a DS2482-800"
    owdir -s "127.0.0.1:$owserver_port" /bus.5 >"$work/bus5" 2>&1
    grep -q "^/bus.5/28\.$(bus_order 051234567890)" "$work/bus5" || fail "owserver: channel 5 is not bus.5: $(tr '\n' ' ' <"$work/bus5")"
    check_owread "owserver --i2c (DS2482-800, channels 2 and 5)" "${channel2[@]}" "${channel5[@]}"
    stop_owserver
  fi
fi

# --- the stand-in's calls, one by one ----------------------------------------
# A program that makes each i2c-dev call itself (Python through the C
# library): I2C_FUNCS, I2C_RDWR, I2C_SMBUS, read and write, the errors the
# kernel gives, and other files passed through.
if command -v python3 >/dev/null 2>&1; then
  cat >"$work/calls.py" <<'PY'
import ctypes, errno, os, sys
libc = ctypes.CDLL(None, use_errno=True)
I2C_SLAVE, I2C_TENBIT, I2C_FUNCS, I2C_SLAVE_FORCE, I2C_RDWR, I2C_SMBUS = 0x0703, 0x0704, 0x0705, 0x0706, 0x0707, 0x0720
class Msg(ctypes.Structure):
    _fields_ = [("addr", ctypes.c_uint16), ("flags", ctypes.c_uint16), ("len", ctypes.c_uint16),
                ("buf", ctypes.POINTER(ctypes.c_uint8))]
class Rdwr(ctypes.Structure):
    _fields_ = [("msgs", ctypes.POINTER(Msg)), ("nmsgs", ctypes.c_uint32)]
class Data(ctypes.Union):
    _fields_ = [("byte", ctypes.c_uint8), ("word", ctypes.c_uint16), ("block", ctypes.c_uint8 * 34)]
class Smbus(ctypes.Structure):
    _fields_ = [("read_write", ctypes.c_uint8), ("command", ctypes.c_uint8), ("size", ctypes.c_uint32),
                ("data", ctypes.POINTER(Data))]
failed = []
def check(what, ok):
    if not ok:
        failed.append(what)
def ioctl(fd, request, arg):
    r = libc.ioctl(fd, ctypes.c_ulong(request), arg)
    return r, ctypes.get_errno() if r < 0 else 0
def buf(*b):
    return (ctypes.c_uint8 * max(len(b), 1))(*b)

fd = os.open("/dev/i2c-1", os.O_RDWR)
funcs = ctypes.c_ulong()
check("I2C_FUNCS", ioctl(fd, I2C_FUNCS, ctypes.byref(funcs))[0] == 0 and funcs.value & 1)
# Device Reset, then the status, as one combined transfer: 18h.
out, into = buf(0xF0), buf(0)
msgs = (Msg * 2)(Msg(0x18, 0, 1, out), Msg(0x18, 1, 1, into))
check("I2C_RDWR reset and status", ioctl(fd, I2C_RDWR, ctypes.byref(Rdwr(msgs, 2)))[0] == 2 and into[0] == 0x18)
msgs = (Msg * 1)(Msg(0x19, 1, 1, into))
check("I2C_RDWR to an absent address", ioctl(fd, I2C_RDWR, ctypes.byref(Rdwr(msgs, 1))) == (-1, errno.EREMOTEIO))
check("I2C_RDWR, 43 messages", ioctl(fd, I2C_RDWR, ctypes.byref(Rdwr((Msg * 43)(), 43))) == (-1, errno.EINVAL))
# SMBus write byte data (configuration: APU), receive byte: 01h.
check("I2C_SLAVE", ioctl(fd, I2C_SLAVE, ctypes.c_ulong(0x18))[0] == 0)
d = Data()
d.byte = 0xE1
check("I2C_SMBUS write byte data", ioctl(fd, I2C_SMBUS, ctypes.byref(Smbus(0, 0xD2, 2, ctypes.pointer(d))))[0] == 0)
check("I2C_SMBUS receive byte", ioctl(fd, I2C_SMBUS, ctypes.byref(Smbus(1, 0, 1, ctypes.pointer(d))))[0] == 0
      and d.byte == 0x01)
# write() and read(): pointer to the status, 08h (RST cleared, line high).
check("write", os.write(fd, bytes([0xE1, 0xF0])) == 2)
check("read", os.read(fd, 1) == b"\x08")
try:
    os.write(fd, bytes([0x55]))
    check("a refused command fails", False)
except OSError as e:
    check("a refused command is EREMOTEIO", e.errno == errno.EREMOTEIO)
check("I2C_SLAVE_FORCE", ioctl(fd, I2C_SLAVE_FORCE, ctypes.c_ulong(0x1A))[0] == 0)
try:
    os.read(fd, 1)
    check("nobody at 0x1A", False)
except OSError as e:
    check("nobody at 0x1A is EREMOTEIO", e.errno == errno.EREMOTEIO)
check("I2C_SLAVE 0x80", ioctl(fd, I2C_SLAVE, ctypes.c_ulong(0x80)) == (-1, errno.EINVAL))
check("I2C_TENBIT", ioctl(fd, I2C_TENBIT, ctypes.c_ulong(1)) == (-1, errno.EINVAL))
check("an unknown ioctl", ioctl(fd, 0x5401, ctypes.c_ulong(0)) == (-1, errno.ENOTTY))
os.close(fd)
# Everything else is the system's.
path = sys.argv[1]
with open(path, "w") as f:
    f.write("passed through\n")
with open(path) as f:
    check("another file", f.read() == "passed through\n")
print("\n".join(failed) if failed else "all calls answered")
sys.exit(1 if failed else 0)
PY
  if ! out=$("${sim100[@]}" --trace "$work/calls.trace" -- python3 "$work/calls.py" "$work/plain.txt" 2>&1); then
    fail "the stand-in's calls: $out"
  fi
  grep -q "^ioctl I2C_RDWR 2 messages" "$work/calls.trace" || fail "I2C_RDWR is not in the trace"
else
  echo "SKIP the stand-in's calls one by one: no python3"
fi
# owserver talks SMBus (its i2c_smbus_* helpers), our tool plain transfers.
if [ -f "$work/owserver100.trace" ]; then
  grep -q "^ioctl I2C_SMBUS write size 2 command D2" "$work/owserver100.trace" ||
    fail "owserver's SMBus calls are not in the trace"
fi
grep -q "^ioctl I2C_SMBUS" "$work/tool100.trace" && fail "our tool used SMBus calls where the bus has plain transfers"

# --- what sim-i2c and the tool say when something is wrong -------------------
# A bad device file fails sim-i2c before the program runs.
echo '{"devices": [{"type": "DS18B20", "celsius": 300}]}' >"$work/bad.json"
if "$tool" sim-i2c --chip ds2482-800 --channel "3=$work/bad.json" -- touch "$work/ran" 2>"$work/bad.err"; then
  fail "sim-i2c ran with a bad device file"
fi
[ -e "$work/ran" ] && fail "the program ran although a device file was bad"
grep -q "bad.json: device 0: \"celsius\"" "$work/bad.err" || fail "bad device file: $(cat "$work/bad.err")"
# Signals reach the program: it is the process sim-i2c started as.
"$tool" sim-i2c --devices "$work/hundred.json" -- sleep 60 &
sleeper=$!
pids+=("$sleeper")
sleep 0.5
kill -TERM "$sleeper"
wait "$sleeper"
status=$?
[ "$status" = 143 ] || fail "SIGTERM to sim-i2c: the program ended with $status, not 143"
# A chip at another address, a channel the -100 has not, a bus the user
# may not open, an address a kernel driver holds, a bus not there.
expect_error() {
  local what=$1 pattern=$2
  shift 2
  if "$@" >"$work/err.out" 2>&1; then
    fail "$what: succeeded"
  elif ! grep -q -- "$pattern" "$work/err.out"; then
    fail "$what: $(cat "$work/err.out")"
  fi
}
expect_error "address 0x19" "devices answer at 0x18 (name the address: --port /dev/i2c-1:0x18)" \
  "${sim100[@]}" -- "$tool" read --adapter ds2482 --port /dev/i2c-1:0x19
expect_error "channel 3 of a -100" "has no channel 3" \
  "${sim100[@]}" -- "$tool" read --adapter ds2482 --port /dev/i2c-1:0x18:3
expect_error "permission denied" "sudo adduser \$USER i2c" \
  env QVDS_SIM_I2C_OPEN_ERRNO=13 "${sim100[@]}" -- "$tool" read --adapter ds2482 --port /dev/i2c-1
expect_error "held by a kernel driver" "modprobe -r ds2482" \
  env QVDS_SIM_I2C_BOUND=1 "${sim100[@]}" -- "$tool" read --adapter ds2482 --port /dev/i2c-1
expect_error "no such bus" "load the i2c-dev module" \
  "${sim100[@]}" -- "$tool" read --adapter ds2482 --port /dev/i2c-7
# The stand-in carries what it uses: nothing it needs is the tool's.
undefined=$(nm -D --undefined-only "$shim" | awk '$NF !~ /@/ && $1 != "w" {print $NF}')
[ -z "$undefined" ] || fail "the stand-in needs symbols it does not carry: $undefined"

peers_finish "owserver, owread and our tool read every simulated temperature through the emulated DS2482-100 and -800"
