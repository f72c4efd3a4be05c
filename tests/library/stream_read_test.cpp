// A host stream whose read fails part of the way through: the call fails, it never signs
// what came before the failure as the whole input.
#include <algorithm>
#include <ios>
#include <sstream>

#include "library_fixture.h"
#include "messages/stream_io.h"

namespace library_test {
namespace {

using test_pki::Pki;

// Claims `size` blank bytes and can seek anywhere in them; a read reaching `fail_at` throws,
// as a buffer over a file whose read(2) failed does.
class FailingBuf : public std::streambuf {
 public:
  FailingBuf(uint64_t size, uint64_t fail_at) : size_(size), fail_at_(fail_at) {
    std::fill(std::begin(chunk_), std::end(chunk_), ' ');
  }

 protected:
  int_type underflow() override {
    if (pos_ >= size_) return traits_type::eof();
    if (pos_ >= fail_at_) throw std::ios_base::failure("Input/output error");
    const size_t n = static_cast<size_t>(std::min<uint64_t>({sizeof chunk_, size_ - pos_, fail_at_ - pos_}));
    setg(chunk_, chunk_, chunk_ + n);
    pos_ += n;
    return traits_type::to_int_type(chunk_[0]);
  }
  pos_type seekoff(off_type off, std::ios::seekdir dir, std::ios::openmode) override {
    const uint64_t here = pos_ - static_cast<uint64_t>(egptr() - gptr());
    const uint64_t target = (dir == std::ios::beg ? 0 : dir == std::ios::cur ? here : size_) + static_cast<uint64_t>(off);
    if (target > size_) return pos_type(off_type(-1));
    pos_ = target;
    setg(nullptr, nullptr, nullptr);
    return pos_type(static_cast<off_type>(target));
  }
  pos_type seekpos(pos_type pos, std::ios::openmode which) override { return seekoff(off_type(pos), std::ios::beg, which); }

 private:
  uint64_t size_, fail_at_, pos_ = 0;
  char chunk_[64 * 1024];
};

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
  for (const Case c : {Case{"sign", 5000}, Case{"sign", block}, Case{"sign", size}, Case{"encrypt 141", 5000},
                       Case{"encrypt 141", size}}) {
    SCOPED_TRACE(std::string(c.call) + " failing at " + std::to_string(c.fail_at));
    FailingBuf buffer(size, c.fail_at);
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
