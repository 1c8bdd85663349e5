#!/usr/bin/env bash
# Installs the Debian packages a purpose needs, and nothing for the others:
#   scripts/deps.sh [build] [test] [fuzz] [windows]     (default: build)
#   build    building the library and running the tool (scripts/run.sh),
#            standalone Asio among it for the tool's network listeners
#   test     the test suites: GoogleTest, Google Benchmark, ccache (the
#            test stages build the tree several times), the peer
#            programs the tests drive (socat, DigiTemp, owserver, the
#            mosquitto broker and its clients, promtool from prometheus,
#            and the owserver protocol's clients: ow-shell, owhttpd with
#            curl, the Perl OWNet client, npm for the npm owfs client,
#            avahi's tools for the zeroconf announcement),
#            and the Qt form with what runs it: Qt 6 Widgets and Charts
#            (Debian's Charts CMake files also want the OpenGL module's),
#            Xvfb, and python3 for the picture check; for the package
#            stage doxygen (the API reference), systemd (systemd-analyze
#            checks the service's unit) and strace (the tool's system
#            calls against the unit's filter)
#   fuzz     clang with its libFuzzer run-time
#   windows  the MinGW-w64 cross compiler and Wine (and Xvfb for the
#            Win32 form)
# Packages already present are left alone. No service starts while
# packages install, and a service that a newly installed package enables
# (owserver's, mosquitto's, prometheus's, from the test set) is stopped and
# disabled again: the tests start their own servers in the foreground.
set -euo pipefail

declare -A sets=(
  [build]="build-essential cmake ninja-build pkg-config nlohmann-json3-dev libcli11-dev libusb-1.0-0-dev libmosquitto-dev libtomlplusplus-dev libsystemd-dev libasio-dev"
  [test]="ccache libgtest-dev libgmock-dev googletest libbenchmark-dev socat digitemp owserver ow-shell owhttpd curl libownet-perl npm avahi-utils mosquitto mosquitto-clients prometheus qt6-base-dev qt6-charts-dev libqt6opengl6-dev xvfb python3 fonts-dejavu-core doxygen systemd strace jq"
  [fuzz]="clang libclang-rt-14-dev"
  [windows]="g++-mingw-w64-x86-64-posix wine64 googletest socat xvfb python3"
)

purposes=("$@")
((${#purposes[@]})) || purposes=(build)
packages=()
for p in "${purposes[@]}"; do
  [ -n "${sets[$p]+x}" ] || { echo "deps.sh: unknown purpose '$p' (build, test, fuzz, windows)" >&2; exit 2; }
  # Every purpose builds something.
  read -ra words <<<"${sets[build]} ${sets[$p]}"
  packages+=("${words[@]}")
done

# npm counts as there when another package brought it (NodeSource's
# nodejs carries its own, which Debian's npm would fight).
installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed" ||
    { [ "$1" = npm ] && command -v npm >/dev/null 2>&1; }
}
missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
  installed "$p" || missing+=("$p")
done
((${#missing[@]})) || exit 0

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
as_root() { "${sudo_cmd[@]}" "$@"; }

# Debian's maintainer scripts ask policy-rc.d before they start a service;
# 101 means "not now". An administrator's own policy is left as it is.
policy=/usr/sbin/policy-rc.d
own_policy=
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# Left by qvds18x20 scripts/deps.sh while it installs; removed after.\nexit 101\n' |
    as_root tee "$policy" >/dev/null
  as_root chmod 755 "$policy"
  own_policy=1
fi
cleanup() { if [ -n "$own_policy" ]; then as_root rm -f "$policy"; fi; }
trap cleanup EXIT

before=$(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" {print $2}' | sort)
echo "deps.sh: installing ${missing[*]}"
as_root env DEBIAN_FRONTEND=noninteractive timeout 900 apt-get update -qq
as_root env DEBIAN_FRONTEND=noninteractive timeout 1800 apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
after=$(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" {print $2}' | sort)

# Services that came with the packages just installed (dependencies
# included): none of them is wanted running or starting at boot. systemd
# itself (installed on a machine without it, for systemd-analyze) brings
# the system's own units, which are left as they are.
for pkg in $(comm -13 <(echo "$before") <(echo "$after")); do
  case "$pkg" in systemd | systemd-sysv | udev) continue ;; esac
  units=$(dpkg -L "$pkg" | sed -nE 's@^/(usr/)?lib/systemd/system/([^/@]+\.(service|socket|timer|path))$@\2@p' | sort -u)
  scripts=$(dpkg -L "$pkg" | sed -nE 's@^/etc/init\.d/([^/]+)$@\1@p')
  [ -n "$units$scripts" ] || continue
  for unit in $units; do
    if [ -d /run/systemd/system ]; then
      as_root systemctl disable --now --quiet "$unit" || true
    else
      # systemd is not running here: take the unit's enablement links away
      # as systemctl would, and remember it for the package's upgrades.
      as_root deb-systemd-helper disable "$unit" >/dev/null 2>&1 || true
    fi
  done
  for script in $scripts; do
    if [ ! -d /run/systemd/system ]; then as_root "/etc/init.d/$script" stop >/dev/null 2>&1 || true; fi
    as_root update-rc.d "$script" disable >/dev/null 2>&1 || true
  done
  echo "deps.sh: $pkg brings a system service; it is stopped and disabled ($(echo $units $scripts))"
done
