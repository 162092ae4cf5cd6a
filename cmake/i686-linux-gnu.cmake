# Cross-building with Debian's g++-i686-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
# What Debian calls the architecture, for the .deb.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
