// Resource lookup in a module's compiled resource image.
#include "resources/Resources.h"

#include <algorithm>
#include <cstring>

#include "kernel/Modules.h"
#include "kernel/Thread.h"
#include "resources/Templates.h"

namespace resources {
namespace {

// A type or name as the API receives it: MAKEINTRESOURCE(id), "#id" (a
// decimal id written as text) or a name.
std::optional<ResourceId> RequestedId(LPCWSTR id) {
  if (id == nullptr) return std::nullopt;
  if (IS_INTRESOURCE(id)) return ResourceId::Ordinal(LOWORD(id));
  std::u16string_view text(id);
  if (text.size() > 1 && text.size() <= 6 && text[0] == u'#') {
    uint32_t value = 0;
    bool digits = true;
    for (char16_t c : text.substr(1)) {
      if (c < u'0' || c > u'9') {
        digits = false;
        break;
      }
      value = value * 10 + (c - u'0');
    }
    if (digits && value <= 0xFFFF) return ResourceId::Ordinal(static_cast<uint16_t>(value));
  }
  return ResourceId::Name(std::u16string(text));
}

int LanguageRank(uint16_t language) {
  if (language == 0) return 0;
  if (language == kDefaultLanguage) return 1;
  return 2;
}

bool PreferredLanguage(const ResourceEntry& a, const ResourceEntry& b) {
  int ra = LanguageRank(a.language), rb = LanguageRank(b.language);
  return ra != rb ? ra < rb : a.language < b.language;
}

struct Module {
  std::span<const uint8_t> image;
  std::vector<ResourceEntry> entries;
};

// The module's image and entries; on failure the error to report.
std::optional<Module> LoadModule(HMODULE module, DWORD& error) {
  std::span<const uint8_t> image = kernel::ModuleResources(module);
  std::optional<std::vector<ResourceEntry>> entries;
  // Resources are handed out in place (LoadResource, LoadStringW's pointer
  // form) and read through typed pointers. Each entry's data lies on a DWORD
  // boundary of the image, so the image must start on one, as a loaded
  // module's resources do; else the pointers would be misaligned for their
  // types, which faults on processors with strict alignment.
  bool aligned = reinterpret_cast<uintptr_t>(image.data()) % sizeof(DWORD) == 0;
  if (!image.empty() && aligned) entries = ParseResFile(image);
  if (!entries) {
    error = ERROR_RESOURCE_DATA_NOT_FOUND;
    return std::nullopt;
  }
  return Module{image, std::move(*entries)};
}

const ResourceEntry* Find(const Module& module, const ResourceId& type, const ResourceId& name, DWORD& error) {
  const ResourceEntry* best = nullptr;
  bool typeFound = false;
  for (const ResourceEntry& entry : module.entries) {
    if (!entry.type.Matches(type)) continue;
    typeFound = true;
    if (!entry.name.Matches(name)) continue;
    if (best == nullptr || PreferredLanguage(entry, *best)) best = &entry;
  }
  if (best == nullptr) error = typeFound ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND;
  return best;
}

// Looks `name` of `type` up in `module`; sets the last error on failure.
std::optional<std::span<const uint8_t>> FindData(HMODULE module, const ResourceId& type, const ResourceId& name) {
  DWORD error = 0;
  std::optional<Module> loaded = LoadModule(module, error);
  const ResourceEntry* entry = loaded ? Find(*loaded, type, name, error) : nullptr;
  if (entry == nullptr) {
    SetLastError(error);
    return std::nullopt;
  }
  return entry->data;
}

// The entry whose header starts at `header`, or null.
const ResourceEntry* EntryAtHeader(const Module& module, const void* header) {
  for (const ResourceEntry& entry : module.entries) {
    if (module.image.data() + entry.headerOffset == header) return &entry;
  }
  return nullptr;
}

// The program's entry of `type` whose data starts at `data`, or null.
std::optional<ResourceEntry> EntryAtData(const void* data, uint16_t type) {
  DWORD error = 0;
  std::optional<Module> module = LoadModule(nullptr, error);
  if (!module || data == nullptr) return std::nullopt;
  for (const ResourceEntry& entry : module->entries) {
    if (entry.type.isOrdinal && entry.type.ordinal == type && entry.data.data() == data) return entry;
  }
  return std::nullopt;
}

template <class Handle>
Handle AsHandle(const void* address) {
  return reinterpret_cast<Handle>(const_cast<void*>(address));
}

uint32_t ReadU32(std::span<const uint8_t> bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | bytes[offset + i];
  return value;
}

// Of an icon group's images, the one to show: 32 by 32 if there is one,
// else the largest; among those the most colours.
const IconGroupEntry* ChooseIcon(const std::vector<IconGroupEntry>& entries) {
  auto size = [](const IconGroupEntry& e) { return (e.width == 0 ? 256 : e.width) * (e.height == 0 ? 256 : e.height); };
  auto better = [&](const IconGroupEntry& a, const IconGroupEntry& b) {
    bool a32 = a.width == 32 && a.height == 32, b32 = b.width == 32 && b.height == 32;
    if (a32 != b32) return a32;
    if (size(a) != size(b)) return size(a) > size(b);
    return a.bitCount > b.bitCount;
  };
  const IconGroupEntry* best = nullptr;
  for (const IconGroupEntry& entry : entries) {
    if (best == nullptr || better(entry, *best)) best = &entry;
  }
  return best;
}

}  // namespace

std::optional<std::span<const uint8_t>> ResourceBytesFrom(const void* address) {
  DWORD error = 0;
  std::optional<Module> module = LoadModule(nullptr, error);
  if (!module || address == nullptr) return std::nullopt;
  auto at = reinterpret_cast<uintptr_t>(address);
  for (const ResourceEntry& entry : module->entries) {
    auto begin = reinterpret_cast<uintptr_t>(entry.data.data());
    if (at >= begin && at - begin < entry.data.size()) return entry.data.subspan(at - begin);
  }
  return std::nullopt;
}

std::optional<std::vector<ACCEL>> AcceleratorEntries(HACCEL table) {
  std::optional<ResourceEntry> entry = EntryAtData(table, 9);  // RT_ACCELERATOR
  if (!entry) return std::nullopt;
  return ParseAcceleratorTable(entry->data);
}

std::optional<IconBits> IconFromHandle(HICON icon) {
  std::optional<ResourceEntry> entry = EntryAtData(icon, 3);  // RT_ICON
  if (!entry || entry->data.size() < 40) return std::nullopt;
  IconBits bits;
  bits.width = static_cast<int32_t>(ReadU32(entry->data, 4));
  bits.height = static_cast<int32_t>(ReadU32(entry->data, 8)) / 2;  // colour and mask bitmaps
  bits.bitCount = entry->data[14] | entry->data[15] << 8;
  bits.bytes = entry->data;
  return bits;
}

}  // namespace resources

