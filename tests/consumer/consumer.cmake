# Runs one consumer check, as `cmake -DSTEP=... -D... -P consumer.cmake`:
#
#   install         cmake --install of the build tree into PREFIX; checks the
#                   installed files and runs the installed command
#   cmake_package   configures, builds and runs cmake_package/ against PREFIX
#   pkg_config      compiles consumer.c with `pkg-config --cflags --libs kelhash`
#   python          imports the installed Python module from PREFIX and runs
#                   the README's Python example with it
#   subdirectory    builds subdirectory/, which adds the kelhash source tree
#   static          builds kelhash from SOURCE_DIR as a static archive,
#                   installs it into WORK_DIR/static-prefix and uses it through
#                   its CMake package and its installed command
#   static_link     links consumer.c against that archive into a fully static
#                   program through `pkg-config --static`
#   readme          compiles and runs the README's C example against PREFIX
#                   as its build lines say (the python step runs its Python
#                   example)
#
# Variables: STEP, SOURCE_DIR (kelhash sources), BUILD_DIR (the kelhash build
# tree), WORK_DIR (scratch), PREFIX, LIBDIR, INCLUDEDIR, BINDIR (relative
# install directories), VERSION, GENERATOR, MAKE_PROGRAM, C_COMPILER,
# CXX_COMPILER, C_FLAGS (the sanitizer flags of the build), PYTHON and
# PYTHON_PRELOAD (the sanitizer runtimes the interpreter needs to load a
# sanitized library). A step whose tools are missing prints "SKIPPED: why".

cmake_minimum_required(VERSION 3.25)

