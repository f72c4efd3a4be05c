#include "certs/crl_check.h"

#include "certs/crl_trust.h"
#include "call/result_codes.h"
#include "stores/cert_ident.h"
#include "certs/instance_context.h"
#include "support/log.h"

namespace {

// The lists of the issuer's name in the stores of a lookup, one store after the other. The
// platform frees the previous list when it is passed back; the signature is checked by the
// walk, for every list.
class CCCRLPred_CerStore : public CCCRLPred {
 public:
  CCCRLPred_CerStore(InstanceContext& ctx, HCERTSTORE first, PCCERT_CONTEXT issuer)
      : stores_(ctx, first), issuer_(issuer) {}
  bool Next(PCCRL_CONTEXT& crl) override {
    const std::vector<HCERTSTORE>& all = stores_.handles();
    while (at_ < all.size()) {
      DWORD flags = 0;
      crl = CertGetCRLFromStore(all[at_], issuer_, crl, &flags);
      if (crl != nullptr) return true;
      ++at_;
    }
    return true;
  }

 private:
  CrlStores stores_;
  size_t at_ = 0;
  PCCERT_CONTEXT issuer_;
};

// The lists the host holds for the issuer; the host replaces the context each time.
class CCCRLP_CallBack : public CCCRLPred {
 public:
  CCCRLP_CallBack(VexorCallBack& callback, PCCERT_CONTEXT issuer) : callback_(callback), issuer_(issuer) {}
  bool Next(PCCRL_CONTEXT& crl) override { return callback_.OnGetCRL(issuer_, &crl, 0); }

 private:
  VexorCallBack& callback_;
  PCCERT_CONTEXT issuer_;
};

// The stores' lists, then the host's.
class CCCRLPred_Both : public CCCRLPred {
 public:
  CCCRLPred_Both(std::unique_ptr<CCCRLPred> stores, std::unique_ptr<CCCRLPred> host)
      : stores_(std::move(stores)), host_(std::move(host)) {}
  bool Next(PCCRL_CONTEXT& crl) override {
    if (stores_) {
      if (stores_->Next(crl) && crl != nullptr) return true;
      stores_.reset();  // the store walk has freed its last list
      crl = nullptr;
    }
    if (!host_) {
      crl = nullptr;
      return false;
    }
    return host_->Next(crl);
  }

 private:
  std::unique_ptr<CCCRLPred> stores_, host_;
};

}  // namespace

std::string GetCRLDisplayName(PCCRL_CONTEXT crl) {
  if (crl == nullptr || crl->pCrlInfo == nullptr) return std::string();
  const std::string name = NameToX500String(crl->pCrlInfo->Issuer, false);
  const size_t at = name.find("CN=");
  if (at == std::string::npos) return std::string();
  const size_t start = at + 3;
  if (start < name.size() && name[start] == '"') {
    const size_t end = name.find('"', start + 1);
    return name.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
  }
  const size_t end = name.find(',', start);
  return name.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool _CertCheckCRL(const std::shared_ptr<CCCRLPred>& source, PCCERT_CONTEXT issuer, PCCERT_CONTEXT subject,
                   _TAGCERTVALIDPARAM& verdict, InstanceContext& ctx) {
  CallLog& log = ctx.log();
  CTraceScope scope(log.traceLog(), "IVexorImpl::_CertCheckCRL");
  int seen = 0;
  bool any_current = false;
  bool revoked = false;
  FILETIME newest{};
  PCCRL_CONTEXT crl = nullptr;
  while (source->Next(crl) && crl != nullptr) {
    // A list the issuer's key does not verify, or with senseless dates, is no list at all.
    if (!CrlSignedBy(crl, issuer) || !CrlDatesSane(*crl->pCrlInfo)) {
      log.Log("CRL \"%s\" не подписан ключом издателя \"%s\" или имеет недопустимые даты, не используется",
              GetCRLDisplayName(crl).c_str(), GetCertDisplayName(issuer).c_str());
      continue;
    }
    ++seen;
    if (CertVerifyCRLTimeValidity(nullptr, crl->pCrlInfo) != 0) {
      log.Log("CRL \"%s\" для БД не действительна, нужно обновление!", GetCRLDisplayName(crl).c_str());
      continue;
    }
    log.Log("CRL \"%s\" для БД действительна", GetCRLDisplayName(crl).c_str());
    PCRL_ENTRY entry = nullptr;
    // A call that fails counts as listed. The newest current list decides; lists issued at
    // the same moment revoke when either lists the subject.
    const bool listed = !CertFindCertificateInCRL(subject, crl, 0, nullptr, &entry) || entry != nullptr;
    const LONG order = CompareFileTime(&crl->pCrlInfo->ThisUpdate, &newest);
    if (!any_current || order > 0) {
      newest = crl->pCrlInfo->ThisUpdate;
      revoked = listed;
    } else if (order == 0) {
      revoked = revoked || listed;
    }
    any_current = true;
  }
  verdict.updateNeeded = (seen == 0 || !any_current) ? 1 : 0;
  if (revoked) {
    log.Log("Cертификат \"%s\" отозван (найден в CRL)", GetCertDisplayName(subject).c_str());
    verdict.code = RC_CERT_INVALID;
  } else if (seen == 0) {
    log.Log("Не найден CRL для издателя %s", GetCertDisplayName(issuer).c_str());
    verdict.code = RC_CRL_MISSING;
  } else {
    verdict.code = any_current ? RC_OK : RC_CRL_INVALID;
  }
  return true;
}

bool CertCheckCRL(unsigned long selector, PCCERT_CONTEXT issuer, PCCERT_CONTEXT subject,
                  _TAGCERTVALIDPARAM& verdict, InstanceContext& ctx) {
  CallLog& log = ctx.log();
  CTraceScope scope(log.traceLog(), "IVexorImpl::CertCheckCRL");
  if (ctx.options.SkipCheckCRL) {
    log.Log("Проверка CRL для сертификатов отключена настройками!");
    return true;
  }
  verdict.code = RC_CRL_CHECK;
  std::unique_ptr<CCCRLPred> stores, host;
  if (selector == 0 || selector == CST_ALL)
    stores = std::make_unique<CCCRLPred_CerStore>(ctx, subject->hCertStore, issuer);
  if (selector == CST_HOST || selector == CST_EXTERNAL || selector == CST_ALL) {
    if (VexorCallBack* cb = ctx.callback()) host = std::make_unique<CCCRLP_CallBack>(*cb, issuer);
  }
  if (!stores && !host) return true;
  log.LogExt("Хранилище выбрано успешно, вызываем _CertCheckCRL");
  return _CertCheckCRL(std::make_shared<CCCRLPred_Both>(std::move(stores), std::move(host)), issuer, subject,
                       verdict, ctx);
}

CAutoSkipCRLChecker::CAutoSkipCRLChecker(InstanceContext& ctx) : ctx_(ctx), saved_(ctx.options.SkipCheckCRL) {
  if (ctx.services.familyHost) ctx_.options.SkipCheckCRL = 1;
}

CAutoSkipCRLChecker::~CAutoSkipCRLChecker() { ctx_.options.SkipCheckCRL = saved_; }
