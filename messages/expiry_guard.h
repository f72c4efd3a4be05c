// The certificate-expiry guard of the signing operations: a personal certificate whose
// validity ends within the next 24 hours (or has ended) stops the operation, unless the
// settings switch the check off or the host's callback decides.
#pragma once

#include <cstdint>

#include "vexor/platform.h"

class InstanceContext;

// 0 to proceed; otherwise a nonzero code (14 when the certificate runs out, 17 for no
// certificate, or whatever the host's expiry decision answers).
int32_t CheckCertExpiry(PCCERT_CONTEXT cert, InstanceContext& ctx);
