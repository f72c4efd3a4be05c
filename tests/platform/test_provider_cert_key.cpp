// CryptAcquireCertificatePrivateKey where it fails: no key property, a missing container, a
// container with another key, a PIN the silent flag may not ask for. The cached handle that
// signs is the library's signing path, which openssl checks in the host tests.
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
    ASSERT_EQ(RunCommand("openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -out " + pem).status, 0);
    ASSERT_EQ(RunCommand("openssl req -engine gost -new -x509 -md_gost94 -key " + pem +
                         " -subj /CN=owner -days 30 -outform DER -out " + der + " 2>/dev/null").status, 0);
    key_pem_ = ReadFile(pem);
    const Bytes cert = ReadFile(der);
    owned_.reset(cert_ = CertCreateCertificateContext(X509_ASN_ENCODING, cert.data(), DWORD(cert.size())));
    ASSERT_NE(cert_, nullptr) << std::hex << GetLastError();
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
  auto_cert owned_;
};

TEST_F(ProviderCertKey, FailuresAreCleanAndTheFlagsDecide) {
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
