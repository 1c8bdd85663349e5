#!/usr/bin/env bash
# The owserver protocol's real clients against `qvds18x20 serve` on the
# simulated bus: OWFS's ow-shell (owdir, owread, owwrite, owget,
# owpresent), owhttpd -s with its pages fetched by curl, the Perl OWNet
# client FHEM uses, the npm owfs client Node-RED's nodes use, and the
# sequences Home Assistant's integration and openHAB's binding send
# (tests/support/owserver_replay.py). Every temperature they read must be
# the one the device file gives the simulated sensor. Where avahi's daemon
# runs, the server's _owserver._tcp announcement is looked for too.
#
#   tests/owserver_clients_test.sh BUILD_DIR
#
# The npm client is installed into BUILD_DIR/npm-owfs the first time.
# Skips (exit 0) a client only when it is not installed (Debian packages
# ow-shell, owhttpd, curl, libownet-perl, python3; npm for the npm client),
# saying so; skips all when the tool was built without serve.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=support/peer_programs.sh
source "$here/support/peer_programs.sh"
peers_tool "${1:-}"

if ! "$tool" serve --help >/dev/null 2>&1; then
  echo "SKIP: this build has no serve (built without standalone Asio)"
  exit 0
fi
peers_start
skipped=()
have() { command -v "$1" >/dev/null 2>&1; }

# Starts serve on a free port ("$@": more options); sets $port and $serve_pid.
start_serve() {
  local log=$work/serve-$RANDOM.log
  for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 20000))
    "$tool" serve --sim "$work/devices.json" --owserver "127.0.0.1:$port" "$@" >"$log.out" 2>"$log" &
    serve_pid=$!
    if wait_for "grep -q 'serving the owserver protocol' '$log'" 10; then
      pids+=("$serve_pid")
      return 0
    fi
    kill "$serve_pid" 2>/dev/null; wait "$serve_pid" 2>/dev/null
  done
  fail "serve did not start: $(cat "$log")"
  exit 1
}

start_serve
server=127.0.0.1:$port
id_of() { echo "$2.$(bus_order "$1")"; }

# --- ow-shell ---------------------------------------------------------------
if have owdir && have owread && have owwrite && have owget && have owpresent; then
  listing=$(timeout 20 owdir -s "$server" /)
  for s in "${sensors[@]}"; do
    read -r serial family _ <<<"$s"
    grep -qx "/$(id_of "$serial" "$family")" <<<"$listing" || fail "owdir / lacks $(id_of "$serial" "$family")"
  done
  for e in /bus.0 /uncached /settings /system /simultaneous /alarm; do
    grep -qx "$e" <<<"$listing" || fail "owdir / lacks $e (ow-shell sets bus_ret)"
  done
  owread_sensors "$port" "$work/owread"
  check_temperatures owread "$work/owread" owfs
  first=$(id_of 0316A2B80C11 28)
  [ "$(timeout 20 owget -s "$server" "/$first/type")" = DS18B20 ] || fail "owget type"
  timeout 20 owget -s "$server" "/$first" | grep -qx "/$first/temperature" || fail "owget of a device lists no temperature"
  [ "$(timeout 20 owread -s "$server" -F "/$first/temperature" | tr -d ' ')" = 39.3125 ] ||
    fail "owread -F: $(owread -s "$server" -F "/$first/temperature")"
  timeout 20 owwrite -s "$server" "/$first/tempres" 10 || fail "owwrite tempres"
  [ "$(timeout 20 owread -s "$server" "/uncached/$first/tempres" | tr -d ' ')" = 10 ] || fail "tempres after owwrite"
  timeout 20 owwrite -s "$server" "/$first/tempres" 12 || fail "owwrite tempres back"
  [ "$(timeout 20 owpresent -s "$server" "/$first")" = 1 ] || fail "owpresent of a sensor"
  [ "$(timeout 20 owpresent -s "$server" /28.000000000001)" = 0 ] || fail "owpresent of an absent sensor"
  if timeout 20 owread -s "$server" /28.000000000001/temperature >/dev/null 2>&1; then
    fail "owread of an absent sensor succeeded"
  fi
  echo "ow-shell: owdir, owread, owwrite, owget, owpresent"
