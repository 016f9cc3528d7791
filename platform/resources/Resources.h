// The platform's resource functions (FindResourceW, LoadResource,
// SizeofResource, LockResource, LoadStringW, LoadAcceleratorsW, LoadIconW)
// and what the rest of the platform needs to know about loaded resources.
//
// Resources live in a module's compiled resource image (a .res, see
// ResFile.h) registered with kernel::RegisterProgramModule. Handles point
// into that image: an HRSRC is the address of the resource's header, a
// loaded resource (HGLOBAL) the address of its data, as on the handset. An
// HACCEL is the address of an accelerator table's data, and an HICON that
// of the chosen icon image's data.
//
// Lookups that name no language take, among a resource's languages:
// neutral (0), then US English (0x0409, the platform's UI language), then
// the lowest language id.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "resources/ResFile.h"

namespace resources {

constexpr uint16_t kDefaultLanguage = 0x0409;

// The bytes from `address` to the end of the loaded resource that contains
// it (for DialogBoxIndirectParamW, which receives only a pointer); nullopt
// if `address` is not inside any loaded resource's data.
std::optional<std::span<const uint8_t>> ResourceBytesFrom(const void* address);

// The entries of an accelerator table that LoadAcceleratorsW returned;
// nullopt if `table` is not one (TranslateAcceleratorW then fails with
// ERROR_INVALID_ACCEL_HANDLE).
std::optional<std::vector<ACCEL>> AcceleratorEntries(HACCEL table);

// The image that LoadIconW chose: BITMAPINFOHEADER, palette, colour and
// mask bitmaps, as stored. nullopt if `icon` is not a loaded icon.
struct IconBits {
  int width = 0;
  int height = 0;
  int bitCount = 0;
  std::span<const uint8_t> bytes;
};
std::optional<IconBits> IconFromHandle(HICON icon);

}  // namespace resources
