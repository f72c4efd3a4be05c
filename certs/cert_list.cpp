#include "certs/cert_list.h"

#include <vector>

#include "certs/cert_time.h"
#include "call/result_codes.h"
#include "stores/auto_handle.h"
#include "stores/cert_ident.h"
#include "certs/instance_context.h"
#include "stores/store_set.h"
#include "support/format.h"
#include "support/read_sized.h"

namespace {

CertListItem Describe(PCCERT_CONTEXT cert, CallLog& log) {
  CertListItem item;
  item.flag = true;
  const CRYPT_INTEGER_BLOB& serial = cert->pCertInfo->SerialNumber;
  for (DWORD i = 0; i < serial.cbData; ++i) item.serialNumber += Format("%.2X", serial.pbData[i]);
  item.subject = NameToX500String(cert->pCertInfo->Subject, true);
  if (!item.subject.empty()) item.keyUsages = GetCertEKUs(cert, log);
  item.issuer = NameToX500String(cert->pCertInfo->Issuer, true);
  item.validTo = FormatLocalTime(cert->pCertInfo->NotAfter, '.');
  item.validFrom = FormatLocalTime(cert->pCertInfo->NotBefore, '.');
  std::string thumb;
  if (GetCertThumbHex(cert, thumb, &log)) {
    for (char& c : thumb) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    SetTaggedValue(item.thumbTag, "CERT_THUMB", thumb);
  }
  SetTaggedValue(item.nameTag, "CERT_CN", item.subject);
  return item;
}

}  // namespace

std::string GetCertEKUs(PCCERT_CONTEXT cert, CallLog& log) {
  log.Log("Получаем EKUs для сертификата");
  const std::vector<BYTE> buffer = ReadSized<DWORD>(
      [&](BYTE* out, DWORD& len) {
        return CertGetEnhancedKeyUsage(cert, 0, reinterpret_cast<PCERT_ENHKEY_USAGE>(out), &len) != FALSE;
      },
      sizeof(CERT_ENHKEY_USAGE));
  if (buffer.empty()) return std::string();
  const auto* usage = reinterpret_cast<const CERT_ENHKEY_USAGE*>(buffer.data());
  std::string text;
  for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
    log.Log("Найден EKU : %s", usage->rgpszUsageIdentifier[i]);
    text += std::string(", EKU=") + usage->rgpszUsageIdentifier[i];
  }
  return text;
}

void SetTaggedValue(std::string& text, const std::string& key, const std::string& value) {
  const std::string open = "<" + key + ">", close = "</" + key + ">";
  const size_t at = text.find(open);
  const size_t end = at == std::string::npos ? std::string::npos : text.find(close, at + open.size());
  if (end != std::string::npos) {
    text.replace(at + open.size(), end - at - open.size(), value);
  } else {
    text += open + value + close;
  }
}

int32_t GetCertList(InstanceContext& ctx, CertList& list) {
  list.clear();
  if (const int32_t rc = ctx.stores.Open(CST_SST); rc != RC_OK) return rc;
  if (VexorCallBack* cb = ctx.callback()) {
    // The host's search with no record enumerates what the host offers, one per call.
    PCCERT_CONTEXT cert = nullptr;
    while (cb->OnCertFindEx(nullptr, &cert) && cert != nullptr) list.push_back(Describe(cert, ctx.log()));
    return RC_OK;
  }
  HCERTSTORE store = ctx.stores.Get(CST_SST);
  if (store == nullptr) return RC_OK;
  for (PCCERT_CONTEXT cert = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr, nullptr);
       cert != nullptr; cert = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr, cert))
    list.push_back(Describe(cert, ctx.log()));
  return RC_OK;
}
