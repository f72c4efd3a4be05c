// Signed messages at the platform's own interface: damage that is a failed verification and
// not a decoding error, a signer named by key identifier, the streamed detached encoding
// against openssl's reading of it, and encoded lengths. The openssl cross-checks of
// signing and verifying run through the library in the host tests.
#include <gtest/gtest.h>

#include <cstring>

#include "test_msg_util.h"

using namespace msg_test;
using test_pki::Pki;

namespace {

class SignedMessage : public MessageTest {
 protected:
  void SetUp() override {
    MessageTest::SetUp();
    prov_ = std::make_unique<KeyProv>(Pki::Get().user_a, "signer-a");
    ASSERT_NE(prov_->h, 0u);
  }

  // Signs with the platform as the library does: signing time attribute, the signer's
  // certificate in the message, digest requested as 1.2.643.2.2.21.
  Bytes Sign(const Bytes& content, bool detached) {
    Cert cert(Pki::Get().user_a.der);
    if (cert.c == nullptr) return {};
    TestSigner signer(cert.c, prov_->h, "1.2.643.2.2.21", {TestSigner::Now()});
    const DWORD flags = detached ? CMSG_DETACHED_FLAG : 0;
    const DWORD bound =
        CryptMsgCalculateEncodedLength(kEncoding, flags, CMSG_SIGNED, signer.info(), nullptr, DWORD(content.size()));
    Msg m(CryptMsgOpenToEncode(kEncoding, flags, CMSG_SIGNED, signer.info(), nullptr, nullptr));
    if (bound == 0 || m.h == nullptr || !FeedInPieces(m.h, content, {})) return {};
    Bytes out(bound);
    DWORD len = bound;
    EXPECT_TRUE(CryptMsgGetParam(m.h, CMSG_CONTENT_PARAM, 0, out.data(), &len)) << std::hex << GetLastError();
    EXPECT_LE(len, bound) << "the length calculation must never be short";
    out.resize(len);
    return out;
  }

  std::unique_ptr<KeyProv> prov_;
};

// Verifies the signer as a caller does: its certificate from a store over the message, found
// by the signer's certificate info, then the signature control. The last error, 0 when it holds.
DWORD VerifySigner(HCRYPTMSG m) {
  Bytes info;
  if (!GetBytes(m, CMSG_SIGNER_CERT_INFO_PARAM, 0, info)) return GetLastError();
  const auto_store store(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, m));
  const auto_cert cert(
      CertGetSubjectCertificateFromStore(store.get(), kEncoding, reinterpret_cast<CERT_INFO*>(info.data())));
  if (!cert) return GetLastError();
  return CryptMsgControl(m, 0, CMSG_CTRL_VERIFY_SIGNATURE, cert.get()->pCertInfo) ? 0 : GetLastError();
}

