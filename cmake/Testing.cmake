# fwutil_test(<name> SOURCES <files...> [LIBS <targets...>] [TIMEOUT <seconds>] [LABELS <labels...>])
# A GoogleTest executable; CTest runs each of its tests in a process of its own.
# Labels: "e2e" for runs of the real executables (left out of the sanitizer
# passes, see CMakePresets.json).
function(fwutil_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} wince GTest::gtest GTest::gmock GTest::gtest_main)
  if(T_LABELS)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT ${T_TIMEOUT})
  endif()
endfunction()

# fwutil_conformance_tests(<area> [SOURCES <fixture sources...>] [LIBS <targets...>])
# The area's conformance program, <area>_conformance_tests: every
# *ConformanceTest.cpp of the calling folder, with the fixture's sources.
# The files so named, and the test headers they include, speak the SDK only;
# platform.conformance_includes (tests/platform) finds them by the same name.
function(fwutil_conformance_tests area)
  cmake_parse_arguments(C "" "" "SOURCES;LIBS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*ConformanceTest.cpp")
  if(NOT tests)
    message(FATAL_ERROR "fwutil_conformance_tests(${area}): no *ConformanceTest.cpp in ${CMAKE_CURRENT_SOURCE_DIR}")
  endif()
  fwutil_test(${area}_conformance_tests SOURCES ${tests} ${C_SOURCES} LIBS ${C_LIBS})
endfunction()

# fwutil_add_subfolders()
# Adds every folder below the calling one that has a CMakeLists.txt, so a
# new folder of tests or benchmarks needs nothing but its own.
function(fwutil_add_subfolders)
  file(GLOB entries LIST_DIRECTORIES true CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*")
  foreach(entry IN LISTS entries)
    if(IS_DIRECTORY "${entry}" AND EXISTS "${entry}/CMakeLists.txt")
      add_subdirectory("${entry}")
    endif()
  endforeach()
endfunction()

# fwutil_program_path(<var> <target>)
# What a test or benchmark executes to start one of the tree's own programs as
# a process of its own. Natively the program's file. In a cross build with an
# emulator (armhf: qemu-arm) the build machine's kernel cannot start the
# target's programs by itself, so the path names a small launcher script that
# starts the program under the emulator; the script execs it, so the child's
# pid, its signals and its exit status are the program's.
function(fwutil_program_path var target)
  if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
    set(launcher "${CMAKE_BINARY_DIR}/launchers/${target}")
    get_property(made GLOBAL PROPERTY FWUTIL_LAUNCHERS)
    if(NOT target IN_LIST made)
      set_property(GLOBAL APPEND PROPERTY FWUTIL_LAUNCHERS ${target})
      list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "\" \"" emulator)
      file(GENERATE OUTPUT "${launcher}"
           CONTENT "#!/bin/sh\nexec \"${emulator}\" \"$<TARGET_FILE:${target}>\" \"$@\"\n"
           FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
    set(${var} "${launcher}" PARENT_SCOPE)
  else()
    set(${var} "$<TARGET_FILE:${target}>" PARENT_SCOPE)
  endif()
endfunction()
