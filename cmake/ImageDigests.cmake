# cmake -DIMAGES=<files> -DOUT=<file> -P ImageDigests.cmake
# One line per image: "<name> <size> <sha256>".
set(text "")
foreach(image IN LISTS IMAGES)
  get_filename_component(name "${image}" NAME)
  file(SIZE "${image}" size)
  file(SHA256 "${image}" digest)
  string(APPEND text "${name} ${size} ${digest}\n")
endforeach()
file(WRITE "${OUT}" "${text}")
