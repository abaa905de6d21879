# Cross build for 32-bit x86 Linux with Debian's i686-linux-gnu toolchain
# (g++-i686-linux-gnu). Test programs run under qemu-i386, or natively
# when KELHASH_I386_NATIVE is on and the kernel runs 32-bit programs: they
# are then linked to the cross toolchain's own dynamic loader and libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(_kelhash_triple i686-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross-root.cmake)

set(CMAKE_C_COMPILER ${_kelhash_triple}-gcc)
set(CMAKE_CXX_COMPILER ${_kelhash_triple}-g++)
set(CMAKE_READELF ${_kelhash_triple}-readelf)

if(KELHASH_I386_NATIVE)
  set(CMAKE_EXE_LINKER_FLAGS_INIT
      "-Wl,--dynamic-linker=${_kelhash_root}/lib/ld-linux.so.2 -Wl,-rpath,${_kelhash_root}/lib")
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -L ${_kelhash_root})
endif()
