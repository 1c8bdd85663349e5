# The checks of the Windows zip as a user unpacks and uses it: its
# contents, programs that need only system DLLs, the tool under Wine, and
# the example built against its library with MinGW (find_package and
# pkg-config), its headers beside <windows.h>. Sourced by
# scripts/package.sh.
# shellcheck shell=bash

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
  x86_64-w64-mingw32-g++-posix -std=c++20 -static examples/measure_sim.cpp -o "$work/consumer-pc.exe" $flags || return 1
  output=$(timeout 120 "$wine" "$work/consumer-pc.exe" | tr -d '\r') || { echo "$output"; return 1; }
  echo "$output"
  grep -q '21\.5' <<<"$output"
}

# A Windows program includes <windows.h> and the library's headers in one
# file, in either order: the headers declare none of the Windows API's
# functions, and name its types as <windows.h> does.
check_zip_beside_windows_h() {
  local include=$work/zip/$zip_top/include/qvds18x20 order
  for order in windows-first library-first; do
    if [ "$order" = windows-first ]; then
      printf '#include <windows.h>\n#include <qvds18x20/qvds18x20.hpp>\n'
    else
      printf '#include <qvds18x20/qvds18x20.hpp>\n#include <windows.h>\n'
    fi >"$work/beside_windows_h.cpp"
    printf 'int main() { PostMessage(nullptr, WM_NULL, 0, 0); return ProcessMessages(); }\n' >>"$work/beside_windows_h.cpp"
    x86_64-w64-mingw32-g++-posix -std=c++20 -fsyntax-only -I"$include" "$work/beside_windows_h.cpp" ||
      { echo "$order: the headers clash with <windows.h>"; return 1; }
  done
}