set(HERE ${CMAKE_CURRENT_LIST_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " cmd "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}\n${err}")
  endif()
  set(RUN_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

function(expect_ok_output what)
  if(NOT RUN_OUTPUT STREQUAL "ok\n")
    message(FATAL_ERROR "${what} printed \"${RUN_OUTPUT}\", expected \"ok\"")
  endif()
  message(STATUS "${what}: ok")
endfunction()

# The installed Python package, wherever the install rules put it.
function(find_python_package out)
  file(GLOB_RECURSE found LIST_DIRECTORIES false "${PREFIX}/__init__.py")
  list(FILTER found INCLUDE REGEX "/kelhash/__init__.py$")
  list(LENGTH found n)
  if(NOT n EQUAL 1)
    message(FATAL_ERROR "expected one installed kelhash/__init__.py, found: ${found}")
  endif()
  get_filename_component(dir "${found}" DIRECTORY)
  get_filename_component(dir "${dir}" DIRECTORY)
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()

# A fenced block of the README's section, with the README's /opt/kelhash
# standing for PREFIX and build/default for BUILD_DIR.
include("${SOURCE_DIR}/cmake/KelhashReadme.cmake")
function(readme_block out section lang)
  kelhash_readme_block(block "${SOURCE_DIR}/README.md" "${section}" "${lang}")
  # build/default first: PREFIX itself may lie inside build/default.
  string(REPLACE "build/default" "${BUILD_DIR}" block "${block}")
  string(REPLACE "/opt/kelhash/lib/" "${PREFIX}/${LIBDIR}/" block "${block}")
  string(REPLACE "/opt/kelhash" "${PREFIX}" block "${block}")
  set(${out} "${block}" PARENT_SCOPE)
endfunction()

set(_configure_args -G "${GENERATOR}" -DCMAKE_BUILD_TYPE=Release)
if(MAKE_PROGRAM)
  list(APPEND _configure_args "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}")
endif()
list(APPEND _configure_args "-DCMAKE_C_COMPILER=${C_COMPILER}")

if(STEP STREQUAL "install")
  file(REMOVE_RECURSE "${PREFIX}")
  run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}")

  foreach(f
      "${INCLUDEDIR}/kelhash.h"
      "${LIBDIR}/libkelhash.so.${VERSION}"
      "${LIBDIR}/cmake/kelhash/kelhashConfig.cmake"
      "${LIBDIR}/cmake/kelhash/kelhashConfigVersion.cmake"
      "${LIBDIR}/cmake/kelhash/kelhashTargets.cmake"
      "${LIBDIR}/pkgconfig/kelhash.pc"
      "${BINDIR}/kelhash")
    if(NOT EXISTS "${PREFIX}/${f}" OR IS_SYMLINK "${PREFIX}/${f}")
      message(FATAL_ERROR "not installed as a file: ${f}")
    endif()
  endforeach()
  string(REGEX MATCH "^[0-9]+" _major "${VERSION}")
  foreach(link_target "libkelhash.so.${_major}=libkelhash.so.${VERSION}"
                      "libkelhash.so=libkelhash.so.${_major}")
    string(REPLACE "=" ";" pair "${link_target}")
    list(GET pair 0 link)
    list(GET pair 1 target)
    file(READ_SYMLINK "${PREFIX}/${LIBDIR}/${link}" got)
    if(NOT got STREQUAL target)
      message(FATAL_ERROR "${LIBDIR}/${link} points to '${got}', expected '${target}'")
    endif()
  endforeach()
  file(READ "${PREFIX}/${INCLUDEDIR}/kelhash.h" installed_header)
  file(READ "${SOURCE_DIR}/include/kelhash.h" source_header)
  if(NOT installed_header STREQUAL source_header)
    message(FATAL_ERROR "the installed header differs from include/kelhash.h")
  endif()

  # The installed command finds the installed library through its RPATH,
  # wherever the prefix is; CMake's own MD5 is the oracle.
  set(_env ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH)
  run(${_env} "${PREFIX}/${BINDIR}/kelhash" --version)
  if(NOT RUN_OUTPUT STREQUAL "kelhash ${VERSION}\n")
    message(FATAL_ERROR "installed kelhash --version printed '${RUN_OUTPUT}'")
  endif()
  set(_file "${SOURCE_DIR}/include/kelhash.h")
  run(${_env} "${PREFIX}/${BINDIR}/kelhash" --md5 "${_file}")
  file(MD5 "${_file}" md5)
  string(TOUPPER "${md5}" md5)
  if(NOT RUN_OUTPUT STREQUAL "${md5}  ${_file}\n")
    message(FATAL_ERROR "installed kelhash --md5 printed '${RUN_OUTPUT}', expected ${md5}")
  endif()
  find_python_package(python_dir)
  message(STATUS "installed into ${PREFIX}: ok")

elseif(STEP STREQUAL "cmake_package")
  set(bin "${WORK_DIR}/cmake_package")
  file(REMOVE_RECURSE "${bin}")
  run(${CMAKE_COMMAND} -S "${HERE}/cmake_package" -B "${bin}" ${_configure_args}
      "-DCMAKE_C_FLAGS=${C_FLAGS}" "-DCMAKE_PREFIX_PATH=${PREFIX}"
      "-DEXPECTED_VERSION=${VERSION}" -DEXPECTED_TYPE=SHARED_LIBRARY)
  run(${CMAKE_COMMAND} --build "${bin}")
  run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH "${bin}/consumer")
  expect_ok_output("find_package(kelhash) consumer")

