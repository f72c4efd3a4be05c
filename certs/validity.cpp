#include "certs/validity.h"

#include "certs/cert_time.h"
#include "certs/chain.h"
#include "certs/crl_update.h"
#include "certs/valid_certs_cache.h"
#include "call/result_codes.h"
#include "stores/cert_ident.h"
#include "certs/instance_context.h"
#include "text/text.h"
#include "support/format.h"
#include "support/log.h"

namespace {

const char kSkipText[] =
    "Проверка валидности сертификата отключена настройками, поэтому все сертификаты считаются валидными!";

// Revocation outcomes that an update of the lists may change.
bool Inconclusive(unsigned long code) {
  return code == RC_CRL_INVALID || code == RC_CRL_CHECK || code == RC_CRL_MISSING;
}

}  // namespace

bool CheckCertTimeValidity(PCCERT_CONTEXT cert, InstanceContext& ctx, std::string& text) {
  CallLog& log = ctx.log();
  if (ctx.options.SkipCheckCertValid) {
    log.Log(kSkipText);
    return true;
  }
  const std::string name = GetCertDisplayName(cert);
  const double now = CurrentLocalDate();
  double not_before = 0, not_after = 0;
  const bool converted = FileTimeToLocalDate(cert->pCertInfo->NotBefore, not_before) &&
                         FileTimeToLocalDate(cert->pCertInfo->NotAfter, not_after);
  std::string reason;
  if (!converted || now < not_before) {
    reason = Format(text::Utf8ToCp1251("Срок действия сертификата \"%s\" еще не наступил!").c_str(), name.c_str());
    log.LogText(reason);
  }
  if (!converted || now > not_after) {
    reason = Format(text::Utf8ToCp1251("Срок действия сертификата \"%s\" истек!").c_str(), name.c_str());
    log.LogText(reason);
  }
  if (reason.empty()) return true;
  text = reason;
  return false;
}

void CertIsValidEx(PCCERT_CONTEXT cert, _TAGCERTVALIDPARAM& verdict, InstanceContext& ctx) {
  CallLog& log = ctx.log();
  verdict.Reset();
  if (ctx.options.SkipCheckCertValid) {
    log.Log(kSkipText);
    return;
  }
  const std::string name = GetCertDisplayName(cert);
  const CRYPT_INTEGER_BLOB& key = cert->pCertInfo->SerialNumber;
  log.LogExt("Вызов IVexorImpl::CertIsValidEx => Для сертификата: \"%s\".", name.c_str());
  ValidCertsCache& cache = *ctx.shared.validCerts;
  if (cache.Contains(key)) {
    log.Log("Сертификат \"%s\" найден в кэше валидных сертификатов", name.c_str());
    return;
  }
  log.Log("Сертификат \"%s\" не найден в кэше валидных сертификатов, проверяем его", name.c_str());
  CertCheckChain(cert, verdict, ctx);
  if (verdict.code != 0) {
    log.LogText(Format(text::Utf8ToCp1251("Цепочка сертификата \"%s\" недействительна, по причине: ").c_str(),
                       name.c_str()) +
                verdict.text);
    return;
  }
  log.Log("Цепочка сертификата \"%s\" действительна!", name.c_str());
  if (CheckCertTimeValidity(cert, ctx, verdict.text)) {
    log.Log("Сертификат \"%s\" прошел проверку по сроку действия", name.c_str());
    cache.Add(key);
    log.Log("Сертификат \"%s\" сохранен в кэше валидных сертификатов", name.c_str());
    verdict.Reset();
  } else {
    log.LogText(Format(text::Utf8ToCp1251("Цепочка сертификата \"%s\" недействительна (date), по причине: ").c_str(),
                       name.c_str()) +
                verdict.text);
    verdict.code = RC_CERT_INVALID;
  }
}

bool CertIsValid(PCCERT_CONTEXT cert, _TAGCERTVALIDPARAM& verdict, InstanceContext& ctx) {
  CallLog& log = ctx.log();
  CTraceScope scope(log.traceLog(), "IVexorImpl::CertIsValid");
  if (cert == nullptr || cert->pCertInfo == nullptr) {
    verdict.Reset();
    verdict.code = RC_CERT_INVALID;
    verdict.text = ResultText(RC_CERT_INVALID);
    return false;
  }
  CertIsValidEx(cert, verdict, ctx);
  if (verdict.code == 0) return true;

  if (verdict.updateNeeded || Inconclusive(verdict.code)) {
    verdict.code = static_cast<unsigned long>(_CertUpdateCRLs(cert, ctx));
    if (verdict.code == 0) CertIsValidEx(cert, verdict, ctx);
  }
  if (Inconclusive(verdict.code) || verdict.code == RC_CRL_UPDATE) {
    log.Log("Не удалось обновить CRL для сертификата %s, но принудительно продолжим",
            GetCertDisplayName(cert).c_str());
    if (verdict.code == RC_CRL_MISSING) verdict.Reset();
    if (!CheckCertTimeValidity(cert, ctx, verdict.text)) verdict.code = RC_CERT_INVALID;
  }
  return verdict.code != RC_CERT_INVALID;
}

bool CertIsValid(InstanceContext& ctx, PCCERT_CONTEXT cert) {
  _TAGCERTVALIDPARAM verdict;
  return CertIsValid(cert, verdict, ctx);
}
