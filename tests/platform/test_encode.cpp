// Encodings: signing time, and the CRL distribution points, policies and key usage the library
// reads, each proven against what openssl wrote into the test certificates.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "test_pki.h"
#include "vexor/platform.h"

namespace {

using test_pki::Bytes;
using test_pki::Pki;

Bytes Encode(LPCSTR type, const void* info) {
  DWORD cb = 0;
  if (!CryptEncodeObject(X509_ASN_ENCODING, type, info, nullptr, &cb)) return {};
  Bytes out(cb);
  EXPECT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, type, info, out.data(), &cb));
  out.resize(cb);
  return out;
}

std::vector<BYTE> Decode(LPCSTR type, const BYTE* p, DWORD n) {
  DWORD cb = 0;
  if (!CryptDecodeObject(0x10001, type, p, n, 0, nullptr, &cb)) return {};
  std::vector<BYTE> out(cb);
  EXPECT_TRUE(CryptDecodeObject(0x10001, type, p, n, 0, out.data(), &cb));
  return out;
}

FILETIME Time(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
  SYSTEMTIME st{y, mo, 0, d, h, mi, s, 0};
  FILETIME ft{};
  EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
  return ft;
}

const CERT_EXTENSION* Extension(PCCERT_CONTEXT c, const char* oid) {
  return CertFindExtension(oid, c->pCertInfo->cExtension, c->pCertInfo->rgExtension);
}

TEST(Encode, SigningTimeIsUtcTime) {
  struct Case {
    FILETIME time;
    const char* text;
  };
  const Case cases[] = {{Time(2024, 2, 29, 23, 59, 58), "240229235958Z"},
                        {Time(1950, 1, 1, 0, 0, 0), "500101000000Z"},
                        {Time(2049, 12, 31, 12, 0, 1), "491231120001Z"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Bytes expected = {0x17, 0x0D};
    expected.insert(expected.end(), c.text, c.text + 13);
    EXPECT_EQ(Encode(szOID_RSA_signingTime, &c.time), expected);
    const auto decoded = Decode(szOID_RSA_signingTime, expected.data(), DWORD(expected.size()));
    ASSERT_EQ(decoded.size(), sizeof(FILETIME));
    EXPECT_EQ(CompareFileTime(reinterpret_cast<const FILETIME*>(decoded.data()), &c.time), 0);
  }
  // Outside 1950-2049 a UTCTime cannot say the year.
  const FILETIME far = Time(2050, 1, 1, 0, 0, 0);
  DWORD cb = 0;
  EXPECT_FALSE(CryptEncodeObject(X509_ASN_ENCODING, szOID_RSA_signingTime, &far, nullptr, &cb));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_BAD_ENCODE));
  // A GeneralizedTime is accepted on decode.
  const char* gt = "20500101000000Z";
  Bytes general = {0x18, 0x0F};
  general.insert(general.end(), gt, gt + 15);
  const auto decoded = Decode(szOID_RSA_signingTime, general.data(), DWORD(general.size()));
  ASSERT_EQ(decoded.size(), sizeof(FILETIME));
  EXPECT_EQ(CompareFileTime(reinterpret_cast<const FILETIME*>(decoded.data()), &far), 0);
  // Broken input: wrong tag, truncation, bad digits.
  for (const Bytes& bad : {Bytes{0x04, 0x01, 0x00}, Bytes{0x17, 0x0D, '2', '4'}, Bytes{0x17, 0x03, 'a', 'b', 'c'}}) {
    DWORD n = 0;
    EXPECT_FALSE(CryptDecodeObject(0x10001, szOID_RSA_signingTime, bad.data(), DWORD(bad.size()), 0, nullptr, &n));
  }
}

