#!/usr/bin/env bash
# Installs the library into scratch prefixes and builds an application
# against each install alone (the source tree is out of reach): the
# example program examples/measure_sim.cpp, through find_package(qvds18x20)
# and through pkg-config, against the static library, then through
# find_package against the shared library, whose hidden symbols leave the
# application only the public API. Each build is run and must measure.
# The library builds without precompiled headers here, so that a source or
# header that forgets an include of its own fails, and unoptimised: what is
# checked is the installed layout and an application's view of it (the
# package stage installs an optimised build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
jobs=${QVDS_JOBS:-2}

# The example is copied away from the tree so that no relative include
# can reach the sources.
mkdir -p "$work/app"
cp examples/measure_sim.cpp "$work/app/"
cat > "$work/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(consumer CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(qvds18x20 REQUIRED)
add_executable(consumer measure_sim.cpp)
target_link_libraries(consumer PRIVATE qvds18x20::qvds18x20)
CMAKE

# Runs a built consumer and checks that it read the example's DS18B20.
check_run() {
  local what=$1
  shift
  local out
  out=$("$@")
  if ! grep -q '21\.5' <<<"$out"; then
    printf '%s\n' "$out" >&2
    echo "install check: $what did not measure" >&2
    exit 1
  fi
  echo "$what: ok"
}

install_variant() {
  local name=$1 shared=$2 prefix=$work/prefix-$1
  cmake -S "$root" -B "build-install-$name" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQVDS_BUILD_TESTS=OFF \
        -DQVDS_BUILD_BENCH=OFF -DQVDS_BUILD_TOOLS=OFF -DQVDS_PCH=OFF -DBUILD_SHARED_LIBS="$shared" \
        -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
  cmake --build "build-install-$name" -j "$jobs" >/dev/null
  cmake --install "build-install-$name" >/dev/null
  # Only public headers are installed.
  if find "$prefix/include" -name protocol.hpp -o -name rom_layer.hpp -o -name registry_store.hpp | grep -q .; then
    echo "install check: internal headers were installed" >&2
    exit 1
  fi
  cmake -S "$work/app" -B "$work/build-$name" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$work/build-$name" >/dev/null
  LD_LIBRARY_PATH="$prefix/lib:$prefix/lib/$(gcc -print-multiarch 2>/dev/null)" \
    check_run "find_package ($name)" "$work/build-$name/consumer"
}

install_variant static OFF
prefix=$work/prefix-static
pc_path="$prefix/lib/pkgconfig:$prefix/lib/$(gcc -print-multiarch 2>/dev/null)/pkgconfig"
# shellcheck disable=SC2046
c++ "$work/app/measure_sim.cpp" -o "$work/consumer-pc" $(PKG_CONFIG_PATH="$pc_path" pkg-config --cflags --libs qvds18x20)
check_run "pkg-config (static)" "$work/consumer-pc"

install_variant shared ON
