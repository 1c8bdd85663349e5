#!/usr/bin/env bash
# Makes the release packages, and with "check" tests them as users get them.
#
#   scripts/package.sh          the Debian packages and the Windows zip, into out/
#   scripts/package.sh deb      the Debian packages only
#   scripts/package.sh zip      the Windows zip only (MinGW-w64 cross build)
#   scripts/package.sh check    both, then: lintian; dpkg -i of the three
#                               packages; the installed tool on the simulated
#                               bus, its manual page and completion; the
#                               service: unit and udev rule where systemd
#                               and udev look, systemd-analyze verify and
#                               security, not enabled, its configuration a
#                               conffile, the unit's command refusing the
#                               unconfigured file, the tool's system calls
#                               within its filter; sim-usb with the
#                               package's stand-in; the API reference; the
#                               example program built against the installed
#                               -dev package (find_package, pkg-config, the
#                               static library); dpkg --remove keeping an
#                               edited conffile and dpkg --purge leaving
#                               nothing behind, what the service wrote and
#                               its enablement included; the zip unpacked and its
#                               program run under Wine, the example built
#                               against its library with MinGW (find_package
#                               and pkg-config).
#
# The Debian packages: qvds18x20 (the tool, its manual page and bash
# completion, the sim-usb stand-in, the systemd unit, its configuration
# file and the udev rule), libqvds18x20-2 (the shared library) and
# libqvds18x20-dev (with the API reference, made by Doxygen).
# "check" installs what it needs (lintian, systemd-analyze, strace, Wine, MinGW-w64) when run as
# root, and refuses to start while a qvds18x20 package is installed: it
# removes its own packages again, even when a step fails. Its last line is
# "package: N passed, N failed".
#
# Environment: QVDS_JOBS (parallel jobs, default 2); QVDS_PACKAGE_GUI=ON
# also builds the desktop forms in the Debian build folder (they are not
# packaged; scripts/test.sh runs the Qt form from there).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/out
jobs=${QVDS_JOBS:-2}
deb_build=$root/build-package-deb
zip_build=$root/build-package-win
version=$(sed -n 's/^project(qvds18x20 VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package.sh: no version in CMakeLists.txt" >&2; exit 2; }
packages=(qvds18x20 libqvds18x20-2 libqvds18x20-dev)
wine=/usr/lib/wine/wine64

log() { printf '== %s\n' "$*"; }

# Installs the Debian packages that are missing, as root.
need() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "package.sh: missing packages (${missing[*]}) and not root to install them" >&2
    exit 2
  fi
  log "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; }
}

# shellcheck source=ccache_policy.sh
source scripts/ccache_policy.sh
qvds_ccache_policy

