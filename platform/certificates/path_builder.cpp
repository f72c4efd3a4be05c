#include "platform/certificates/path_builder.h"

#include <cstring>

#include <openssl/x509v3.h>

#include "platform/certificates/cert_context.h"
#include "platform/certificates/signed_by.h"
#include "platform/core/last_error.h"
#include "platform/stores/store.h"

namespace vexorcsp {
namespace {

bool SameName(const CERT_NAME_BLOB& a, const CERT_NAME_BLOB& b) {
  return a.cbData == b.cbData && std::memcmp(a.pbData, b.pbData, a.cbData) == 0;
}

bool SameCert(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
  return std::memcmp(AsObject(a)->core.sha1, AsObject(b)->core.sha1, 20) == 0;
}

}  // namespace

PathBuilder::PathBuilder(std::vector<Store*> issuers, Store* trusted) : trusted_(trusted) {
  for (Store* s : issuers)
    if (s != nullptr) issuers_.push_back(s);
}

bool PathBuilder::Trusted(PCCERT_CONTEXT cert) const {
  return trusted_ != nullptr && trusted_->FindCertBySha1(AsObject(cert)->core.sha1) != nullptr;
}

OwnedCert PathBuilder::FindIssuer(PCCERT_CONTEXT cert, const FILETIME& when, bool& verified) const {
  OwnedCert best;
  int best_score = -1;
  verified = false;
  FILETIME at = when;
  for (Store* s : issuers_) {
    // The find consumes the previous reference and hands out the next one.
    PCCERT_CONTEXT c = nullptr;
    while ((c = FindCertificate(*s, 0, CERT_FIND_SUBJECT_NAME, &cert->pCertInfo->Issuer, c)) != nullptr) {
      const bool sig = CertSignedBy(cert, c);
      const int score = (sig ? 4 : 0) + (Trusted(c) ? 2 : 0) + (CertVerifyTimeValidity(&at, c->pCertInfo) == 0 ? 1 : 0);
      if (score > best_score) {
        best.reset(CertDuplicateCertificateContext(c));
        best_score = score;
        verified = sig;
      }
    }
  }
  SetLastError(0);
  return best;
}

DWORD PathBuilder::RevocationStatus(PCCERT_CONTEXT cert, PCCERT_CONTEXT issuer, const FILETIME& when) const {
  bool have_list = false;
  FILETIME at = when;
  for (Store* s : issuers_) {
    PCCRL_CONTEXT crl = nullptr;
    while ((crl = CertFindCRLInStore(s->handle(), X509_ASN_ENCODING, 0x8 /* signature */, 1, issuer, crl)) !=
           nullptr) {
      if (CertVerifyCRLTimeValidity(&at, crl->pCrlInfo) != 0) continue;
      have_list = true;
      PCRL_ENTRY entry = nullptr;
      if (CertFindCertificateInCRL(cert, crl, 0, nullptr, &entry) && entry != nullptr) {
        CertFreeCRLContext(crl);
        return CERT_TRUST_IS_REVOKED;
      }
    }
  }
  SetLastError(0);
  return have_list ? 0 : CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
}

CertPath PathBuilder::Build(PCCERT_CONTEXT cert, const FILETIME& when, DWORD revocationFlags) const {
  CertPath path;
  path.links.push_back({OwnedCert(CertDuplicateCertificateContext(cert)), 0, 0});
  while (true) {
    PathLink& link = path.links.back();
    PCCERT_CONTEXT current = link.cert.get();
    const bool self_issued = SameName(current->pCertInfo->Subject, current->pCertInfo->Issuer);
    if (self_issued && CertSignedBy(current, current)) {
      link.infos |= CERT_TRUST_IS_SELF_SIGNED | CERT_TRUST_HAS_NAME_MATCH_ISSUER;
      if (!Trusted(current)) link.errors |= CERT_TRUST_IS_UNTRUSTED_ROOT;
      break;
    }
    bool verified = false;
    OwnedCert issuer = self_issued ? OwnedCert() : FindIssuer(current, when, verified);
    if (!issuer) {
      if (self_issued) {
        // Self-issued but its own key does not verify it: a damaged root.
        link.errors |= CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_UNTRUSTED_ROOT;
        link.infos |= CERT_TRUST_IS_SELF_SIGNED;
      } else {
        link.errors |= CERT_TRUST_IS_PARTIAL_CHAIN;
        path.pathErrors |= CERT_TRUST_IS_PARTIAL_CHAIN;
      }
      break;
    }
    link.infos |= CERT_TRUST_HAS_NAME_MATCH_ISSUER;
    if (!verified) link.errors |= CERT_TRUST_IS_NOT_SIGNATURE_VALID;
    bool cyclic = false;
    for (const PathLink& seen : path.links)
      if (SameCert(seen.cert.get(), issuer.get())) cyclic = true;
    if (cyclic || path.links.size() >= kMaxDepth) {
      link.errors |= CERT_TRUST_IS_CYCLIC | CERT_TRUST_IS_PARTIAL_CHAIN;
      path.pathErrors |= CERT_TRUST_IS_PARTIAL_CHAIN;
      break;
    }
    // An issuer that is not a CA cannot vouch for the link below it.
    X509* issuer_x509 = AsObject(issuer.get())->OpenSsl();
    const DWORD issuer_errors =
        issuer_x509 == nullptr || X509_check_ca(issuer_x509) == 0 ? CERT_TRUST_INVALID_BASIC_CONSTRAINTS : 0;
    path.links.push_back({std::move(issuer), issuer_errors, 0});
  }

  const DWORD whole_chain = CERT_CHAIN_REVOCATION_CHECK_CHAIN | CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
  const bool check_revocation = (revocationFlags & (CERT_CHAIN_REVOCATION_CHECK_END_CERT | whole_chain)) != 0;
  FILETIME at = when;
  for (size_t i = 0; i < path.links.size(); ++i) {
    PathLink& link = path.links[i];
    if (CertVerifyTimeValidity(&at, link.cert->pCertInfo) != 0) link.errors |= CERT_TRUST_IS_NOT_TIME_VALID;
    const bool is_last = i + 1 == path.links.size();
    if (!check_revocation || is_last) continue;
    if (!(revocationFlags & whole_chain) && i > 0) continue;  // the end certificate only
    link.errors |= RevocationStatus(link.cert.get(), path.links[i + 1].cert.get(), when);
  }
  return path;
}

}  // namespace vexorcsp
