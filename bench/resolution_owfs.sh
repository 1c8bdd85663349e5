#!/usr/bin/env bash
# A whole round of 20 DS18B20 at 9 bits, as an owserver-protocol client
# makes it: write 1 to /simultaneous/temperature, then read each sensor's
# /uncached/.../latesttemp (ow-shell's owwrite and owread, a process per
# request, as a script would), against `qvds18x20 serve` and against
# OWFS's owserver, each on the same emulated DS2480B (sim-adapter, real
# timing). The engine's own round of these sensors is bench/engine's
# BM_ResolutionRound; a 9-bit conversion takes 93.75 ms at most, a 12-bit
# one 750 ms.
#
#   bench/resolution_owfs.sh BUILD-DIR [ROUNDS]     (default 3 rounds)
set -euo pipefail
TOOL=$1/tools/qvds18x20/qvds18x20
ROUNDS=${2:-3}
for program in "$TOOL" owserver owdir owread owwrite; do
  command -v "$program" >/dev/null || { echo "skipped: $program is not there (scripts/deps.sh test installs it)"; exit 0; }
done
WORK=$(mktemp -d)
adapter=
cleanup() {
  [ -n "$adapter" ] && kill -INT "$adapter" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

{
  printf '{"devices": ['
  for i in $(seq 20); do
    [ "$i" -gt 1 ] && printf ','
    printf '{"type": "DS18B20", "serial": "%012X", "celsius": %d.75, "resolution": 9}' "$((0x5000 + i))" "$((10 + i))"
  done
  printf ']}\n'
} >"$WORK/devices.json"
: >"$WORK/owfs.conf"
"$TOOL" sim-adapter --type ds2480b --realtime --devices "$WORK/devices.json" >"$WORK/adapter.out" 2>&1 &
adapter=$!
for _ in $(seq 100); do
  pty=$(head -1 "$WORK/adapter.out" 2>/dev/null || true)
  [[ $pty == /dev/* ]] && break
  sleep 0.1
done
[[ $pty == /dev/* ]] || { echo "sim-adapter printed no pseudo-terminal"; exit 1; }

# serve NAME PORT COMMAND...: starts a server, times ROUNDS rounds, stops it.
serve() {
  local name=$1 port=$2 server devs total=0 start end
  shift 2
  "$@" >"$WORK/$port.log" 2>&1 &
  server=$!
  for _ in $(seq 150); do
    owdir -s "$port" / 2>/dev/null | grep -q '^/28\.' && break
    sleep 0.2
  done
  devs=$(owdir -s "$port" / | grep '^/28\.' || true)
  [ "$(wc -l <<<"$devs")" -eq 20 ] || { echo "$name listed $(wc -l <<<"$devs") sensors, not 20"; kill "$server"; exit 1; }
  for _ in $(seq "$ROUNDS"); do
    start=$(date +%s%N)
    owwrite -s "$port" /simultaneous/temperature 1
    for d in $devs; do owread -s "$port" "/uncached$d/latesttemp" >/dev/null; done
    end=$(date +%s%N)
    total=$((total + end - start))
  done
  kill "$server"
  wait "$server" 2>/dev/null || true
  printf '  %-18s %6d ms a round\n' "$name" "$((total / ROUNDS / 1000000))"
}

port=$((30000 + $$ % 20000))
echo "20 DS18B20 at 9 bits on one emulated DS2480B: /simultaneous/temperature, then 20 latesttemp"
serve "qvds18x20 serve" "$port" "$TOOL" serve --port "$pty" --adapter ds2480b --owserver "127.0.0.1:$port"
serve "owserver" "$((port + 1))" owserver -c "$WORK/owfs.conf" --device="$pty" -p "127.0.0.1:$((port + 1))" \
  --foreground --error_level=0