else
  skipped+=("ow-shell (Debian package ow-shell)")
fi

# --- owhttpd -s -------------------------------------------------------------
if have owhttpd && have curl; then
  for _ in 1 2 3 4 5; do
    http=$((20000 + RANDOM % 20000))
    owhttpd -s "$server" -p "127.0.0.1:$http" --foreground --error_level=0 >"$work/owhttpd.log" 2>&1 &
    httpd_pid=$!
    if wait_for "curl -sf http://127.0.0.1:$http/ >/dev/null" 10; then
      pids+=("$httpd_pid")
      break
    fi
    kill "$httpd_pid" 2>/dev/null; wait "$httpd_pid" 2>/dev/null
    httpd_pid=""
  done
  if [ -z "$httpd_pid" ]; then
    fail "owhttpd did not come up: $(tail -n3 "$work/owhttpd.log")"
  else
    page=$(curl -sf "http://127.0.0.1:$http/")
    : >"$work/owhttpd"
    for s in "${sensors[@]}"; do
      read -r serial family _ <<<"$s"
      id=$(id_of "$serial" "$family")
      grep -q "$id" <<<"$page" || fail "owhttpd's root page lacks $id"
      # Its /text/ pages: "temperature VALUE".
      echo "$id $(curl -sf "http://127.0.0.1:$http/text/uncached/$id/temperature" | awk '{print $2}')" >>"$work/owhttpd"
    done
    check_temperatures "owhttpd -s" "$work/owhttpd" owfs
    device=$(curl -sf "http://127.0.0.1:$http/$first")
    for p in address crc8 family id power r_address scratchpad temperature9 temphigh tempres type; do
      grep -q ">$p<" <<<"$device" || fail "owhttpd's page of $first lacks $p"
    done
    # Its form writes the threshold.
    curl -sf "http://127.0.0.1:$http/$first/templow?templow=-7" >/dev/null || fail "owhttpd's write"
    [ "$(timeout 20 owread -s "$server" "/uncached/$first/templow" | tr -d ' ')" = -7 ] || fail "templow after owhttpd"
    echo "owhttpd -s: root, device and text pages, a write"
  fi
else
  skipped+=("owhttpd -s (Debian packages owhttpd, curl)")
fi

# --- FHEM's OWNet.pm ----------------------------------------------------------
if have perl && perl -MOWNet -e 1 2>/dev/null; then
  if ! perl -MOWNet - "$server" "${sensors[@]}" >"$work/ownet" 2>"$work/ownet.err" <<'EOF'; then
use strict;
my ($server, @sensors) = @ARGV;
# An OWServer definition: one object, persistent, bus_ret.
my $o = OWNet->new($server) or die "no connection\n";
# Its initialisation reads the timeouts and units (failures tolerated).
for my $t (qw(directory ftp ha7 network presence serial server stable uncached usb volatile w1)) {
  defined $o->read("/settings/timeout/$t") or die "settings/timeout/$t\n";
}
$o->read("/settings/units/temperature_scale") eq "C" or die "temperature_scale\n";
# "get devices": the root listing filtered, then each device's type.
my @found = grep { m{^/[0-9A-F]{2}\.[0-9A-F]{12}$} } split /,/, $o->dir("/");
grep { $_ eq "/bus.0" } split /,/, $o->dir("/") or die "no /bus.0 in the listing\n";
for my $d (@found) { defined $o->read("$d/type") or die "$d/type\n"; }
for my $s (@sensors) {
  my ($serial, $family) = split ' ', $s;
  my $id = "$family." . join("", reverse($serial =~ /(..)/g));
  grep { $_ eq "/$id" } @found or die "$id not found\n";
  $o->present("/$id") or die "$id not present\n";
  # OWDevice polls temperature twice per interval.
  my $t = $o->read("/$id/temperature");
  my $again = $o->read("/$id/temperature");
  defined $t && defined $again or die "$id/temperature\n";
  $t =~ s/^\s+//;
  print "$id $t\n";
}
defined $o->read("/28.000000000001/temperature") and die "an absent sensor was read\n";
EOF
    fail "OWNet: $(cat "$work/ownet.err")"
  else
    check_temperatures "OWNet (FHEM)" "$work/ownet" owfs
  fi
