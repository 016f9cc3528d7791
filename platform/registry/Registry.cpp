#include "registry/Registry.h"

#include <windows.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "kernel/Handles.h"
#include "kernel/Thread.h"
#include "text/WideText.h"

namespace registry {
namespace {

std::u16string Fold(std::u16string_view name) {
  std::u16string out(name);
  for (auto& c : out) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return out;
}

struct StoredValue {
  std::u16string name;
  DWORD type;
  std::vector<uint8_t> data;
};

struct Node {
  std::u16string name;
  std::map<std::u16string, std::shared_ptr<Node>> keys;  // by folded name
  std::map<std::u16string, StoredValue> values;          // by folded name
  bool deleted = false;
};

constexpr std::array<const char*, 4> kRootShort = {"HKCR", "HKCU", "HKLM", "HKU"};
constexpr std::array<const char*, 4> kRootLong = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                                  "HKEY_USERS"};

struct Store {
  std::mutex lock;
  std::array<std::shared_ptr<Node>, 4> roots;
  Store() {
    for (size_t i = 0; i < roots.size(); ++i) {
      roots[i] = std::make_shared<Node>();
      roots[i]->name = text::FromUtf8(kRootShort[i]);
    }
  }
};

Store& TheStore() {
  static auto* store = new Store;
  return *store;
}

void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

// Joins texts by appending each to one string. ("literal" + std::string(...)
// inserts in front of a temporary, which costs a copy and makes GCC 12 at -O3
// warn about an overlap that cannot happen.)
template <typename... Pieces>
std::string Concat(const Pieces&... pieces) {
  std::string out;
  out.reserve((std::string_view(pieces).size() + ...));
  (out.append(std::string_view(pieces)), ...);
  return out;
}

bool EqualsAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// "HKLM\A\B" -> root 2, {"A", "B"}.
struct KeyPath {
  size_t root = 0;
  std::vector<std::u16string> parts;
};

std::optional<KeyPath> ParseKeyPath(std::string_view path, std::string* error) {
  if (path.empty()) {
    SetError(error, "empty key path");
    return std::nullopt;
  }
  std::vector<std::string_view> pieces;
  size_t start = 0;
  for (;;) {
    size_t end = path.find('\\', start);
    pieces.push_back(path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  KeyPath result;
  bool found = false;
  for (size_t i = 0; i < kRootShort.size(); ++i) {
    if (EqualsAscii(pieces[0], kRootShort[i]) || EqualsAscii(pieces[0], kRootLong[i])) {
      result.root = i;
      found = true;
    }
  }
  if (!found) {
    SetError(error, Concat("key path \"", path, "\" must start with HKLM, HKCU, HKCR or HKU"));
    return std::nullopt;
  }
  for (size_t i = 1; i < pieces.size(); ++i) {
    if (pieces[i].empty()) {
      SetError(error, Concat("key path \"", path, "\" has an empty key name"));
      return std::nullopt;
    }
    result.parts.push_back(text::FromUtf8(pieces[i]));
  }
  return result;
}

// With the store's lock held.
std::shared_ptr<Node> Walk(Store& store, const KeyPath& path, bool create) {
  std::shared_ptr<Node> node = store.roots[path.root];
  for (const auto& part : path.parts) {
    auto folded = Fold(part);
    auto it = node->keys.find(folded);
    if (it == node->keys.end()) {
      if (!create) return nullptr;
      auto child = std::make_shared<Node>();
      child->name = part;
      it = node->keys.emplace(folded, std::move(child)).first;
    }
    node = it->second;
  }
  return node;
}

void MarkDeleted(Node& node) {
  node.deleted = true;
  for (auto& entry : node.keys) MarkDeleted(*entry.second);
}

std::string KeyText(const KeyPath& path) {
  std::string out = kRootShort[path.root];
  for (const auto& part : path.parts) {
    out += '\\';
    out += text::ToUtf8(part);
  }
  return out;
}

Value ToValue(const StoredValue& stored) { return Value{text::ToUtf8(stored.name), stored.type, stored.data}; }

std::vector<uint8_t> StringData(std::u16string_view text) {
  std::vector<uint8_t> data((text.size() + 1) * sizeof(char16_t), 0);
  if (!text.empty()) std::memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
  return data;
}

// --------------------------------------------------------------- specs

bool ParseNumber(std::string_view text, uint64_t limit, uint64_t& value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (value > limit) return false;
  }
  return true;
}

bool ParseHexBytes(std::string_view text, std::vector<uint8_t>& out, std::string* error) {
  out.clear();
  if (text.empty()) return true;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(',', start);
    std::string_view item = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    uint64_t byte = 0;
    if (item.empty() || item.size() > 2 || !ParseNumber(Concat("0x", item), 0xFF, byte)) {
      SetError(error, Concat("\"", item, "\" is not a hexadecimal byte (00 to ff)"));
      return false;
    }
    out.push_back(static_cast<uint8_t>(byte));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return true;
}

bool ParseData(std::string_view text, DWORD& type, std::vector<uint8_t>& data, std::string* error) {
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    SetError(error, Concat("value \"", text, "\" needs a type: dword:, sz:, expand_sz:, hex: or hex(N):"));
    return false;
  }
  std::string_view kind = text.substr(0, colon);
  std::string_view body = text.substr(colon + 1);
  if (EqualsAscii(kind, "dword")) {
    uint64_t number = 0;
    if (!ParseNumber(body, 0xFFFFFFFFu, number)) {
      SetError(error, Concat("\"", body, "\" is not a 32-bit unsigned number"));
      return false;
    }
    type = REG_DWORD;
    auto v = static_cast<uint32_t>(number);
    data.assign(reinterpret_cast<const uint8_t*>(&v), reinterpret_cast<const uint8_t*>(&v) + sizeof v);
    return true;
  }
  if (EqualsAscii(kind, "sz") || EqualsAscii(kind, "expand_sz")) {
    type = EqualsAscii(kind, "sz") ? REG_SZ : REG_EXPAND_SZ;
    data = StringData(text::FromUtf8(body));
    return true;
  }
  if (EqualsAscii(kind, "hex")) {
    type = REG_BINARY;
    return ParseHexBytes(body, data, error);
  }
  if (kind.size() > 5 && EqualsAscii(kind.substr(0, 4), "hex(") && kind.back() == ')') {
    uint64_t number = 0;
    if (!ParseNumber(Concat("0x", kind.substr(4, kind.size() - 5)), 0xFFFFFFFFu, number)) {
      SetError(error, Concat("\"", kind, "\" does not give a hexadecimal type number"));
      return false;
    }
    type = static_cast<DWORD>(number);
    return ParseHexBytes(body, data, error);
  }
  SetError(error, Concat("unknown value type \"", kind, "\" (dword, sz, expand_sz, hex, hex(N))"));
  return false;
}

}  // namespace

