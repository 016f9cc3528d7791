// Loaded modules: the program itself (with its resources) and the
// platform's own libraries (with their exports).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kernel {

// Registers the running program and its compiled resources (a .res
// image); returns its instance handle. A second call replaces the first.
HINSTANCE RegisterProgramModule(std::u16string fileName, std::span<const uint8_t> resources);
HINSTANCE ProgramModule();

// The resource image of a module (null: the program); empty if none.
std::span<const uint8_t> ModuleResources(HMODULE module);

}  // namespace kernel
