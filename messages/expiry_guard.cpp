#include "messages/expiry_guard.h"

#include "certs/cert_time.h"
#include "call/result_codes.h"
#include "certs/instance_context.h"

int32_t CheckCertExpiry(PCCERT_CONTEXT cert, InstanceContext& ctx) {
  if (ctx.options.SkipCheckCertValid) {
    ctx.log().Log("Проверка валидности сертификата отключена настройками, поэтому все сертификаты считаются валидными!");
    return RC_OK;
  }
  if (ctx.options.SkipCheckTimeRemains) {
    ctx.log().Log("Проверка срока действия сертификата отключена настройками");
    return RC_OK;
  }
  if (cert == nullptr || cert->pCertInfo == nullptr) return RC_CERT_NOT_IN_STORE;
  // With a host callback the host decides; the library computes nothing itself then.
  if (VexorCallBack* cb = ctx.callback()) return cb->OnCertExpiry(cert);
  long long days = 0;
  if (!WholeDaysFromNow(cert->pCertInfo->NotAfter, days) || days <= 0) return RC_CERT_INVALID;
  return RC_OK;
}
