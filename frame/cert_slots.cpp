// The certificate slots: trace scope and call context here, the work in certs/.
#include "certs/cert_list.h"
#include "certs/crl_update.h"
#include "certs/import.h"
#include "certs/slots.h"
#include "call/result_codes.h"
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

// Reads an item file; 0 with its items (every one of a PEM file of several), or the reading
// failure.
int32_t ReadItems(IVexorImpl& obj, const char* path, bool is_crl, std::vector<std::vector<BYTE>>& items) {
  InstanceContext ctx = obj.NewCall();
  return ReadCertOrCRLFileItems(path != nullptr ? path : "", items, is_crl, ctx);
}

// Hands each item to the adding slot; every item is tried, the first failure is the result.
template <class Encoded, class Add>
int32_t AddEach(const std::vector<std::vector<BYTE>>& items, Add add) {
  int32_t first_failure = RC_OK;
  for (const std::vector<BYTE>& item : items) {
    const int32_t rc = add(Encoded{{static_cast<DWORD>(item.size()), const_cast<BYTE*>(item.data())}});
    if (first_failure == RC_OK) first_failure = rc;
  }
  return first_failure;
}

}  // namespace

int32_t IVexorImpl::AddCertOrCRLToFile(const char* file, const CertFile& cert) {
  std::vector<std::vector<BYTE>> items;
  if (const int32_t rc = ReadItems(*this, cert.path, false, items); rc != RC_OK) return rc;
  return AddEach<CertEncoded>(items, [&](const CertEncoded& e) { return AddCertOrCRLToFile(file, e); });
}

int32_t IVexorImpl::AddCertOrCRLToFile(const char* file, const CrlFile& crl) {
  std::vector<std::vector<BYTE>> items;
  if (const int32_t rc = ReadItems(*this, crl.path, true, items); rc != RC_OK) return rc;
  return AddEach<CrlEncoded>(items, [&](const CrlEncoded& e) { return AddCertOrCRLToFile(file, e); });
}

int32_t IVexorImpl::AddCertOrCRLToStore(const CertFile& cert) {
  std::vector<std::vector<BYTE>> items;
  if (const int32_t rc = ReadItems(*this, cert.path, false, items); rc != RC_OK) return rc;
  return AddEach<CertEncoded>(items, [&](const CertEncoded& e) { return AddCertOrCRLToStore(e); });
}

int32_t IVexorImpl::AddCertOrCRLToStore(const CrlFile& crl) {
  std::vector<std::vector<BYTE>> items;
  if (const int32_t rc = ReadItems(*this, crl.path, true, items); rc != RC_OK) return rc;
  return AddEach<CrlEncoded>(items, [&](const CrlEncoded& e) { return AddCertOrCRLToStore(e); });
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
