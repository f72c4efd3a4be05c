// Handle values for provider, key and hash objects. A handle is a number looked up in a
// table, never a pointer the caller could forge: an unknown or released handle is refused
// instead of being dereferenced, and an object stays alive while a call is using it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace vexorcsp {

// One counter for all kinds, so a key handle passed as a hash handle is simply unknown.
inline uintptr_t NextHandleValue() {
  static std::atomic<uintptr_t> next{0x10000};
  return next.fetch_add(0x10);
}

template <typename T>
class HandleTable {
 public:
  // The table lives for the whole process; it is never destroyed, so handles released
  // by static destructors of other modules still find it.
  static HandleTable& Instance() {
    static HandleTable* table = new HandleTable;
    return *table;
  }

  uintptr_t Add(std::shared_ptr<T> object) {
    const uintptr_t h = NextHandleValue();
    std::lock_guard<std::mutex> lock(mu_);
    map_.emplace(h, std::move(object));
    return h;
  }
  std::shared_ptr<T> Get(uintptr_t h) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = map_.find(h);
    return it == map_.end() ? nullptr : it->second;
  }
  std::shared_ptr<T> Remove(uintptr_t h) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = map_.find(h);
    if (it == map_.end()) return nullptr;
    std::shared_ptr<T> out = std::move(it->second);
    map_.erase(it);
    return out;
  }

 private:
  HandleTable() = default;
  std::mutex mu_;
  std::unordered_map<uintptr_t, std::shared_ptr<T>> map_;
};

}  // namespace vexorcsp
