# Cross build for 64-bit Windows with Debian's MinGW-w64 toolchain, POSIX
# threads variant (g++-mingw-w64-x86-64-posix; GoogleTest needs std::thread).
# Test programs run under wine (wine64). The library needs no MinGW runtime
# DLL.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_kelhash_triple x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/cross-root.cmake)

set(CMAKE_C_COMPILER ${_kelhash_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_kelhash_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_kelhash_triple}-windres)
set(CMAKE_OBJDUMP ${_kelhash_triple}-objdump)

# Test programs carry their own copy of the C++ runtime (libstdc++, libgcc,
# winpthread), so that wine needs no MinGW DLLs; they still load the
# library as kelhash.dll, which wine finds through WINEPATH.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all "WINEPATH=Z:${CMAKE_BINARY_DIR}" wine)
