# Precompiled headers: the standard library, GoogleTest and the tool's
# header-only libraries are parsed once per build instead of once per
# source file. Every build of the tree compiles these same large headers
# dozens of times, and in a Debug build that parsing is most of the time.
#
#   qvds_precompile(TARGET t HEADERS <h>...)    t makes the header
#   qvds_precompile(TARGET t REUSE_FROM other)   t uses other's header
#
# QVDS_PCH=OFF builds without them: the install check does, so that a
# header of ours that forgets an include of its own still fails there.
option(QVDS_PCH "Use precompiled headers" ON)

# What nearly every source file of the library includes.
set(QVDS_PCH_STD <algorithm> <array> <atomic> <chrono> <condition_variable> <cstdint> <cstring>
    <functional> <map> <memory> <mutex> <optional> <string> <thread> <vector>)

function(qvds_precompile)
  cmake_parse_arguments(P "" "TARGET;REUSE_FROM" "HEADERS" ${ARGN})
  if(NOT QVDS_PCH)
    return()
  endif()
  if(P_REUSE_FROM)
    target_precompile_headers(${P_TARGET} REUSE_FROM ${P_REUSE_FROM})
  else()
    target_precompile_headers(${P_TARGET} PRIVATE ${P_HEADERS})
  endif()
endfunction()