else
  skipped+=("the Perl OWNet client (Debian package libownet-perl)")
fi

# --- Node-RED's npm owfs --------------------------------------------------------
if have npm && have node; then
  modules=$build/npm-owfs
  if [ ! -f "$modules/node_modules/owfs/package.json" ]; then
    mkdir -p "$modules"
    timeout 120 npm install --prefix "$modules" --no-audit --no-fund --no-save owfs@0.4.0 >"$work/npm.log" 2>&1 ||
      fail "npm install owfs: $(tail -n3 "$work/npm.log")"
  fi
  if [ -f "$modules/node_modules/owfs/package.json" ]; then
    cat >"$work/nodered.js" <<'EOF'
// As node-red-contrib-owfs uses it: paths without the leading slash, a
// connection per request (flags OWNET|UNCACHED|ALIAS, half-closed).
const Client = require("owfs").Client;
const [host, port, ...ids] = process.argv.slice(2);
const con = new Client(host, Number(port));
const fail = (what) => { console.error(what); process.exit(1); };
con.dirallslash("/", (err, entries) => {
  if (err) fail("dirallslash: " + err.message);
  let left = ids.length;
  for (const id of ids) {
    if (!entries.includes("/" + id + "/")) fail(id + " not listed");
    con.presence("/" + id, (e1, present) => {
      if (e1 || !present) fail(id + " not present");
      con.read(id + "/temperature", (e2, value) => {
        if (e2) fail(id + "/temperature: " + e2.message);
        console.log(id + " " + String(value).replace(/ /g, ""));
        if (--left === 0) {
          con.read("28.000000000001/temperature", (e3) => {
            if (!e3) fail("an absent sensor was read");
            con.write(ids[0] + "/temphigh", 80, (e4) => { if (e4) fail("write: " + e4.message); });
          });
        }
      });
    });
  }
});
EOF
    ids=()
    for s in "${sensors[@]}"; do read -r serial family _ <<<"$s"; ids+=("$(id_of "$serial" "$family")"); done
    if NODE_PATH=$modules/node_modules timeout 60 node "$work/nodered.js" 127.0.0.1 "$port" "${ids[@]}" \
        >"$work/nodered" 2>"$work/nodered.err"; then
      check_temperatures "owfs npm (Node-RED)" "$work/nodered" owfs
      [ "$(timeout 20 owread -s "$server" "/uncached/${ids[0]}/temphigh" | tr -d ' ')" = 80 ] ||
        fail "temphigh after the npm client's write"
    else
      fail "owfs npm: $(cat "$work/nodered.err")"
    fi
  fi
else
  skipped+=("the npm owfs client (npm is not installed)")
fi

# --- Home Assistant and openHAB ---------------------------------------------------
if have python3; then
  for mode in ha openhab; do
    python3 "$here/support/owserver_replay.py" "$mode" 127.0.0.1 "$port" "${sensors[@]}" || fail "$mode replay"
  done
else
  skipped+=("the Home Assistant and openHAB replays (python3)")
fi

# --- zeroconf ---------------------------------------------------------------------
if have avahi-browse && timeout 5 avahi-browse -a -t -p >/dev/null 2>&1; then
  kill "$serve_pid"; wait "$serve_pid" 2>/dev/null
  # Announced only where others can connect.
  for _ in 1 2 3; do
    port=$((20000 + RANDOM % 20000))
    "$tool" serve --sim "$work/devices.json" --owserver "0.0.0.0:$port" >/dev/null 2>"$work/zeroconf.log" &
    serve_pid=$!
    pids+=("$serve_pid")
    wait_for "grep -q 'serving the owserver protocol' '$work/zeroconf.log'" 10 && break
  done
  if wait_for "avahi-browse -t -r -p -k _owserver._tcp | grep -q ';$port;'" 15; then
    echo "zeroconf: _owserver._tcp announced on port $port"
  else
    fail "no _owserver._tcp announcement for port $port: $(cat "$work/zeroconf.log")"
  fi
else
  skipped+=("zeroconf (avahi's daemon is not running here)")
fi

for s in "${skipped[@]}"; do echo "SKIP: $s"; done
peers_finish "every owserver client read every simulated temperature from serve"
