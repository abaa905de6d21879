# The README's C# examples as written: the commands of the first sh block of
# "## Using kelhash from C#" build the binding and the first csharp block's
# program, which then hashes a golden file and fails on a missing one; the
# second csharp block's program hashes the golden file by ranges.
#
# cmake -DSOURCE_DIR=... -DLIB_DIR=... -DWORK_DIR=... -DMCS=... -DMONO=...
#       -P readme_example.cmake
# LIB_DIR holds the built library (libkelhash.so.1) and stands for the
# README's /opt/kelhash/lib.

include("${SOURCE_DIR}/cmake/KelhashReadme.cmake")

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
kelhash_readme_block(code "${SOURCE_DIR}/README.md" "Using kelhash from C#" "csharp")
kelhash_readme_block(commands "${SOURCE_DIR}/README.md" "Using kelhash from C#" "sh")
file(WRITE "${WORK_DIR}/app.cs" "${code}")

# The tree's paths from the source directory, the prefix's library directory
# from the build, the tools from where CMake found them.
string(REPLACE "bindings/dotnet/" "${SOURCE_DIR}/bindings/dotnet/" commands "${commands}")
string(REPLACE "/opt/kelhash/lib" "${LIB_DIR}" commands "${commands}")
string(REPLACE " README.md" " ${SOURCE_DIR}/README.md" commands "${commands}")
string(REGEX REPLACE "(^|\n)mcs " "\\1\"${MCS}\" " commands "${commands}")
string(REGEX REPLACE "(=[^ \n]+ )mono " "\\1\"${MONO}\" " commands "${commands}")
file(WRITE "${WORK_DIR}/build.sh" "set -e\n${commands}")
execute_process(COMMAND sh build.sh WORKING_DIRECTORY "${WORK_DIR}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the README's C# commands failed (${rc}):\n${commands}\n${out}${err}")
endif()
if(NOT out MATCHES "^opensubtitles: [0-9a-f]+\nshooter: [0-9a-f;]+\nmd5: [0-9A-F]+\nstable hash of movie.avi: 1654360774\n$")
  message(FATAL_ERROR "the README's C# example printed:\n${out}${err}")
endif()
message(STATUS "README C# commands: ok\n${out}")

# The golden values of one file, and a failure.
file(STRINGS "${SOURCE_DIR}/tests/golden/files.tsv" row REGEX "^200003[.]bin\t")
string(REPLACE "\t" ";" row "${row}")
list(GET row 2 opensubtitles)
list(GET row 3 shooter)
list(GET row 4 md5)
set(file "${SOURCE_DIR}/tests/golden/files/200003.bin")
execute_process(COMMAND ${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${LIB_DIR}"
                        "${MONO}" app.exe "${file}"
                WORKING_DIRECTORY "${WORK_DIR}" RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
set(expected "opensubtitles: ${opensubtitles}\nshooter: ${shooter}\nmd5: ${md5}\nstable hash of movie.avi: 1654360774\n")
if(NOT rc EQUAL 0 OR NOT out STREQUAL expected)
  message(FATAL_ERROR "app.exe on 200003.bin (${rc}) printed:\n${out}${err}\nexpected:\n${expected}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${LIB_DIR}"
                        "${MONO}" app.exe missing.mkv
                WORKING_DIRECTORY "${WORK_DIR}" RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
if(NOT rc EQUAL 1 OR NOT out STREQUAL "" OR NOT err STREQUAL "missing.mkv: cannot open file (IoError)\n")
  message(FATAL_ERROR "app.exe on a missing file (${rc}) printed:\n${out}${err}")
endif()
message(STATUS "README C# example on a golden file and a missing one: ok")

# The second csharp block of the section: the program that reads by ranges.
kelhash_readme_block(ranges "${SOURCE_DIR}/README.md" "Using kelhash from C#" "csharp" 2)
file(WRITE "${WORK_DIR}/ranges.cs" "${ranges}")
execute_process(COMMAND "${MCS}" -r:KelhashSharp.dll -out:ranges.exe ranges.cs
                WORKING_DIRECTORY "${WORK_DIR}" RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the README's second C# example does not compile (${rc}):\n${out}${err}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${LIB_DIR}"
                        "${MONO}" ranges.exe "${file}"
                WORKING_DIRECTORY "${WORK_DIR}" RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
set(expected "opensubtitles: ${opensubtitles}\nshooter: ${shooter}\nmd5: ${md5}\n")
if(NOT rc EQUAL 0 OR NOT out STREQUAL expected)
  message(FATAL_ERROR "ranges.exe on 200003.bin (${rc}) printed:\n${out}${err}\nexpected:\n${expected}")
endif()
message(STATUS "README C# example by ranges on a golden file: ok")
