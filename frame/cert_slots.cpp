// The certificate slots: trace scope and call context here, the work in certs/.
#include "certs/slots.h"
#include "frame/vexor_impl.h"

int32_t IVexorImpl::FindCertificate(const char* identifier, CRYPT_DATA_BLOB* cert) {
  CTraceScope scope(log_, "IVexorImpl::FindCertificate");
  InstanceContext ctx = NewCall();
  return ::FindCertificate(ctx, identifier, cert);
}

int32_t IVexorImpl::FindCertificateByThumb(const char* thumbHex, PCCERT_CONTEXT* cert) {
  CTraceScope scope(log_, "IVexorImpl::FindCertificateByThumb");
  InstanceContext ctx = NewCall();
  return ::FindCertificateByThumb(ctx, thumbHex, cert);
}

int32_t IVexorImpl::CheckCertificate(PCCERT_CONTEXT* cert) {
  InstanceContext ctx = NewCall();
  return ::CheckCertificate(ctx, cert, (runtimeFlags() & kFlagSkipCrlCheck) != 0);
}