build_deb() {
  need dpkg-dev file gzip cmake ninja-build g++ nlohmann-json3-dev libcli11-dev doxygen
  log "Debian packages in $deb_build"
  # No precompiled headers: a source or header that forgets an include of
  # its own fails here.
  # Debian's hardening flags. No -g: the packages ship no debug symbols,
  # and the static library would carry them.
  local cxxflags ldflags
  # Without fixfilepath and fixdebugpath the flags do not hold the tree's
  # path, so a compiler cache serves clones of the tree elsewhere as well;
  # without -g no path is written into the binaries anyway.
  export DEB_BUILD_MAINT_OPTIONS="hardening=+all reproducible=-fixfilepath,-fixdebugpath" DEB_CXXFLAGS_MAINT_STRIP=-g
  cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
  ldflags=$(dpkg-buildflags --get LDFLAGS)
  cmake -S "$root" -B "$deb_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
    -DQVDS_BUILD_TESTS=OFF -DQVDS_BUILD_BENCH=OFF -DQVDS_BUILD_GUI="${QVDS_PACKAGE_GUI:-OFF}" -DQVDS_PCH=OFF -DQVDS_DEBIAN_LAYOUT=ON -DQVDS_API_DOC=ON -DCMAKE_INSTALL_PREFIX=/usr -DQVDS_WERROR=OFF \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" >/dev/null
  cmake --build "$deb_build" -j "$jobs"
  rm -rf "$deb_build/packages"
  (cd "$deb_build" && cpack -G DEB >/dev/null)
  # The ldconfig trigger does what CPack's maintainer scripts would.
  local lib_deb work
  lib_deb=$(echo "$deb_build"/packages/libqvds18x20-2_*.deb)
  work=$(mktemp -d)
  dpkg-deb -R "$lib_deb" "$work/root"
  rm -f "$work/root/DEBIAN/postinst" "$work/root/DEBIAN/postrm"
  dpkg-deb --root-owner-group -b "$work/root" "$lib_deb" >/dev/null
  rm -rf "$work"
  mkdir -p "$out"
  cp "$deb_build"/packages/*.deb "$out/"
  ls -1 "$deb_build"/packages/*.deb
}

build_zip() {
  need g++-mingw-w64-x86-64-posix cmake ninja-build nlohmann-json3-dev libcli11-dev
  log "Windows zip in $zip_build"
  cmake -S "$root" -B "$zip_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DQVDS_BUILD_TESTS=OFF -DQVDS_BUILD_BENCH=OFF -DQVDS_WERROR=OFF >/dev/null
  cmake --build "$zip_build" -j "$jobs"
  rm -rf "$zip_build/packages"
  (cd "$zip_build" && cpack -G ZIP >/dev/null)
  mkdir -p "$out"
  cp "$zip_build"/packages/*.zip "$out/"
  ls -1 "$zip_build"/packages/*.zip
}

# --- check -------------------------------------------------------------------
passed=0
failed=0
broken=()
pass() { passed=$((passed + 1)); printf '  ok    %s\n' "$1"; }
fail() { failed=$((failed + 1)); broken+=("$1"); printf '  FAIL  %s\n' "$1"; [ -z "${2:-}" ] || printf '%s\n' "$2" | sed 's/^/        /'; }
# step NAME COMMAND...: one check, run in a subshell; its output is shown
# when it fails. step_ok tells the caller how it went.
step_ok=0
step() {
  local name=$1 output
  shift
  if output=$("$@" 2>&1); then
    step_ok=1
    pass "$name"
  else
    step_ok=0
    fail "$name" "$output"
  fi
}

installed_by_us=0
work=
wine_prefix_made=0
cleanup() {
  if ((installed_by_us)); then dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true; fi
  if ((wine_prefix_made)); then timeout 30 /usr/lib/wine/wineserver -k 2>/dev/null || true; fi
  [ -z "$work" ] || rm -rf "$work"
}

deb_file() { echo "$deb_build/packages/$1_${version}-"*"_$(dpkg --print-architecture).deb"; }

# The example program reads a DS18B20 at 21.5 °C; $1 is the program, the
# rest what its linking must show in ldd ("shared" or "static").
run_example() {
  local program=$1 linking=$2 output libs
  output=$("$program") || { echo "$output"; return 1; }
  grep -q '21\.5' <<<"$output" || { echo "$output"; echo "no 21.5 in its output"; return 1; }
  libs=$(ldd "$program") || return 1
  if [ "$linking" = shared ]; then
    grep -q "libqvds18x20.so.2 => /.*/libqvds18x20.so.2 " <<<"$libs" ||
      { echo "$libs"; echo "not linked to the installed libqvds18x20.so.2"; return 1; }
  else
    ! grep -q libqvds18x20 <<<"$libs" || { echo "$libs"; echo "linked to the shared library"; return 1; }
  fi
}

# Everything lintian says, shown after the step; errors fail it.
check_lintian() {
  lintian --fail-on error --tag-display-limit 0 -I "$@" >"$work/lintian.txt" 2>&1
  local rc=$?
  ! grep -q '^E: ' "$work/lintian.txt" && [ "$rc" -eq 0 ]
}

