#include "stores/cert_ident.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "call/call_log.h"
#include "stores/data_blob.h"
#include "support/bindata.h"
#include "support/format.h"

namespace {

constexpr DWORD kThumbLen = 20;
constexpr DWORD kNameBuffer = 1023;

// A name text from CertGetNameStringA into a buffer of the given size, cut at its
// terminator.
std::string NameString(PCCERT_CONTEXT cert, DWORD type, DWORD flags, void* para) {
  std::vector<char> buffer(kNameBuffer + 1, '\0');
  const DWORD n = CertGetNameStringA(cert, type, flags, para, buffer.data(), kNameBuffer);
  if (n <= 1) return std::string();
  return std::string(buffer.data(), strnlen(buffer.data(), kNameBuffer));
}

}  // namespace

bool CertGetThumb(PCCERT_CONTEXT cert, CRYPT_DATA_BLOB& blob, CallLog* log) {
  FreeBlob(blob);
  if (cert == nullptr) {
    if (log) log->Log("IVexorImpl::CertGetThumb => Переданы ошибочные параметры!");
    return false;
  }
  DWORD len = 0;
  if (!CertGetCertificateContextProperty(cert, CERT_HASH_PROP_ID, nullptr, &len) || len == 0) {
    if (log) log->Log("IVexorImpl::CertGetThumb => Не удалось прочитать длину отпечатка сертификата!");
    return false;
  }
  if (!AllocBlob(blob, len) || !CertGetCertificateContextProperty(cert, CERT_HASH_PROP_ID, blob.pbData, &len)) {
    FreeBlob(blob);
    if (log) log->Log("IVexorImpl::CertGetThumb => Не удалось прочитать отпечаток у сертификата!");
    return false;
  }
  blob.cbData = len;
  return true;
}

bool ThumbprintToHex(const CRYPT_DATA_BLOB& blob, std::string& text) {
  if (blob.cbData != kThumbLen || blob.pbData == nullptr) return false;
  std::string hex = CBinData(blob.pbData, blob.cbData).ToHex();
  std::transform(hex.begin(), hex.end(), hex.begin(), [](unsigned char c) { return std::toupper(c); });
  text = hex;
  return true;
}

bool HexToThumbprint(const std::string& text, CRYPT_DATA_BLOB& blob) {
  FreeBlob(blob);
  std::string hex = text;
  std::transform(hex.begin(), hex.end(), hex.begin(), [](unsigned char c) { return std::tolower(c); });
  if (hex.size() > 2 * kThumbLen) hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
  if (hex.size() != 2 * kThumbLen) return false;
  CBinData bytes;
  if (!bytes.FromHex(hex) || bytes.size() != kThumbLen) return false;
  if (!AllocBlob(blob, kThumbLen)) return false;
  std::copy(bytes.data(), bytes.data() + kThumbLen, blob.pbData);
  return true;
}

bool GetCertThumbHex(PCCERT_CONTEXT cert, std::string& text, CallLog* log) {
  AUTO_CRYPT_DATA_BLOB thumb;
  return CertGetThumb(cert, thumb, log) && ThumbprintToHex(thumb, text);
}

std::string GetCertDisplayName(PCCERT_CONTEXT cert, bool issuer) {
  if (cert == nullptr) return std::string();
  return NameString(cert, CERT_NAME_DNS_TYPE, issuer ? CERT_NAME_ISSUER_FLAG : 0, nullptr);
}

std::string GetCertCommonName(PCCERT_CONTEXT cert) {
  if (cert == nullptr) return std::string();
  char oid[] = szOID_COMMON_NAME;
  return NameString(cert, CERT_NAME_ATTR_TYPE, 0, oid);
}

std::string NameToX500String(const CERT_NAME_BLOB& name, bool rawOnBadTag) {
  CERT_NAME_BLOB copy = name;
  // The platform answers 1 (the terminator alone) when it cannot read the name.
  SetLastError(0);
  const DWORD len = CertNameToStrA(X509_ASN_ENCODING, &copy, CERT_X500_NAME_STR, nullptr, 0);
  if (len <= 1) {
    if (rawOnBadTag && GetLastError() == static_cast<DWORD>(CRYPT_E_ASN1_BADTAG) && name.pbData != nullptr)
      return std::string(reinterpret_cast<const char*>(name.pbData), name.cbData);
    return std::string();
  }
  std::vector<char> buffer(len + 1, '\0');
  const DWORD written = CertNameToStrA(X509_ASN_ENCODING, &copy, CERT_X500_NAME_STR, buffer.data(), len + 1);
  if (written == 0) return std::string();
  return std::string(buffer.data(), strnlen(buffer.data(), len + 1));
}

std::string GetCertShortDescription(PCCERT_CONTEXT cert, CallLog* log) {
  std::string hex;
  if (!GetCertThumbHex(cert, hex, log)) return std::string();
  std::string cn = GetCertCommonName(cert);
  return Format("%s, {%s...%s}", cn.c_str(), hex.substr(0, 6).c_str(), hex.substr(hex.size() - 4).c_str());
}
