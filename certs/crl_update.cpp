#include "certs/crl_update.h"

#include "frame/call/result_codes.h"
#include "stores/instance_context.h"
#include "support/log.h"

int32_t _CertUpdateCRLs(PCCERT_CONTEXT cert, InstanceContext& ctx) {
  CallLog& log = ctx.log();
  CTraceScope scope(log.traceLog(), "IVexorImpl::_CertUpdateCRLs");
  if (ctx.options.SkipUpdateCRL) {
    log.Log("Обновление CRL'я отключено настройками");
    return RC_OK;
  }
  if (cert == nullptr) return RC_CERT_NOT_FOUND;
  // No distribution point can be reached yet.
  log.Log("Не удалось обновить ни одного CRL");
  return RC_CRL_UPDATE;
}
