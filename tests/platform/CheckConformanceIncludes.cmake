# Checks that the conformance tests include only SDK headers (angle
# brackets), standard and GoogleTest headers, the program's resource
# identifiers, and test headers of this folder (their fixtures, the shared
# polling helper), which are held to the same rule: a header of the
# stand-in's insides in one of them would make it a test of those insides.
# The conformance tests are the files named *ConformanceTest.cpp below
# TESTS; their programs take them by that name (fwutil_conformance_tests).
# Run as: cmake -DTESTS=<tests/platform> -P this file.
cmake_minimum_required(VERSION 3.25)

# The program's own headers a conformance test may name (from the project's root).
set(program_headers "shell/resources/resource.h")

file(GLOB_RECURSE pending "${TESTS}/*ConformanceTest.cpp")
if(NOT pending)
  message(FATAL_ERROR "No *ConformanceTest.cpp below ${TESTS}")
endif()
set(checked "")
set(failures "")
while(pending)
  list(POP_FRONT pending path)
  if(path IN_LIST checked)
    continue()
  endif()
  list(APPEND checked "${path}")
  file(RELATIVE_PATH file "${TESTS}" "${path}")
  get_filename_component(dir "${path}" DIRECTORY)
  file(STRINGS "${path}" includes REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS includes)
    if(line MATCHES "\"([^\"]+)\"")
      set(header "${CMAKE_MATCH_1}")
      get_filename_component(local "${header}" ABSOLUTE BASE_DIR "${dir}")
      string(FIND "${local}" "${TESTS}/" under)
      if(under EQUAL 0 AND EXISTS "${local}")
        list(APPEND pending "${local}")
      elseif(NOT header IN_LIST program_headers)
        list(APPEND failures "${file}: \"${header}\"")
      endif()
    elseif(line MATCHES "<([^>]+/[^>]+)>")
      set(header "${CMAKE_MATCH_1}")
      if(NOT header MATCHES "^(gtest|gmock)/")
        list(APPEND failures "${file}: <${header}>")
      endif()
    endif()
  endforeach()
endwhile()

if(failures)
  string(REPLACE ";" "\n  " text "${failures}")
  message(FATAL_ERROR "Conformance tests include more than the SDK and their fixtures:\n  ${text}")
endif()
list(LENGTH checked count)
message(STATUS "${count} conformance files and test headers include the SDK only")
