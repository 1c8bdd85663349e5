#!/usr/bin/env bash
# Installs the library into a scratch prefix and builds a consumer against
# it twice: through find_package(qvds18x20) and through pkg-config.
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT

cmake -S . -B build-install -G Ninja -DCMAKE_BUILD_TYPE=Release -DQVDS_BUILD_TESTS=OFF \
      -DQVDS_BUILD_BENCH=OFF -DQVDS_BUILD_TOOLS=OFF -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build build-install
cmake --install build-install >/dev/null

cat > "$work/consumer.cpp" <<'CPP'
#include <QvDs18x20/QvDs18x20.hpp>
#include <onewire/sim/sim_driver.hpp>
#include <cstdio>
int main() {
  onewire::InstallDriver(std::make_shared<onewire::sim::SimDriver>());
  TQvDs18x20 c(nullptr);
  std::puts(c.DriverVer().c_str());
  return c.DriverActive() ? 0 : 1;
}
CPP
cat > "$work/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(consumer CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(qvds18x20 REQUIRED)
add_executable(consumer consumer.cpp)
target_link_libraries(consumer PRIVATE qvds18x20::qvds18x20)
CMAKE
cmake -S "$work" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/build" >/dev/null
"$work/build/consumer"
echo "find_package: ok"

PKG_CONFIG_PATH="$prefix/lib/pkgconfig:$prefix/lib/$(gcc -print-multiarch 2>/dev/null)/pkgconfig" \
  c++ "$work/consumer.cpp" -o "$work/consumer-pc" $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig:$prefix/lib/$(gcc -print-multiarch 2>/dev/null)/pkgconfig" pkg-config --cflags --libs qvds18x20)
"$work/consumer-pc"
echo "pkg-config: ok"
