// Certificate and CRL contexts against openssl's view of the same objects, hostile
// encodings, reference counting and properties.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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
    std::string hex = test_pki::Hex(serial);
    hex.erase(0, std::min(hex.find_first_not_of('0'), hex.size() - 1));
    std::string expected_serial = Field(view.out, "serial");
    expected_serial.erase(0, std::min(expected_serial.find_first_not_of('0'), expected_serial.size() - 1));
    EXPECT_EQ(hex, expected_serial);
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

TEST_F(Contexts, GostPublicKeyAndExtensionsHaveWindowsShapes) {
  const Bytes& der = Pki::Get().user_a.der;
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size()));
  ASSERT_NE(ctx, nullptr);
  const CERT_PUBLIC_KEY_INFO& spki = ctx->pCertInfo->SubjectPublicKeyInfo;
  EXPECT_STREQ(spki.Algorithm.pszObjId, "1.2.643.2.2.19");
  EXPECT_STREQ(ctx->pCertInfo->SignatureAlgorithm.pszObjId, "1.2.643.2.2.3");
  // The BIT STRING holds the DER OCTET STRING of the 64-byte key.
  ASSERT_EQ(spki.PublicKey.cbData, 66u);
  EXPECT_EQ(spki.PublicKey.pbData[0], 0x04);
  EXPECT_EQ(spki.PublicKey.pbData[1], 0x40);
  EXPECT_EQ(spki.PublicKey.cUnusedBits, 0u);
  EXPECT_EQ(spki.Algorithm.Parameters.pbData[0], 0x30);
  PCERT_EXTENSION cdp = CertFindExtension(szOID_CRL_DIST_POINTS, ctx->pCertInfo->cExtension,
                                          ctx->pCertInfo->rgExtension);
  ASSERT_NE(cdp, nullptr);
  EXPECT_FALSE(cdp->fCritical);
  EXPECT_EQ(cdp->Value.pbData[0], 0x30);  // the structure itself, not its OCTET STRING
  CertFreeCertificateContext(ctx);

  const Bytes& ca = Pki::Get().intermediate.der;
  ctx = CertCreateCertificateContext(X509_ASN_ENCODING, ca.data(), DWORD(ca.size()));
  ASSERT_NE(ctx, nullptr);
  PCERT_EXTENSION bc = CertFindExtension("2.5.29.19", ctx->pCertInfo->cExtension, ctx->pCertInfo->rgExtension);
  ASSERT_NE(bc, nullptr);
  EXPECT_TRUE(bc->fCritical);
  CertFreeCertificateContext(ctx);
}

TEST_F(Contexts, CrlInfoListsTheRevokedSerial) {
  const Pki& pki = Pki::Get();
  PCCRL_CONTEXT crl = CertCreateCRLContext(X509_ASN_ENCODING, pki.crl.data(), DWORD(pki.crl.size()));
  ASSERT_NE(crl, nullptr) << std::hex << GetLastError();
  EXPECT_EQ(crl->pCrlInfo->dwVersion, 1u);
  ASSERT_EQ(crl->pCrlInfo->cCRLEntry, 1u);
  EXPECT_NE(crl->pCrlInfo->NextUpdate.dwHighDateTime, 0u);
  EXPECT_EQ(crl->pCrlInfo->rgCRLEntry[0].cExtension, 1u);  // the reason code
  PCCERT_CONTEXT ica =
      CertCreateCertificateContext(X509_ASN_ENCODING, pki.intermediate.der.data(), DWORD(pki.intermediate.der.size()));
  EXPECT_TRUE(CertCompareCertificateName(X509_ASN_ENCODING, &crl->pCrlInfo->Issuer, &ica->pCertInfo->Subject));
  for (const test_pki::Cert* c : {&pki.revoked, &pki.user_a}) {
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, c->der.data(), DWORD(c->der.size()));
    PCRL_ENTRY entry = reinterpret_cast<PCRL_ENTRY>(1);
    ASSERT_TRUE(CertFindCertificateInCRL(cert, crl, 0, nullptr, &entry));
    if (c == &pki.revoked)
      EXPECT_EQ(entry, &crl->pCrlInfo->rgCRLEntry[0]);
    else
      EXPECT_EQ(entry, nullptr);
    CertFreeCertificateContext(cert);
  }
  // Time validity: -1 before ThisUpdate, 0 inside, +1 after NextUpdate.
  FILETIME before = crl->pCrlInfo->ThisUpdate, after = crl->pCrlInfo->NextUpdate;
  before.dwHighDateTime -= 1;
  after.dwHighDateTime += 1;
  EXPECT_EQ(CertVerifyCRLTimeValidity(&before, crl->pCrlInfo), -1);
  EXPECT_EQ(CertVerifyCRLTimeValidity(nullptr, crl->pCrlInfo), 0);
  EXPECT_EQ(CertVerifyCRLTimeValidity(&after, crl->pCrlInfo), 1);
  CertFreeCertificateContext(ica);
  EXPECT_EQ(CertDuplicateCRLContext(crl), crl);
  CertFreeCRLContext(crl);
  CertFreeCRLContext(crl);
}

TEST_F(Contexts, KeyProvInfoRoundTripsThroughFlatOutput) {
  const Bytes& der = Pki::Get().user_a.der;
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size()));
  ASSERT_NE(ctx, nullptr);
  DWORD cb = 0;
  EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NOT_FOUND));
  std::u16string container = u"контейнер-1", provider = u"Vexor GOST";
  BYTE param_data[3] = {1, 2, 3};
  CRYPT_KEY_PROV_PARAM param{7, param_data, 3, 0};
  CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), 75, 0x40, 1, &param, AT_KEYEXCHANGE};
  ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb));
  std::vector<BYTE> buf(cb);
  DWORD small = cb - 1;
  EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &small));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(small, cb);
  ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &cb));
  const auto* got = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
  EXPECT_EQ(std::u16string(got->pwszContainerName), container);
  EXPECT_EQ(std::u16string(got->pwszProvName), provider);
  EXPECT_EQ(got->dwProvType, 75u);
  EXPECT_EQ(got->dwFlags, 0x40u);
  EXPECT_EQ(got->dwKeySpec, DWORD(AT_KEYEXCHANGE));
  ASSERT_EQ(got->cProvParam, 1u);
  EXPECT_EQ(got->rgProvParam[0].dwParam, 7u);
  EXPECT_EQ(Bytes(got->rgProvParam[0].pbData, got->rgProvParam[0].pbData + 3), Bytes({1, 2, 3}));
  // Every pointer lies inside the one buffer.
  for (const void* p : {static_cast<const void*>(got->pwszContainerName), static_cast<const void*>(got->pwszProvName),
                        static_cast<const void*>(got->rgProvParam[0].pbData)}) {
    EXPECT_GE(static_cast<const BYTE*>(p), buf.data());
    EXPECT_LT(static_cast<const BYTE*>(p), buf.data() + buf.size());
  }
  ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr));
  EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb));
  CertFreeCertificateContext(ctx);
}

}  // namespace
