# Read by cpack before it makes each package: dates every file in the
# packages by the release, from the changelog, unless the builder sets
# SOURCE_DATE_EPOCH, and makes no .deb without its dependencies.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_ROSTER_RELEASE_EPOCH})
endif()
if(CPACK_GENERATOR STREQUAL "DEB")
  include(${CMAKE_CURRENT_LIST_DIR}/DebDependencies.cmake)
endif()
