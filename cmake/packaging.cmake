# What a release ships beside the library: the manual page, the bash
# completion and the documents, and the packages CPack makes of them —
# Debian packages on Linux (scripts/package.sh), a zip from the MinGW build.
#
# The install components are the Debian packages:
#   tool  qvds18x20         the tool, its manual page and completion
#   lib   libqvds18x20-2    the shared library (named after its SONAME)
#   dev   libqvds18x20-dev  headers, CMake package, pkg-config file,
#                           the .so link and the static library
# The tool links the library's objects itself, so it needs no libqvds18x20-2.
# The tool's package also holds the service: a systemd unit (not enabled),
# its configuration file and the udev rule for the USB adapter; the -dev
# package the API reference (QVDS_API_DOC).

option(QVDS_DEBIAN_LAYOUT "Install the documents as Debian packages keep them (scripts/package.sh)" OFF)
option(QVDS_API_DOC "Make the API reference with Doxygen and install it with the headers" OFF)

set(QVDS_DEB_RELEASE 1 CACHE STRING "Debian revision of the packages")
set(QVDS_PACKAGE_MAINTAINER "qvds18x20 developers <qvds18x20@example.org>" CACHE STRING
    "Maintainer field of the packages")
set(qvds_deb_version ${PROJECT_VERSION}-${QVDS_DEB_RELEASE})
set(qvds_lib_package libqvds18x20-2)
get_target_property(qvds_soversion qvds18x20 SOVERSION)
if(NOT qvds_lib_package STREQUAL "libqvds18x20-${qvds_soversion}")
  message(FATAL_ERROR "the library package must be renamed with the SONAME: libqvds18x20-${qvds_soversion}")
endif()

set(qvds_doc_out ${PROJECT_BINARY_DIR}/doc)
file(MAKE_DIRECTORY ${qvds_doc_out})
configure_file(${PROJECT_SOURCE_DIR}/doc/qvds18x20.1.in ${qvds_doc_out}/qvds18x20.1 @ONLY)

# Debian wants manual pages and changelogs compressed, without a time
# stamp in the gzip header so that two builds give the same package.
function(qvds_gzip target input output)
  add_custom_command(OUTPUT ${output}
    COMMAND gzip -9nc ${input} > ${output}
    DEPENDS ${input} VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()

if(TARGET qvds18x20_cli AND NOT WIN32)
  if(QVDS_DEBIAN_LAYOUT)
    qvds_gzip(qvds_man_page ${qvds_doc_out}/qvds18x20.1 ${qvds_doc_out}/qvds18x20.1.gz)
    install(FILES ${qvds_doc_out}/qvds18x20.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
  else()
    install(FILES ${qvds_doc_out}/qvds18x20.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/tools/completion/qvds18x20.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME qvds18x20 COMPONENT tool)
endif()

if(WIN32)
  # The zip: README and licence beside bin/, include/ and lib/.
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION . COMPONENT tool)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt COMPONENT tool)
elseif(QVDS_DEBIAN_LAYOUT)
  # Every package has its own /usr/share/doc/PACKAGE with the copyright
  # file, the Debian changelog and the upstream one.
  execute_process(COMMAND date -u -R -d "${QVDS_RELEASE_DATE} 00:00:00"
                  OUTPUT_VARIABLE qvds_release_rfc2822 OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE qvds_date_result)
  if(NOT qvds_date_result EQUAL 0)
    message(FATAL_ERROR "date cannot read the release date ${QVDS_RELEASE_DATE}")
  endif()
  file(WRITE ${qvds_doc_out}/changelog.Debian
       "qvds18x20 (${qvds_deb_version}) unstable; urgency=medium\n\n"
       "  * Release ${PROJECT_VERSION}; what changed is in changelog.gz beside\n"
       "    this file.\n\n"
       " -- ${QVDS_PACKAGE_MAINTAINER}  ${qvds_release_rfc2822}\n")
  qvds_gzip(qvds_changelog_debian ${qvds_doc_out}/changelog.Debian ${qvds_doc_out}/changelog.Debian.gz)
  qvds_gzip(qvds_changelog_upstream ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${qvds_doc_out}/changelog.gz)
  foreach(pair tool:qvds18x20 lib:${qvds_lib_package} dev:libqvds18x20-dev)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 component)
    list(GET pair 1 package)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
                  ${qvds_doc_out}/changelog.Debian.gz ${qvds_doc_out}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  endforeach()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/qvds18x20 COMPONENT tool)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/devices.json ${PROJECT_SOURCE_DIR}/examples/clones.json
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/qvds18x20/examples COMPONENT tool)
  set(qvds_api_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/libqvds18x20-dev)
  if(TARGET qvds18x20_cli)
    # The service, where systemd and udev look (the prefix is /usr). Its
    # configuration file is a conffile (packaging/conffiles) in /etc.
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/qvds18x20.service
            ${PROJECT_SOURCE_DIR}/packaging/qvds18x20-owserver.service DESTINATION lib/systemd/system COMPONENT tool)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-qvds18x20.rules DESTINATION lib/udev/rules.d COMPONENT tool)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/qvds18x20.toml DESTINATION /etc/qvds18x20 COMPONENT tool)
  endif()
