// Chains through the API: the trust result for a good path, an untrusted or missing root, an
// expired link, a tampered signature, and chain engines. The library checks revocation lists
// itself (the validity tests), never through the chain's revocation flags.
#include <gtest/gtest.h>

#include "test_pki.h"
#include "vexor/platform.h"

namespace {

using test_pki::Bytes;
using test_pki::Pki;

struct ChainResult {
  DWORD error = 0xFFFFFFFF;
  std::vector<DWORD> element_errors;
  std::vector<Bytes> certs;
};

ChainResult Build(const Bytes& der, HCERTSTORE additional = nullptr, DWORD flags = 0,
                  HCERTCHAINENGINE engine = nullptr, FILETIME* when = nullptr) {
  ChainResult r;
  PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size()));
  EXPECT_NE(cert, nullptr);
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  EXPECT_TRUE(CertGetCertificateChain(engine, cert, when, additional, &para, flags, nullptr, &chain))
      << std::hex << GetLastError();
  CertFreeCertificateContext(cert);  // the chain holds its own references
  if (chain == nullptr) return r;
  r.error = chain->TrustStatus.dwErrorStatus;
  EXPECT_EQ(chain->cChain, 1u);
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  EXPECT_EQ(simple->TrustStatus.dwErrorStatus, r.error);
  for (DWORD i = 0; i < simple->cElement; ++i) {
    const CERT_CHAIN_ELEMENT* e = simple->rgpElement[i];
    r.element_errors.push_back(e->TrustStatus.dwErrorStatus);
    r.certs.emplace_back(e->pCertContext->pbCertEncoded, e->pCertContext->pbCertEncoded + e->pCertContext->cbCertEncoded);
  }
  CertFreeCertificateChain(chain);
  return r;
}

class Chains : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Pki::Get().ok()) << Pki::Get().error; }
  test_pki::ScopedHome home_;
};

TEST_F(Chains, TrustedPathAndErrorBitsForBrokenPaths) {
  const Pki& pki = Pki::Get();
  // Intermediate in the additional store only, root nowhere: partial chain.
  HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  ASSERT_TRUE(CertAddEncodedCertificateToStore(extra, X509_ASN_ENCODING, pki.intermediate.der.data(),
                                               DWORD(pki.intermediate.der.size()), CERT_STORE_ADD_NEW, nullptr));
  ChainResult r = Build(pki.user_a.der, extra);
  EXPECT_EQ(r.error & CERT_TRUST_IS_PARTIAL_CHAIN, DWORD(CERT_TRUST_IS_PARTIAL_CHAIN));
  EXPECT_EQ(r.certs.size(), 2u);
  // Root present but not in Root: untrusted root, on the root element.
  ASSERT_TRUE(CertAddEncodedCertificateToStore(extra, X509_ASN_ENCODING, pki.root.der.data(),
                                               DWORD(pki.root.der.size()), CERT_STORE_ADD_NEW, nullptr));
  r = Build(pki.user_a.der, extra);
  EXPECT_EQ(r.error, DWORD(CERT_TRUST_IS_UNTRUSTED_ROOT)) << std::hex << r.error;
  ASSERT_EQ(r.element_errors.size(), 3u);
  EXPECT_EQ(r.element_errors[2], DWORD(CERT_TRUST_IS_UNTRUSTED_ROOT));
  CertCloseStore(extra, 0);

  ASSERT_TRUE(test_pki::TrustTestRoot());
  r = Build(pki.user_a.der);
  EXPECT_EQ(r.error, 0u) << std::hex << r.error;
  EXPECT_EQ(r.certs, (std::vector<Bytes>{pki.user_a.der, pki.intermediate.der, pki.root.der}));
  // An expired user: the time bit, on that element only.
  r = Build(pki.expired.der);
  EXPECT_EQ(r.error, DWORD(CERT_TRUST_IS_NOT_TIME_VALID));
  EXPECT_EQ(r.element_errors[0], DWORD(CERT_TRUST_IS_NOT_TIME_VALID));
  r = Build(pki.not_yet_valid.der);
  EXPECT_EQ(r.error, DWORD(CERT_TRUST_IS_NOT_TIME_VALID));
  // A tampered certificate: one bit of the signature flipped.
  Bytes tampered = pki.user_a.der;
  tampered.back() ^= 0x01;
  r = Build(tampered);
  EXPECT_EQ(r.error, DWORD(CERT_TRUST_IS_NOT_SIGNATURE_VALID)) << std::hex << r.error;
  EXPECT_EQ(r.element_errors[0], DWORD(CERT_TRUST_IS_NOT_SIGNATURE_VALID));
  // An untouched self-signed certificate not in Root.
  r = Build(test_pki::MakeSelfSigned(3, "lonely"));
  EXPECT_EQ(r.error, DWORD(CERT_TRUST_IS_UNTRUSTED_ROOT));
  EXPECT_EQ(r.certs.size(), 1u);
}

// An engine as the library makes one: the intermediate only in the engine's additional store
// (closed by the caller right away), the root in Root.
TEST_F(Chains, EngineLinksThroughItsAdditionalStore) {
  const Pki& pki = Pki::Get();
  ASSERT_TRUE(test_pki::AddToSystemStore("Root", pki.root.der));
  EXPECT_EQ(Build(pki.user_a.der).error & CERT_TRUST_IS_PARTIAL_CHAIN, DWORD(CERT_TRUST_IS_PARTIAL_CHAIN));
  HCERTSTORE cas = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  ASSERT_TRUE(CertAddEncodedCertificateToStore(cas, X509_ASN_ENCODING, pki.intermediate.der.data(),
                                               DWORD(pki.intermediate.der.size()), CERT_STORE_ADD_NEW, nullptr));
  CERT_CHAIN_ENGINE_CONFIG config{};
  config.cbSize = sizeof config;
  config.dwFlags = CERT_CHAIN_CACHE_END_CERT;
  config.cAdditionalStore = 1;
  config.rghAdditionalStore = &cas;
  HCERTCHAINENGINE engine = nullptr;
  ASSERT_TRUE(CertCreateCertificateChainEngine(&config, &engine));
  CertCloseStore(cas, 0);
  const ChainResult r = Build(pki.user_a.der, nullptr, 0, engine);
  EXPECT_EQ(r.error, 0u) << std::hex << r.error;
  EXPECT_EQ(r.certs.size(), 3u);
  CertFreeCertificateChainEngine(engine);
}

}  // namespace
