// Host streams: one whose read fails part of the way through fails the call (it never signs
// what came before the failure as the whole input), and the library uses the host's streams
// only on the thread that called it.
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

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
  for (const Case c : {Case{"sign", 5000}, Case{"sign", block}, Case{"sign", block + 500}, Case{"sign", size},
                       Case{"encrypt 141", 5000}, Case{"encrypt 141", size}}) {
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

// A stream buffer over a string that notes the thread of every call made on it.
class ThreadNotingBuf : public std::stringbuf {
 public:
  using std::stringbuf::stringbuf;
  std::set<std::thread::id> Threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }

 protected:
  int_type underflow() override { return Note(), std::stringbuf::underflow(); }
  std::streamsize xsgetn(char* s, std::streamsize n) override { return Note(), std::stringbuf::xsgetn(s, n); }
  int_type overflow(int_type c) override { return Note(), std::stringbuf::overflow(c); }
  std::streamsize xsputn(const char* s, std::streamsize n) override { return Note(), std::stringbuf::xsputn(s, n); }
  pos_type seekoff(off_type off, std::ios::seekdir dir, std::ios::openmode which) override {
    return Note(), std::stringbuf::seekoff(off, dir, which);
  }
  pos_type seekpos(pos_type pos, std::ios::openmode which) override { return Note(), std::stringbuf::seekpos(pos, which); }

 private:
  void Note() {
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.insert(std::this_thread::get_id());
  }
  std::mutex mutex_;
  std::set<std::thread::id> threads_;
};

// Large inputs are worked on by more than one thread, but a host's stream may hold state of
// the thread that called (an interpreter's lock, say): attached signing, verification with
// the content written out, and decryption of three blocks each touch the host's streams on
// the calling thread alone, and the content comes back whole.
TEST_F(StreamRead, HostStreamsAreUsedOnTheCallingThreadOnly) {
  Object();
  std::string data(2 * (kFeedBlockLimit + 1) + 7, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131) >> 7);
  const std::set<std::thread::id> caller = {std::this_thread::get_id()};
  const auto run = [&](const std::string& input, auto&& call) {
    ThreadNotingBuf in_buf(input, std::ios::in), out_buf(std::ios::out);
    std::istream in(&in_buf);
    std::ostream out(&out_buf);
    EXPECT_EQ(Code([&] { return call(in, out); }), 0);
    EXPECT_EQ(in_buf.Threads(), caller);
    EXPECT_EQ(out_buf.Threads(), caller);
    return out_buf.str();
  };
  const std::string signed_data = run(data, [&](std::istream& in, std::ostream& out) {
    return obj_->sign_stream_a(ThumbprintParty(Pki::Get().user_a), in, out, VEXOR_FORMAT_PKCS7);
  });
  const std::string content = run(signed_data, [&](std::istream& in, std::ostream& out) {
    SignerCheckList signers;
    return obj_->check_stream_a(in, signers, out, 0, VEXOR_FORMAT_PKCS7);
  });
  EXPECT_TRUE(content == data);
  const CertPartyList recipients = {ThumbprintParty(Pki::Get().user_email), ThumbprintParty(Pki::Get().user_a, true)};
  const std::string message = run(data, [&](std::istream& in, std::ostream& out) {
    return obj_->encrypt_stream(in, out, recipients, VEXOR_FORMAT_PKCS7);
  });
  const std::string plain = run(message, [&](std::istream& in, std::ostream& out) {
    return obj_->decrypt_stream(in, out, VEXOR_FORMAT_PKCS7);
  });
  EXPECT_TRUE(plain == data);
}

}  // namespace
}  // namespace library_test
