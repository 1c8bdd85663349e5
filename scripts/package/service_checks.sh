# The checks of the packaged service: the unit and udev rule where systemd
# and udev look, systemd-analyze verify and security, not enabled, the
# configuration a conffile, the unit's command refusing the unconfigured
# file, the tool's system calls within the unit's filter, the Prometheus
# file in the unit's runtime directory, read by another user. Sourced by
# scripts/package.sh before the other checks, which use its paths.
# shellcheck shell=bash

unit=/usr/lib/systemd/system/qvds18x20.service
owserver_unit=/usr/lib/systemd/system/qvds18x20-owserver.service
units=("$unit" "$owserver_unit")
udev_rule=/usr/lib/udev/rules.d/60-qvds18x20.rules
conffile=/etc/qvds18x20/qvds18x20.toml
# Where the tool looks for the sim-usb stand-in (tools/CMakeLists.txt).
usb_shim() { echo "/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/qvds18x20/libqvds18x20_usbshim.so"; }

# The package owns each file where systemd, udev and the tool look for it,
# and systemd and udev search those folders.
check_service_files() {
  local owned f
  owned=$(dpkg -L qvds18x20)
  for f in "${units[@]}" "$udev_rule" "$conffile" "$(usb_shim)" /usr/share/doc/qvds18x20/examples/devices.json; do
    grep -qx "$f" <<<"$owned" || { echo "not in the package: $f"; return 1; }
    [ -f "$f" ] || { echo "not installed: $f"; return 1; }
  done
  systemd-analyze unit-paths | grep -qx "${unit%/*}" || { echo "systemd does not look in ${unit%/*}"; return 1; }
  # The rule gives the DS2490's usbfs node to plugdev.
  grep -Eq '^SUBSYSTEM=="usb",.*ATTR\{idVendor\}=="04fa", ATTR\{idProduct\}=="2490",.*GROUP="plugdev"' "$udev_rule" ||
    { cat "$udev_rule"; echo "the rule does not give 04fa:2490 to plugdev"; return 1; }
}

# By name, as systemd finds it; verify also runs the unit's command
# paths and its manual page past the installed files. Clean means silent.
check_unit_verify() {
  local output
  output=$(systemd-analyze verify qvds18x20.service qvds18x20-owserver.service 2>&1) || { echo "$output"; return 1; }
  [ -z "$output" ] || { echo "$output"; return 1; }
}

# systemd-analyze's exposure score, 0 (safe) to 10; "OK" ends at 3.9, we
# ask for 3.0 (--threshold counts tenths).
check_unit_security() {
  local output rc u
  for u in "${units[@]}"; do
    rc=0
    output=$(systemd-analyze security --offline=true --threshold=30 "$u" 2>&1) || rc=$?
    echo "${u##*/}: $(grep 'Overall exposure level' <<<"$output")"
    grep -q 'Overall exposure level' <<<"$output" || { echo "$output"; return 1; }
    [ "$rc" -eq 0 ] || { grep '✗' <<<"$output"; return 1; }
  done
}

check_unit_disabled() {
  local state links name
  for name in qvds18x20.service qvds18x20-owserver.service; do
    state=$(systemctl is-enabled "$name" 2>&1 || true)
    echo "systemctl is-enabled $name: $state"
    [ "$state" = disabled ] || return 1
    links=$(find /etc/systemd/system -name "$name" 2>/dev/null)
    [ -z "$links" ] || { echo "enabled by links: $links"; return 1; }
  done
}

check_conffile() {
  local listed
  listed=$(dpkg-query -W -f='${Conffiles}\n' qvds18x20)
  echo "conffiles:$listed"
  grep -q "^ $conffile [0-9a-f]\{32\}\$" <<<"$listed"
}

# The unit's own command line, run by a user without privileges on the
# file as installed: a fresh install is not configured, and the service
# must say so, name the file and the missing port, and end with exit
# status 2 (which the unit does not restart).
check_unit_unconfigured() {
  local command output rc u
  for u in "${units[@]}"; do
    rc=0
    command=$(sed -n 's/^ExecStart=//p' "$u")
    echo "ExecStart=$command"
    # shellcheck disable=SC2086
    output=$(cd / && timeout 20 setpriv --reuid=nobody --regid=nogroup --clear-groups -- $command 2>&1) || rc=$?
    echo "$output"
    echo "exit status $rc"
    [ "$rc" -eq 2 ] && grep -qF "$conffile" <<<"$output" && grep -qw port <<<"$output" || return 1
  done
}

