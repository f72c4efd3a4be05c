// AUTO_CRYPT_DATA_BLOB: a CRYPT_DATA_BLOB that owns its buffer (C heap). The library keeps
// every blob buffer it owns on the C heap, so a buffer can move between a plain blob of a
// record and this wrapper without changing how it is freed.
#pragma once

#include <cstdlib>
#include <utility>

#include "vexor/platform.h"

// Frees a blob's buffer (C heap) and empties the blob.
inline void FreeBlob(CRYPT_DATA_BLOB& blob) {
  std::free(blob.pbData);
  blob.pbData = nullptr;
  blob.cbData = 0;
}

// Replaces the blob's buffer with a new one of n bytes (uninitialised); false when it cannot
// be obtained, leaving the blob empty.
inline bool AllocBlob(CRYPT_DATA_BLOB& blob, DWORD n) {
  FreeBlob(blob);
  if (n == 0) return false;
  blob.pbData = static_cast<BYTE*>(std::malloc(n));
  if (blob.pbData == nullptr) return false;
  blob.cbData = n;
  return true;
}

struct AUTO_CRYPT_DATA_BLOB : CRYPT_DATA_BLOB {
  AUTO_CRYPT_DATA_BLOB() : CRYPT_DATA_BLOB{0, nullptr} {}
  ~AUTO_CRYPT_DATA_BLOB() { FreeBlob(*this); }
  AUTO_CRYPT_DATA_BLOB(const AUTO_CRYPT_DATA_BLOB&) = delete;
  AUTO_CRYPT_DATA_BLOB& operator=(const AUTO_CRYPT_DATA_BLOB&) = delete;
  AUTO_CRYPT_DATA_BLOB(AUTO_CRYPT_DATA_BLOB&& other) noexcept : CRYPT_DATA_BLOB{other.cbData, other.pbData} {
    other.cbData = 0;
    other.pbData = nullptr;
  }

  bool empty() const { return pbData == nullptr || cbData == 0; }
};
