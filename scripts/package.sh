#!/usr/bin/env bash
# Makes the release packages, and with "check" tests them as users get them.
#
#   scripts/package.sh          the Debian packages and the Windows zip, into out/
#   scripts/package.sh deb      the Debian packages only
#   scripts/package.sh zip      the Windows zip only (MinGW-w64 cross build)
#   scripts/package.sh check    both, then: lintian; dpkg -i of the three
#                               packages; the installed shared library's
#                               exports free of the Windows API's names; the
#                               installed tool on the simulated bus, its
#                               manual page and completion; the service: unit
#                               and udev rule where systemd and udev look,
#                               systemd-analyze verify and security, not
#                               enabled, its configuration a conffile, the
#                               unit's command refusing the unconfigured file,
#                               the tool's system calls within its filter, the
#                               Prometheus file in its runtime directory,
#                               readable by another user; sim-usb with the
#                               package's stand-in; the API reference; the
#                               example program built against the installed
#                               -dev package (find_package, pkg-config, the
#                               static library); dpkg --remove keeping an
#                               edited conffile and dpkg --purge leaving
#                               nothing behind, what the service wrote and its
#                               enablement included; the zip unpacked and its
#                               program run under Wine, the example built
#                               against its library with MinGW (find_package
#                               and pkg-config), and its headers compiled
#                               beside <windows.h>.
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

# The checks, by what they check.
# shellcheck source=package/service_checks.sh
source scripts/package/service_checks.sh
# shellcheck source=package/deb_checks.sh
source scripts/package/deb_checks.sh
# shellcheck source=package/zip_checks.sh
source scripts/package/zip_checks.sh

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
    step "the installed shared library exports no Windows API name" check_exports
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
    step "prometheus_file in the unit's runtime directory, read by another user" check_unit_prometheus_file
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
    step "the zip's headers beside <windows.h>" check_zip_beside_windows_h
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
