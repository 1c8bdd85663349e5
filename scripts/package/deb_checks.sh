# The checks of the Debian packages as a user installs, uses and removes
# them: lintian and the control data, the installed tool, its manual page
# and completion, sim-usb with the packaged stand-in, the API reference,
# the example built against the -dev package, remove and purge. Sourced
# by scripts/package.sh, whose check() runs them; each prints what it saw
# and fails with a non-zero status.
# shellcheck shell=bash

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

# The installed shared library exports none of the Windows API's names:
# on POSIX the run-time layer keeps its stand-ins for them (the registry
# calls, PostMessage, IsWindow, ...) to itself. The API's names are what
# MinGW-w64's <windows.h> declares for import, and its macros (PostMessage
# for PostMessageW); ours are nm -D's defined symbols that are C names or
# free functions, taken out of their mangled form (_Z11PostMessageP6HWND__jml
# is PostMessage); members and what lives in a namespace carry their scope.
check_exports() {
  local lib mingw=x86_64-w64-mingw32-g++-posix api ours clash
  lib=$(echo /usr/lib/*/libqvds18x20.so.2)
  [ -f "$lib" ] || { echo "no $lib"; return 1; }
  api=$( {
    printf '#include <windows.h>\n' | "$mingw" -x c++ -E -P - |
      perl -ne 'next unless /dllimport/; s/__attribute__\s*\(\((?:[^()]|\([^()]*\))*\)\)//g; print "$1\n" if /\b([A-Za-z_]\w*)\s*\(/'
    printf '#include <windows.h>\n' | "$mingw" -x c++ -E -dM - | awk '$1 == "#define" && $2 ~ /^[A-Za-z_][A-Za-z0-9_]*$/ { print $2 }'
  } | sort -u)
  grep -qx RegOpenKeyExW <<<"$api" && grep -qx PostMessage <<<"$api" || { echo "no Windows API names from $mingw"; return 1; }
  ours=$(nm -D --defined-only "$lib" | awk 'NF == 3 && $2 ~ /^[TWVDBRiu]$/ { print $3 }' |
    perl -ne 'chomp; if (/^_Z(\d+)(.*)/) { print substr($2, 0, $1), "\n" } elsif (!/^_Z/) { print "$_\n" }' | sort -u)
  grep -qx ProcessMessages <<<"$ours" || { echo "ProcessMessages is not among the names $lib exports"; return 1; }
  echo "$lib: $(wc -l <<<"$ours") C names and free functions exported; $(wc -l <<<"$api") Windows API names"
  clash=$(comm -12 <(echo "$ours") <(echo "$api"))
  [ -z "$clash" ] || { echo "exported under Windows API names:" $clash; return 1; }
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

# pkg-config leaves the language standard to the program.
check_pkg_config() {
  # shellcheck disable=SC2046
  c++ -std=c++20 examples/measure_sim.cpp -o "$work/consumer-pc" $(pkg-config --cflags --libs qvds18x20) &&
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
