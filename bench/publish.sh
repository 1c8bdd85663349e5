#!/usr/bin/env bash
# What publishing to MQTT costs a round of watch: ten DS18B20 on the
# simulated bus, watch with and without --mqtt to a local mosquitto
# broker. A round's time is (time of N+1 rounds - time of 1 round) / N,
# so that starting the tool and connecting count once, not per round.
#
#   bench/publish.sh BUILD-DIR [ROUNDS]     (default 10 rounds)
set -euo pipefail
PATH=$PATH:/usr/sbin
TOOL=$1/tools/qvds18x20/qvds18x20
ROUNDS=${2:-10}
WORK=$(mktemp -d)
broker=
trap '[ -n "$broker" ] && kill "$broker" 2>/dev/null; rm -rf "$WORK"' EXIT

{
  printf '{"devices": ['
  for i in $(seq 10); do
    [ "$i" -gt 1 ] && printf ','
    printf '{"type": "DS18B20", "serial": %d, "celsius": %d.5}' "$i" "$((15 + i))"
  done
  printf ']}\n'
} >"$WORK/ten.json"

for _ in $(seq 20); do
  port=$((20000 + RANDOM % 40000))
  printf 'listener %s 127.0.0.1\nallow_anonymous true\nuser %s\n' "$port" "$(id -un)" >"$WORK/b.conf"
  mosquitto -c "$WORK/b.conf" >"$WORK/b.log" 2>&1 &
  broker=$!
  for _ in $(seq 200); do grep -q -e running -e Error "$WORK/b.log" && break; sleep 0.05; done
  grep -q running "$WORK/b.log" && break
  kill "$broker" 2>/dev/null || true
  broker=
done
[ -n "$broker" ] || { echo "no broker started" >&2; exit 1; }

seconds() {  # COUNT ARGS...: wall time of one watch run
  local count=$1 start end
  shift
  start=$(date +%s.%N)
  "$TOOL" watch --interval 0 --count "$count" --sim "$WORK/ten.json" --format json "$@" >"$WORK/out" 2>"$WORK/err"
  end=$(date +%s.%N)
  [ "$(wc -l <"$WORK/out")" -eq "$count" ] || { echo "watch printed $(wc -l <"$WORK/out") of $count rounds" >&2; exit 1; }
  ! grep -q . "$WORK/err" || { cat "$WORK/err" >&2; exit 1; }
  awk -v a="$start" -v b="$end" 'BEGIN { print b - a }' 
}
round_ms() {  # ARGS...: milliseconds per round
  local one many
  one=$(seconds 1 "$@")
  many=$(seconds $((ROUNDS + 1)) "$@")
  awk -v one="$one" -v many="$many" -v n="$ROUNDS" 'BEGIN { print (many - one) * 1000 / n }' 
}

plain=$(round_ms)
mqtt=$(round_ms --mqtt "mqtt://127.0.0.1:$port/bench")
printf 'round, 10 sensors, no publishing (reference): %8.2f ms\n' "$plain"
printf 'round, 10 sensors, --mqtt to a local broker:  %8.2f ms  (%+.2f ms)\n' "$mqtt" "$(awk -v a="$mqtt" -v b="$plain" 'BEGIN { print a - b }')"
