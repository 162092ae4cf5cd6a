# Cross-building with Debian's g++-aarch64-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# What Debian calls the architecture, for the .deb.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