# The system calls a filter entry allows: a call, or a group resolved.
syscalls_of() {
  local name
  case $1 in @*) ;; *) echo "$1"; return ;; esac
  systemd-analyze syscall-filter "$1" | sed -n '2,$s/^ *//p' | grep -v '^#' | grep -v '^$' | while read -r name; do
    syscalls_of "$name"
  done
}

# The installed tool's system calls fit the unit's SystemCallFilter=: watch
# on the simulated bus with the CSV log, a Prometheus file and the HTTP
# endpoint, and read through a DS2480B served on a pseudo-terminal (the
# serial port's calls), each under strace. The filter is read from the
# unit: its allow lists, less its ~ lists.
check_unit_syscalls() {
  local allowed denied used outside name adapter pty deadline
  # A filter line lists several groups or calls: its words.
  # shellcheck disable=SC2013
  allowed=$(for name in $(sed -n 's/^SystemCallFilter=\([^~]\)/\1/p' "$unit"); do syscalls_of "$name"; done | sort -u)
  # shellcheck disable=SC2013
  denied=$(for name in $(sed -n 's/^SystemCallFilter=~//p' "$unit"); do syscalls_of "$name"; done | sort -u)
  [ -n "$allowed" ] || { echo "no SystemCallFilter= allow list in $unit"; return 1; }
  (cd "$work" && strace -f -qq -o "$work/strace-watch.txt" timeout 60 qvds18x20 watch --sim /usr/share/doc/qvds18x20/examples/devices.json \
    --interval 1 --count 2 --log "$work/watch.csv" --prometheus-file "$work/watch.prom" --metrics-listen 127.0.0.1:0 \
    >/dev/null 2>"$work/watch.err") || { cat "$work/watch.err"; return 1; }
  qvds18x20 sim-adapter --type ds2480b --devices /usr/share/doc/qvds18x20/examples/devices.json >"$work/adapter.txt" 2>&1 &
  adapter=$!
  deadline=$((SECONDS + 20))
  until pty=$(grep -o '/dev/pts/[0-9]*' "$work/adapter.txt" | head -1) && [ -n "$pty" ]; do
    ((SECONDS < deadline)) || { kill "$adapter"; cat "$work/adapter.txt"; echo "sim-adapter named no pseudo-terminal"; return 1; }
    sleep 0.1
  done
  strace -f -qq -o "$work/strace-read.txt" timeout 60 qvds18x20 read --port "$pty" --adapter ds2480b --format csv >"$work/read.csv" 2>&1 ||
    { kill "$adapter"; cat "$work/read.csv"; return 1; }
  kill "$adapter"
  grep -q ',-12\.5' "$work/read.csv" || { cat "$work/read.csv"; echo "read through the pseudo-terminal measured nothing"; return 1; }
  serve_syscalls || return 1
  used=$(sed -E 's/^[0-9]+ +//' "$work/strace-watch.txt" "$work/strace-read.txt" "$work/strace-serve.txt" | grep -oE '^[a-z_0-9]+\(' | tr -d '(' | sort -u)
  echo "$(wc -l <<<"$used") system calls used, $(comm -23 <(echo "$allowed") <(echo "$denied") | wc -l) allowed"
  outside=$(comm -23 <(echo "$used") <(comm -23 <(echo "$allowed") <(echo "$denied")))
  [ -z "$outside" ] || { echo "outside the filter: $outside"; return 1; }
}

