# Read by cpack before it packages: dates every file in the packages by the
# release, from the changelog, unless the builder sets SOURCE_DATE_EPOCH.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_ROSTER_RELEASE_EPOCH})
endif()
