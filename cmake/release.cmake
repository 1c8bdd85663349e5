# The release this tree makes: the version of project() and the newest
# entry of CHANGELOG.md, which must name the same version; an
# "## Unreleased" section above it collects what the next release will
# say, and is no entry yet. Sets
#   QVDS_RELEASE_DATE     the date of the newest entry (YYYY-MM-DD)
#   QVDS_RELEASE_MATCHES  whether that entry is for PROJECT_VERSION
# Packaging refuses a mismatch; an ordinary build only warns, so that a
# version bump in progress does not stop everybody's build.

set(qvds_changelog ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${qvds_changelog})
file(STRINGS ${qvds_changelog} qvds_entries REGEX "^## ")
set(QVDS_RELEASE_DATE "")
set(QVDS_RELEASE_VERSION "")
list(FILTER qvds_entries EXCLUDE REGEX "^## \\[?Unreleased\\]?$")
if(qvds_entries)
  list(GET qvds_entries 0 qvds_newest)
  if(qvds_newest MATCHES "^## \\[([^]]+)\\] - ([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9])$")
    set(QVDS_RELEASE_VERSION ${CMAKE_MATCH_1})
    set(QVDS_RELEASE_DATE ${CMAKE_MATCH_2})
  endif()
endif()
if(QVDS_RELEASE_VERSION STREQUAL PROJECT_VERSION)
  set(QVDS_RELEASE_MATCHES ON)
else()
  set(QVDS_RELEASE_MATCHES OFF)
  message(WARNING "CHANGELOG.md: the newest entry must be headed \"## [${PROJECT_VERSION}] - YYYY-MM-DD\" "
                  "for the version in project(); it is \"${qvds_newest}\"")
  string(TIMESTAMP QVDS_RELEASE_DATE "%Y-%m-%d" UTC)
endif()
