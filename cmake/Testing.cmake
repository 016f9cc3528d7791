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
