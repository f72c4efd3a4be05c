#include "certs/slots.h"

#include <cstdlib>
#include <cstring>
#include <optional>

#include "certs/crl_check.h"
#include "certs/find_param.h"
#include "certs/search.h"
#include "certs/validity.h"
#include "call/failure.h"
#include "call/result_codes.h"
#include "stores/auto_handle.h"
#include "stores/cert_ident.h"
#include "certs/instance_context.h"

namespace {

// Opens every store of the call; a failure that was not raised is reported here.
int32_t OpenAllStores(InstanceContext& ctx) {
  const int32_t rc = ctx.stores.Open(CST_ALL);
  if (rc != RC_OK) return ReportFailure(ctx, rc, "Не удалось открыть хранилище сертификатов");
  return RC_OK;
}

// A search over every store that takes candidates whatever their validity.
void PrepareLookup(const InstanceContext& ctx, AUTO_CERTFINDPARAM& params) {
  params.storeMask = CST_ALL;
  params.issuer = ctx.services.issuerText;
  params.skipValidity = true;
}

}  // namespace

int32_t FindCertificate(InstanceContext& ctx, const char* identifier, CRYPT_DATA_BLOB* cert) {
  if (identifier == nullptr || identifier[0] == '\0' || cert == nullptr)
    return ReportFailure(ctx, RC_BAD_PARAMETER, "Неверные параметры");
  if (const int32_t rc = OpenAllStores(ctx); rc != RC_OK) return rc;
  AUTO_CERTFINDPARAM params;
  PrepareLookup(ctx, params);
  SetCertIdentifier(identifier, params);
  auto_cert found;
  if (const int32_t rc = FindCertInStores(&params, found.put(), ctx); rc != RC_OK) return rc;
  BYTE* copy = static_cast<BYTE*>(std::malloc(found.get()->cbCertEncoded));
  if (copy == nullptr) return ReportFailure(ctx, RC_OUT_OF_MEMORY, "Недостаточно памяти.");
  std::memcpy(copy, found.get()->pbCertEncoded, found.get()->cbCertEncoded);
  cert->pbData = copy;
  cert->cbData = found.get()->cbCertEncoded;
  return RC_OK;
}

int32_t FindCertificateByThumb(InstanceContext& ctx, const char* thumbHex, PCCERT_CONTEXT* cert) {
  if (const int32_t rc = OpenAllStores(ctx); rc != RC_OK) return rc;
  AUTO_CERTFINDPARAM params;
  PrepareLookup(ctx, params);
  if (thumbHex == nullptr || !HexToThumbprint(thumbHex, params.thumbprint))
    return ReportFailure(ctx, RC_SYSTEM_ERROR, "Не удалось извлечь отпечаток из строки");
  return FindCertInStores(&params, cert, ctx);
}

int32_t CheckCertificate(InstanceContext& ctx, PCCERT_CONTEXT* cert, bool withoutCrl) {
  if (cert == nullptr || *cert == nullptr) return ReportFailure(ctx, RC_BAD_PARAMETER, "Неверный параметр");
  std::optional<CAutoSkipCRLChecker> skip;
  if (withoutCrl) skip.emplace(ctx);
  _TAGCERTVALIDPARAM verdict;
  if (CertIsValid(*cert, verdict, ctx)) return RC_OK;
  if (verdict.text.empty()) return ReportFailure(ctx, static_cast<int32_t>(verdict.code), "Ошибка проверки сертификата");
  return ReportFailure(ctx, static_cast<int32_t>(verdict.code), "%s", verdict.text.c_str());
}