# prometheus_file as the configuration template has it, under the unit's
# sandbox: the template's path lies in the unit's RuntimeDirectory= (the
# only folder of the service that others may read; ProtectSystem=strict
# keeps it from writing anywhere else), and the unit's command, run as a
# user of its own with the unit's UMask= in that folder made as systemd
# makes it, writes the metrics there so that another user (node-exporter's)
# reads them through a link from a textfile folder, as README has it.
check_unit_prometheus_file() {
  local runtime mode umask path uid=61234 textfile command rc=0
  runtime=$(sed -n 's/^RuntimeDirectory=//p' "$unit")
  mode=$(sed -n 's/^RuntimeDirectoryMode=//p' "$unit")
  umask=$(sed -n 's/^UMask=//p' "$unit")
  path=$(sed -n 's/^#prometheus_file = "\(.*\)"$/\1/p' "$conffile")
  echo "RuntimeDirectory=$runtime RuntimeDirectoryMode=${mode:-0755} UMask=$umask; the template: prometheus_file = \"$path\""
  [ -n "$runtime" ] && [ -n "$path" ] || { echo "no RuntimeDirectory= in the unit, or no prometheus_file in the template"; return 1; }
  [ "${path%/*}" = "/run/$runtime" ] || { echo "$path is not in /run/$runtime"; return 1; }
  grep -qx 'ProtectSystem=strict' "$unit" || { echo "the unit is not ProtectSystem=strict"; return 1; }
  ! getent passwd "$uid" >/dev/null || { echo "user $uid exists; the check needs a free one"; return 1; }
  # As systemd makes it for a DynamicUser, and removes it when the service stops.
  [ ! -e "/run/$runtime" ] || { echo "/run/$runtime exists already"; return 1; }
  install -d -m "${mode:-0755}" -o "$uid" -g "$uid" "/run/$runtime"
  mkdir -p "$work/service/textfile"
  chmod 755 "$work" "$work/service" "$work/service/textfile"
  sed 's/^#\(prometheus_file = \)/\1/' "$conffile" >"$work/service/qvds18x20.toml"
  chmod 644 "$work/service/qvds18x20.toml"
  command=$(sed -n 's/^ExecStart=//p' "$unit")
  command=${command/"$conffile"/"$work/service/qvds18x20.toml"}
  echo "$command --sim ... --interval 1 --count 2, as user $uid"
  # shellcheck disable=SC2086
  (cd / && umask "$umask" && timeout 60 setpriv --reuid="$uid" --regid="$uid" --clear-groups -- \
    $command --sim /usr/share/doc/qvds18x20/examples/devices.json --interval 1 --count 2 >/dev/null 2>"$work/service/watch.err") ||
    rc=$?
  ln -s "$path" "$work/service/textfile/qvds18x20.prom"
  local metrics
  metrics=$(setpriv --reuid=nobody --regid=nogroup --clear-groups -- cat "$work/service/textfile/qvds18x20.prom" 2>&1)
  ls -ln "/run/$runtime"
  rm -rf "/run/$runtime"
  [ "$rc" -eq 0 ] || { cat "$work/service/watch.err"; echo "exit status $rc"; return 1; }
  grep -q '^qvds18x20_temperature_celsius{.*} -12\.5$' <<<"$metrics" ||
    { echo "$metrics"; echo "another user read no temperature through the link"; return 1; }
}

# serve under strace: listening, a listing answered (over bash's
# /dev/tcp), ended after 10 s by SIGINT as systemd's SIGTERM would end it.
# Leaves $work/strace-serve.txt.
serve_syscalls() {
  local server port deadline answer
  strace -f -qq -o "$work/strace-serve.txt" timeout -s INT --preserve-status 10 qvds18x20 serve \
    --sim /usr/share/doc/qvds18x20/examples/devices.json --owserver 127.0.0.1:0 >/dev/null 2>"$work/serve.err" &
  server=$!
  deadline=$((SECONDS + 20))
  until port=$(grep -o '127\.0\.0\.1:[0-9]*' "$work/serve.err" | head -1 | cut -d: -f2) && [ -n "$port" ]; do
    ((SECONDS < deadline)) || { wait "$server"; cat "$work/serve.err"; echo "serve named no port"; return 1; }
    sleep 0.1
  done
  # A listing of the root (DIRALL /).
  answer=$(
    exec 3<>"/dev/tcp/127.0.0.1/$port" || exit 1
    printf '\0\0\0\0\0\0\0\2\0\0\0\7\0\0\0\0\0\0\0\0\0\0\0\0/\0' >&3
    timeout 5 cat <&3 | tr -c '[:print:]' ' '
  )
  wait "$server" || { cat "$work/serve.err"; echo "serve did not end cleanly"; return 1; }
  grep -q '/28\.' <<<"$answer" || { echo "serve's listing: $answer"; return 1; }
}
