// The "ask the size, allocate, ask again" read of the platform's calls (CryptExportKey,
// CryptMsgGetParam, CryptEncodeObject, ...) in one place, and the allocation that reports
// running out of memory instead of throwing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

// Resizes the buffer; false, with the buffer as it was, when the memory cannot be had.
template <class Buffer>
bool TryResize(Buffer& buffer, size_t size) noexcept {
  try {
    buffer.resize(size);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Which step of a sized read stopped it: the size query, the allocation or the fill.
enum class SizedStep { kDone, kSize, kMemory, kData };

// Calls fill(nullptr, length) for the size, allocates it and calls fill(buffer, length) again;
// the buffer is cut to the length the second call gives. `length` keeps the size the first
// call answered until the fill changes it, for the callers' texts. fill is any
// bool(uint8_t*, Length&) callable. A size below `least` (a buffer too small for the record
// the caller reads) is refused as the allocation would be.
template <class Length, class Fill>
SizedStep ReadSized(Fill&& fill, std::vector<uint8_t>& out, Length& length, size_t least = 0) {
  length = 0;
  if (!fill(static_cast<uint8_t*>(nullptr), length)) return SizedStep::kSize;
  if (static_cast<size_t>(length) < least || !TryResize(out, static_cast<size_t>(length))) return SizedStep::kMemory;
  if (!fill(out.data(), length)) return SizedStep::kData;
  out.resize(static_cast<size_t>(length));
  return SizedStep::kDone;
}

// The same read where only success matters: the bytes, or empty when any step fails.
template <class Length, class Fill>
std::vector<uint8_t> ReadSized(Fill&& fill, size_t least = 0) {
  std::vector<uint8_t> out;
  Length length = 0;
  if (ReadSized(fill, out, length, least) != SizedStep::kDone) out.clear();
  return out;
}
