# Read by cpack before it packages: sets SOURCE_DATE_EPOCH, which dates every
# file in the packages, to the time of the last commit unless it is set.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(
    COMMAND git log -1 --format=%ct
    WORKING_DIRECTORY ${CPACK_ROSTER_SOURCE_DIR}
    OUTPUT_VARIABLE lastCommitTime
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET
    RESULT_VARIABLE gitFailed)
  if(NOT gitFailed AND lastCommitTime)
    set(ENV{SOURCE_DATE_EPOCH} ${lastCommitTime})
  endif()
endif()
