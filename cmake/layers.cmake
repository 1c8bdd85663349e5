# One library target per layer, each seeing only its own headers and those
# of the layers it links.
#
# Every layer gets an include root of its own in the build tree that holds
# links to its own headers, laid out as under src/ ("onewire/driver.hpp").
# A layer's include path is its root plus the roots of the layers it links,
# so a header of a layer above is simply not there: an include that runs
# upward fails to compile, and the build keeps the arrows pointing down.
#
#   qvds_layer(NAME target FOLDERS unit [unit...] [HEADERS header...] [LINKS layer...])
#
# HEADERS are single headers of another unit (paths under src/) that the
# layer may include without linking that unit's layer: self-contained
# constexpr headers such as onewire/crc.hpp, which do no I/O.
#
# FOLDERS are unit folders under src/; each contributes its portable
# sources and those of its posix/ or win32/ folder (picked by the platform,
# never by #ifdef), and on Linux those of its linux/ folder too. A linux/
# file NAME_linux.cpp takes the place of posix/NAME_posix.cpp there: the
# Linux way of a job every POSIX system has a way for (eventfd for a
# pipe); any other linux/ file adds what only Linux offers. A folder's
# other subfolders are units of their own and belong to whichever layer
# names them.
#
# The layers are object libraries; the library that applications link
# (qvds18x20) is made of all of them.

set(QVDS_LAYER_ROOTS ${CMAKE_BINARY_DIR}/layers)
if(NOT WIN32 AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(QVDS_LINUX ON)
else()
  set(QVDS_LINUX OFF)
endif()

function(qvds_link_header root src_root header)
  file(RELATIVE_PATH rel ${src_root} ${header})
  get_filename_component(dir ${root}/${rel} DIRECTORY)
  file(MAKE_DIRECTORY ${dir})
  if(NOT EXISTS ${root}/${rel})
    file(CREATE_LINK ${header} ${root}/${rel} SYMBOLIC COPY_ON_ERROR)
  endif()
endfunction()

function(qvds_layer)
  cmake_parse_arguments(L "" "NAME" "FOLDERS;HEADERS;LINKS" ${ARGN})
  set(src_root ${PROJECT_SOURCE_DIR}/src)
  set(root ${QVDS_LAYER_ROOTS}/${L_NAME})
  # Stale links of headers that were moved or removed would let an old
  # path keep compiling: the root is laid anew at every configure.
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root})
  set(sources)
  set(headers)
  foreach(folder IN LISTS L_FOLDERS)
    file(GLOB unit_src CONFIGURE_DEPENDS ${src_root}/${folder}/*.cpp)
    file(GLOB plat_src CONFIGURE_DEPENDS ${src_root}/${folder}/${QVDS_PLATFORM}/*.cpp)
    if(QVDS_LINUX)
      file(GLOB linux_src CONFIGURE_DEPENDS ${src_root}/${folder}/linux/*.cpp)
      foreach(src IN LISTS linux_src)
        get_filename_component(stem ${src} NAME_WE)
        string(REGEX REPLACE "_linux$" "_posix" stem ${stem})
        list(REMOVE_ITEM plat_src ${src_root}/${folder}/posix/${stem}.cpp)
      endforeach()
      list(APPEND plat_src ${linux_src})
    endif()
    file(GLOB unit_hdr CONFIGURE_DEPENDS ${src_root}/${folder}/*.hpp ${src_root}/${folder}/posix/*.hpp
         ${src_root}/${folder}/linux/*.hpp ${src_root}/${folder}/win32/*.hpp)
    list(APPEND sources ${unit_src} ${plat_src})
    list(APPEND headers ${unit_hdr})
    foreach(hdr IN LISTS unit_hdr)
      qvds_link_header(${root} ${src_root} ${hdr})
    endforeach()
  endforeach()
  foreach(hdr IN LISTS L_HEADERS)
    qvds_link_header(${root} ${src_root} ${src_root}/${hdr})
  endforeach()
  add_library(${L_NAME} OBJECT ${sources} ${headers})
  target_include_directories(${L_NAME} PUBLIC $<BUILD_INTERFACE:${root}>)
  target_include_directories(${L_NAME} PUBLIC $<BUILD_INTERFACE:${CMAKE_BINARY_DIR}/export>)
  set_target_properties(${L_NAME} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  set_target_properties(${L_NAME} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  if(BUILD_SHARED_LIBS)
    target_compile_definitions(${L_NAME} PRIVATE qvds18x20_EXPORTS)
  endif()
  if(L_LINKS)
    target_link_libraries(${L_NAME} PUBLIC ${L_LINKS})
  endif()
  # The layers share one precompiled header: the first layer makes it.
  get_property(owner GLOBAL PROPERTY QVDS_LAYER_PCH)
  if(owner)
    qvds_precompile(TARGET ${L_NAME} REUSE_FROM ${owner})
  else()
    qvds_precompile(TARGET ${L_NAME} HEADERS ${QVDS_PCH_STD})
    set_property(GLOBAL PROPERTY QVDS_LAYER_PCH ${L_NAME})
  endif()
endfunction()