check_control() {
  local f deps
  for p in "${packages[@]}"; do
    f=$(deb_file "$p")
    deps=$(dpkg-deb -f "$f" Depends)
    echo "$p: Depends: $deps"
    if grep -Eiq 'gtest|gmock|googletest|benchmark|socat|digitemp|owserver|ow-shell|wine|lintian|fuzz' <<<"$deps"; then
      echo "$p depends on a test tool"
      return 1
    fi
  done
  # dpkg-shlibdeps found the C++ run time of the programs.
  dpkg-deb -f "$(deb_file qvds18x20)" Depends | grep -q 'libstdc++6' || { echo "the tool lacks libstdc++6"; return 1; }
  dpkg-deb -f "$(deb_file libqvds18x20-2)" Depends | grep -q 'libstdc++6' || { echo "the library lacks libstdc++6"; return 1; }
  # The tool carries the library's objects; the -dev package needs the
  # very same shared library.
  ! dpkg-deb -f "$(deb_file qvds18x20)" Depends | grep -q libqvds18x20 || { echo "the tool depends on the library"; return 1; }
  dpkg-deb -f "$(deb_file libqvds18x20-dev)" Depends | grep -Eqx "libqvds18x20-2 \(= ${version}-[0-9]+\)" ||
    { echo "-dev must depend on libqvds18x20-2 of its own version"; return 1; }
  dpkg-deb -I "$(deb_file libqvds18x20-2)" shlibs | grep -Eqx "libqvds18x20 2 libqvds18x20-2 \(>= ${version}(-[0-9]+)?\)" ||
    { dpkg-deb -I "$(deb_file libqvds18x20-2)" shlibs; echo "shlibs must ask for this version or later"; return 1; }
  dpkg-deb -I "$(deb_file libqvds18x20-2)" triggers | grep -qx "activate-noawait ldconfig" || { echo "no ldconfig trigger"; return 1; }
  # Debian has the trigger run ldconfig, not maintainer scripts.
  ! dpkg-deb -I "$(deb_file libqvds18x20-2)" postinst >/dev/null 2>&1 || { echo "libqvds18x20-2 has a postinst"; return 1; }
}

check_soname() {
  local dir
  dir=$(mktemp -d)
  dpkg-deb -x "$(deb_file libqvds18x20-2)" "$dir"
  grep -q 'SONAME.*\[libqvds18x20.so.2\]' <<<"$(readelf -d "$dir"/usr/lib/*/libqvds18x20.so.2.*)"
  local rc=$?
  rm -rf "$dir"
  return $rc
}

check_tool_read() {
  local output
  output=$(qvds18x20 read --format csv) || { echo "$output"; return 1; }
  echo "$output"
  [ "$(command -v qvds18x20)" = /usr/bin/qvds18x20 ] || return 1
  # The demonstration bus: six devices, five of them sensors.
  [ "$(grep -c ',COM1,1,' <<<"$output")" -eq 6 ] && [ "$(awk -F, 'NR > 1 && $8 != ""' <<<"$output" | wc -l)" -eq 5 ]
}

check_version() {
  local line
  line=$(qvds18x20 version | head -1)
  echo "$line"
  [ "$line" = "qvds18x20 $version" ]
}

check_man() {
  local path warnings
  path=$(man -w qvds18x20) || return 1
  echo "$path"
  [ "$path" = /usr/share/man/man1/qvds18x20.1.gz ] || return 1
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 qvds18x20 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$warnings"; return 1; }
  # Read whole: grep -q leaving early would break man's pipe.
  grep -q "qvds18x20 $version" <<<"$(MANWIDTH=80 man qvds18x20 2>/dev/null)"
}

check_completion() {
  local script=/usr/share/bash-completion/completions/qvds18x20
  [ -f "$script" ] || return 1
  # As bash would complete "qvds18x20 sim-adapter --type p" and "qvds18x20 w".
  bash -c '
    source "$1"
    complete -p qvds18x20 | grep -q -- "-F _qvds18x20" || exit 1
    COMP_WORDS=(qvds18x20 sim-adapter --type p); COMP_CWORD=3; _qvds18x20
    [ "${COMPREPLY[*]}" = passive ] || { echo "--type p: ${COMPREPLY[*]}"; exit 1; }
    COMP_WORDS=(qvds18x20 w); COMP_CWORD=1; _qvds18x20
    [ "${COMPREPLY[*]}" = watch ] || { echo "w: ${COMPREPLY[*]}"; exit 1; }' _ "$script"
}

