// Helpers for platform functions to report failure through the thread's last error.
#pragma once

#include "vexor/platform.h"

namespace vexorcsp {

// Sets the thread's last error and returns FALSE, so a failing call ends in one line.
inline BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Same for calls that return a pointer.
template <typename T>
inline T* FailNull(DWORD error) {
  SetLastError(error);
  return nullptr;
}

// The platform's message text for an error number it sets, without "\r\n"; empty when the
// number has none.
const char* ErrorMessageText(DWORD error);

}  // namespace vexorcsp
