# Configures the source tree as a machine without GoogleTest or without
# Python would, and checks what the user sees there:
#   - no installed GoogleTest: its sources are used where the distribution
#     ships them, and with none anywhere the configure stops with a message
#     naming the package and -DKELHASH_BUILD_TESTS=OFF;
#   - no Python 3: the tests that need it are listed and run as skipped.
# Variables: SOURCE_DIR, WORK_DIR, GENERATOR, MAKE_PROGRAM, C_COMPILER,
# CXX_COMPILER. Nothing is built.

cmake_minimum_required(VERSION 3.25)

set(_args -G "${GENERATOR}" "-DCMAKE_C_COMPILER=${C_COMPILER}"
          "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}")
if(MAKE_PROGRAM)
  list(APPEND _args "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}")
endif()

function(configure name)
  set(bin "${WORK_DIR}/${name}")
  file(REMOVE_RECURSE "${bin}")
  execute_process(COMMAND ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${bin}" ${_args} ${ARGN}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(CONFIGURE_RC "${rc}" PARENT_SCOPE)
  set(CONFIGURE_OUTPUT "${out}${err}" PARENT_SCOPE)
  set(CONFIGURE_DIR "${bin}" PARENT_SCOPE)
endfunction()

# No GoogleTest at all: a clear stop.
file(MAKE_DIRECTORY "${WORK_DIR}/empty")
configure(no_gtest -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON "-DKELHASH_GTEST_SEARCH=${WORK_DIR}/empty")
string(REGEX REPLACE "[ \n]+" " " flat "${CONFIGURE_OUTPUT}")
if(CONFIGURE_RC EQUAL 0)
  message(FATAL_ERROR "configure without GoogleTest succeeded:\n${CONFIGURE_OUTPUT}")
endif()
foreach(hint "GoogleTest, which was not found" "libgtest-dev" "-DKELHASH_BUILD_TESTS=OFF")
  string(FIND "${flat}" "${hint}" at)
  if(at LESS 0)
    message(FATAL_ERROR "configure without GoogleTest does not say '${hint}':\n${CONFIGURE_OUTPUT}")
  endif()
endforeach()
message(STATUS "no GoogleTest: stops with a message naming the package: ok")

# The same machine builds without the tests.
configure(no_gtest_no_tests -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
          "-DKELHASH_GTEST_SEARCH=${WORK_DIR}/empty" -DKELHASH_BUILD_TESTS=OFF)
if(NOT CONFIGURE_RC EQUAL 0)
  message(FATAL_ERROR "-DKELHASH_BUILD_TESTS=OFF does not configure:\n${CONFIGURE_OUTPUT}")
endif()
message(STATUS "no GoogleTest, tests off: configures: ok")

# Only the distribution's sources: they are used.
if(EXISTS "/usr/src/googletest/CMakeLists.txt")
  configure(gtest_sources -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON)
  if(NOT CONFIGURE_RC EQUAL 0 OR NOT CONFIGURE_OUTPUT MATCHES "building it from /usr/src/googletest")
    message(FATAL_ERROR "GoogleTest's sources in /usr/src/googletest were not used:\n${CONFIGURE_OUTPUT}")
  endif()
  message(STATUS "GoogleTest from /usr/src/googletest: ok")
else()
  message(STATUS "no /usr/src/googletest here: its use is not checked")
endif()

# No Python 3: the tests that need it are listed, and skipped with a reason.
configure(no_python -DCMAKE_DISABLE_FIND_PACKAGE_Python3=ON)
if(NOT CONFIGURE_RC EQUAL 0)
  message(FATAL_ERROR "configure without Python failed:\n${CONFIGURE_OUTPUT}")
endif()
set(python_tests hosts.python hosts.command hosts.consumer.python)
if(CMAKE_HOST_SYSTEM_NAME STREQUAL "Linux")
  list(APPEND python_tests abi.elf)
endif()
list(JOIN python_tests "|" pattern)
string(REPLACE "." "\\." pattern "${pattern}")
execute_process(COMMAND ${CMAKE_CTEST_COMMAND} -R "^(${pattern})$"
                WORKING_DIRECTORY "${CONFIGURE_DIR}" RESULT_VARIABLE rc
                OUTPUT_VARIABLE out ERROR_VARIABLE err)
foreach(t IN LISTS python_tests)
  string(REPLACE "." "\\." re "${t}")
  if(NOT out MATCHES "${re} [.]+[*]+Skipped")
    message(FATAL_ERROR "without Python, ${t} is not listed as skipped:\n${out}${err}")
  endif()
endforeach()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the skipped tests failed:\n${out}${err}")
endif()
message(STATUS "no Python: ${python_tests} skipped: ok")
