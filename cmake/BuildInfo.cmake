# cmake -DVERSION=<x.y.z> -DSOURCE_DIR=<tree> -DDIGESTS=<file> -DOUT=<header>
#       -P BuildInfo.cmake
# What fwutil --version and the report say of the build: the project's
# version, the commit the tree was built from (when it is a git checkout;
# "+changes" when files differ from it) and each module image's size and
# SHA-256. Run at every build; the header is rewritten only when it changes,
# so nothing is compiled again for nothing.
set(commit "")
find_program(GIT git)
if(GIT AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" rev-parse --short=12 HEAD
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    set(commit "")
  else()
    execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" diff --quiet HEAD -- RESULT_VARIABLE dirty ERROR_QUIET)
    if(NOT dirty EQUAL 0)
      string(APPEND commit "+changes")
    endif()
  endif()
endif()

file(STRINGS "${DIGESTS}" lines)
set(images "")
foreach(line IN LISTS lines)
  string(REPLACE " " ";" fields "${line}")
  list(GET fields 0 name)
  list(GET fields 1 size)
  list(GET fields 2 digest)
  string(APPEND images "    {\"${name}\", ${size}u, \"${digest}\"},\n")
endforeach()

set(header "// Made by cmake/BuildInfo.cmake at build time.
#pragma once
#include <cstdint>
namespace buildinfo {
struct Image {
  const char* name;
  uint64_t bytes;
  const char* sha256;
};
inline constexpr char kVersion[] = \"${VERSION}\";
inline constexpr char kCommit[] = \"${commit}\";
inline constexpr Image kImages[] = {
${images}};
}  // namespace buildinfo
")
set(old "")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL header)
  file(WRITE "${OUT}" "${header}")
endif()
