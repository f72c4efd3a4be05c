// Whether a certificate may be used: its validity period, the chains the platform builds for
// it and the revocation of every link, with one revocation-list update when the revocation
// check is inconclusive. Lenient on infrastructure problems, strict on revocation and on the
// validity period.
#pragma once

#include <string>

#include "certs/verdict.h"
#include "vexor/platform.h"

class InstanceContext;

// The full decision; true when the certificate may be used. The verdict keeps the reason.
bool CertIsValid(PCCERT_CONTEXT cert, _TAGCERTVALIDPARAM& verdict, InstanceContext& ctx);
// The same for callers that need only the answer (the search).
bool CertIsValid(InstanceContext& ctx, PCCERT_CONTEXT cert);

// The chain, revocation and period check behind the cache of valid certificates; the
// outcome is the verdict's code.
void CertIsValidEx(PCCERT_CONTEXT cert, _TAGCERTVALIDPARAM& verdict, InstanceContext& ctx);

// The validity period against the current local time; on failure the reason goes to text.
bool CheckCertTimeValidity(PCCERT_CONTEXT cert, InstanceContext& ctx, std::string& text);
