#include "certs/crl_trust.h"

#include "certs/crl_check.h"
#include "call/failure.h"
#include "call/result_codes.h"
#include "certs/instance_context.h"
#include "stores/store_set.h"
#include "text/text.h"
#include "support/format.h"

namespace {

uint64_t Ticks(const FILETIME& t) { return (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

constexpr uint64_t kTicksPerMinute = 60ull * 10000000ull;

// The next list of the issuer's name in the store after `prev` (which is consumed).
PCCRL_CONTEXT NextByName(HCERTSTORE store, PCCERT_CONTEXT issuer, PCCRL_CONTEXT prev) {
  DWORD flags = 0;
  return CertGetCRLFromStore(store, issuer, prev, &flags);
}

}  // namespace

bool CrlDatesSane(const CRL_INFO& info) {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const uint64_t issued = Ticks(info.ThisUpdate), next = Ticks(info.NextUpdate);
  return issued <= Ticks(now) + kCrlClockSkewMinutes * kTicksPerMinute && next != 0 && next > issued;
}

bool CrlSignedBy(PCCRL_CONTEXT crl, PCCERT_CONTEXT issuer) {
  if (crl == nullptr || issuer == nullptr) return false;
  // The platform checks a list's signature as it hands the list out of a store.
  auto_store one(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  if (!one || !CertAddCRLContextToStore(one.get(), crl, CERT_STORE_ADD_ALWAYS, nullptr)) return false;
  DWORD flags = CERT_STORE_SIGNATURE_FLAG;
  auto_crl found(CertGetCRLFromStore(one.get(), issuer, nullptr, &flags));
  return found && (flags & CERT_STORE_SIGNATURE_FLAG) == 0;
}

CrlStores::CrlStores(InstanceContext& ctx, HCERTSTORE first) {
  Add(first);
  for (unsigned long id : {CST_SST, CST_MY, CST_ROOT, CST_HOST}) Add(ctx.stores.Get(id));
  ca_.reset(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, ctx.services.storeLocation, u"CA"));
  Add(ca_.get());
}

void CrlStores::Add(HCERTSTORE store) {
  if (store == nullptr) return;
  for (HCERTSTORE h : handles_)
    if (h == store) return;
  handles_.push_back(store);
}

auto_cert FindCrlIssuer(PCCRL_CONTEXT crl, const CrlStores& stores) {
  if (crl == nullptr) return auto_cert();
  for (HCERTSTORE store : stores.handles()) {
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_NAME,
                                           &crl->pCrlInfo->Issuer, c)) != nullptr) {
      if (CrlSignedBy(crl, c)) return auto_cert(c);
    }
  }
  return auto_cert();
}

bool IssuerHasCurrentCrl(PCCERT_CONTEXT issuer, const CrlStores& stores) {
  for (HCERTSTORE store : stores.handles()) {
    for (PCCRL_CONTEXT crl = NextByName(store, issuer, nullptr); crl != nullptr; crl = NextByName(store, issuer, crl)) {
      if (CertVerifyCRLTimeValidity(nullptr, crl->pCrlInfo) == 0 && CrlDatesSane(*crl->pCrlInfo) &&
          CrlSignedBy(crl, issuer)) {
        CertFreeCRLContext(crl);
        return true;
      }
    }
  }
  return false;
}

int32_t AuthenticateCrl(PCCRL_CONTEXT crl, InstanceContext& ctx, HCERTSTORE also, auto_cert& issuer,
                        std::string& why) {
  const std::string name = GetCRLDisplayName(crl);
  if (!CrlDatesSane(*crl->pCrlInfo)) {
    why = Format(text::Utf8ToCp1251("CRL \"%s\" имеет недопустимые даты выпуска, добавление отклонено").c_str(), name.c_str());
    return RC_CRL_ADD;
  }
  issuer = FindCrlIssuer(crl, CrlStores(ctx, also));
  if (!issuer) {
    why = Format(text::Utf8ToCp1251("CRL \"%s\" не подписан ни одним известным издателем, добавление отклонено").c_str(),
                 name.c_str());
    return RC_CRL_ADD;
  }
  return RC_OK;
}

int32_t RefuseUnknownCrl(const CRYPT_DATA_BLOB& item, InstanceContext& ctx, HCERTSTORE also) {
  auto_crl crl(CertCreateCRLContext(X509_ASN_ENCODING, item.pbData, item.cbData));
  if (!crl) return ReportFailure(ctx, RC_CRL_ADD, "%s", ResultText(RC_CRL_ADD).c_str());
  auto_cert issuer;
  std::string why;
  if (AuthenticateCrl(crl.get(), ctx, also, issuer, why) != RC_OK) return ReportFailure(ctx, RC_CRL_ADD, "%s", why.c_str());
  return RC_OK;
}

int32_t StoreAuthenticCrl(HCERTSTORE store, PCCRL_CONTEXT crl, PCCERT_CONTEXT issuer) {
  if (store == nullptr) return RC_FILE_OPEN_READ;
  std::vector<auto_crl> older;
  for (PCCRL_CONTEXT c = NextByName(store, issuer, nullptr); c != nullptr; c = NextByName(store, issuer, c)) {
    if (!CrlSignedBy(c, issuer)) continue;  // another authority's list under the same name
    if (CompareFileTime(&c->pCrlInfo->ThisUpdate, &crl->pCrlInfo->ThisUpdate) >= 0) {
      CertFreeCRLContext(c);
      return RC_OK;  // as late or later already there
    }
    older.emplace_back(CertDuplicateCRLContext(c));
  }
  for (auto_crl& c : older) CertDeleteCRLFromStore(c.release());
  return CertAddCRLContextToStore(store, crl, CERT_STORE_ADD_ALWAYS, nullptr) ? RC_OK : RC_CRL_ADD;
}

BOOL AddEncodedCrlIfAuthentic(HCERTSTORE store, const CRYPT_DATA_BLOB& item, InstanceContext& ctx) {
  auto_crl crl(CertCreateCRLContext(X509_ASN_ENCODING, item.pbData, item.cbData));
  if (!crl) {
    if (GetLastError() == 0) SetLastError(static_cast<DWORD>(CRYPT_E_BAD_ENCODE));
    return FALSE;
  }
  auto_cert issuer;
  std::string why;
  if (AuthenticateCrl(crl.get(), ctx, store, issuer, why) != RC_OK) {
    ReportFailure(ctx, RC_CRL_ADD, "%s", why.c_str());
    SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return FALSE;
  }
  return StoreAuthenticCrl(store, crl.get(), issuer.get()) == RC_OK ? TRUE : FALSE;
}