using kernel::PlatformCall;
using resources::ResourceId;

HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
  PlatformCall call;
  std::optional<ResourceId> name = resources::RequestedId(lpName);
  std::optional<ResourceId> type = resources::RequestedId(lpType);
  if (!name || !type) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DWORD error = 0;
  std::optional<resources::Module> module = resources::LoadModule(hModule, error);
  const resources::ResourceEntry* entry = module ? resources::Find(*module, *type, *name, error) : nullptr;
  if (entry == nullptr) {
    SetLastError(error);
    return nullptr;
  }
  return resources::AsHandle<HRSRC>(module->image.data() + entry->headerOffset);
}

HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo) {
  PlatformCall call;
  DWORD error = 0;
  std::optional<resources::Module> module = resources::LoadModule(hModule, error);
  const resources::ResourceEntry* entry = module ? resources::EntryAtHeader(*module, hResInfo) : nullptr;
  if (entry == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return resources::AsHandle<HGLOBAL>(entry->data.data());
}

DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo) {
  PlatformCall call;
  DWORD error = 0;
  std::optional<resources::Module> module = resources::LoadModule(hModule, error);
  const resources::ResourceEntry* entry = module ? resources::EntryAtHeader(*module, hResInfo) : nullptr;
  if (entry == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<DWORD>(entry->data.size());
}

LPVOID WINAPI LockResource(HGLOBAL hResData) {
  PlatformCall call;
  // A loaded resource is already the address of its data.
  return hResData;
}

int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int nBufferMax) {
  PlatformCall call;
  if (lpBuffer == nullptr || nBufferMax < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  uint16_t id = LOWORD(uID);
  auto block = resources::FindData(hInstance, ResourceId::Ordinal(6),  // RT_STRING
                                   ResourceId::Ordinal(static_cast<uint16_t>(id / resources::kStringsPerBlock + 1)));
  if (!block) return 0;
  auto slots = resources::ParseStringBlock(*block);
  if (!slots) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return 0;
  }
  const resources::StringSlot& slot = (*slots)[id % resources::kStringsPerBlock];
  const uint8_t* text = block->data() + slot.offset;
  if (slot.length == 0) SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
  if (nBufferMax == 0) {
    // lpBuffer receives a read-only pointer to the text itself, which is
    // not null-terminated.
    // The text is aligned for WCHAR: the block starts on a DWORD boundary
    // (LoadModule) and its texts follow 16-bit lengths.
    const void* address = text;
    const WCHAR* pointer = static_cast<const WCHAR*>(address);
    std::memcpy(lpBuffer, &pointer, sizeof(pointer));
    return static_cast<int>(slot.length);
  }
  size_t copied = std::min(slot.length, static_cast<size_t>(nBufferMax) - 1);
  std::memcpy(lpBuffer, text, copied * sizeof(WCHAR));
  lpBuffer[copied] = u'\0';
  return static_cast<int>(copied);
}

HACCEL WINAPI LoadAcceleratorsW(HINSTANCE hInstance, LPCWSTR lpTableName) {
  PlatformCall call;
  std::optional<ResourceId> name = resources::RequestedId(lpTableName);
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto data = resources::FindData(hInstance, ResourceId::Ordinal(9), *name);  // RT_ACCELERATOR
  if (!data) return nullptr;
  if (!resources::ParseAcceleratorTable(*data)) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  return resources::AsHandle<HACCEL>(data->data());
}

HICON WINAPI LoadIconW(HINSTANCE hInstance, LPCWSTR lpIconName) {
  PlatformCall call;
  std::optional<ResourceId> name = resources::RequestedId(lpIconName);
  // A null instance asks for the system's predefined icons; there are none.
  if (hInstance == nullptr || !name) {
    SetLastError(hInstance == nullptr ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto group = resources::FindData(hInstance, ResourceId::Ordinal(14), *name);  // RT_GROUP_ICON
  if (!group) return nullptr;
  auto entries = resources::ParseIconGroup(*group);
  const resources::IconGroupEntry* chosen = entries ? resources::ChooseIcon(*entries) : nullptr;
  if (chosen == nullptr) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  auto image = resources::FindData(hInstance, ResourceId::Ordinal(3), ResourceId::Ordinal(chosen->iconId));  // RT_ICON
  if (!image) return nullptr;
  return resources::AsHandle<HICON>(image->data());
}