// ------------------------------------------------------------ the store

bool CreateKey(std::string_view key, std::string* error) {
  auto path = ParseKeyPath(key, error);
  if (!path) return false;
  Store& store = TheStore();
  std::lock_guard<std::mutex> guard(store.lock);
  Walk(store, *path, true);
  return true;
}

bool SetValue(std::string_view key, std::string_view name, DWORD type, std::vector<uint8_t> data, std::string* error) {
  auto path = ParseKeyPath(key, error);
  if (!path) return false;
  Store& store = TheStore();
  std::lock_guard<std::mutex> guard(store.lock);
  std::shared_ptr<Node> node = Walk(store, *path, true);
  std::u16string wide = text::FromUtf8(name);
  node->values[Fold(wide)] = StoredValue{wide, type, std::move(data)};
  return true;
}

bool SetDword(std::string_view key, std::string_view name, DWORD value, std::string* error) {
  std::vector<uint8_t> data(sizeof value);
  std::memcpy(data.data(), &value, sizeof value);
  return SetValue(key, name, REG_DWORD, std::move(data), error);
}

bool SetString(std::string_view key, std::string_view name, std::string_view text, std::string* error) {
  return SetValue(key, name, REG_SZ, StringData(text::FromUtf8(text)), error);
}

bool RemoveValue(std::string_view key, std::string_view name) {
  auto path = ParseKeyPath(key, nullptr);
  if (!path) return false;
  Store& store = TheStore();
  std::lock_guard<std::mutex> guard(store.lock);
  std::shared_ptr<Node> node = Walk(store, *path, false);
  return node && node->values.erase(Fold(text::FromUtf8(name))) > 0;
}

bool RemoveKey(std::string_view key) {
  auto path = ParseKeyPath(key, nullptr);
  if (!path || path->parts.empty()) return false;  // roots stay
  Store& store = TheStore();
  std::lock_guard<std::mutex> guard(store.lock);
  KeyPath parentPath = *path;
  parentPath.parts.pop_back();
  std::shared_ptr<Node> parent = Walk(store, parentPath, false);
  if (!parent) return false;
  auto it = parent->keys.find(Fold(path->parts.back()));
  if (it == parent->keys.end()) return false;
  MarkDeleted(*it->second);
  parent->keys.erase(it);
  return true;
}

