// Certificate chains as the platform builds them, and the chain check of the validity
// decision: every link of the first chain is checked against the revocation lists.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "certs/verdict.h"
#include "stores/auto_handle.h"
#include "vexor/vexor.h"

class InstanceContext;

// One chain from the end certificate towards the root; one owned reference per element.
struct CertChain {
  vector_cert certs;
};
using CertChainList = std::vector<std::shared_ptr<CertChain>>;

// Builds the chains of the certificate into the list (emptied first), with every store of
// the call (crl_trust.h's CrlStores) as an issuer store. Raises
// CryptoOperations::baseCryptoException with code 24 when the engine cannot be made, the
// chain cannot be built or the platform reports a trust error.
void GetCertChain(PCCERT_CONTEXT cert, CertChainList& chains, InstanceContext& ctx);

// The issuer of the certificate in its first chain (a new reference), or null when there is
// no chain of at least two certificates.
auto_cert GetCertIssuerFromChain(PCCERT_CONTEXT cert, InstanceContext& ctx);

// Builds the chains and checks the revocation of every link of the first one; the outcome
// is the verdict's code. A chain that cannot be built is forgiven (code 0) unless a current
// list of an issuer whose key signed the certificate names it (14).
void CertCheckChain(PCCERT_CONTEXT cert, _TAGCERTVALIDPARAM& verdict, InstanceContext& ctx);

// The English text of a chain error status; only single known values have one.
std::string ChainStatusText(DWORD status);
