// The signing time of a signer in local time, in process. Messages with chosen signing-time
// attributes are made with the platform's encoder and the test user's key.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <optional>

#include "certs/instance_context.h"
#include "library_fixture.h"
#include "messages/pkcs7/signers.h"
#include "platform/test_msg_util.h"
#include "stores/auto_handle.h"

namespace library_test {
namespace {

using test_pki::Bytes;
using test_pki::Pki;

// Sets TZ for the object's life.
struct ScopedTz {
  explicit ScopedTz(const char* tz) {
    if (const char* now = getenv("TZ")) old = now;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTz() {
    old ? setenv("TZ", old->c_str(), 1) : unsetenv("TZ");
    tzset();
  }
  std::optional<std::string> old;
};

// The moment in UTC as a FILETIME (100 ns ticks since 1601), counted here with timegm.
FILETIME Utc(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900, tm.tm_mon = mo - 1, tm.tm_mday = d, tm.tm_hour = h, tm.tm_min = mi, tm.tm_sec = s;
  const uint64_t ticks = (static_cast<uint64_t>(timegm(&tm)) + 11644473600ull) * 10000000ull;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

class SignTimeTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_TRUE(test_pki::InstallWithKey(Pki::Get().user_a, "signtime-user"));
  }
  // A detached message of user_a whose signing-time attribute carries the given values,
  // opened for decoding.
  auto_msg Signed(const std::vector<Bytes>& times) {
    auto_store my(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "My"));
    auto_cert cert(CertEnumCertificatesInStore(my.get(), nullptr));
    HCRYPTPROV prov = 0;
    DWORD key_spec = 0;
    BOOL free_prov = FALSE;
    EXPECT_TRUE(cert && CryptAcquireCertificatePrivateKey(cert.get(), 0x45, nullptr, &prov, &key_spec, &free_prov));
    auto_prov owned(free_prov ? prov : 0);
    msg_test::TestSigner signer(cert.get(), prov, szOID_CP_GOST_R3411, times);
    auto_msg msg(CryptMsgOpenToEncode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CMSG_DETACHED_FLAG, CMSG_SIGNED,
                                      signer.info(), nullptr, nullptr));
    const BYTE content[] = "content";
    Bytes message;
    EXPECT_TRUE(CryptMsgUpdate(msg.get(), content, sizeof content - 1, TRUE) &&
                msg_test::GetBytes(msg.get(), CMSG_CONTENT_PARAM, 0, message));
    auto_msg decoded(
        CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr));
    EXPECT_TRUE(CryptMsgUpdate(decoded.get(), message.data(), static_cast<DWORD>(message.size()), TRUE));
    return decoded;
  }
};

TEST_F(SignTimeTest, SigningTimeIsReadInLocalTime) {
  IVexorImpl& obj = Object();
  const Bytes late_january = msg_test::TestSigner::Time(Utc(2024, 1, 31, 21, 30, 0));
  const Bytes summer = msg_test::TestSigner::Time(Utc(2023, 7, 1, 12, 0, 5));
  struct Row {
    const char* label;
    const char* tz;
    std::vector<Bytes> values;
    bool found;
    const char* text;
  } rows[] = {
      {"UTC+3 crosses midnight and the month", "<+03>-3", {late_january}, true, "01.02.2024 00:30:00"},
      {"UTC", "UTC0", {late_january}, true, "31.01.2024 21:30:00"},
      {"UTC-5", "<-05>5", {summer}, true, "01.07.2023 07:00:05"},
      {"two values are ignored", "UTC0", {late_january, summer}, false, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    ScopedTz tz(row.tz);
    const auto_msg signed_msg = Signed(row.values);
    HCRYPTMSG msg = signed_msg.get();
    SignTime time;
    EXPECT_EQ(GetSignTime(msg, 0, time, obj), row.found);
    if (row.found) {
      EXPECT_EQ(FormatSignTime(time), row.text);
      // The date value counts local days from 1899-12-30.
      const double expected = row.values[0] == late_january
                                  ? (std::string(row.tz) == "UTC0" ? 45322.0 + 21.5 / 24 : 45323.0 + 0.5 / 24)
                                  : 45108.0 + (7 * 3600 + 5) / 86400.0;
      EXPECT_NEAR(time.date, expected, 0.5 / 86400);
    }
    // No signer at that index.
    EXPECT_FALSE(GetSignTime(msg, 1, time, obj));
  }
  EXPECT_TRUE(cb_.Saw("IVexorImpl::GetSignTime => CryptMsgGetParam вернула FALSE!"));
}

}  // namespace
}  // namespace library_test
