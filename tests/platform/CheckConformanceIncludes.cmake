# Checks that the conformance tests include only SDK headers (angle
# brackets), standard and GoogleTest headers, their area's fixture and the
# shared polling helper (standard C++ only): a
# header of the stand-in's insides in one of them would make it a test of
# those insides. Run as: cmake -DTESTS=<tests/platform> -P this file.
cmake_minimum_required(VERSION 3.25)

# file|allowed quoted includes (comma-separated; empty: none)
set(conformance
  "sdk/SdkConformanceTest.cpp|"
  "kernel/ThreadTest.cpp|../Polling.h"
  "kernel/HandleTest.cpp|"
  "kernel/MemoryTest.cpp|KernelTestSupport.h"
  "kernel/ModuleTest.cpp|KernelTestSupport.h"
  "kernel/KernelTestSupport.h|"
  "text/FormatTest.cpp|"
  "text/WideStringTest.cpp|"
  "registry/RegistryTest.cpp|RegistryTestSupport.h"
  "registry/RegistryTestSupport.h|"
  "resources/ResourceApiTest.cpp|ResourceTestSupport.h,shell/resources/resource.h"
  "resources/ResourceTestSupport.h|"
  "serial/ComConformanceTest.cpp|SerialTestSupport.h"
  "serial/SerialTestSupport.h|../Polling.h"
  "windowing/WindowTest.cpp|WindowTestSupport.h"
  "windowing/MessageTest.cpp|WindowTestSupport.h"
  "windowing/EditTest.cpp|WindowTestSupport.h"
  "windowing/MenuTest.cpp|WindowTestSupport.h"
  "windowing/DialogTest.cpp|WindowTestSupport.h"
  "windowing/WindowTestSupport.h|../Polling.h"
  "shell/ShellTest.cpp|../windowing/WindowTestSupport.h")

set(failures "")
foreach(entry IN LISTS conformance)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 file)
  list(LENGTH parts count)
  set(allowed "")
  if(count GREATER 1)
    list(GET parts 1 allowedText)
    string(REPLACE "," ";" allowed "${allowedText}")
  endif()
  if(NOT EXISTS "${TESTS}/${file}")
    list(APPEND failures "${file}: missing")
    continue()
  endif()
  file(STRINGS "${TESTS}/${file}" includes REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS includes)
    if(line MATCHES "\"([^\"]+)\"")
      if(NOT CMAKE_MATCH_1 IN_LIST allowed)
        list(APPEND failures "${file}: ${CMAKE_MATCH_1}")
      endif()
    elseif(line MATCHES "<([^>]+/[^>]+)>")
      set(header "${CMAKE_MATCH_1}")
      if(NOT header MATCHES "^(gtest|gmock)/")
        list(APPEND failures "${file}: <${header}>")
      endif()
    endif()
  endforeach()
endforeach()

if(failures)
  string(REPLACE ";" "\n  " text "${failures}")
  message(FATAL_ERROR "Conformance tests include more than the SDK and their fixture:\n  ${text}")
endif()
