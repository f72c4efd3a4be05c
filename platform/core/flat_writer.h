// Lays out "flat" decode output: a structure followed, in the caller's one buffer, by the data
// its pointers refer to. The same fill code runs twice, first only measuring (no buffer),
// then writing, so the size reported and the bytes written always agree.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "vexor/platform.h"

namespace vexorcsp {

class FlatWriter {
 public:
  explicit FlatWriter(BYTE* base) : base_(base) {}
  bool measuring() const { return base_ == nullptr; }
  size_t size() const { return used_; }

  // Room for `count` objects of T, zeroed; null while measuring.
  template <typename T>
  T* Alloc(size_t count = 1) {
    used_ = (used_ + alignof(T) - 1) / alignof(T) * alignof(T);
    T* p = measuring() ? nullptr : reinterpret_cast<T*>(base_ + used_);
    if (p != nullptr) std::memset(static_cast<void*>(p), 0, sizeof(T) * count);
    used_ += sizeof(T) * count;
    return p;
  }
  char* Text(const std::string& s) {
    char* p = Alloc<char>(s.size() + 1);
    if (p) std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
  }
  WCHAR* Wide(const std::u16string& s) {
    WCHAR* p = Alloc<WCHAR>(s.size() + 1);
    if (p) std::memcpy(p, s.c_str(), (s.size() + 1) * sizeof(WCHAR));
    return p;
  }
  BYTE* Bytes(const std::vector<BYTE>& b) {
    BYTE* p = Alloc<BYTE>(b.size());
    if (p && !b.empty()) std::memcpy(p, b.data(), b.size());
    return b.empty() ? nullptr : p;
  }

 private:
  BYTE* base_;
  size_t used_ = 0;
};

// Runs `fill` to measure, then into the caller's buffer with the two-call convention.
template <typename Fill>
BOOL DeliverFlat(void* out, DWORD* pcb, Fill fill) {
  FlatWriter measure(nullptr);
  fill(measure);
  const DWORD needed = static_cast<DWORD>(measure.size());
  const DWORD have = *pcb;
  *pcb = needed;
  if (out == nullptr) return TRUE;
  if (have < needed) {
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  FlatWriter write(static_cast<BYTE*>(out));
  fill(write);
  return TRUE;
}

}  // namespace vexorcsp
