# Debian's cross toolchain for aarch64, as the Debian 11 root holds it
# (tools/stub-root.sh): the inner build of the aarch64 stub uses this file.
# The arm64 headers and libraries it links come from the root's multiarch
# directories, /usr/include/aarch64-linux-gnu and /usr/lib/aarch64-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
