# Included by the toolchain files once they have set _kelhash_triple: the
# Debian cross toolchain's root is /usr/<triple>, and libraries, headers and
# packages are looked for there only, programs on the build machine.
set(_kelhash_root /usr/${_kelhash_triple})
set(CMAKE_FIND_ROOT_PATH ${_kelhash_root})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
