// The revocation-list update of one certificate, run when its revocation check is
// inconclusive. The download from distribution points joins here; until it does, an update
// that is not switched off by SkipUpdateCRL fails with 44.
#pragma once

#include <cstdint>

#include "vexor/platform.h"

class InstanceContext;

// 0 when the update is switched off or succeeded; 13 for a missing certificate; 44 when no
// list could be updated. Logs, never raises.
int32_t _CertUpdateCRLs(PCCERT_CONTEXT cert, InstanceContext& ctx);
