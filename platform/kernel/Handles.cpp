#include "kernel/Handles.h"

#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

namespace kernel {
namespace {

// Looked up on every ReadFile and WriteFile, from many threads at once:
// lookups share the lock.
struct HandleTable {
  std::shared_mutex lock;
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> entries;
  uintptr_t next = 0x10000;
  bool reuse = false;
  std::vector<uintptr_t> closed;  // with reuse on: closed values, the last closed at the back
};

HandleTable& Table() {
  static auto* table = new HandleTable;
  return *table;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  HandleTable& table = Table();
  std::lock_guard<std::shared_mutex> guard(table.lock);
  uintptr_t value = table.next;
  if (!table.closed.empty()) {
    value = table.closed.back();
    table.closed.pop_back();
  } else {
    table.next += 4;
  }
  table.entries.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> ReferenceHandle(HANDLE handle) {
  HandleTable& table = Table();
  std::shared_lock<std::shared_mutex> guard(table.lock);
  auto it = table.entries.find(reinterpret_cast<uintptr_t>(handle));
  return it == table.entries.end() ? nullptr : it->second;
}

bool CloseHandleEntry(HANDLE handle) {
  std::shared_ptr<KernelObject> object;
  {
    HandleTable& table = Table();
    std::lock_guard<std::shared_mutex> guard(table.lock);
    auto it = table.entries.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.entries.end()) return false;
    object = std::move(it->second);
    table.entries.erase(it);
    if (table.reuse) table.closed.push_back(reinterpret_cast<uintptr_t>(handle));
  }
  object->OnHandleClosed();
  return true;
}

size_t OpenHandleCount() {
  HandleTable& table = Table();
  std::shared_lock<std::shared_mutex> guard(table.lock);
  return table.entries.size();
}

void ReuseClosedHandles(bool on) {
  HandleTable& table = Table();
  std::lock_guard<std::shared_mutex> guard(table.lock);
  table.reuse = on;
  if (!on) table.closed.clear();
}

}  // namespace kernel
