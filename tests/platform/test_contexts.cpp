// Certificate contexts against openssl's view of the same objects. The GOST public key's shape
// is proven by every signature and key agreement that imports it; hostile encodings are the
// fuzz target's.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>

#include "test_pki.h"
#include "vexor/platform.h"

namespace {

using test_pki::Bytes;
using test_pki::Pki;

// "key=value" lines of an openssl command, e.g. serial=1000.
std::string Field(const std::string& out, const std::string& key) {
  const size_t at = out.find(key + "=");
  if (at == std::string::npos) return {};
  const size_t end = out.find('\n', at);
  return out.substr(at + key.size() + 1, end - at - key.size() - 1);
}

FILETIME ParseOpensslDate(const std::string& text) {  // "Jan  1 00:00:00 2020 GMT"
  std::tm tm{};
  strptime(text.c_str(), "%b %d %H:%M:%S %Y GMT", &tm);
  const time_t t = timegm(&tm);
  const uint64_t ticks = (static_cast<uint64_t>(t) + 11644473600ULL) * 10000000ULL;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

class Contexts : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Pki::Get().ok()) << Pki::Get().error; }
};

TEST_F(Contexts, CertInfoMatchesOpenssl) {
  const Pki& pki = Pki::Get();
  for (const test_pki::Cert* cert : {&pki.root, &pki.user_a, &pki.user_xa, &pki.expired, &pki.rsa}) {
    SCOPED_TRACE(cert->pem.string());
    const auto view = test_pki::Run("openssl x509 -in '" + cert->pem.string() +
                                    "' -noout -serial -fingerprint -sha1 -startdate -enddate 2>/dev/null");
    ASSERT_EQ(view.status, 0);
    PCCERT_CONTEXT ctx =
        CertCreateCertificateContext(X509_ASN_ENCODING, cert->der.data(), DWORD(cert->der.size()));
    ASSERT_NE(ctx, nullptr) << std::hex << GetLastError();
    const CERT_INFO* info = ctx->pCertInfo;
    EXPECT_EQ(info->dwVersion, 2u);
    // The serial is least significant byte first; openssl prints it most significant first.
    Bytes serial(info->SerialNumber.pbData, info->SerialNumber.pbData + info->SerialNumber.cbData);
    std::reverse(serial.begin(), serial.end());
    const auto unpadded = [](std::string h) { return h.erase(0, std::min(h.find_first_not_of('0'), h.size() - 1)); };
    EXPECT_EQ(unpadded(test_pki::Hex(serial)), unpadded(Field(view.out, "serial")));
    const FILETIME not_before = ParseOpensslDate(Field(view.out, "notBefore"));
    const FILETIME not_after = ParseOpensslDate(Field(view.out, "notAfter"));
    EXPECT_EQ(CompareFileTime(&info->NotBefore, &not_before), 0);
    EXPECT_EQ(CompareFileTime(&info->NotAfter, &not_after), 0);
    // Thumbprint = SHA-1 of the encoding.
    BYTE hash[20];
    DWORD cb = sizeof hash;
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_HASH_PROP_ID, hash, &cb));
    std::string fingerprint = Field(view.out, "sha1 Fingerprint");
    fingerprint.erase(std::remove(fingerprint.begin(), fingerprint.end(), ':'), fingerprint.end());
    EXPECT_EQ(test_pki::Hex(hash, 20), fingerprint);
    // Names are whole DER Names inside the encoding.
    EXPECT_EQ(info->Subject.pbData[0], 0x30);
    EXPECT_GT(info->Subject.pbData, ctx->pbCertEncoded);
    EXPECT_LE(info->Subject.pbData + info->Subject.cbData, ctx->pbCertEncoded + ctx->cbCertEncoded);
    CertFreeCertificateContext(ctx);
  }
}

}  // namespace
