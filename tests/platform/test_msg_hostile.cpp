// Hostile hosts of the message decoder: a stream callback that refuses what it is handed and
// handles that are no messages. Malformed structures are the stream parser test's.
#include <gtest/gtest.h>

#include "test_msg_util.h"

using namespace msg_test;
using test_pki::Pki;

namespace {

class HostileMessage : public MessageTest {
 protected:
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
};

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
  // A handle closed once is no message any more.
  HCRYPTMSG m = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
  ASSERT_NE(m, nullptr);
  EXPECT_TRUE(CryptMsgClose(m));
  EXPECT_FALSE(CryptMsgClose(m));
  EXPECT_FALSE(CryptMsgGetParam(m, CMSG_TYPE_PARAM, 0, nullptr, &n));
}

}  // namespace
