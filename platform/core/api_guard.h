// The one place where C++ exceptions stop: every exported provider function runs its body
// through ApiGuard, so an allocation failure or a filesystem error becomes a last error
// instead of crossing the C boundary.
#pragma once

#include <new>

#include "platform/core/last_error.h"
#include "vexor/platform_prov.h"

namespace vexorcsp {

template <typename Body>
BOOL ApiGuard(Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return Fail(DWORD(NTE_NO_MEMORY));
  } catch (...) {
    return Fail(DWORD(NTE_FAIL));
  }
}

}  // namespace vexorcsp