TEST_F(SignedMessage, DamageIsAFailedVerificationNotADecodingError) {
  const Bytes content = Pattern(300, 9);
  const Bytes good = Sign(content, false);
  ASSERT_FALSE(good.empty());
  // The content sits right after its OCTET STRING header; the signature is the last
  // OCTET STRING of the message (64 bytes followed by nothing).
  const auto at = std::search(good.begin(), good.end(), content.begin(), content.end());
  ASSERT_NE(at, good.end());
  struct Case {
    const char* name;
    size_t offset;
    DWORD error;
  } cases[] = {
      {"content byte changed", size_t(at - good.begin()) + 10, DWORD(CRYPT_E_HASH_VALUE)},
      {"signature byte changed", good.size() - 5, DWORD(NTE_BAD_SIGNATURE)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bad = good;
    bad[c.offset] ^= 0x01;
    Msg m(DecodeWhole(bad));
    EXPECT_EQ(VerifySigner(m.h), c.error);
  }
  // A signer named by key identifier is found through the certificate's key identifier.
  {
    const auto& user = Pki::Get().user_email;
    const auto in = File("in.bin", content);
    const auto sig = dir_ / "keyid.p7";
    const auto r = OpenSsl("cms -sign -engine gost -binary -nodetach -keyid -md md_gost94 -signer " +
                           Q(user.pem) + " -inkey " + Q(user.key) + " -in " + Q(in) +
                           " -outform DER -out " + Q(sig));
    ASSERT_EQ(r.status, 0) << r.out;
    Msg m(DecodeWhole(test_pki::ReadFile(sig)));
    Bytes info;
    ASSERT_TRUE(GetBytes(m.h, CMSG_SIGNER_CERT_INFO_PARAM, 0, info));
    const auto* ci = reinterpret_cast<const CERT_INFO*>(info.data());
    ASSERT_EQ(ci->SerialNumber.cbData, 1u);
    EXPECT_EQ(ci->SerialNumber.pbData[0], 0);
    Cert signer(user.der), other(Pki::Get().user_a.der);
    EXPECT_TRUE(CryptMsgControl(m.h, 0, CMSG_CTRL_VERIFY_SIGNATURE, signer.c->pCertInfo))
        << std::hex << GetLastError();
    EXPECT_FALSE(CryptMsgControl(m.h, 0, CMSG_CTRL_VERIFY_SIGNATURE, other.c->pCertInfo));
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_SIGNER_NOT_FOUND));
  }
}

// The library streams attached signatures only (openssl checks those in the host tests); a
// detached one streamed through the platform is read by openssl as well.
TEST_F(SignedMessage, StreamedDetachedEncodingVerifiesInOpenssl) {
  Cert cert(Pki::Get().user_a.der);
  const Bytes content = Pattern(20000, 11);
  TestSigner signer(cert.c, prov_->h, "1.2.643.2.2.9");
  Collected out;
  CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, CollectOutput, &out};
  Msg m(CryptMsgOpenToEncode(kEncoding, CMSG_DETACHED_FLAG, CMSG_SIGNED, signer.info(), nullptr, &stream));
  ASSERT_NE(m.h, nullptr);
  ASSERT_TRUE(FeedInPieces(m.h, content, {6000}));
  EXPECT_EQ(out.finals, 1);
  EXPECT_FALSE(CryptMsgUpdate(m.h, content.data(), 1, TRUE));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_MSG_ERROR));
  const auto r = OpenSsl("cms -verify -engine gost -binary -inform DER -in " + Q(File("streamed.p7", out.data)) +
                         " -content " + Q(File("content.bin", content)) + " -CAfile " +
                         Q(Pki::Get().intermediate.pem) + " -partial_chain -purpose any -out " + Q(dir_ / "out.bin"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(test_pki::ReadFile(dir_ / "out.bin"), content);
}

// The length calculation is an upper bound at every length-octet boundary of the content,
// and what was signed decodes back to the same content.
TEST_F(SignedMessage, EncodedLengthIsNeverShort) {
  for (size_t size : {0, 1, 100, 127, 128, 255, 256, 65535, 65536, 70000}) {
    for (bool detached : {false, true}) {
      SCOPED_TRACE(std::to_string(size) + (detached ? " detached" : " attached"));
      const Bytes content = Pattern(size, uint32_t(size) + 1);
      const Bytes message = Sign(content, detached);  // checks the bound
      ASSERT_FALSE(message.empty());
      Msg m(DecodeWhole(message, detached ? CMSG_DETACHED_FLAG : 0));
      if (detached) {
        ASSERT_TRUE(CryptMsgUpdate(m.h, content.data(), DWORD(content.size()), TRUE));
      } else {
        Bytes kept;
        ASSERT_TRUE(GetBytes(m.h, CMSG_CONTENT_PARAM, 0, kept));
        EXPECT_EQ(kept, content);
      }
      Cert cert(Pki::Get().user_a.der);
      EXPECT_TRUE(CryptMsgControl(m.h, 0, CMSG_CTRL_VERIFY_SIGNATURE, cert.c->pCertInfo))
          << std::hex << GetLastError();
    }
  }
}

}  // namespace