# --- the service ---------------------------------------------------------------
unit=/usr/lib/systemd/system/qvds18x20.service
udev_rule=/usr/lib/udev/rules.d/60-qvds18x20.rules
conffile=/etc/qvds18x20/qvds18x20.toml
# Where the tool looks for the sim-usb stand-in (tools/CMakeLists.txt).
usb_shim() { echo "/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/qvds18x20/libqvds18x20_usbshim.so"; }

# The package owns each file where systemd, udev and the tool look for it,
# and systemd and udev search those folders.
check_service_files() {
  local owned f
  owned=$(dpkg -L qvds18x20)
  for f in "$unit" "$udev_rule" "$conffile" "$(usb_shim)" /usr/share/doc/qvds18x20/examples/devices.json; do
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
  output=$(systemd-analyze verify qvds18x20.service 2>&1) || { echo "$output"; return 1; }
  [ -z "$output" ] || { echo "$output"; return 1; }
}

# systemd-analyze's exposure score, 0 (safe) to 10; "OK" ends at 3.9, we
# ask for 3.0 (--threshold counts tenths).
check_unit_security() {
  local output rc=0
  output=$(systemd-analyze security --offline=true --threshold=30 "$unit" 2>&1) || rc=$?
  grep 'Overall exposure level' <<<"$output" || { echo "$output"; return 1; }
  [ "$rc" -eq 0 ] || { grep '✗' <<<"$output"; return 1; }
}

check_unit_disabled() {
  local state links
  state=$(systemctl is-enabled qvds18x20.service 2>&1 || true)
  echo "systemctl is-enabled: $state"
  [ "$state" = disabled ] || return 1
  links=$(find /etc/systemd/system -name qvds18x20.service 2>/dev/null)
  [ -z "$links" ] || { echo "enabled by links: $links"; return 1; }
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
  local command output rc=0
  command=$(sed -n 's/^ExecStart=//p' "$unit")
  echo "ExecStart=$command"
  # shellcheck disable=SC2086
  output=$(cd / && timeout 20 setpriv --reuid=nobody --regid=nogroup --clear-groups -- $command 2>&1) || rc=$?
  echo "$output"
  echo "exit status $rc"
  [ "$rc" -eq 2 ] && grep -qF "$conffile" <<<"$output" && grep -qw port <<<"$output"
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
  used=$(sed -E 's/^[0-9]+ +//' "$work/strace-watch.txt" "$work/strace-read.txt" | grep -oE '^[a-z_0-9]+\(' | tr -d '(' | sort -u)
  echo "$(wc -l <<<"$used") system calls used, $(comm -23 <(echo "$allowed") <(echo "$denied") | wc -l) allowed"
  outside=$(comm -23 <(echo "$used") <(comm -23 <(echo "$allowed") <(echo "$denied")))
  [ -z "$outside" ] || { echo "outside the filter: $outside"; return 1; }
}

# sim-usb finds the stand-in where the package put it (no QVDS_USB_SHIM)
# and the tool reads the emulated DS2490's bus from the packaged device
# file: its five devices, the DS18B20 at -12.5 °C and the DS18S20 at
# 23.75 °C (23.7 in the component's text).
check_sim_usb() {
  local output
  output=$(cd / && env -u QVDS_USB_SHIM timeout 120 qvds18x20 sim-usb --devices /usr/share/doc/qvds18x20/examples/devices.json \
    -- qvds18x20 read --port USB1 --format csv 2>&1) || { echo "$output"; return 1; }
  echo "$output"
  [ "$(grep -c ',USB1,6,' <<<"$output")" -eq 5 ] && grep -Eq '^[^,]*,USB1,6,.*D70416913C6BFF28,.*,-12\.5(,|$)' <<<"$output" &&
    grep -Eq '^[^,]*,USB1,6,.*65000802B4A1C310,.*,23\.75?(,|$)' <<<"$output"
}

