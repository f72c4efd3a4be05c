// The platform's use of the shared DER codec (der/der.h), plus the certificate times the
// platform turns into FILETIME.
#pragma once

#include <cstddef>
#include <cstdint>

#include "der/der.h"
#include "vexor/platform.h"

namespace vexorcsp {

// A UTCTime or GeneralizedTime element's contents to FILETIME (UTC).
bool DerTimeToFileTime(uint8_t tag, const BYTE* value, size_t length, FILETIME& out);

}  // namespace vexorcsp
