// The parties of a message: how a host's party (CertPartyParam) names itself in texts, how it
// becomes a certificate search, and the signer's certificate with its expiry guard. Every
// format finds its parties here.
#pragma once

#include <cstdint>
#include <string>

#include "stores/auto_handle.h"
#include "vexor/platform.h"
#include "vexor/vexor.h"

class InstanceContext;

// The party identifier messages quote: the first non-empty of common name, thumbprint text
// and e-mail address (the e-mail address even if empty).
std::string PartyIdentifier(const CertPartyParam& party);

// Fills a search for the party's certificate in the stores of the mask: the party's common
// name, e-mail address and thumbprint text, and the issuer the call is restricted to. The
// other fields of the record are left as they are.
void FindParams(InstanceContext& ctx, const CertPartyParam& party, unsigned long storeMask,
                _TAGCERTFINDPARAM& params);

// The certificate-expiry guard of the signing operations: a personal certificate whose
// validity ends within the next 24 hours (or has ended) stops the operation, unless the
// settings switch the check off or the host's callback decides. 0 to proceed; otherwise a
// nonzero code (14 when the certificate runs out, 17 for no certificate, or whatever the
// host's expiry decision answers).
int32_t CheckCertExpiry(PCCERT_CONTEXT cert, InstanceContext& ctx);

// The signer's certificate for a signature: the personal store opened, the party's valid
// certificate found there, the expiry guard passed and the certificate logged. 0 with the
// certificate in `cert`, or the code of the reported failure (raised while the raise flag is
// on).
int32_t FindSigner(InstanceContext& ctx, const CertPartyParam& party, auto_cert& cert);
