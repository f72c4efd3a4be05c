// The platform's two-call size protocol in one place: a null buffer asks for the size, a
// short buffer fails with ERROR_MORE_DATA and the size needed, otherwise the bytes are
// copied and the length written back.
#pragma once

#include <cstring>

#include "platform/core/last_error.h"

namespace vexorcsp {

inline BOOL CopyOut(const void* data, size_t len, BYTE* out, DWORD* out_len) {
  if (out_len == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (len > 0xFFFFFFFFu) return Fail(DWORD(ERROR_NOT_ENOUGH_MEMORY));
  if (out == nullptr) {
    *out_len = DWORD(len);
    return TRUE;
  }
  if (*out_len < len) {
    *out_len = DWORD(len);
    return Fail(ERROR_MORE_DATA);
  }
  if (len > 0) std::memcpy(out, data, len);
  *out_len = DWORD(len);
  return TRUE;
}

}  // namespace vexorcsp
