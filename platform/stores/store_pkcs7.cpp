// PKCS#7 SignedData as a container of certificates and CRLs (CERT_STORE_PROV_PKCS7 and
// CERT_STORE_SAVE_AS_PKCS7): read every certificate and CRL, write a degenerate message.
#include "platform/stores/store.h"

#include <openssl/err.h>
#include <openssl/pkcs7.h>

#include "platform/core/last_error.h"

namespace vexorcsp {
namespace {

VEXORCSP_OSSL_PTR(Pkcs7Ptr, PKCS7, PKCS7_free);

template <typename T, int (*I2d)(T*, unsigned char**)>
bool Encode(T* obj, std::vector<BYTE>& out) {
  const int len = I2d(obj, nullptr);
  if (len <= 0) return false;
  out.resize(static_cast<size_t>(len));
  unsigned char* p = out.data();
  return I2d(obj, &p) == len;
}

int I2dX509(X509* x, unsigned char** p) { return i2d_X509(x, p); }
int I2dCrl(X509_CRL* x, unsigned char** p) { return i2d_X509_CRL(x, p); }
int I2dPkcs7(PKCS7* x, unsigned char** p) { return i2d_PKCS7(x, p); }

}  // namespace

bool LoadPkcs7(const BYTE* data, size_t size, Store& into) {
  if (data == nullptr || size == 0 || size > static_cast<size_t>(LONG_MAX)) {
    SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_EOD));
    return false;
  }
  const unsigned char* p = data;
  Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(size)));
  if (!p7 || !PKCS7_type_is_signed(p7.get()) || p7->d.sign == nullptr) {
    ERR_clear_error();
    SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
    return false;
  }
  std::vector<BYTE> der;
  STACK_OF(X509)* certs = p7->d.sign->cert;
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    if (!Encode<X509, I2dX509>(sk_X509_value(certs, i), der)) continue;
    if (CertObject* c = NewCertObject(der.data(), der.size()))
      into.AddCert(c, CERT_STORE_ADD_ALWAYS, nullptr);
  }
  STACK_OF(X509_CRL)* crls = p7->d.sign->crl;
  for (int i = 0; i < sk_X509_CRL_num(crls); ++i) {
    if (!Encode<X509_CRL, I2dCrl>(sk_X509_CRL_value(crls, i), der)) continue;
    if (CrlObject* c = NewCrlObject(der.data(), der.size()))
      into.AddCrl(c, CERT_STORE_ADD_ALWAYS, nullptr);
  }
  SetLastError(0);
  return true;
}

bool SavePkcs7(Store& store, std::vector<BYTE>& out) {
  Pkcs7Ptr p7(PKCS7_new());
  if (!p7 || !PKCS7_set_type(p7.get(), NID_pkcs7_signed) ||
      !PKCS7_content_new(p7.get(), NID_pkcs7_data)) {
    ERR_clear_error();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(store.mutex());
    for (CertObject* c : store.certs()) {
      X509* x509 = c->OpenSsl();
      if (x509 == nullptr || !PKCS7_add_certificate(p7.get(), x509)) {
        ERR_clear_error();
        SetLastError(static_cast<DWORD>(CRYPT_E_BAD_ENCODE));
        return false;
      }
    }
    for (CrlObject* c : store.crls()) PKCS7_add_crl(p7.get(), c->crl.get());
  }
  if (!Encode<PKCS7, I2dPkcs7>(p7.get(), out)) {
    ERR_clear_error();
    SetLastError(static_cast<DWORD>(CRYPT_E_BAD_ENCODE));
    return false;
  }
  return true;
}

}  // namespace vexorcsp
