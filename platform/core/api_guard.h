// The one place where C++ exceptions stop: every exported function runs its body through
// ApiGuard, so an allocation failure or any other exception becomes a last error and the
// function's failure value instead of crossing the C boundary.
#pragma once

#include <new>

#include "platform/core/last_error.h"
#include "vexor/platform_prov.h"

namespace vexorcsp {

// Runs body; on an exception sets the last error (NTE_NO_MEMORY for an allocation failure,
// NTE_FAIL otherwise) and returns `failure`.
template <typename Result, typename Body>
Result ApiGuard(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    SetLastError(DWORD(NTE_NO_MEMORY));
  } catch (...) {
    SetLastError(DWORD(NTE_FAIL));
  }
  return failure;
}

// The BOOL functions: FALSE on an exception.
template <typename Body>
BOOL ApiGuard(Body&& body) noexcept {
  return ApiGuard<BOOL>(FALSE, body);
}

// The functions without a result: the last error is all that is left.
template <typename Body>
void ApiGuardVoid(Body&& body) noexcept {
  try {
    body();
  } catch (const std::bad_alloc&) {
    SetLastError(DWORD(NTE_NO_MEMORY));
  } catch (...) {
    SetLastError(DWORD(NTE_FAIL));
  }
}

}  // namespace vexorcsp
