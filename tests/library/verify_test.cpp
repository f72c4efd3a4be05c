// The signing time of a signer in local time, in process. Messages with chosen signing-time
// attributes are made with the platform's encoder and the test user's key.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>


#include "certs/instance_context.h"
#include "library_fixture.h"
#include "messages/pkcs7/signers.h"
#include "platform/test_msg_util.h"

namespace library_test {
namespace {

using test_pki::Bytes;
using test_pki::Pki;

// Sets TZ for the object's life.
class ScopedTz {
 public:
  explicit ScopedTz(const char* tz) {
    if (const char* old = getenv("TZ")) old_ = old, had_ = true;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTz() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::string old_;
  bool had_ = false;
};

FILETIME Utc(int y, int mo, int d, int h, int mi, int s) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(y);
  st.wMonth = static_cast<WORD>(mo);
  st.wDay = static_cast<WORD>(d);
  st.wHour = static_cast<WORD>(h);
  st.wMinute = static_cast<WORD>(mi);
  st.wSecond = static_cast<WORD>(s);
  FILETIME ft{};
  EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
  return ft;
}

class SignTimeTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_TRUE(test_pki::InstallWithKey(Pki::Get().user_a, "signtime-user"));
  }
  // A detached message of user_a whose signing-time attribute carries the given values.
  Bytes Sign(const std::vector<Bytes>& times) {
    HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "My");
    PCCERT_CONTEXT cert = CertEnumCertificatesInStore(my, nullptr);
    EXPECT_NE(cert, nullptr);
    HCRYPTPROV prov = 0;
    DWORD key_spec = 0;
    BOOL free_prov = FALSE;
    EXPECT_TRUE(CryptAcquireCertificatePrivateKey(cert, 0x45, nullptr, &prov, &key_spec, &free_prov));
    msg_test::TestSigner signer(cert, prov, szOID_CP_GOST_R3411, times);
    CMSG_SIGNED_ENCODE_INFO& info = *signer.info();
    HCRYPTMSG msg = CryptMsgOpenToEncode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CMSG_DETACHED_FLAG, CMSG_SIGNED,
                                         &info, nullptr, nullptr);
    EXPECT_NE(msg, nullptr);
    const BYTE content[] = "content";
    EXPECT_TRUE(CryptMsgUpdate(msg, content, sizeof content - 1, TRUE));
    DWORD len = 0;
    EXPECT_TRUE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, nullptr, &len));
    Bytes out(len);
    EXPECT_TRUE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, out.data(), &len));
    out.resize(len);
    CryptMsgClose(msg);
    if (free_prov) CryptReleaseContext(prov, 0);
    CertFreeCertificateContext(cert);
    CertCloseStore(my, 0);
    return out;
  }
  HCRYPTMSG Decode(const Bytes& message) {
    HCRYPTMSG msg =
        CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr);
    EXPECT_TRUE(CryptMsgUpdate(msg, message.data(), static_cast<DWORD>(message.size()), TRUE));
    return msg;
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
    HCRYPTMSG msg = Decode(Sign(row.values));
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
    CryptMsgClose(msg);
  }
  EXPECT_TRUE(cb_.Saw("IVexorImpl::GetSignTime => CryptMsgGetParam вернула FALSE!"));
}

}  // namespace
}  // namespace library_test
