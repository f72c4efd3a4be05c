// The GOST engine of OpenSSL, loaded once by the platform itself (never through the user's
// openssl.cnf), and the owning pointer family for OpenSSL objects.
#pragma once

#include <memory>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

namespace vexorcsp {

// The functional reference to the GOST engine, initialised on first use and kept for the
// life of the process; null when the engine cannot be loaded. Its digests, ciphers and key
// methods are registered, so GOST keys in certificates decode.
ENGINE* GostEngine();

// SHA-1 of the bytes (thumbprints), without a provider fetch: OpenSSL's one-shot SHA1()
// fetches the digest on every call, under locks threads contend for.
bool Sha1(const void* data, size_t size, unsigned char out[20]);

// Owning pointers for OpenSSL objects: one deleter per type.
template <typename T, void (*Free)(T*)>
struct OsslDeleter {
  void operator()(T* p) const { Free(p); }
};
#define VEXORCSP_OSSL_PTR(Name, Type, FreeFn) \
  using Name = std::unique_ptr<Type, OsslDeleter<Type, FreeFn>>

inline void BioFreeAll(BIO* b) { BIO_free_all(b); }

VEXORCSP_OSSL_PTR(EvpPkeyPtr, EVP_PKEY, EVP_PKEY_free);
VEXORCSP_OSSL_PTR(EvpPkeyCtxPtr, EVP_PKEY_CTX, EVP_PKEY_CTX_free);
VEXORCSP_OSSL_PTR(EvpMdCtxPtr, EVP_MD_CTX, EVP_MD_CTX_free);
VEXORCSP_OSSL_PTR(EvpCipherCtxPtr, EVP_CIPHER_CTX, EVP_CIPHER_CTX_free);
VEXORCSP_OSSL_PTR(X509Ptr, X509, X509_free);
VEXORCSP_OSSL_PTR(X509CrlPtr, X509_CRL, X509_CRL_free);
VEXORCSP_OSSL_PTR(X509NamePtr, X509_NAME, X509_NAME_free);
VEXORCSP_OSSL_PTR(X509StorePtr, X509_STORE, X509_STORE_free);
VEXORCSP_OSSL_PTR(X509StoreCtxPtr, X509_STORE_CTX, X509_STORE_CTX_free);
VEXORCSP_OSSL_PTR(BioPtr, BIO, BioFreeAll);
VEXORCSP_OSSL_PTR(BignumPtr, BIGNUM, BN_free);
VEXORCSP_OSSL_PTR(CmsPtr, CMS_ContentInfo, CMS_ContentInfo_free);
VEXORCSP_OSSL_PTR(Asn1ObjectPtr, ASN1_OBJECT, ASN1_OBJECT_free);

// A new reference to a borrowed (get0) key.
inline EvpPkeyPtr UpRef(EVP_PKEY* key) {
  if (key != nullptr) EVP_PKEY_up_ref(key);
  return EvpPkeyPtr(key);
}

}  // namespace vexorcsp
