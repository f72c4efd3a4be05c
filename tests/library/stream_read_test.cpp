// A host stream whose read fails part of the way through: the call fails, it never signs
// what came before the failure as the whole input.
#include <sstream>

#include "library_fixture.h"
#include "messages/stream_io.h"

namespace library_test {
namespace {

using test_pki::Pki;

class StreamRead : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    WriteIni("SkipCheckCertValid=1\n");
    ASSERT_TRUE(test_pki::InstallWithKey(Pki::Get().user_a, "stream-read-a"));
    ASSERT_TRUE(test_pki::InstallWithKey(Pki::Get().user_email, "stream-read-mail"));
  }
};

// A PKCS#7 signature and a "141" encryption of a stream whose read fails at `fail_at` (or
// never): a failure must fail the call. The failure right after a whole block of the library's
// reading is met only by its look ahead for the end.
TEST_F(StreamRead, AFailedReadFailsTheCall) {
  Object();
  const uint64_t block = kFeedBlockLimit + 1;  // what the library reads at a time
  const uint64_t size = block + 1000;
  const CertPartyList recipients = {ThumbprintParty(Pki::Get().user_email), ThumbprintParty(Pki::Get().user_a, true)};
  struct Case {
    const char* call;
    uint64_t fail_at;
  };
  for (const Case c : {Case{"sign", 5000}, Case{"sign", block}, Case{"sign", block + 500}, Case{"sign", size}, Case{"encrypt 141", 5000},
                       Case{"encrypt 141", size}}) {
    SCOPED_TRACE(std::string(c.call) + " failing at " + std::to_string(c.fail_at));
    BlankBuf buffer(size, UINT64_MAX, c.fail_at);
    std::istream in(&buffer);
    std::ostringstream out;
    const int32_t rc = Code([&] {
      return std::string(c.call) == "sign"
                 ? obj_->sign_stream_d(ThumbprintParty(Pki::Get().user_a), in, out, VEXOR_FORMAT_PKCS7)
                 : obj_->encrypt_stream(in, out, recipients, VEXOR_FORMAT_141);
    });
    EXPECT_EQ(rc, c.fail_at == size ? 0 : 22);
  }
}

}  // namespace
}  // namespace library_test