TEST(Encode, DistributionPointsPoliciesAndUsageMatchOpenssl) {
  ASSERT_TRUE(Pki::Get().ok()) << Pki::Get().error;
  const Bytes& der = Pki::Get().user_a.der;
  PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size()));
  ASSERT_NE(cert, nullptr);

  // CRL distribution points: one full name with one URL, as wide text.
  const CERT_EXTENSION* cdp = Extension(cert, szOID_CRL_DIST_POINTS);
  ASSERT_NE(cdp, nullptr);
  auto buf = Decode(szOID_CRL_DIST_POINTS, cdp->Value.pbData, cdp->Value.cbData);
  ASSERT_FALSE(buf.empty());
  const auto* points = reinterpret_cast<const CRL_DIST_POINTS_INFO*>(buf.data());
  ASSERT_EQ(points->cDistPoint, 1u);
  const CRL_DIST_POINT& p = points->rgDistPoint[0];
  ASSERT_EQ(p.DistPointName.dwDistPointNameChoice, DWORD(CRL_DIST_POINT_FULL_NAME));
  ASSERT_EQ(p.DistPointName.FullName.cAltEntry, 1u);
  EXPECT_EQ(p.DistPointName.FullName.rgAltEntry[0].dwAltNameChoice, DWORD(CERT_ALT_NAME_URL));
  EXPECT_EQ(std::u16string(p.DistPointName.FullName.rgAltEntry[0].pwszURL), u"http://crl.example.test/intermediate.crl");
  EXPECT_EQ(p.ReasonFlags.cbData, 0u);
  EXPECT_EQ(p.CRLIssuer.cAltEntry, 0u);
  // Encoding the decoded structure gives back openssl's bytes.
  EXPECT_EQ(Encode(X509_CRL_DIST_POINTS, points), Bytes(cdp->Value.pbData, cdp->Value.pbData + cdp->Value.cbData));

  // Certificate policies.
  const CERT_EXTENSION* pol = Extension(cert, szOID_CERT_POLICIES);
  ASSERT_NE(pol, nullptr);
  buf = Decode(szOID_CERT_POLICIES, pol->Value.pbData, pol->Value.cbData);
  const auto* policies = reinterpret_cast<const CERT_POLICIES_INFO*>(buf.data());
  ASSERT_EQ(policies->cPolicyInfo, 1u);
  EXPECT_STREQ(policies->rgPolicyInfo[0].pszPolicyIdentifier, "1.2.643.100.113.1");
  EXPECT_EQ(Encode(X509_CERT_POLICIES, policies), Bytes(pol->Value.pbData, pol->Value.pbData + pol->Value.cbData));

  // Enhanced key usage from the extension.
  DWORD cb = 0;
  ASSERT_TRUE(CertGetEnhancedKeyUsage(cert, 0, nullptr, &cb));
  std::vector<BYTE> usage_buf(cb);
  auto* usage = reinterpret_cast<PCERT_ENHKEY_USAGE>(usage_buf.data());
  ASSERT_TRUE(CertGetEnhancedKeyUsage(cert, 0, usage, &cb));
  ASSERT_EQ(usage->cUsageIdentifier, 2u);
  EXPECT_STREQ(usage->rgpszUsageIdentifier[0], "1.3.6.1.5.5.7.3.2");
  EXPECT_STREQ(usage->rgpszUsageIdentifier[1], "1.3.6.1.5.5.7.3.4");
  CertFreeCertificateContext(cert);

  // No usage anywhere: valid for every use (empty list, CRYPT_E_NOT_FOUND).
  const Bytes& root_der = Pki::Get().root.der;
  PCCERT_CONTEXT root = CertCreateCertificateContext(X509_ASN_ENCODING, root_der.data(), DWORD(root_der.size()));
  cb = DWORD(usage_buf.size());
  ASSERT_TRUE(CertGetEnhancedKeyUsage(root, 0, usage, &cb));
  EXPECT_EQ(usage->cUsageIdentifier, 0u);
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NOT_FOUND));
  CertFreeCertificateContext(root);
}

}  // namespace
