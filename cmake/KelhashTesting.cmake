# Test helpers shared by every directory that registers tests: memory
# checking under Valgrind, tests listed as skipped with their reason, and the
# environment in which Python runs the binding's and the command's tests.

# Memory checking: with KELHASH_VALGRIND the test programs run under
# Valgrind's memcheck, and any error or leak fails the test. Tests that
# sweep large spaces see KELHASH_TEST_VALGRIND and sample them instead.
option(KELHASH_VALGRIND "Run the test programs under Valgrind's memcheck" OFF)
if(KELHASH_VALGRIND)
  if(KELHASH_SANITIZE)
    message(FATAL_ERROR "KELHASH_VALGRIND and KELHASH_SANITIZE do not go together")
  endif()
  find_program(KELHASH_VALGRIND_COMMAND valgrind REQUIRED)
  set(KELHASH_TEST_LAUNCHER ${KELHASH_VALGRIND_COMMAND} --tool=memcheck --error-exitcode=99
      --leak-check=full --show-leak-kinds=definite,indirect,possible
      --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes --quiet)
endif()
function(kelhash_test_program target)
  if(KELHASH_VALGRIND)
    set_target_properties(${target} PROPERTIES CROSSCOMPILING_EMULATOR "${KELHASH_TEST_LAUNCHER}")
  endif()
endfunction()

# A test that cannot run here still shows up, as skipped with its reason,
# instead of silently leaving the suite smaller.
function(kelhash_skipped_test name reason)
  message(STATUS "kelhash: test ${name} skipped: ${reason}")
  add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -E echo "SKIPPED: ${reason}")
  set_tests_properties(${name} PROPERTIES SKIP_REGULAR_EXPRESSION "SKIPPED:")
endfunction()

# Python runs the tests of the binding and of the command. A sanitized
# library takes the sanitizer runtimes from the executable; the interpreter
# has none, so they are preloaded. The interpreter's own allocations at exit
# are no concern here, so leak checking is off in those tests (the GoogleTest
# suite checks the library for leaks). KELHASH_PYTHON_SKIP says why the
# Python tests cannot run here, if they cannot; they are then listed as
# skipped with that reason.
find_package(Python3 COMPONENTS Interpreter)
set(KELHASH_PYTHON_PRELOAD "")
set(KELHASH_PYTHON_SKIP "")
if(NOT BUILD_SHARED_LIBS)
  set(KELHASH_PYTHON_SKIP "a static build has no shared library for Python to load")
elseif(NOT Python3_FOUND)
  set(KELHASH_PYTHON_SKIP "needs Python 3, which was not found")
elseif(CMAKE_CROSSCOMPILING)
  set(KELHASH_PYTHON_SKIP "the build machine's interpreter cannot load a cross-built library")
endif()
if(KELHASH_SANITIZE AND NOT KELHASH_PYTHON_SKIP)
  string(REPLACE "," ";" _kelhash_sanitizers "${KELHASH_SANITIZE}")
  set(_kelhash_preload)
  foreach(_san IN LISTS _kelhash_sanitizers)
    if(_san STREQUAL "address")
      set(_rt asan)
    elseif(_san STREQUAL "undefined")
      set(_rt ubsan)
    else()
      set(_rt "")
      set(KELHASH_PYTHON_SKIP "no sanitizer runtime to preload for ${_san}")
    endif()
    if(_rt)
      execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=lib${_rt}.so
                      OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(IS_ABSOLUTE "${_path}" AND EXISTS "${_path}")
        list(APPEND _kelhash_preload "${_path}")
      else()
        set(KELHASH_PYTHON_SKIP "the compiler names no lib${_rt}.so to preload into Python")
      endif()
    endif()
  endforeach()
  string(REPLACE ";" ":" KELHASH_PYTHON_PRELOAD "${_kelhash_preload}")
endif()
if(KELHASH_PYTHON_SKIP)
  set(KELHASH_PYTHON_OK OFF)
else()
  set(KELHASH_PYTHON_OK ON)
endif()

# kelhash_python_test(NAME DIR [ENV VAR=VALUE...]): runs the unittest files
# test_*.py of DIR with the built library, the binding, the shared Python
# reference module and the HTTP range test server on the path; listed as
# skipped where Python cannot run.
function(kelhash_python_test name dir)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "SKIP_PREFIX" "ENV")
  if(NOT KELHASH_PYTHON_OK)
    kelhash_skipped_test(${name} "${arg_SKIP_PREFIX}${KELHASH_PYTHON_SKIP}")
    return()
  endif()
  if(WIN32)
    set(sep "\\;")
  else()
    set(sep ":")
  endif()
  set(binding ${PROJECT_SOURCE_DIR}/bindings/python)
  add_test(NAME ${name}
           COMMAND Python3::Interpreter -m unittest discover -s ${dir} -p "test_*.py" -v)
  set(env
    "KELHASH_LIBRARY=$<TARGET_FILE:kelhash>"
    "PYTHONPATH=${binding}${sep}${PROJECT_SOURCE_DIR}/tests/python${sep}${PROJECT_SOURCE_DIR}/tests/http"
    "PYTHONDONTWRITEBYTECODE=1"
    ${arg_ENV})
  if(KELHASH_PYTHON_PRELOAD)
    list(APPEND env "LD_PRELOAD=${KELHASH_PYTHON_PRELOAD}")
  endif()
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}")
  if(KELHASH_SANITIZE)
    # Appended, so that the other sanitizer options of the environment stay.
    set_tests_properties(${name} PROPERTIES
      ENVIRONMENT_MODIFICATION "ASAN_OPTIONS=path_list_append:detect_leaks=0")
  endif()
endfunction()