else()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/LICENSE
          DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tool)
  set(qvds_api_doc_dir ${CMAKE_INSTALL_DOCDIR})
endif()

# The API reference: Doxygen over the installed headers, the umbrella
# header first, with doc/api.md as its main page. A warning fails the
# build (doc/Doxyfile.in).
if(QVDS_API_DOC)
  find_package(Doxygen REQUIRED)
  set(QVDS_API_DOC_OUT ${qvds_doc_out}/api)
  set(qvds_api_inputs ${PROJECT_SOURCE_DIR}/doc/api.md ${PROJECT_BINARY_DIR}/export/qvds18x20/qvds18x20.hpp
      ${PROJECT_BINARY_DIR}/export/qvds18x20/export.hpp)
  foreach(hdr IN LISTS QVDS_PUBLIC_HEADERS)
    list(APPEND qvds_api_inputs ${PROJECT_SOURCE_DIR}/src/${hdr})
  endforeach()
  list(TRANSFORM qvds_api_inputs PREPEND "\"" OUTPUT_VARIABLE qvds_api_quoted)
  list(TRANSFORM qvds_api_quoted APPEND "\"")
  list(JOIN qvds_api_quoted " " QVDS_API_DOC_INPUT)
  configure_file(${PROJECT_SOURCE_DIR}/doc/Doxyfile.in ${QVDS_API_DOC_OUT}/Doxyfile @ONLY)
  add_custom_command(OUTPUT ${QVDS_API_DOC_OUT}/html/index.html
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${QVDS_API_DOC_OUT}/html
    COMMAND Doxygen::doxygen ${QVDS_API_DOC_OUT}/Doxyfile
    DEPENDS ${qvds_api_inputs} ${PROJECT_SOURCE_DIR}/doc/doxygen_filter.pl ${QVDS_API_DOC_OUT}/Doxyfile
    WORKING_DIRECTORY ${QVDS_API_DOC_OUT}
    COMMENT "API reference (Doxygen)" VERBATIM)
  add_custom_target(qvds_api_doc ALL DEPENDS ${QVDS_API_DOC_OUT}/html/index.html)
  install(DIRECTORY ${QVDS_API_DOC_OUT}/html DESTINATION ${qvds_api_doc_dir} COMPONENT dev)
  if(QVDS_DEBIAN_LAYOUT)
    # Registered with doc-base, for the document browsers.
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/qvds18x20-api.doc-base DESTINATION ${CMAKE_INSTALL_DATADIR}/doc-base
            RENAME libqvds18x20-dev.qvds18x20-api COMPONENT dev)
  endif()
endif()

