// The certification path of one certificate: from the certificate towards a self-signed root
// through the issuer stores the caller names, with the Windows CERT_TRUST_* bits of every
// link (signatures, validity times, CA constraints, revocation when asked, trust of the
// root). Knows nothing of chain engines, handles or system stores, so it can be driven by
// memory stores alone; CertGetCertificateChain is a thin wrapper around it.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "vexor/platform.h"

namespace vexorcsp {

class Store;

// One owned certificate reference.
struct CertContextFree {
  void operator()(PCCERT_CONTEXT c) const { CertFreeCertificateContext(c); }
};
using OwnedCert = std::unique_ptr<const CERT_CONTEXT, CertContextFree>;

struct PathLink {
  OwnedCert cert;
  DWORD errors = 0;  // CERT_TRUST_* error bits of this link
  DWORD infos = 0;   // CERT_TRUST_* information bits
};

struct CertPath {
  std::vector<PathLink> links;  // the certificate first, the root (or the last issuer found) last
  DWORD pathErrors = 0;         // bits of the path as a whole (a partial chain)
};

class PathBuilder {
 public:
  // Paths longer than this are cut and reported as partial and cyclic.
  static constexpr size_t kMaxDepth = 20;

  // The stores are borrowed and outlive the builder; `trusted` holds the trusted roots (null:
  // nothing is trusted). Null entries of `issuers` are skipped.
  PathBuilder(std::vector<Store*> issuers, Store* trusted);

  // Builds the path at the moment `when`. revocationFlags are CertGetCertificateChain's
  // CERT_CHAIN_REVOCATION_CHECK_* bits: which links are looked up in the stores' CRLs.
  CertPath Build(PCCERT_CONTEXT cert, const FILETIME& when, DWORD revocationFlags) const;

 private:
  // The best issuer of `cert`: one whose key verifies the signature first, then a trusted
  // one, then one valid at `when`. Null when the stores hold none.
  OwnedCert FindIssuer(PCCERT_CONTEXT cert, const FILETIME& when, bool& verified) const;
  // CERT_TRUST_IS_REVOKED, the unknown-revocation bits without a current list, or 0.
  DWORD RevocationStatus(PCCERT_CONTEXT cert, PCCERT_CONTEXT issuer, const FILETIME& when) const;
  bool Trusted(PCCERT_CONTEXT cert) const;

  std::vector<Store*> issuers_;
  Store* trusted_;
};

}  // namespace vexorcsp
