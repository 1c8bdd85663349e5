#!/usr/bin/env bash
# The tool's options and publishers against what a careless shell or a
# hostile network gives them: empty and odd option values, MQTT prefixes
# no broker can take, a broker away at the end of a command, /metrics with
# slow clients, Range requests and a second program on its port, and a
# metrics file whose folder comes and goes. Every wait has a deadline.
#
#   tests/tool_hardening_test.sh BUILD-DIR
set -uo pipefail
PATH=$PATH:/usr/sbin:/sbin
BUILD=$1
TOOL=$BUILD/tools/qvds18x20/qvds18x20
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
for program in "$TOOL" mosquitto mosquitto_sub promtool python3 ss; do
  command -v "$program" >/dev/null || { echo "FAIL: $program is missing (scripts/deps.sh installs it)"; exit 1; }
done
# shellcheck source-path=SCRIPTDIR source=support/cli_help.sh
source "$here/support/cli_help.sh"
# shellcheck source-path=SCRIPTDIR source=support/tool_harness.sh
source "$here/support/tool_harness.sh"
cleanup_also=help_cache_cleanup
# run NAME TOOL-ARGS...: the tool in the foreground (60 s at most); sets RC
run() {
  local name=$1
  shift
  timeout -s KILL 60 "$TOOL" "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" </dev/null
  RC=$?
}
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
start_broker() {  # PORT: a broker there; sets BROKER_PID
  printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$1" >"$WORK/broker-$1.conf"
  mosquitto -c "$WORK/broker-$1.conf" >"$WORK/broker-$1.log" 2>&1 &
  BROKER_PID=$!
  pids+=("$BROKER_PID")
  wait_until 20 has "$WORK/broker-$1.log" running
}

# --- every option with a value refuses an empty one ------------------------
# Every command's options as --help lists them: an option with a type takes
# a value, and "" is never one (an unset variable gives it).
for cmd in $(help_commands "$TOOL"); do
  while IFS=$'\t' read -r names _ form; do
    [ -n "$form" ] || continue
    option=$(tr ',' '\n' <<<"$names" | grep '^--' | head -1)
    [ -n "$option" ] || continue
    args=("$cmd" "$option" "")
    # What the command needs besides to get that far.
    [ "$cmd" = watch ] && [ "$option" != --interval ] && args+=(--interval 1)
    [ "$cmd" = watch ] && [ "$option" != --count ] && args+=(--count 1)
    [ "$cmd" = sim-usb ] && args+=(-- /bin/true)
    run empty "${args[@]}"
    expect "$cmd $option \"\" is a usage error naming the option" \
      bash -c "[ $RC -eq 2 ] && grep -q -- '$option' '$WORK/empty.err' && [ ! -s '$WORK/empty.out' ]"
  done < <(help_option_lines "$TOOL" "$cmd")
done

# A build without MQTT or without /metrics (QVDS_WITH_MQTT, QVDS_WITH_HTTP)
# has no such options to harden.
has_mqtt=0
has_http=0
help_options "$TOOL" watch | grep -qx -- --mqtt && has_mqtt=1
help_options "$TOOL" watch | grep -qx -- --metrics-listen && has_http=1
((has_mqtt)) || echo "skip: this tool is built without MQTT"
((has_http)) || echo "skip: this tool is built without /metrics"

# --- ranges said in a line -------------------------------------------------
ranges=("sim-usb --speedup 0 -- /bin/true" "sim-i2c --speedup 0.05 -- /bin/true" "sim-i2c --speedup 5000 -- /bin/true")
((has_mqtt)) && ranges+=("watch --interval 1 --count 1 --mqtt mqtt://127.0.0.1/p --mqtt-queue 0"
  "read --mqtt mqtt://127.0.0.1/p --mqtt-grace -1")
for args in "${ranges[@]}"; do
  # shellcheck disable=SC2086
  run range $args
  expect "$args: usage error with a short range" \
    bash -c "[ $RC -eq 2 ] && [ \$(head -1 '$WORK/range.err' | wc -c) -lt 100 ] && head -1 '$WORK/range.err' | grep -q 'range'"
