# Reads the changelog's top entry, which names this release: its version,
# for project(), and its date, which dates the manual page and every file in
# the packages, as SOURCE_DATE_EPOCH does for Debian's builds.
#   ROSTER_VERSION        1.1.0
#   ROSTER_RELEASE_EPOCH  seconds since 1970, for SOURCE_DATE_EPOCH
#   ROSTER_RELEASE_DATE   2026-12-07, in UTC
get_filename_component(changelog ${CMAKE_CURRENT_LIST_DIR}/../changelog ABSOLUTE)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${changelog})
file(STRINGS ${changelog} heading REGEX "^roster " LIMIT_COUNT 1)
file(STRINGS ${changelog} trailer REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX MATCH "^ -- [^<]+<[^>]+>  (.+)$" date "${trailer}")
set(date ${CMAKE_MATCH_1})
if(NOT heading MATCHES "^roster \\(([0-9]+\\.[0-9]+\\.[0-9]+)\\) " OR NOT date)
  message(FATAL_ERROR "The top entry of ${changelog} must begin with "
    "\"roster (X.Y.Z) \" and end with \" -- Name <address>  date\".")
endif()
set(ROSTER_VERSION ${CMAKE_MATCH_1})
# GNU date reads the RFC 2822 date, in the C locale; -u gives the day in UTC.
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C
          date -u -d "${date}" "+%s;%Y-%m-%d"
  OUTPUT_VARIABLE release OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE dateFailed)
if(dateFailed)
  message(FATAL_ERROR "date cannot read \"${date}\" in ${changelog}")
endif()
list(GET release 0 ROSTER_RELEASE_EPOCH)
list(GET release 1 ROSTER_RELEASE_DATE)
