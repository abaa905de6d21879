# Cross build for 64-bit Arm Linux with Debian's aarch64-linux-gnu toolchain
# (g++-aarch64-linux-gnu); test programs run under qemu-aarch64
# (qemu-user). This is the target of the NEON path of the four-lane MD5.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(_kelhash_triple aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross-root.cmake)

set(CMAKE_C_COMPILER ${_kelhash_triple}-gcc)
set(CMAKE_CXX_COMPILER ${_kelhash_triple}-g++)
set(CMAKE_READELF ${_kelhash_triple}-readelf)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${_kelhash_root})
