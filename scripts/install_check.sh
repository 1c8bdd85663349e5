#!/usr/bin/env bash
# Installs the library into a scratch prefix and builds an application
# against the install alone (the source tree is out of reach): the example
# programs examples/measure_sim.cpp (the component) and examples/read_bus.cpp
# (the bus engine), which include the library through the umbrella header
# <qvds18x20/qvds18x20.hpp>, through find_package(qvds18x20) and through
# pkg-config. Each build is run and must measure. The consumer
# sets no language standard: the package's targets bring C++20; pkg-config
# brings none, so that program is compiled with -std=c++20, and one
# compiled for C++17 must be told first that the headers need C++20.
# Where the compiler has C++23, consumers asking for it through either
# way must keep it.
#
# The library comes from build-release, the optimised static build with
# the tool that scripts/run.sh makes (its -Werror build is checked on the
# way). The shared library is installed and used the same way by the
# package stage (scripts/package.sh check), whose build also goes without
# precompiled headers, so that a source or header that forgets an include
# of its own fails there.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
jobs=${QVDS_JOBS:-2}

# The example is copied away from the tree so that no relative include
# can reach the sources.
mkdir -p "$work/app"
cp examples/measure_sim.cpp examples/read_bus.cpp "$work/app/"
cp examples/consumer/CMakeLists.txt "$work/app/"

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

# install_variant NAME BUILD_DIR CMAKE-ARGS...: builds, installs into a
# scratch prefix, checks the headers and builds the consumer against it.
install_variant() {
  local name=$1 dir=$2 prefix=$work/prefix-$1
  shift 2
  cmake -S "$root" -B "$dir" -G Ninja -DQVDS_BUILD_TESTS=OFF -DQVDS_BUILD_BENCH=OFF "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" >/dev/null
  cmake --install "$dir" --prefix "$prefix" >/dev/null
  # Only public headers are installed.
  local internal
  internal=$(find "$prefix/include" -name protocol.hpp -o -name rom_layer.hpp -o -name registry_store.hpp \
    -o -name registry.hpp -o -name window_api.hpp)
  if [ -n "$internal" ]; then
    echo "install check: internal headers were installed: $internal" >&2
    exit 1
  fi
  cmake -S "$work/app" -B "$work/build-$name" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$work/build-$name" >/dev/null
  LD_LIBRARY_PATH="$prefix/lib:$prefix/lib/$(gcc -print-multiarch 2>/dev/null)" \
    check_run "find_package ($name)" "$work/build-$name/consumer"
  LD_LIBRARY_PATH="$prefix/lib:$prefix/lib/$(gcc -print-multiarch 2>/dev/null)" \
    check_run "find_package, the engine's example ($name)" "$work/build-$name/read_bus"
}

# The same configuration as scripts/run.sh's.
install_variant static build-release -DCMAKE_BUILD_TYPE=Release
prefix=$work/prefix-static
pc_path="$prefix/lib/pkgconfig:$prefix/lib/$(gcc -print-multiarch 2>/dev/null)/pkgconfig"
# The build's own prefix is /usr/local; it was installed elsewhere.
pc_flags=$(PKG_CONFIG_PATH="$pc_path" pkg-config --define-variable=prefix="$prefix" --cflags --libs qvds18x20)
# The standard is the program's: pkg-config gives none, as it could only
# override a newer one.
if grep -q -- '-std=' <<<"$pc_flags"; then
  echo "install check: pkg-config's flags choose a language standard: $pc_flags" >&2
  exit 1
fi
# shellcheck disable=SC2086
c++ -std=c++20 "$work/app/measure_sim.cpp" -o "$work/consumer-pc" $pc_flags
check_run "pkg-config (static)" "$work/consumer-pc"
# shellcheck disable=SC2086
c++ -std=c++20 "$work/app/read_bus.cpp" -o "$work/read-bus-pc" $pc_flags
check_run "pkg-config, the engine's example (static)" "$work/read-bus-pc"

# A program compiled for C++17 is told that the headers need C++20, first.
# shellcheck disable=SC2086
if old=$(c++ -std=c++17 -fsyntax-only "$work/app/measure_sim.cpp" $pc_flags 2>&1) ||
  ! grep -m1 'error' <<<"$old" >"$work/first-error" || ! grep -q 'qvds18x20 needs C++20 or newer' "$work/first-error"; then
  head -n 5 <<<"$old" >&2
  echo "install check: a C++17 program is not told first that the headers need C++20" >&2
  exit 1
fi
echo "pkg-config (C++17 refused): ok"

# A program that asks for a newer standard keeps it, through either way in.
if echo 'int main() {}' | c++ -std=c++23 -x c++ -fsyntax-only - 2>/dev/null; then
  cmake -S "$work/app" -B "$work/build-cxx23" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_STANDARD=23 >/dev/null
  cmake --build "$work/build-cxx23" --target consumer >/dev/null
  # Read whole: grep -q leaving early would break ninja's pipe.
  commands=$(ninja -C "$work/build-cxx23" -t commands consumer)
  if ! grep -q -- '-std=\(c\|gnu\)++23' <<<"$commands"; then
    printf '%s\n' "$commands" >&2
    echo "install check: the C++23 consumer was not compiled as C++23" >&2
    exit 1
  fi
  check_run "find_package (C++23)" "$work/build-cxx23/consumer"
  # shellcheck disable=SC2086
  c++ -std=c++23 "$work/app/measure_sim.cpp" -o "$work/consumer-pc23" $pc_flags
  check_run "pkg-config (C++23)" "$work/consumer-pc23"
else
  echo "install check: $(c++ --version | head -n 1) has no -std=c++23; the C++23 consumers are left out"
fi