done

# --- MQTT options no broker can take fail before anything runs ------------
if ((has_mqtt)); then
dead=$(free_port)
run wildcard read --sim --mqtt "mqtt://127.0.0.1:$dead/p" --mqtt-discovery --mqtt-discovery-prefix 'ha/+'
expect "a discovery prefix with a wildcard is a usage error naming it" \
  bash -c "[ $RC -eq 2 ] && grep -q -- '--mqtt-discovery-prefix \"ha/+\"' '$WORK/wildcard.err' && grep -q wildcard '$WORK/wildcard.err' && [ ! -s '$WORK/wildcard.out' ]"
long=$(head -c 70000 /dev/zero | tr '\0' a)
run long watch --interval 1 --sim --mqtt "mqtt://127.0.0.1:$dead/p" --mqtt-discovery --mqtt-discovery-prefix "$long"
expect "a discovery prefix of 70,000 characters is a usage error, said in a line" \
  bash -c "[ $RC -eq 2 ] && grep -q '65535' '$WORK/long.err' && [ \$(wc -c <'$WORK/long.err') -lt 300 ]"
run utf read --sim --mqtt "mqtt://127.0.0.1:$dead/pre"$'\xff'
expect "a topic prefix that is not UTF-8 is a usage error" \
  bash -c "[ $RC -eq 2 ] && grep -q 'UTF-8' '$WORK/utf.err' && [ ! -s '$WORK/utf.out' ]"
# The broker's own topics: it would take the messages and drop them.
run sys read --sim --mqtt "mqtt://127.0.0.1:$dead/\$SYS/x"
expect "a topic prefix in \$SYS is a usage error naming it" \
  bash -c "[ $RC -eq 2 ] && grep -q 'begins with \\$' '$WORK/sys.err' && [ ! -s '$WORK/sys.out' ]"
run sysd watch --interval 1 --sim --mqtt "mqtt://127.0.0.1:$dead/p" --mqtt-discovery --mqtt-discovery-prefix '$SYS'
expect "a discovery prefix \$SYS is a usage error naming it" \
  bash -c "[ $RC -eq 2 ] && grep -qF -- '--mqtt-discovery-prefix \"\$SYS\" cannot be used' '$WORK/sysd.err' && [ ! -s '$WORK/sysd.out' ]"
run cafile read --sim --mqtt "mqtts://127.0.0.1:$dead/p" --mqtt-cafile "$WORK/no-such-ca.pem"
expect "a CA file that cannot be read is named with the reason" \
  bash -c "[ $RC -eq 1 ] && grep -q '$WORK/no-such-ca.pem: cannot be read (No such file or directory)' '$WORK/cafile.err'"

# --- the end of a command: once more, then the exit status tells ----------
run away watch --interval 0.2 --count 3 --sim --mqtt "mqtt://127.0.0.1:$dead/gone" --mqtt-grace 2
expect "watch with the broker away at its end exits 1" [ "$RC" -eq 1 ]
expect "and names what it could not deliver" grep -q "3 measurements not delivered to the MQTT broker at 127.0.0.1:$dead (connection refused)" "$WORK/away.err"
expect "after trying once more" grep -q "trying the MQTT broker at 127.0.0.1:$dead once more" "$WORK/away.err"
# The broker comes back a round before the end, while watch waits out a
# back-off that would reach past it.
back=$(free_port)
run_bg back watch --interval 1 --count 10 --format json --sim --mqtt "mqtt://127.0.0.1:$back/back"
# Tries at 0, 1, 3 and 7 s; the next, at 15 s, would come after the end.
expect "watch waits for the broker" wait_until 60 has "$WORK/back.err" "next try in 8 s"
start_broker "$back"
finish_bg 60
expect "a broker back before the end gets everything: exit 0" [ "$RC" -eq 0 ]
expect "nothing was left undelivered" bash -c "! grep -q 'not delivered' '$WORK/back.err'"
last_temp=$(tail -1 "$WORK/back.out" | python3 -c 'import json, sys; s = [x for x in json.load(sys.stdin)["sensors"] if x["celsius"] is not None][0]; print(s["rom"], ("%.4f" % s["celsius"]).rstrip("0").rstrip("."))')
read -r rom temp <<<"$last_temp"
expect "the last round's temperature is the broker's" \
  bash -c "[ \"\$(timeout 10 mosquitto_sub -p $back -t 'back/$rom/temperature' -C 1)\" = '$temp' ]"
