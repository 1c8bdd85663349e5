#!/usr/bin/env bash
# Installs what building and testing qvds18x20 needs on Debian. Safe to run
# again: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  nlohmann-json3-dev libcli11-dev
  libmosquitto-dev libcpp-httplib-dev
  clang libclang-rt-14-dev
  socat digitemp owserver ow-shell
  mosquitto mosquitto-clients prometheus
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
  # The tests start their own broker and run promtool; the services these
  # packages enable would only hold ports.
  if [ -d /run/systemd/system ]; then
    "${sudo_cmd[@]}" systemctl disable --now mosquitto prometheus 2>/dev/null || true
  fi
fi
