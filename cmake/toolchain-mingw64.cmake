# Cross build for 64-bit Windows with MinGW-w64 (Debian's
# g++-mingw-w64-x86-64-posix). The posix thread model is the one whose
# runtime has std::thread and std::mutex; the win32 model has none.
# Everything is linked statically so the programs run under Wine or on a
# bare Windows machine without shipping the MinGW runtime DLLs.
#
#   cmake -S . -B build-mingw -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QVDS_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QVDS_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QVDS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QVDS_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QVDS_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static also takes libwinpthread in statically; without it the programs
# need libwinpthread-1.dll beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Runs the test programs (gtest_discover_tests, ctest) under Wine.
find_program(QVDS_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT QVDS_WINE64)
  find_program(QVDS_WINE64 NAMES wine64 wine)
endif()
if(QVDS_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QVDS_WINE64})
endif()
