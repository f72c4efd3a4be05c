// The path builder alone, over memory stores: no chain engine, no system store, no handle
// layer. Trusted, untrusted and partial paths are checked through the API in test_chain.cpp.
#include <gtest/gtest.h>

#include "platform/certificates/path_builder.h"
#include "platform/stores/store.h"
#include "test_pki.h"

namespace {

using test_pki::Bytes;
using test_pki::Pki;
using vexorcsp::CertPath;
using vexorcsp::OwnedCert;
using vexorcsp::PathBuilder;
using vexorcsp::Store;

OwnedCert Cert(const Bytes& der) {
  return OwnedCert(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size())));
}

// A memory store holding the certificates (and CRLs); closed with the object.
struct MemoryStore {
  explicit MemoryStore(std::initializer_list<const Bytes*> certs, const Bytes* crl = nullptr)
      : handle(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr)) {
    for (const Bytes* der : certs)
      EXPECT_TRUE(CertAddEncodedCertificateToStore(handle, X509_ASN_ENCODING, der->data(), DWORD(der->size()),
                                                   CERT_STORE_ADD_ALWAYS, nullptr));
    if (crl != nullptr) {
      EXPECT_TRUE(CertAddEncodedCRLToStore(handle, X509_ASN_ENCODING, crl->data(), DWORD(crl->size()),
                                           CERT_STORE_ADD_ALWAYS, nullptr));
    }
  }
  ~MemoryStore() { CertCloseStore(handle, 0); }
  Store* get() const { return Store::FromHandle(handle); }
  HCERTSTORE handle;
};

FILETIME Now() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return now;
}

class PathBuilderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Pki::Get().ok()) << Pki::Get().error; }
};

TEST_F(PathBuilderTest, RevocationOnlyWhenAskedAndOnlyWithACurrentList) {
  const Pki& pki = Pki::Get();
  const MemoryStore with_crl({&pki.intermediate.der, &pki.root.der}, &pki.crl);
  const MemoryStore without_crl({&pki.intermediate.der, &pki.root.der});
  const MemoryStore roots({&pki.root.der});
  const OwnedCert revoked = Cert(pki.revoked.der);
  const OwnedCert good = Cert(pki.user_a.der);

  const PathBuilder builder({with_crl.get()}, roots.get());
  EXPECT_EQ(builder.Build(revoked.get(), Now(), 0).links[0].errors, 0u);
  EXPECT_EQ(builder.Build(revoked.get(), Now(), CERT_CHAIN_REVOCATION_CHECK_END_CERT).links[0].errors,
            DWORD(CERT_TRUST_IS_REVOKED));
  EXPECT_EQ(builder.Build(good.get(), Now(), CERT_CHAIN_REVOCATION_CHECK_CHAIN).links[0].errors, 0u);

  const CertPath unknown =
      PathBuilder({without_crl.get()}, roots.get()).Build(good.get(), Now(), CERT_CHAIN_REVOCATION_CHECK_END_CERT);
  EXPECT_EQ(unknown.links[0].errors, DWORD(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION));
  EXPECT_EQ(unknown.links[1].errors, 0u);  // only the end certificate was asked for
}

}  // namespace
