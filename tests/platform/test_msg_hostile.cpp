// Hostile input to the message decoder: garbage and deeply nested messages fail with a last
// error, in whole and streamed decoding alike. Truncations and random bytes are the fuzz
// target's.
#include <gtest/gtest.h>

#include "test_msg_util.h"

using namespace msg_test;
using test_pki::Pki;

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

class HostileMessage : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Pki::Get().ok()) << Pki::Get().error;
    dir_ = home_.path() / "work";
    std::filesystem::create_directories(dir_);
  }
  // A signed message of indefinite length made by openssl.
  Bytes SignedByOpenssl() {
    const auto& u = Pki::Get().user_a;
    const auto in = dir_ / "in.bin", msg = dir_ / "msg.p7";
    test_pki::WriteFile(in, Pattern(700, 5));
    const auto r = OpenSsl("cms -engine gost -sign -nodetach -stream -md md_gost94 -signer " + Q(u.pem) +
                           " -inkey " + Q(u.key) + " -binary -in " + Q(in) + " -outform DER -out " + Q(msg));
    EXPECT_EQ(r.status, 0) << r.out;
    return test_pki::ReadFile(msg);
  }
  test_pki::ScopedHome home_;
  std::filesystem::path dir_;
};

// Decodes in pieces, optionally streamed; the last error when an update failed, else 0.
DWORD Decode(const Bytes& data, bool streamed, size_t piece) {
  Collected sink;
  CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, CollectOutput, &sink};
  Msg m(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, streamed ? &stream : nullptr));
  if (m.h == nullptr) return GetLastError();
  SetLastError(0);
  if (FeedInPieces(m.h, data, {piece})) return 0;
  const DWORD error = GetLastError();
  // The failed message stays usable for queries and refuses further data.
  DWORD n = 0;
  CryptMsgGetParam(m.h, CMSG_SIGNER_COUNT_PARAM, 0, nullptr, &n);
  EXPECT_FALSE(CryptMsgUpdate(m.h, data.data(), 1, TRUE));
  return error == 0 ? DWORD(-1) : error;
}

TEST_F(HostileMessage, MalformedStructuresAreRefused) {
  Bytes deep;
  for (int i = 0; i < 100000; ++i) deep.insert(deep.end(), {0x30, 0x80});
  Bytes deep_octets = {0x30, 0x80, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01,
                       0xA0, 0x80};
  for (int i = 0; i < 5000; ++i) deep_octets.insert(deep_octets.end(), {0x24, 0x80});
  Bytes huge_length = {0x30, 0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  // The signed-data type, then content claiming more than the outer length holds.
  const Bytes child_too_long = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                0xF7, 0x0D, 0x01, 0x07, 0x02, 0xA0, 0x7F, 0x30};
  Bytes unknown_type = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x06,
                        0xA0, 0x00};
  Bytes garbage = Pattern(4000, 99);
  Bytes primitive_indefinite = {0x30, 0x80, 0x06, 0x80};
  struct Case {
    const char* name;
    const Bytes& data;
  } cases[] = {
      {"100000 nested indefinite SEQUENCEs", deep},
      {"5000 nested constructed OCTET STRINGs", deep_octets},
      {"length beyond any message", huge_length},
      {"child longer than its parent", child_too_long},
      {"unsupported content type", unknown_type},
      {"garbage", garbage},
      {"primitive element with indefinite length", primitive_indefinite},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NE(Decode(c.data, false, c.data.size()), 0u);
    EXPECT_NE(Decode(c.data, true, 5), 0u);
  }
}

TEST_F(HostileMessage, RefusingCallbackFailsTheUpdate) {
  const Bytes message = SignedByOpenssl();
  // The callback's own last error is what the update reports; without one, cancelled.
  for (DWORD callback_error : {DWORD(0), DWORD(ERROR_WRITE_FAULT)}) {
    SCOPED_TRACE(callback_error);
    Collected sink;
    sink.refuse = true;
    sink.refuse_error = callback_error;
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, CollectOutput, &sink};
    Msg m(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, &stream));
    EXPECT_FALSE(CryptMsgUpdate(m.h, message.data(), DWORD(message.size()), TRUE));
    EXPECT_EQ(GetLastError(), callback_error != 0 ? callback_error : DWORD(ERROR_CANCELLED));
  }
}

TEST_F(HostileMessage, ForgedHandlesAreRefused) {
  int not_a_message = 0;
  DWORD n = 0;
  EXPECT_FALSE(CryptMsgGetParam(&not_a_message, CMSG_TYPE_PARAM, 0, nullptr, &n));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CryptMsgUpdate(&not_a_message, nullptr, 0, TRUE));
  EXPECT_FALSE(CryptMsgClose(&not_a_message));
  EXPECT_TRUE(CryptMsgClose(nullptr));
  // A duplicate keeps the message alive until both are closed.
  HCRYPTMSG m = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(CryptMsgDuplicate(m), m);
  EXPECT_TRUE(CryptMsgClose(m));
  EXPECT_FALSE(CryptMsgGetParam(m, CMSG_TYPE_PARAM, 0, nullptr, &n));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_STREAM_MSG_NOT_READY));
  EXPECT_TRUE(CryptMsgClose(m));
  EXPECT_FALSE(CryptMsgClose(m));
}

}  // namespace
