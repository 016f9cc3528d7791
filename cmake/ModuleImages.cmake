# fwutil_module_images(<prefix>)
#
# What the resource script (shell/resources/fwutil.rc) takes in from outside
# its folder, for the native build (llvm-rc, shell/resources) and the Win32
# build (windres, platform/win32) alike: the four module images, from
# FWUTIL_IMAGE_DIR or generated stand-ins, their sizes checked against the
# lengths their senders send (update/UpdateImages.h); and the program icon,
# always generated. The generator is FWUTIL_IMAGEGEN, made by the target
# FWUTIL_IMAGEGEN_TARGET (the tree's imagegen, or in a cross build the build
# machine's, cmake/HostTools.cmake).
#
# Sets in the caller's scope:
#   <prefix>_IMAGE_DIR, <prefix>_ICON_DIR  the script's include folders for them
#   <prefix>_FILES  the images, the icon and the size check's stamp: what
#                   compiling the script waits for
# and FWUTIL_MODULE_IMAGE_DIR (cache) for the tests that compare a module's
# flash with the firmware image.
function(fwutil_module_images prefix)
  set(names boot1.bin boot2.bin filesize.bin firmware.bin)
  set(lengths BOOT1_LENGTH BOOT2_LENGTH FILE_SIZE_LENGTH FIRMWARE_LENGTH)

  if(FWUTIL_IMAGE_DIR)
    get_filename_component(image_dir "${FWUTIL_IMAGE_DIR}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}/shell/resources")
    list(TRANSFORM names PREPEND "${image_dir}/" OUTPUT_VARIABLE images)
    foreach(image IN LISTS images)
      if(NOT EXISTS "${image}")
        message(FATAL_ERROR "FWUTIL_IMAGE_DIR: ${image} does not exist")
      endif()
    endforeach()
  else()
    set(image_dir "${CMAKE_CURRENT_BINARY_DIR}/images")
    list(TRANSFORM names PREPEND "${image_dir}/" OUTPUT_VARIABLE images)
    add_custom_command(
      OUTPUT ${images}
      COMMAND ${CMAKE_COMMAND} -E make_directory "${image_dir}"
      COMMAND ${FWUTIL_IMAGEGEN} images "${image_dir}"
      DEPENDS ${FWUTIL_IMAGEGEN_TARGET}
      COMMENT "Generating stand-in module images"
      VERBATIM)
  endif()

  set(icon_dir "${CMAKE_CURRENT_BINARY_DIR}/icon")
  set(icon "${icon_dir}/fwutil.ico")
  add_custom_command(
    OUTPUT "${icon}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${icon_dir}"
    COMMAND ${FWUTIL_IMAGEGEN} icon "${icon}"
    DEPENDS ${FWUTIL_IMAGEGEN_TARGET}
    COMMENT "Generating the program icon"
    VERBATIM)

  set(update_images_h "${PROJECT_SOURCE_DIR}/update/UpdateImages.h")
  set(check_script "${PROJECT_SOURCE_DIR}/cmake/CheckImageSizes.cmake")
  set(check_args "")
  foreach(image length IN ZIP_LISTS images lengths)
    list(APPEND check_args "${length}=${image}")
  endforeach()
  list(JOIN check_args "|" check_list)
  set(size_stamp "${CMAKE_CURRENT_BINARY_DIR}/image-sizes.ok")
  add_custom_command(
    OUTPUT "${size_stamp}"
    COMMAND ${CMAKE_COMMAND} "-DHEADER=${update_images_h}" "-DSTAMP=${size_stamp}" "-DIMAGES=${check_list}"
            -P "${check_script}"
    DEPENDS ${images} "${update_images_h}" "${check_script}"
    COMMENT "Checking the module images' sizes"
    VERBATIM)

  set(${prefix}_IMAGE_DIR "${image_dir}" PARENT_SCOPE)
  set(${prefix}_ICON_DIR "${icon_dir}" PARENT_SCOPE)
  set(${prefix}_FILES ${images} "${icon}" "${size_stamp}" PARENT_SCOPE)
  set(FWUTIL_MODULE_IMAGE_DIR "${image_dir}" CACHE INTERNAL "The folder of the module images the program embeds")
endfunction()
