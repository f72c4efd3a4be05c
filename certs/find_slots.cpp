// The search as the host reaches it: a certificate by identifier (its encoded bytes in a
// buffer the host frees with FreeBuffer) and by thumbprint (a context the host frees).
#include <cstdlib>
#include <cstring>

#include "certs/find_param.h"
#include "certs/search.h"
#include "frame/failure.h"
#include "frame/instance_context.h"
#include "frame/result_codes.h"
#include "frame/vexor_impl.h"
#include "stores/auto_handle.h"
#include "stores/cert_ident.h"
#include "stores/store_set.h"

namespace {

// Opens every store of the call; a failure that was not raised is reported here.
int32_t OpenAllStores(InstanceContext& ctx) {
  const int32_t rc = OpenStores(CST_ALL, ctx);
  if (rc != RC_OK) return ReportFailure(ctx, rc, "Не удалось открыть хранилище сертификатов");
  return RC_OK;
}

}  // namespace

int32_t IVexorImpl::FindCertificate(const char* identifier, CRYPT_DATA_BLOB* cert) {
  CTraceScope scope(log_, "IVexorImpl::FindCertificate");
  InstanceContext ctx(*this);
  if (identifier == nullptr || identifier[0] == '\0' || cert == nullptr)
    return ReportFailure(ctx, RC_BAD_PARAMETER, "Неверные параметры");
  if (const int32_t rc = OpenAllStores(ctx); rc != RC_OK) return rc;

  AUTO_CERTFINDPARAM params;
  params.storeMask = CST_ALL;
  params.issuer = issuerText();
  params.skipValidity = true;
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

int32_t IVexorImpl::FindCertificateByThumb(const char* thumbHex, PCCERT_CONTEXT* cert) {
  CTraceScope scope(log_, "IVexorImpl::FindCertificateByThumb");
  InstanceContext ctx(*this);
  if (const int32_t rc = OpenAllStores(ctx); rc != RC_OK) return rc;

  AUTO_CERTFINDPARAM params;
  params.storeMask = CST_ALL;
  params.issuer = issuerText();
  params.skipValidity = true;
  if (thumbHex == nullptr || !HexToThumbprint(thumbHex, params.thumbprint))
    return ReportFailure(ctx, RC_SYSTEM_ERROR, "Не удалось извлечь отпечаток из строки");
  return FindCertInStores(&params, cert, ctx);
}
