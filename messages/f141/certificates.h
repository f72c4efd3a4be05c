// How the "141" operations find their certificates: in the personal store and the host's
// own (mask 18), by the party's texts or by a thumbprint read from a file.
#pragma once

#include <cstdint>
#include <vector>

#include "stores/auto_handle.h"
#include "vexor/vexor.h"

class InstanceContext;

namespace f141 {

constexpr unsigned long kStores = CST_MY | CST_EXTERNAL;

// The party's certificate; false when none is found.
bool FindParty(InstanceContext& ctx, const CertPartyParam& party, auto_cert& cert);
// The certificate whose SHA-1 thumbprint is the field's bytes (a field of another length
// names none); false when none is found.
bool FindByThumbprint(InstanceContext& ctx, const std::vector<uint8_t>& thumbprint, auto_cert& cert);

// The format carries GOST R 34.10-2001 keys and GOST R 34.11-94 hashes only: a signer,
// sender or recipient with another key (GOST R 34.10-2012) is refused before anything is
// written. RC_OK, or RC_CERT_INVALID reported.
int32_t RequireGost2001Key(InstanceContext& ctx, PCCERT_CONTEXT cert);

}  // namespace f141
