// CryptAcquireCertificatePrivateKey: a certificate whose key-provider property names a key
// container gives that container, cached on the certificate with flag 5, silently with 69.
#include <gtest/gtest.h>

#include "provider_test_util.h"
#include "vexor/platform.h"

namespace provider_test {
namespace {

class ProviderCertKey : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::filesystem::path dir = home_.path();
    const std::string pem = (dir / "k.pem").string(), der = (dir / "c.der").string();
    if (RunCommand("openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -out " + pem +
                   " 2>/dev/null")
            .status != 0)
      GTEST_SKIP() << "openssl with the GOST engine is not available";
    ASSERT_EQ(RunCommand("openssl req -engine gost -new -x509 -md_gost94 -key " + pem +
                         " -subj /CN=owner -days 30 -outform DER -out " + der + " 2>/dev/null")
                  .status,
              0);
    key_pem_ = ReadFile(pem);
    const Bytes cert = ReadFile(der);
    cert_ = CertCreateCertificateContext(X509_ASN_ENCODING, cert.data(), DWORD(cert.size()));
    ASSERT_NE(cert_, nullptr) << std::hex << GetLastError();
  }
  void TearDown() override {
    if (cert_) CertFreeCertificateContext(cert_);
  }

  void Link(const char16_t* container) {
    CRYPT_KEY_PROV_INFO info{};
    std::u16string name = container, prov = u"Crypto-Pro GOST R 34.10-2001 Cryptographic Service Provider";
    info.pwszContainerName = name.data();
    info.pwszProvName = prov.data();
    info.dwProvType = PROV_GOST_2001_DH;
    info.dwKeySpec = AT_KEYEXCHANGE;
    ASSERT_TRUE(CertSetCertificateContextProperty(cert_, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  }

  ScopedCspHome home_;
  Bytes key_pem_;
  PCCERT_CONTEXT cert_ = nullptr;
};

TEST_F(ProviderCertKey, CachedHandleSignsForTheCertificate) {
  ASSERT_TRUE(CryptImportPKCS8ToContainerA("owner", key_pem_.data(), DWORD(key_pem_.size()), nullptr, 0));
  Link(u"owner");
  HCRYPTPROV prov = 0, again = 0;
  DWORD key_spec = 0;
  BOOL caller_frees = TRUE;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert_, 5, nullptr, &prov, &key_spec, &caller_frees))
      << std::hex << GetLastError();
  EXPECT_EQ(key_spec, DWORD(AT_KEYEXCHANGE));
  EXPECT_FALSE(caller_frees);
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert_, 69, nullptr, &again, &key_spec, &caller_frees));
  EXPECT_EQ(again, prov);

  // A signature made with the handle verifies with the certificate's public key.
  Hash hash;
  ASSERT_TRUE(CryptCreateHash(prov, CALG_GR3411, 0, 0, &hash.h));
  ASSERT_TRUE(CryptHashData(hash.h, reinterpret_cast<const BYTE*>("abc"), 3, 0));
  BYTE sig[64];
  DWORD len = sizeof(sig);
  ASSERT_TRUE(CryptSignHashA(hash.h, AT_KEYEXCHANGE, nullptr, 0, sig, &len));
  Key pub;
  ASSERT_TRUE(CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING, &cert_->pCertInfo->SubjectPublicKeyInfo, &pub.h));
  EXPECT_TRUE(CryptVerifySignatureA(hash.h, sig, len, pub.h, nullptr, 0));
}

TEST_F(ProviderCertKey, FailuresAreClean) {
  HCRYPTPROV prov = 0;
  BOOL caller_frees = FALSE;
  EXPECT_FALSE(CryptAcquireCertificatePrivateKey(cert_, 5, nullptr, &prov, nullptr, &caller_frees));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NO_KEY_PROPERTY));

  Link(u"missing");
  EXPECT_FALSE(CryptAcquireCertificatePrivateKey(cert_, 5, nullptr, &prov, nullptr, &caller_frees));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEYSET));

  // A container with some other key: the compare-key flag notices.
  Prov other;
  Key other_key;
  ASSERT_TRUE(CryptAcquireContextA(&other.h, "other", nullptr, PROV_GOST_2001_DH, CRYPT_NEWKEYSET));
  ASSERT_TRUE(CryptGenKey(other.h, AT_KEYEXCHANGE, 0, &other_key.h));
  Link(u"other");
  EXPECT_FALSE(CryptAcquireCertificatePrivateKey(cert_, 5, nullptr, &prov, nullptr, &caller_frees));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_PUBLIC_KEY));
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert_, 0, nullptr, &prov, nullptr, &caller_frees));
  EXPECT_TRUE(caller_frees);
  EXPECT_TRUE(CryptReleaseContext(prov, 0));

  // The right key behind a PIN: silent acquisition fails without prompting.
  ASSERT_TRUE(CryptImportPKCS8ToContainerA("pinned", key_pem_.data(), DWORD(key_pem_.size()), "0000", 0));
  Link(u"pinned");
  setenv("VEXOR_CSP_PIN", "0000", 1);
  EXPECT_FALSE(CryptAcquireCertificatePrivateKey(cert_, 69, nullptr, &prov, nullptr, &caller_frees));
  EXPECT_EQ(GetLastError(), DWORD(NTE_SILENT_CONTEXT));
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert_, 4, nullptr, &prov, nullptr, &caller_frees));
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  unsetenv("VEXOR_CSP_PIN");
}

}  // namespace
}  // namespace provider_test