fi

# --- /metrics --------------------------------------------------------------
if ((has_http)); then
run_bg m1 watch --interval 0.5 --sim --metrics-listen 0
expect "/metrics says where it listens" wait_until 30 has "$WORK/m1.err" 'serving metrics at http://127.0.0.1:[0-9]*/metrics'
mport=$(sed -n 's|.*http://127.0.0.1:\([0-9]*\)/metrics.*|\1|p' "$WORK/m1.err" | head -1)
m1=$TOOL_PID
expect "without an address it listens on 127.0.0.1 only" \
  bash -c "[ \"\$(ss -ltnH 'sport = :$mport' | awk '{print \$4}')\" = '127.0.0.1:$mport' ]"
run m2 watch --interval 0.5 --count 3 --sim --metrics-listen "127.0.0.1:$mport"
expect "a second watch on the port fails at once" \
  bash -c "[ $RC -eq 1 ] && grep -q 'port is in use' '$WORK/m2.err' && [ ! -s '$WORK/m2.out' ]"
python3 - "$mport" >"$WORK/slow.log" 2>&1 <<'PY'
# Fifty clients that send their request one header line a second, and
# scrapes beside them; then a Range request of a thousand parts.
import socket, sys, threading, time, urllib.request
port = int(sys.argv[1])
stop = threading.Event()
socks = []
for _ in range(50):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"GET /metrics HTTP/1.1\r\n")
    socks.append(s)
def trickle():
    while not stop.is_set():
        for s in socks:
            try:
                s.sendall(b"X-Slow: 1\r\n")
            except OSError:
                pass
        stop.wait(1.0)
threading.Thread(target=trickle, daemon=True).start()
time.sleep(1.5)  # the slow clients have their connections
ok = 0
for _ in range(5):
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=2) as r:
            ok += r.status == 200 and b"qvds18x20_measurements_total" in r.read()
    except Exception as e:
        print("scrape failed:", e)
print("scrapes", ok)
# The server drops each slow client when its request's deadline passes.
dropped = 0
deadline = time.time() + 15
for s in socks:
    s.settimeout(max(0.1, deadline - time.time()))
    try:
        while s.recv(4096):
            pass
        dropped += 1
    except ConnectionResetError:
        dropped += 1  # closed with a header line of ours unread
    except OSError:
        pass
stop.set()
print("dropped", dropped)
def get(extra):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(("GET /metrics HTTP/1.0\r\n%s\r\n" % extra).encode())
    s.settimeout(10)
    data = b""
    while True:
        b = s.recv(65536)
        if not b:
            break
        data += b
    head, _, body = data.partition(b"\r\n\r\n")
    return head.split(b"\r\n")[0].decode(), len(body)
plain = get("")
ranged = get("Range: bytes=" + ",".join("0-%d" % (i % 50 + 10) for i in range(1000)) + "\r\n")
print("plain", plain[0], plain[1])
print("range", ranged[0], ranged[1])
PY
expect "5 of 5 scrapes answered beside 50 slow clients" grep -q '^scrapes 5$' "$WORK/slow.log"
expect "the slow clients were dropped at their deadline" grep -q '^dropped 50$' "$WORK/slow.log"
expect "a Range request gets the whole page, as a plain one" \
  bash -c "p=\$(sed -n 's/^plain //p' '$WORK/slow.log'); r=\$(sed -n 's/^range //p' '$WORK/slow.log'); [ -n \"\$p\" ] && [ \"\$p\" = \"\$r\" ] && grep -q '^plain HTTP/1.1 200 OK ' '$WORK/slow.log'"
