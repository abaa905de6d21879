# Cross build for 64-bit big-endian IBM Z Linux with Debian's
# s390x-linux-gnu toolchain (g++-s390x-linux-gnu); test programs run under
# qemu-s390x (qemu-user).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)

set(_kelhash_triple s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross-root.cmake)

set(CMAKE_C_COMPILER ${_kelhash_triple}-gcc)
set(CMAKE_CXX_COMPILER ${_kelhash_triple}-g++)
set(CMAKE_READELF ${_kelhash_triple}-readelf)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L ${_kelhash_root})
