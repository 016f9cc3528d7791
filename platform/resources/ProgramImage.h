// The program's compiled resources, embedded into the executable by the
// object library fwutil_resources (shell/resources). Link that library to
// use this header.
#pragma once

#include <cstdint>
#include <span>

extern "C" const unsigned char fwutil_resource_image[];
extern "C" const unsigned char fwutil_resource_image_end[];

namespace resources {

// The .res image, for kernel::RegisterProgramModule.
inline std::span<const uint8_t> ProgramImage() {
  auto begin = reinterpret_cast<uintptr_t>(fwutil_resource_image);
  auto end = reinterpret_cast<uintptr_t>(fwutil_resource_image_end);
  return {fwutil_resource_image, static_cast<size_t>(end - begin)};
}

}  // namespace resources