# The reference is the headers' comments: the component's file page
# carries the first line of the installed header's opening comment, and
# doc-base registers the pages.
check_api_doc() {
  local html=/usr/share/doc/libqvds18x20-dev/html header=/usr/include/qvds18x20/QvDs18x20/QvDs18x20.hpp line page
  [ -f "$html/index.html" ] || { echo "no $html/index.html"; return 1; }
  page=$(grep -l 'QvDs18x20/QvDs18x20.hpp File Reference' "$html"/*.html | head -1)
  [ -n "$page" ] || { echo "no page for QvDs18x20/QvDs18x20.hpp"; return 1; }
  line=$(sed -n '1s#^// ##p' "$header")
  echo "$page: \"$line\""
  # Read without the markup: the page links the names it knows.
  grep -qF "$line" <<<"$(sed 's/<[^>]*>//g' "$page")" || { echo "the header's comment is not on its page"; return 1; }
  grep -q "^Index: $html/index.html\$" /usr/share/doc-base/libqvds18x20-dev.* || { echo "no doc-base entry"; return 1; }
}

# dpkg --remove keeps an edited configuration file and takes the rest of
# the tool's package away; purging (check_purged) then takes that file
# too, and what the service wrote, and its enablement. Here they are made
# as systemd would make them: the DynamicUser directories and their
# links, and the link of "systemctl enable".
check_removed() {
  local state
  echo 'port = "/dev/ttyUSB0"' >>"$conffile"
  systemctl enable qvds18x20.service >/dev/null 2>&1 || { echo "systemctl enable failed"; return 1; }
  for d in lib log; do
    mkdir -p "/var/$d/private/qvds18x20"
    ln -sfn private/qvds18x20 "/var/$d/qvds18x20"
  done
  echo "1,2,3" >/var/log/private/qvds18x20/temperatures.csv
  dpkg --remove qvds18x20 >/dev/null || return 1
  state=$(dpkg-query -W -f='${db:Status-Abbrev}' qvds18x20)
  echo "qvds18x20: $state"
  [ "$state" = "rc " ] || return 1
  grep -qx 'port = "/dev/ttyUSB0"' "$conffile" || { echo "the edited $conffile is gone"; return 1; }
  ! ls -d /usr/bin/qvds18x20 "$unit" "$udev_rule" "$(usb_shim)" 2>/dev/null || { echo "left after remove"; return 1; }
}

check_find_package() {
  mkdir -p "$work/app"
  cp examples/measure_sim.cpp "$work/app/"
  cp examples/consumer/CMakeLists.txt "$work/app/"
  # No CMAKE_PREFIX_PATH and no launcher: the installed package alone.
  env -u CMAKE_CXX_COMPILER_LAUNCHER cmake -S "$work/app" -B "$work/app-build" -G Ninja >/dev/null &&
    cmake --build "$work/app-build" -j "$jobs" >/dev/null &&
    run_example "$work/app-build/consumer" shared
}

check_static() { run_example "$work/app-build/consumer_static" static; }

check_pkg_config() {
  # shellcheck disable=SC2046
  c++ examples/measure_sim.cpp -o "$work/consumer-pc" $(pkg-config --cflags --libs qvds18x20) &&
    run_example "$work/consumer-pc" shared
}

check_purged() {
  local left
  dpkg --purge "${packages[@]}" >/dev/null || return 1
  left=$(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null | grep -v 'not-installed' || true)
  [ -z "$left" ] || { echo "still known to dpkg: $left"; return 1; }
  left=$(ls -d /usr/bin/qvds18x20 /usr/include/qvds18x20 /usr/lib/*/libqvds18x20* /usr/lib/*/cmake/qvds18x20 \
    /usr/lib/*/pkgconfig/qvds18x20.pc /usr/share/man/man1/qvds18x20.1.gz /usr/share/bash-completion/completions/qvds18x20 \
    /usr/share/doc/qvds18x20 /usr/share/doc/libqvds18x20-2 /usr/share/doc/libqvds18x20-dev /usr/lib/*/qvds18x20 \
    "$unit" "$udev_rule" /etc/qvds18x20 /etc/systemd/system/multi-user.target.wants/qvds18x20.service \
    /var/lib/qvds18x20 /var/lib/private/qvds18x20 /var/log/qvds18x20 /var/log/private/qvds18x20 2>/dev/null || true)
  [ -z "$left" ] || { echo "left behind: $left"; return 1; }
  ! grep -q libqvds18x20 <<<"$(/sbin/ldconfig -p)" || { echo "ldconfig still lists libqvds18x20"; return 1; }
}

zip_top=qvds18x20-$version-win64

check_zip_contents() {
  local zip=$zip_build/packages/$zip_top.zip listing f
  listing=$(cmake -E tar tf "$zip")
  for f in bin/qvds18x20.exe bin/IBFS32.DLL lib/libqvds18x20.a include/qvds18x20/QvDs18x20/QvDs18x20.hpp \
           include/qvds18x20/qvds18x20/export.hpp include/qvds18x20/qvds18x20/qvds18x20.hpp \
           lib/cmake/qvds18x20/qvds18x20Config.cmake \
           lib/pkgconfig/qvds18x20.pc README.md LICENSE.txt CHANGELOG.md; do
    grep -qx "$zip_top/$f" <<<"$listing" || { echo "missing from the zip: $f"; return 1; }
  done
  mkdir -p "$work/zip"
  (cd "$work/zip" && cmake -E tar xf "$zip")
}

# The programs run on a bare Windows: they import system libraries only,
# and the driver library exports the 13 operations by their plain names.
check_zip_binaries() {
  local bin=$work/zip/$zip_top/bin dlls op exports
  for f in qvds18x20.exe IBFS32.DLL; do
    dlls=$(x86_64-w64-mingw32-objdump -p "$bin/$f" | sed -n 's/^\tDLL Name: //p')
    if grep -Eiv '^(kernel32|msvcrt|user32|advapi32|ws2_32|api-ms-win-.*|ucrtbase|shell32|ole32|setupapi)\.dll$' <<<"$dlls" | grep -q .; then
      echo "$f needs: $dlls"
      return 1
    fi
  done
  exports=$(x86_64-w64-mingw32-objdump -p "$bin/IBFS32.DLL")
  for op in TMExtendedStartSession TMSetup TMValidSession TMOneWireCom TMFirst TMNext TMRom TMAccess \
            TMTouchReset TMTouchByte TMEndSession TMClose TMGetTypeVersion; do
    grep -Eq "\] ${op}\$" <<<"$exports" || { echo "IBFS32.DLL does not export $op"; return 1; }
  done
}

wine_ready() { timeout 300 "$wine" wineboot -i >/dev/null 2>&1; }

check_zip_read() {
  local output
  output=$(cd "$work/zip/$zip_top/bin" && timeout 120 "$wine" ./qvds18x20.exe read --format csv | tr -d '\r') ||
    { echo "$output"; return 1; }
  echo "$output"
  [ "$(grep -c ',COM1,1,' <<<"$output")" -eq 6 ] && grep -q ',DS18B20,21\.5,21\.5,DS18B20,,read,' <<<"$output"
}

check_zip_version() {
  local line
  line=$(cd "$work/zip/$zip_top/bin" && timeout 60 "$wine" ./qvds18x20.exe version | head -1 | tr -d '\r')
  echo "$line"
  [ "$line" = "qvds18x20 $version" ]
}

# A MinGW user's build: the example against the unzipped library, through
# find_package, run under Wine.
check_zip_mingw_example() {
  local output
  # The cross toolchain looks for packages under the MinGW root only: the
  # unzipped package is named directly.
  env -u CMAKE_CXX_COMPILER_LAUNCHER cmake -S "$work/app" -B "$work/app-mingw" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -Dqvds18x20_DIR="$work/zip/$zip_top/lib/cmake/qvds18x20" >/dev/null &&
    cmake --build "$work/app-mingw" --target consumer >/dev/null || return 1
  output=$(timeout 120 "$wine" "$work/app-mingw/consumer.exe" | tr -d '\r') || { echo "$output"; return 1; }
  echo "$output"
  grep -q '21\.5' <<<"$output"
}

# The same through the zip's pkg-config file, which finds its own prefix.
check_zip_pkg_config() {
  local flags output
  flags=$(PKG_CONFIG_LIBDIR="$work/zip/$zip_top/lib/pkgconfig" pkg-config --cflags --libs qvds18x20) || return 1
  echo "pkg-config: $flags"
  # shellcheck disable=SC2086
  x86_64-w64-mingw32-g++-posix -static examples/measure_sim.cpp -o "$work/consumer-pc.exe" $flags || return 1
  output=$(timeout 120 "$wine" "$work/consumer-pc.exe" | tr -d '\r') || { echo "$output"; return 1; }
  echo "$output"
  grep -q '21\.5' <<<"$output"
}

check() {
  local t0 t_built t_end
  t0=$(date +%s)
  for p in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      echo "package.sh: $p is already installed; remove it first (check installs and removes its own)" >&2
      exit 2
    fi
  done
  need lintian man-db wine64 binutils-mingw-w64-x86-64 pkg-config systemd strace
  build_deb
  build_zip
  t_built=$(date +%s)
  work=$(mktemp -d /tmp/qvds-package.XXXXXX)
  trap cleanup EXIT

  log "checks"
  step "lintian: no errors" check_lintian "$deb_build"/packages/*.deb
  grep -v 'running with root privileges' "$work/lintian.txt" | sed 's/^/        /'
  step "control: dependencies, shlibs, ldconfig trigger" check_control
  step "shared library SONAME libqvds18x20.so.2" check_soname
  installed_by_us=1
  step "dpkg -i of ${packages[*]}" dpkg -i "$deb_build"/packages/*.deb
  if ((step_ok)); then
    step "qvds18x20 read on the simulated bus" check_tool_read
    step "qvds18x20 version is $version" check_version
    step "man -w qvds18x20" check_man
    step "bash completion" check_completion
    step "unit, udev rule, configuration and stand-in where they are looked for" check_service_files
    step "systemd-analyze verify qvds18x20.service" check_unit_verify
    step "systemd-analyze security: exposure at most 3.0" check_unit_security
    step "the unit is not enabled" check_unit_disabled
    step "/etc/qvds18x20/qvds18x20.toml is a conffile" check_conffile
    step "the unit's command refuses the unconfigured file, naming it" check_unit_unconfigured
    step "the tool's system calls pass the unit's filter" check_unit_syscalls
    step "sim-usb with the package's stand-in" check_sim_usb
    step "API reference from the headers' comments" check_api_doc
    step "example via find_package, shared library" check_find_package
    step "example via find_package, static library" check_static
    step "example via pkg-config" check_pkg_config
    step "dpkg --remove keeps an edited conffile" check_removed
  fi
  step "dpkg --purge leaves nothing behind" check_purged
  ((step_ok)) && installed_by_us=0

  step "zip contents" check_zip_contents
  step "zip programs need only system DLLs; IBFS32.DLL exports" check_zip_binaries
  export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
  wine_prefix_made=1
  step "Wine prefix" wine_ready
  if ((step_ok)); then
    step "qvds18x20.exe read under Wine" check_zip_read
    step "qvds18x20.exe version is $version" check_zip_version
    step "example against the zip's library (MinGW, find_package)" check_zip_mingw_example
    step "example against the zip's library (MinGW, pkg-config)" check_zip_pkg_config
  fi
  t_end=$(date +%s)
  log "build $((t_built - t0))s, checks $((t_end - t_built))s"
  ((${#broken[@]} == 0)) || log "failing: ${broken[*]}"
  echo "package: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

case "${1:-all}" in
  all) build_deb; build_zip ;;
  deb) build_deb ;;
  zip) build_zip ;;
  check) check ;;
  *) echo "usage: $0 [all|deb|zip|check]" >&2; exit 2 ;;
esac
