#include "certs/crl_check.h"

#include "frame/call/result_codes.h"
#include "stores/cert_ident.h"
#include "stores/instance_context.h"
#include "support/log.h"

namespace {

// The lists of a store, each checked against the issuer's signature. The platform frees
// the previous list when it is passed back, and the flags word is carried between calls.
class CCCRLPred_CerStore : public CCCRLPred {
 public:
  CCCRLPred_CerStore(HCERTSTORE store, PCCERT_CONTEXT issuer) : store_(store), issuer_(issuer) {}
  bool Next(PCCRL_CONTEXT& crl) override {
    crl = CertGetCRLFromStore(store_, issuer_, crl, &flags_);
    return true;
  }

 private:
  DWORD flags_ = CERT_STORE_SIGNATURE_FLAG;
  HCERTSTORE store_;
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
  bool not_revoked = true;
  PCCRL_CONTEXT crl = nullptr;
  while (source->Next(crl) && crl != nullptr) {
    ++seen;
    if (CertVerifyCRLTimeValidity(nullptr, crl->pCrlInfo) != 0) {
      log.Log("CRL \"%s\" для БД не действительна, нужно обновление!", GetCRLDisplayName(crl).c_str());
      continue;
    }
    log.Log("CRL \"%s\" для БД действительна", GetCRLDisplayName(crl).c_str());
    any_current = true;
    PCRL_ENTRY entry = nullptr;
    // A call that fails counts as revoked; the last current list decides.
    not_revoked = CertFindCertificateInCRL(subject, crl, 0, nullptr, &entry) && entry == nullptr;
  }
  verdict.updateNeeded = (seen == 0 || !any_current) ? 1 : 0;
  if (!not_revoked) {
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
  std::shared_ptr<CCCRLPred> source;
  if (selector == CST_HOST || selector == CST_EXTERNAL) {
    if (VexorCallBack* cb = ctx.callback()) source = std::make_shared<CCCRLP_CallBack>(*cb, issuer);
  } else {
    source = std::make_shared<CCCRLPred_CerStore>(subject->hCertStore, issuer);
  }
  if (!source) return true;
  log.LogExt("Хранилище выбрано успешно, вызываем _CertCheckCRL");
  return _CertCheckCRL(source, issuer, subject, verdict, ctx);
}

CAutoSkipCRLChecker::CAutoSkipCRLChecker(InstanceContext& ctx) : ctx_(ctx), saved_(ctx.options.SkipCheckCRL) {
  if (ctx.services.familyHost) ctx_.options.SkipCheckCRL = 1;
}

CAutoSkipCRLChecker::~CAutoSkipCRLChecker() { ctx_.options.SkipCheckCRL = saved_; }