void Clear() {
  Store& store = TheStore();
  std::lock_guard<std::mutex> guard(store.lock);
  for (auto& root : store.roots) {
    for (auto& entry : root->keys) MarkDeleted(*entry.second);
    root->keys.clear();
    root->values.clear();
  }
}

std::optional<Value> GetValue(std::string_view key, std::string_view name) {
  auto path = ParseKeyPath(key, nullptr);
  if (!path) return std::nullopt;
  Store& store = TheStore();
  std::lock_guard<std::mutex> guard(store.lock);
  std::shared_ptr<Node> node = Walk(store, *path, false);
  if (!node) return std::nullopt;
  auto it = node->values.find(Fold(text::FromUtf8(name)));
  if (it == node->values.end()) return std::nullopt;
  return ToValue(it->second);
}

std::vector<std::string> ListSubkeys(std::string_view key) {
  std::vector<std::string> names;
  auto path = ParseKeyPath(key, nullptr);
  if (!path) return names;
  Store& store = TheStore();
  std::lock_guard<std::mutex> guard(store.lock);
  std::shared_ptr<Node> node = Walk(store, *path, false);
  if (node) {
    for (const auto& entry : node->keys) names.push_back(text::ToUtf8(entry.second->name));
  }
  return names;
}

std::vector<Value> ListValues(std::string_view key) {
  std::vector<Value> values;
  auto path = ParseKeyPath(key, nullptr);
  if (!path) return values;
  Store& store = TheStore();
  std::lock_guard<std::mutex> guard(store.lock);
  std::shared_ptr<Node> node = Walk(store, *path, false);
  if (node) {
    for (const auto& entry : node->values) values.push_back(ToValue(entry.second));
  }
  return values;
}

// ---------------------------------------------------------------- specs

bool ApplySpec(std::string_view spec, std::string* error) {
  if (!spec.empty() && spec.front() == '-') {
    std::string_view key = spec.substr(1);
    auto path = ParseKeyPath(key, error);
    if (!path) return false;
    if (path->parts.empty()) {
      SetError(error, "a root key cannot be removed");
      return false;
    }
    if (!RemoveKey(key)) {
      SetError(error, Concat("no key ", KeyText(*path)));
      return false;
    }
    return true;
  }
  size_t equals = spec.find('=');
  if (equals == std::string_view::npos) {
    SetError(error, Concat("\"", spec, "\": expected KEY\\NAME=TYPE:DATA, KEY\\NAME=- or -KEY"));
    return false;
  }
  std::string_view left = spec.substr(0, equals);
  std::string_view right = spec.substr(equals + 1);
  size_t slash = left.rfind('\\');
  if (slash == std::string_view::npos) {
    SetError(error, Concat("\"", left, "\": expected KEY\\NAME before '='"));
    return false;
  }
  std::string_view key = left.substr(0, slash);
  std::string_view name = left.substr(slash + 1);
  if (name.empty()) {
    SetError(error, Concat("\"", left, "\": no value name (use @ for the key's default value)"));
    return false;
  }
  if (name == "@") name = {};
  auto path = ParseKeyPath(key, error);
  if (!path) return false;
  if (right == "-") {
    if (!RemoveValue(key, name)) {
      SetError(error, Concat("no value \"", name, "\" under ", KeyText(*path)));
      return false;
    }
    return true;
  }
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
  if (!ParseData(right, type, data, error)) return false;
  return SetValue(key, name, type, std::move(data), error);
}

std::string FormatSpec(std::string_view key, const Value& value) {
  std::string out(key);
  out += "\\";
  out += value.name.empty() ? std::string("@") : value.name;
  out += "=";
  char buffer[16];
  if (value.type == REG_DWORD && value.data.size() == 4) {
    uint32_t v;
    std::memcpy(&v, value.data.data(), 4);
    std::snprintf(buffer, sizeof buffer, "0x%08x", v);
    return Concat(out, "dword:", buffer);
  }
  if ((value.type == REG_SZ || value.type == REG_EXPAND_SZ) && value.data.size() % 2 == 0) {
    std::u16string wide(value.data.size() / 2, u'\0');
    if (!wide.empty()) std::memcpy(wide.data(), value.data.data(), value.data.size());  // no data: no pointer
    // Only a text that ends at its (single) terminator reads back the same.
    if (!wide.empty() && wide.back() == u'\0' && wide.find(u'\0') == wide.size() - 1) {
      wide.pop_back();
      return out + (value.type == REG_SZ ? "sz:" : "expand_sz:") + text::ToUtf8(wide);
    }
  }
  if (value.type == REG_BINARY) {
    out += "hex:";
  } else {
    std::snprintf(buffer, sizeof buffer, "hex(%x):", static_cast<unsigned>(value.type));
    out += buffer;
  }
  for (size_t i = 0; i < value.data.size(); ++i) {
    std::snprintf(buffer, sizeof buffer, i == 0 ? "%02x" : ",%02x", value.data[i]);
    out += buffer;
  }
  return out;
}

