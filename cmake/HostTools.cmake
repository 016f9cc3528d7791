# fwutil_host_tools(TARGETS <targets...> BYPRODUCTS <files...>)
#
# A cross build (the win32 and armhf presets) runs some of the tree's own
# programs while it builds or tests: the image and icon generator, and for the
# Wine tests the module simulator and the pty helper. They must run on the
# build machine, so the same sources are configured once more for it in
# ${FWUTIL_HOST_DIR} (<build>/host) and only the named targets are built
# there; the target "host_tools" stands for them.
include(ExternalProject)
set(FWUTIL_HOST_DIR "${CMAKE_BINARY_DIR}/host")

function(fwutil_host_tools)
  cmake_parse_arguments(H "" "" "TARGETS;BYPRODUCTS" ${ARGN})
  ExternalProject_Add(host_tools
    SOURCE_DIR "${PROJECT_SOURCE_DIR}"
    BINARY_DIR "${FWUTIL_HOST_DIR}"
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DFWUTIL_IMAGE_DIR=${FWUTIL_IMAGE_DIR}"
    BUILD_COMMAND ${CMAKE_COMMAND} --build "${FWUTIL_HOST_DIR}" --target ${H_TARGETS}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${H_BYPRODUCTS})
endfunction()
