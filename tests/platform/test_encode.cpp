// The signing time attribute, UTCTime both ways with its year window. The extensions the
// library decodes from certificates openssl made are proven end to end: distribution points
// by the list downloads (crl_update_test), policies and key usages by the signer descriptions
// (host_verify_test) and the certificate listing (import_test).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "test_pki.h"
#include "vexor/platform.h"

namespace {

using test_pki::Bytes;

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

}  // namespace