std::vector<std::string> Dump(std::string_view key) {
  std::vector<std::string> lines;
  std::vector<std::string> pending;
  if (key.empty()) {
    for (const char* root : kRootShort) pending.emplace_back(root);
  } else {
    pending.emplace_back(key);
  }
  // Depth first, keys in name order.
  while (!pending.empty()) {
    std::string current = pending.front();
    pending.erase(pending.begin());
    for (const Value& value : ListValues(current)) lines.push_back(FormatSpec(current, value));
    std::vector<std::string> children;
    for (const std::string& child : ListSubkeys(current)) children.push_back(Concat(current, "\\", child));
    pending.insert(pending.begin(), children.begin(), children.end());
  }
  return lines;
}

}  // namespace registry

// ------------------------------------------------------------------ API

namespace {

class RegistryKey : public kernel::KernelObject {
 public:
  explicit RegistryKey(std::shared_ptr<registry::Node> node) : node(std::move(node)) {}
  std::shared_ptr<registry::Node> node;
};

// A root key: 0x80000000 to 0x80000003, where handles are wider than 32
// bits sign-extended (the SDK's casts through LONG) or not. Widened before
// the shift: on the handset a handle is 32 bits, and a 32-bit shift by 32 is
// undefined.
bool IsPredefined(HKEY key, size_t& root) {
  auto bits = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key));
  auto value = static_cast<uint32_t>(bits);
  auto high = static_cast<uint32_t>(bits >> 32);
  if (value >= 0x80000000u && value <= 0x80000003u && (high == 0 || high == 0xFFFFFFFFu)) {
    root = value - 0x80000000u;
    return true;
  }
  return false;
}

// The key a handle names; null if none. With the store's lock held.
std::shared_ptr<registry::Node> NodeOf(registry::Store& store, HKEY key) {
  size_t root = 0;
  if (IsPredefined(key, root)) return store.roots[root];
  auto object = kernel::Reference<RegistryKey>(reinterpret_cast<HANDLE>(key));
  return object ? object->node : nullptr;
}

}  // namespace

using kernel::PlatformCall;

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  PlatformCall call;
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  registry::Store& store = registry::TheStore();
  std::shared_ptr<registry::Node> node;
  {
    std::lock_guard<std::mutex> guard(store.lock);
    node = NodeOf(store, hKey);
    if (!node) return ERROR_INVALID_HANDLE;
    if (node->deleted) return ERROR_KEY_DELETED;
    std::u16string_view path = text::View(lpSubKey);
    if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
    size_t start = 0;
    while (!path.empty() && start <= path.size()) {
      size_t end = path.find(u'\\', start);
      std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? end : end - start);
      auto it = node->keys.find(registry::Fold(part));
      if (part.empty() || it == node->keys.end()) return ERROR_FILE_NOT_FOUND;
      node = it->second;
      if (end == std::u16string_view::npos) break;
      start = end + 1;
    }
  }
  *phkResult = reinterpret_cast<HKEY>(kernel::InsertHandle(std::make_shared<RegistryKey>(std::move(node))));
  return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData) {
  PlatformCall call;
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
  registry::Store& store = registry::TheStore();
  std::lock_guard<std::mutex> guard(store.lock);
  std::shared_ptr<registry::Node> node = NodeOf(store, hKey);
  if (!node) return ERROR_INVALID_HANDLE;
  if (node->deleted) return ERROR_KEY_DELETED;
  auto it = node->values.find(registry::Fold(text::View(lpValueName)));
  if (it == node->values.end()) return ERROR_FILE_NOT_FOUND;
  const registry::StoredValue& value = it->second;
  if (lpType != nullptr) *lpType = value.type;
  auto size = static_cast<DWORD>(value.data.size());
  if (lpData == nullptr) {
    if (lpcbData != nullptr) *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (size > 0) std::memcpy(lpData, value.data.data(), size);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  PlatformCall call;
  size_t root = 0;
  if (IsPredefined(hKey, root)) return ERROR_SUCCESS;
  auto handle = reinterpret_cast<HANDLE>(hKey);
  if (!kernel::Reference<RegistryKey>(handle)) return ERROR_INVALID_HANDLE;
  return kernel::CloseHandleEntry(handle) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
