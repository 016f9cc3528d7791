# cmake -P CheckImageSizes.cmake -DHEADER=<UpdateImages.h> -DSTAMP=<file>
#        -DIMAGES=<BOOT1_LENGTH=path|BOOT2_LENGTH=path|...>
#
# Stops the build when a module image's size differs from the length its
# sender sends, as #defined in HEADER. Writes STAMP when all agree.
foreach(var HEADER STAMP IMAGES)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "CheckImageSizes: ${var} is not set")
  endif()
endforeach()

file(STRINGS "${HEADER}" defines REGEX "^[ \t]*#[ \t]*define[ \t]+[A-Z0-9_]+_LENGTH[ \t]+[0-9]+")
foreach(line IN LISTS defines)
  string(REGEX REPLACE "^[ \t]*#[ \t]*define[ \t]+([A-Z0-9_]+)[ \t]+([0-9]+).*$" "\\1;\\2" pair "${line}")
  list(GET pair 0 name)
  list(GET pair 1 value)
  set(length_${name} ${value})
endforeach()

set(errors "")
string(REPLACE "|" ";" images "${IMAGES}")
foreach(entry IN LISTS images)
  string(FIND "${entry}" "=" eq)
  string(SUBSTRING "${entry}" 0 ${eq} name)
  math(EXPR start "${eq} + 1")
  string(SUBSTRING "${entry}" ${start} -1 path)
  if(NOT DEFINED length_${name})
    string(APPEND errors "  ${name} is not #defined in ${HEADER}\n")
    continue()
  endif()
  if(NOT EXISTS "${path}")
    string(APPEND errors "  ${path}: missing (expected ${length_${name}} bytes, ${name})\n")
    continue()
  endif()
  file(SIZE "${path}" size)
  if(NOT size EQUAL length_${name})
    string(APPEND errors "  ${path}: ${size} bytes, expected ${length_${name}} bytes (${name})\n")
  endif()
endforeach()

if(errors)
  file(REMOVE "${STAMP}")
  message(FATAL_ERROR "Module image size check failed:\n${errors}"
                      "Each image must have exactly the length its sender sends (${HEADER}).")
endif()
file(WRITE "${STAMP}" "ok\n")
