# wince_area(<name> SOURCES <files...> PUBLIC_HEADERS <headers...>
#            [IMPORTS <areas...>] [INTERNAL_IMPORTS <areas...>])
#
# One area of the platform, in the folder whose CMakeLists.txt calls it
# (platform/<folder>): the library wince_<name> and the interface target
# wince_<name>_internal. Headers are named as "<folder>/<file>.h" wherever
# they are included ("kernel/Thread.h", "frontends/terminal/Frontend.h").
#
# - The area's own sources see all of its headers, and the public headers of
#   the areas it IMPORTS; with INTERNAL_IMPORTS also all headers of those
#   areas (a reach into their insides, said where it is made).
# - Whoever links wince_<name> (an importing area, the handset, a tool, a
#   test) sees its PUBLIC_HEADERS only; nothing passes on to the next
#   importer, so each area names every area whose headers it includes.
# - wince_<name>_internal is for the area's unit tests, and for what else
#   must reach its insides: all of its headers.
#
# Areas are added from the bottom up (platform/CMakeLists.txt): an import
# must be an area added before, so the graph has no cycle. The headers are
# reached through forwarding headers staged in the build tree
# (<build>/platform/<folder>/public and .../internal); the folder
# platform/ itself is on no include path.
function(wince_area name)
  cmake_parse_arguments(A "" "" "SOURCES;PUBLIC_HEADERS;IMPORTS;INTERNAL_IMPORTS" ${ARGN})
  if(A_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "wince_area(${name}): unknown arguments ${A_UNPARSED_ARGUMENTS}")
  endif()
  file(RELATIVE_PATH folder "${WINCE_PLATFORM_DIR}" "${CMAKE_CURRENT_SOURCE_DIR}")
  foreach(import IN LISTS A_IMPORTS A_INTERNAL_IMPORTS)
    if(NOT TARGET wince_${import}_internal)
      message(FATAL_ERROR "wince_area(${name}): '${import}' is no area added before this one "
                          "(areas import only areas below them; see platform/CMakeLists.txt)")
    endif()
  endforeach()

  file(GLOB_RECURSE headers CONFIGURE_DEPENDS RELATIVE "${CMAKE_CURRENT_SOURCE_DIR}" "${CMAKE_CURRENT_SOURCE_DIR}/*.h")
  foreach(header IN LISTS A_PUBLIC_HEADERS)
    if(NOT header IN_LIST headers)
      message(FATAL_ERROR "wince_area(${name}): public header ${header} is not in platform/${folder}")
    endif()
    # What a public header includes of its own area must be public too,
    # or no importer could compile it.
    file(STRINGS "${CMAKE_CURRENT_SOURCE_DIR}/${header}" includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"${folder}/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[^\"]*\"${folder}/([^\"]+)\".*$" "\\1" included "${line}")
      if(NOT included IN_LIST A_PUBLIC_HEADERS)
        message(FATAL_ERROR "wince_area(${name}): public header ${header} includes ${folder}/${included}, "
                            "which is not public")
      endif()
    endforeach()
  endforeach()

  set(stage "${CMAKE_CURRENT_BINARY_DIR}")
  _wince_stage_headers("${stage}/public" "${folder}" ${A_PUBLIC_HEADERS})
  _wince_stage_headers("${stage}/internal" "${folder}" ${headers})

  add_library(wince_${name} STATIC ${A_SOURCES})
  target_include_directories(wince_${name} PRIVATE "${stage}/internal" INTERFACE "${stage}/public")
  target_link_libraries(wince_${name} PUBLIC wince_sdk)
  foreach(import IN LISTS A_IMPORTS)
    target_link_libraries(wince_${name} PRIVATE wince_${import})
  endforeach()
  foreach(import IN LISTS A_INTERNAL_IMPORTS)
    target_link_libraries(wince_${name} PRIVATE wince_${import}_internal)
  endforeach()

  add_library(wince_${name}_internal INTERFACE)
  target_include_directories(wince_${name}_internal INTERFACE "${stage}/internal")
  target_link_libraries(wince_${name}_internal INTERFACE wince_${name})
endfunction()

# Writes a forwarding header <dir>/<folder>/<header> for each header of
# platform/<folder>, and removes those of headers no longer named.
function(_wince_stage_headers dir folder)
  set(wanted "")
  foreach(header IN LISTS ARGN)
    set(forward "${dir}/${folder}/${header}")
    list(APPEND wanted "${forward}")
    set(target "${WINCE_PLATFORM_DIR}/${folder}/${header}")
    file(CONFIGURE OUTPUT "${forward}" CONTENT "// Staged by wince_area() (cmake/PlatformAreas.cmake).\n#pragma once\n#include \"${target}\"\n")
  endforeach()
  file(GLOB_RECURSE staged "${dir}/*")
  foreach(file IN LISTS staged)
    if(NOT file IN_LIST wanted)
      file(REMOVE "${file}")
    endif()
  endforeach()
endfunction()
