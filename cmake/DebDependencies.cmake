# Refuses to make a .deb whose dependencies cannot be worked out. CPack asks
# dpkg-shlibdeps which packages the executable needs, after finding it with
# file; without dpkg-shlibdeps it says so in passing and leaves Depends out,
# and the package installs anywhere and fails to run. Read when a tree that
# makes the .deb is configured, and by cpack before it makes one anywhere.
# cpack reads this with no policies set: only a program that can be run
# counts as found, as in the project.
cmake_policy(PUSH)
cmake_policy(SET CMP0109 NEW)
find_program(ROSTER_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(ROSTER_FILE file)
cmake_policy(POP)
if(NOT ROSTER_DPKG_SHLIBDEPS OR NOT ROSTER_FILE)
  message(FATAL_ERROR "The .deb's dependencies are worked out by "
    "dpkg-shlibdeps and file, and this machine lacks one. On Debian: "
    "apt-get install dpkg-dev file")
endif()
