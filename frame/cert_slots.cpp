// The certificate slots: trace scope and call context here, the work in certs/.
#include "certs/cert_list.h"
#include "certs/crl_update.h"
#include "certs/import.h"
#include "certs/slots.h"
#include "frame/call/result_codes.h"
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

// Import and deletion. The reading slots call the adding slot through the interface, so a
// host's override of it is honoured.
int32_t IVexorImpl::AddCertOrCRLToFile(const char* file, const CertEncoded& cert) {
  CTraceScope scope(log_, "IVexorImpl::AddCertOrCRLToFile");
  InstanceContext ctx = NewCall();
  return ::AddCertOrCRLToFile(file != nullptr ? file : "", cert.blob, kItemCertificate, ctx);
}

int32_t IVexorImpl::AddCertOrCRLToFile(const char* file, const CrlEncoded& crl) {
  CTraceScope scope(log_, "IVexorImpl::AddCertOrCRLToFile");
  InstanceContext ctx = NewCall();
  return ::AddCertOrCRLToFile(file != nullptr ? file : "", crl.blob, kItemCrl, ctx);
}

int32_t IVexorImpl::AddCertOrCRLToStore(const CertEncoded& cert) {
  CTraceScope scope(log_, "IVexorImpl::AddCertOrCRLToStore");
  InstanceContext ctx = NewCall();
  return ::AddCertOrCRLToStore(cert.blob, kItemCertificate, ctx);
}

int32_t IVexorImpl::AddCertOrCRLToStore(const CrlEncoded& crl) {
  CTraceScope scope(log_, "IVexorImpl::AddCertOrCRLToStore");
  InstanceContext ctx = NewCall();
  return ::AddCertOrCRLToStore(crl.blob, kItemCrl, ctx);
}

namespace {

// Reads an item file; 0 with the item, or the reading failure.
int32_t ReadItem(IVexorImpl& obj, const char* path, bool is_crl, std::vector<BYTE>& item) {
  InstanceContext ctx = obj.NewCall();
  return ReadCertOrCRLFile(path != nullptr ? path : "", item, is_crl, ctx);
}

}  // namespace

int32_t IVexorImpl::AddCertOrCRLToFile(const char* file, const CertFile& cert) {
  std::vector<BYTE> item;
  if (const int32_t rc = ReadItem(*this, cert.path, false, item); rc != RC_OK) return rc;
  return AddCertOrCRLToFile(file, CertEncoded{{static_cast<DWORD>(item.size()), item.data()}});
}

int32_t IVexorImpl::AddCertOrCRLToFile(const char* file, const CrlFile& crl) {
  std::vector<BYTE> item;
  if (const int32_t rc = ReadItem(*this, crl.path, true, item); rc != RC_OK) return rc;
  return AddCertOrCRLToFile(file, CrlEncoded{{static_cast<DWORD>(item.size()), item.data()}});
}

int32_t IVexorImpl::AddCertOrCRLToStore(const CertFile& cert) {
  std::vector<BYTE> item;
  if (const int32_t rc = ReadItem(*this, cert.path, false, item); rc != RC_OK) return rc;
  return AddCertOrCRLToStore(CertEncoded{{static_cast<DWORD>(item.size()), item.data()}});
}

int32_t IVexorImpl::AddCertOrCRLToStore(const CrlFile& crl) {
  std::vector<BYTE> item;
  if (const int32_t rc = ReadItem(*this, crl.path, true, item); rc != RC_OK) return rc;
  return AddCertOrCRLToStore(CrlEncoded{{static_cast<DWORD>(item.size()), item.data()}});
}

int32_t IVexorImpl::DeleteCertificate(const char* identifier) {
  CTraceScope scope(log_, "IVexorImpl::DeleteCertificate");
  InstanceContext ctx = NewCall();
  return DeleteCertificateById(identifier, ctx);
}

int32_t IVexorImpl::GetCertList(CertList& certs) {
  CTraceScope scope(log_, "IVexorImpl::GetCertList");
  InstanceContext ctx = NewCall();
  return ::GetCertList(ctx, certs);
}

int32_t IVexorImpl::CertUpdateCRLs() {
  CTraceScope scope(log_, "IVexorImpl::CertUpdateCRLs");
  InstanceContext ctx = NewCall();
  return ::CertUpdateCRLs(ctx);
}