# --- CPack -------------------------------------------------------------------
set(CPACK_PACKAGE_NAME qvds18x20)
set(CPACK_PACKAGE_VENDOR "The qvds18x20 developers")
set(CPACK_PACKAGE_CONTACT "${QVDS_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# CPackDeb would put the summary before every package's own synopsis.
if(WIN32)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "read DS18B20 and DS18S20 1-Wire temperature sensors")
endif()
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackRelease.cmake)
# Refused when the packages are made, not when the tree is configured.
if(QVDS_RELEASE_MATCHES)
  file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "# CHANGELOG.md names ${PROJECT_VERSION} on top.\n")
else()
  file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
       "message(FATAL_ERROR \"CHANGELOG.md has no entry for ${PROJECT_VERSION} on top: no packages\")\n")
endif()

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME qvds18x20-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL tool lib dev)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${QVDS_DEB_RELEASE})
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QVDS_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SOURCE qvds18x20)
  # Run-time dependencies as dpkg-shlibdeps finds them in the binaries.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  # An application built against this release runs with any later one of
  # the same SONAME.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

  set(CPACK_DEBIAN_TOOL_PACKAGE_NAME qvds18x20)
  set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION electronics)
  # The configuration file is a conffile; the maintainer scripts only let
  # systemd read its units again, stop the service before removal and
  # take away on purge what it wrote. The unit is never enabled by them.
  set(CPACK_DEBIAN_TOOL_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/conffiles
      ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm
      ${PROJECT_SOURCE_DIR}/packaging/postrm)
  set(CPACK_DEBIAN_TOOL_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
  set(CPACK_DEBIAN_TOOL_DESCRIPTION
      "read DS18B20 and DS18S20 1-Wire temperature sensors
The qvds18x20 tool finds the devices on a 1-Wire bus and measures its
DS18B20 and DS18S20 temperature sensors through a serial adapter (a
passive DS9097 style adapter or a DS2480B based one such as the DS9097U)
the DS2490 USB adapter (DS9490R, DS9490B), a DS2482-100 or -800 I2C
bridge, or a Linux kernel w1 master (w1-gpio on a board's pin). It prints the temperatures
as a table, CSV or JSON, once or at intervals, logs them to a CSV file
and publishes them to an MQTT broker (with Home Assistant discovery) and
to Prometheus, or serves the bus over the owserver protocol to Home
Assistant, openHAB, FHEM, Node-RED and OWFS's tools. Two systemd units,
installed but not enabled, run it as a service configured in
/etc/qvds18x20/qvds18x20.toml.

Without hardware it runs on a simulated bus, and it can serve that bus
as a DS2480B or passive adapter on a pseudo-terminal, as emulated DS2490
USB adapters to programs that use libusb, or as an emulated DS2482 on
i2c-dev, so that any 1-Wire program can be tried against it.")

  # The first paragraph of both library packages' descriptions.
  set(qvds_deb_library_about
      "qvds18x20 is a C++ library that finds and measures DS18B20 and DS18S20
temperature sensors on a 1-Wire bus through a serial adapter (DS9097
style or DS2480B), the DS2490 USB adapter, a DS2482 I2C bridge or a
Linux kernel w1 master, or on a simulated bus that ships with it. Results
arrive as events on the application's main thread.
")
  set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${qvds_lib_package})
  set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
  # dpkg's ldconfig trigger; CPack also writes postinst and postrm scripts
  # that call ldconfig, which Debian no longer wants: scripts/package.sh
  # takes them out.
  set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
  set(CPACK_DEBIAN_LIB_DESCRIPTION
      "DS18B20 and DS18S20 1-Wire temperature sensors - shared library
${qvds_deb_library_about}
This package contains the shared library.")

  set(CPACK_DEBIAN_DEV_PACKAGE_NAME libqvds18x20-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${qvds_lib_package} (= ${qvds_deb_version})")
  set(CPACK_DEBIAN_DEV_DESCRIPTION
      "DS18B20 and DS18S20 1-Wire temperature sensors - development files
${qvds_deb_library_about}
This package contains the headers, the static library, the CMake
package (find_package(qvds18x20)), the pkg-config file and the API
reference in HTML.")
endif()

include(CPack)