elseif(STEP STREQUAL "pkg_config")
  find_program(PKG_CONFIG NAMES pkg-config pkgconf)
  if(NOT PKG_CONFIG)
    message("SKIPPED: pkg-config is not installed")
    return()
  endif()
  set(_pc ${CMAKE_COMMAND} -E env "PKG_CONFIG_PATH=${PREFIX}/${LIBDIR}/pkgconfig"
          ${PKG_CONFIG})
  run(${_pc} --modversion kelhash)
  if(NOT RUN_OUTPUT STREQUAL "${VERSION}\n")
    message(FATAL_ERROR "pkg-config --modversion kelhash printed '${RUN_OUTPUT}'")
  endif()
  run(${_pc} --cflags --libs kelhash)
  string(STRIP "${RUN_OUTPUT}" flags)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  separate_arguments(c_flags UNIX_COMMAND "${C_FLAGS}")
  set(bin "${WORK_DIR}/pkg_config")
  file(REMOVE_RECURSE "${bin}")
  file(MAKE_DIRECTORY "${bin}")
  run("${C_COMPILER}" -std=c99 ${c_flags} "${HERE}/consumer.c" ${flags} -o "${bin}/consumer")
  run(${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${PREFIX}/${LIBDIR}" "${bin}/consumer")
  expect_ok_output("pkg-config consumer")

elseif(STEP STREQUAL "python")
  # No KELHASH_LIBRARY: the installed module finds the installed library.
  find_python_package(python_dir)
  set(python_env)
  if(PYTHON_PRELOAD)
    set(python_env "LD_PRELOAD=${PYTHON_PRELOAD}" "ASAN_OPTIONS=$ENV{ASAN_OPTIONS}:detect_leaks=0")
  endif()
  set(code "import kelhash\nprint(kelhash.__file__)\nprint(kelhash.md5(b'abc'))")
  run(${CMAKE_COMMAND} -E env --unset=KELHASH_LIBRARY --unset=LD_LIBRARY_PATH
      "PYTHONPATH=${python_dir}" ${python_env} "${PYTHON}" -c "${code}")
  if(NOT RUN_OUTPUT STREQUAL "${python_dir}/kelhash/__init__.py\n900150983CD24FB0D6963F7D28E17F72\n")
    message(FATAL_ERROR "the installed Python module printed '${RUN_OUTPUT}'")
  endif()
  message(STATUS "installed Python module: ok")

  # The README's Python example, as written, in a scratch directory.
  set(bin "${WORK_DIR}/readme_python")
  file(REMOVE_RECURSE "${bin}")
  file(MAKE_DIRECTORY "${bin}")
  readme_block(py_code "Example in Python" "python")
  file(WRITE "${bin}/example.py" "${py_code}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=KELHASH_LIBRARY
                          --unset=LD_LIBRARY_PATH "PYTHONPATH=${python_dir}" ${python_env}
                          "${PYTHON}" example.py
                  WORKING_DIRECTORY "${bin}" RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the README's Python example failed (${rc}):\n${out}\n${err}")
  endif()
  message(STATUS "README Python example: ok\n${out}")

elseif(STEP STREQUAL "subdirectory")
  set(bin "${WORK_DIR}/subdirectory")
  file(REMOVE_RECURSE "${bin}")
  run(${CMAKE_COMMAND} -S "${HERE}/subdirectory" -B "${bin}" ${_configure_args}
      "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" "-DKELHASH_SOURCE_DIR=${SOURCE_DIR}")
  run(${CMAKE_COMMAND} --build "${bin}")
  run("${bin}/host")
  expect_ok_output("add_subdirectory host")
  execute_process(COMMAND ${CMAKE_CTEST_COMMAND} -N WORKING_DIRECTORY "${bin}"
                  OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT listing MATCHES "Total Tests: 0")
    message(FATAL_ERROR "the host build has tests of kelhash:\n${listing}")
  endif()

elseif(STEP STREQUAL "static")
  # A plain build (no sanitizers: nothing here links their runtimes).
  set(build "${WORK_DIR}/static-build")
  set(sprefix "${WORK_DIR}/static-prefix")
  file(REMOVE_RECURSE "${build}" "${sprefix}")
  run(${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${build}" ${_configure_args}
      "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" -DBUILD_SHARED_LIBS=OFF
      -DKELHASH_BUILD_TESTS=OFF -DKELHASH_WERROR=ON)
  run(${CMAKE_COMMAND} --build "${build}")
  run(${CMAKE_COMMAND} --install "${build}" --prefix "${sprefix}")
  if(NOT EXISTS "${sprefix}/${LIBDIR}/libkelhash.a")
    message(FATAL_ERROR "a static build installed no ${LIBDIR}/libkelhash.a")
  endif()
  file(GLOB shared "${sprefix}/${LIBDIR}/libkelhash.so*")
  if(shared)
    message(FATAL_ERROR "a static build installed shared libraries: ${shared}")
  endif()
  file(READ "${sprefix}/${LIBDIR}/pkgconfig/kelhash.pc" pc)
  if(NOT pc MATCHES "Cflags: [^\n]*-DKELHASH_STATIC")
    message(FATAL_ERROR "kelhash.pc of a static build does not define KELHASH_STATIC:\n${pc}")
  endif()

  # The installed command needs no kelhash library at run time.
  set(_file "${SOURCE_DIR}/include/kelhash.h")
  run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH "${sprefix}/${BINDIR}/kelhash" --md5 "${_file}")
  file(MD5 "${_file}" md5)
  string(TOUPPER "${md5}" md5)
  if(NOT RUN_OUTPUT STREQUAL "${md5}  ${_file}\n")
    message(FATAL_ERROR "the static build's kelhash --md5 printed '${RUN_OUTPUT}', expected ${md5}")
  endif()

  # find_package gives a static kelhash::kelhash that links and runs.
  set(bin "${WORK_DIR}/static-cmake_package")
  file(REMOVE_RECURSE "${bin}")
  run(${CMAKE_COMMAND} -S "${HERE}/cmake_package" -B "${bin}" ${_configure_args}
      "-DCMAKE_PREFIX_PATH=${sprefix}" "-DEXPECTED_VERSION=${VERSION}"
      -DEXPECTED_TYPE=STATIC_LIBRARY)
  run(${CMAKE_COMMAND} --build "${bin}")
  run("${bin}/consumer")
  expect_ok_output("find_package(kelhash) consumer of the static archive")

elseif(STEP STREQUAL "static_link")
  set(sprefix "${WORK_DIR}/static-prefix")
  find_program(PKG_CONFIG NAMES pkg-config pkgconf)
  if(NOT PKG_CONFIG)
    message("SKIPPED: pkg-config is not installed")
    return()
  endif()
  execute_process(COMMAND "${C_COMPILER}" -print-file-name=libc.a
                  OUTPUT_VARIABLE libc_a OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${libc_a}" OR NOT EXISTS "${libc_a}")
    message("SKIPPED: no static C library (libc.a) to link a -static program with")
    return()
  endif()
  if(NOT EXISTS "${sprefix}/${LIBDIR}/libkelhash.a")
    message(FATAL_ERROR "no static kelhash in ${sprefix}: run hosts.consumer.static first")
  endif()
  run(${CMAKE_COMMAND} -E env "PKG_CONFIG_PATH=${sprefix}/${LIBDIR}/pkgconfig"
      ${PKG_CONFIG} --static --cflags --libs kelhash)
  string(STRIP "${RUN_OUTPUT}" flags)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  set(bin "${WORK_DIR}/static_link")
  file(REMOVE_RECURSE "${bin}")
  file(MAKE_DIRECTORY "${bin}")
  # Linked by the C driver alone: the archive must need nothing but libc.
  run("${C_COMPILER}" -std=c99 -static "${HERE}/consumer.c" ${flags} -o "${bin}/consumer")
  find_program(READELF NAMES readelf)
  if(READELF)
    run(${READELF} -d "${bin}/consumer")
    if(NOT RUN_OUTPUT MATCHES "no dynamic section")
      message(FATAL_ERROR "the -static consumer is dynamically linked:\n${RUN_OUTPUT}")
    endif()
  endif()
  run("${bin}/consumer")
  expect_ok_output("-static pkg-config consumer")

elseif(STEP STREQUAL "readme")
  # The README's C example, exactly as written, against the installed tree.

  find_program(PKG_CONFIG NAMES pkg-config pkgconf)
  find_program(SH NAMES sh)
  if(NOT PKG_CONFIG OR NOT SH)
    message("SKIPPED: the README's C example is built with pkg-config and sh")
    return()
  endif()
  set(bin "${WORK_DIR}/readme")
  file(REMOVE_RECURSE "${bin}")
  file(MAKE_DIRECTORY "${bin}")
  readme_block(c_code "Example in C" "c")
  readme_block(c_build "Example in C" "sh")
  file(WRITE "${bin}/example.c" "${c_code}")
  # The compiler (and sanitizer flags) of this build stand for the README's cc.
  string(REGEX REPLACE "(^|\n)cc " "\\1\"${C_COMPILER}\" ${C_FLAGS} " c_build "${c_build}")
  string(REGEX REPLACE "(^|\n)cmake " "\\1\"${CMAKE_COMMAND}\" " c_build "${c_build}")
  string(FIND "${c_build}" " --prefix ${PREFIX}\n" at)
  if(at LESS 0)
    message(FATAL_ERROR "the README's build lines do not install into ${PREFIX}:\n${c_build}")
  endif()
  file(WRITE "${bin}/build.sh" "set -e\n${c_build}")
  run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH --unset=PKG_CONFIG_PATH
      ${SH} -c "cd '${bin}' && sh build.sh")
  if(NOT RUN_OUTPUT MATCHES "opensubtitles: [0-9a-f]+\nshooter: [0-9a-f;]+\n")
    message(FATAL_ERROR "the README's C example printed '${RUN_OUTPUT}'")
  endif()
  message(STATUS "README C example: ok\n${RUN_OUTPUT}")

else()
  message(FATAL_ERROR "unknown STEP '${STEP}'")
endif()
