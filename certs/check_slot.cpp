// CheckCertificate: the host asks whether a certificate may be used.
#include "certs/crl_check.h"
#include "certs/validity.h"
#include "frame/failure.h"
#include "frame/instance_context.h"
#include "frame/result_codes.h"
#include "frame/vexor_impl.h"

namespace {
// Bit 1 of the run-time flags: the host asks for the check without revocation lists.
constexpr uint32_t kSkipCrlFlag = 2;
}  // namespace

int32_t IVexorImpl::CheckCertificate(PCCERT_CONTEXT* cert) {
  InstanceContext ctx(*this);
  if (cert == nullptr || *cert == nullptr) return ReportFailure(ctx, RC_BAD_PARAMETER, "Неверный параметр");
  std::optional<CAutoSkipCRLChecker> skip;
  if (runtimeFlags() & kSkipCrlFlag) skip.emplace(ctx);
  _TAGCERTVALIDPARAM verdict;
  if (CertIsValid(*cert, verdict, ctx)) return RC_OK;
  if (verdict.text.empty()) return ReportFailure(ctx, static_cast<int32_t>(verdict.code), "Ошибка проверки сертификата");
  return ReportFailure(ctx, static_cast<int32_t>(verdict.code), "%s", verdict.text.c_str());
}
