#include "certs/crl_update.h"

#include "frame/instance_context.h"
#include "frame/result_codes.h"
#include "frame/vexor_impl.h"

int32_t _CertUpdateCRLs(PCCERT_CONTEXT cert, InstanceContext& ctx) {
  IVexorImpl& log = *ctx.owner;
  CTraceScope scope(log.logAccessor(), "IVexorImpl::_CertUpdateCRLs");
  if (ctx.options.SkipUpdateCRL) {
    log.Log("Обновление CRL'я отключено настройками");
    return RC_OK;
  }
  if (cert == nullptr) return RC_CERT_NOT_FOUND;
  // No distribution point can be reached yet.
  log.Log("Не удалось обновить ни одного CRL");
  return RC_CRL_UPDATE;
}