python3 - "$mport" >"$WORK/hog.log" 2>&1 <<'PY'
# Clients that send their GET and never read the answer, kept at 64 and
# more; scrapes beside them. Then requests in versions the server does
# and does not speak.
import socket, sys, threading, time, urllib.request
port = int(sys.argv[1])
stop = threading.Event()
held = []
def hog():
    while not stop.is_set():
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=1)
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
            held.append(s)
        except OSError:
            pass
        while len(held) > 200:
            held.pop(0).close()
        time.sleep(0.005)
threading.Thread(target=hog, daemon=True).start()
while len(held) < 100:
    time.sleep(0.05)
ok = 0
for _ in range(10):
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=2) as r:
            ok += r.status == 200 and b"qvds18x20_measurements_total" in r.read()
    except Exception as e:
        print("scrape failed:", e)
stop.set()
print("scrapes", ok)
def status(version):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(("GET /metrics %s\r\n\r\n" % version).encode())
    s.settimeout(10)
    data = b""
    while True:
        b = s.recv(65536)
        if not b:
            break
        data += b
    return data.split(b"\r\n")[0].decode()
for version in ("HTTP/1.0", "HTTP/1.1", "HTTP/9.9", "HTTP/2.0", "HTTP/one"):
    print(version, status(version))
PY
expect "10 of 10 scrapes answered beside clients that never read" grep -q '^scrapes 10$' "$WORK/hog.log"
expect "HTTP/1.0 and 1.1 are answered" \
  bash -c "grep -q '^HTTP/1.0 HTTP/1.1 200 OK$' '$WORK/hog.log' && grep -q '^HTTP/1.1 HTTP/1.1 200 OK$' '$WORK/hog.log'"
expect "other versions get 505" \
  bash -c "grep -q '^HTTP/9.9 HTTP/1.1 505 HTTP Version Not Supported$' '$WORK/hog.log' && grep -q '^HTTP/2.0 HTTP/1.1 505 ' '$WORK/hog.log'"
expect "a version that is none is a bad request" grep -q '^HTTP/one HTTP/1.1 400 Bad Request$' "$WORK/hog.log"
exec 3<>"/dev/tcp/127.0.0.1/$mport"
printf 'GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n' >&3
tr -d '\r' <&3 | sed '1,/^$/d' >"$WORK/scrape.prom"
exec 3<&-
expect "promtool accepts the page" promtool check metrics <"$WORK/scrape.prom"
kill -TERM "$m1"
TOOL_PID=$m1 finish_bg 30
expect "SIGTERM ends the watch serving /metrics with status 0" [ "$RC" -eq 0 ]
fi

# --- the metrics file ------------------------------------------------------
mkdir -p "$WORK/folder"
run dir read --sim --prometheus-file "$WORK/folder"
expect "--prometheus-file FOLDER says why and is a usage error" \
  bash -c "[ $RC -eq 2 ] && grep -q 'is a folder' '$WORK/dir.err' && [ ! -s '$WORK/dir.out' ]"
expect "and leaves no temporary file" bash -c "! ls '$WORK'/folder.tmp '$WORK'/folder/*.tmp 2>/dev/null"
mkdir -p "$WORK/coll"
run_bg pf watch --interval 0.3 --count 12 --format csv --sim --prometheus-file "$WORK/coll/t.prom"
wait_until 30 has "$WORK/coll/t.prom" measurements_total
rm -rf "$WORK/coll"
expect "a write that fails says why" wait_until 30 has "$WORK/pf.err" 'cannot be created (No such file or directory)'
mkdir -p "$WORK/coll"
finish_bg 60
expect "and that it was written again" grep -q 'written again' "$WORK/pf.err"
expect "once each" [ "$(grep -c 'cannot be created' "$WORK/pf.err")" -eq 1 ]
expect "a watch whose last write went in exits 0" [ "$RC" -eq 0 ]
expect "no temporary file is left behind" bash -c "! ls '$WORK'/coll/*.tmp 2>/dev/null"

echo "hardening: $failures failed"
[ "$failures" -eq 0 ]
