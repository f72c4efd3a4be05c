// GOST enveloped messages at the platform's own interface: the kept decode's refusals of
// the wrong key, ciphertext held until the key comes, the streamed encoding and a message to
// recipients of both key generations that openssl opens. Both directions against openssl run
// through the library in the encryption tests and through the tool in its 2012 tests.
#include <gtest/gtest.h>

#include "test_msg_util.h"

using namespace msg_test;
using test_pki::Pki;

namespace {

class EnvelopedMessage : public MessageTest {
 protected:
  // `openssl cms -decrypt` of a message file with the recipient's key: the plaintext.
  Bytes OpensslDecrypt(const std::filesystem::path& message, const test_pki::Cert& recipient) {
    const auto out = dir_ / "plain.out";
    std::filesystem::remove(out);
    const auto r = OpenSsl("cms -decrypt -engine gost -debug_decrypt -binary -inform DER -in " + Q(message) +
                           " -recip " + Q(recipient.pem) + " -inkey " + Q(recipient.key) + " -out " + Q(out));
    EXPECT_EQ(r.status, 0) << r.out;
    return test_pki::ReadFile(out);
  }
};

Bytes EncryptHere(const std::vector<const test_pki::Cert*>& users, const Bytes& content) {
  std::vector<std::unique_ptr<Cert>> holders;
  std::vector<PCCERT_CONTEXT> certs;
  for (const auto* u : users) {
    holders.push_back(std::make_unique<Cert>(u->der));
    certs.push_back(holders.back()->c);
  }
  CRYPT_ENCRYPT_MESSAGE_PARA para{};
  para.cbSize = sizeof(para);
  para.dwMsgEncodingType = kEncoding;
  para.ContentEncryptionAlgorithm.pszObjId = const_cast<char*>(szOID_CP_GOST_28147);
  DWORD size = 0;
  Bytes out;
  for (int pass = 0; pass < 2; ++pass) {  // the size, then the message
    EXPECT_TRUE(CryptEncryptMessage(&para, DWORD(certs.size()), certs.data(), content.data(),
                                    DWORD(content.size()), pass ? out.data() : nullptr, &size))
        << std::hex << GetLastError();
    out.resize(size);
  }
  return out;
}

// The recipients the library looks up in a decoded message are proven by its decryption of
// what openssl writes (encrypt_test); here the refusals before and at decryption.
TEST_F(EnvelopedMessage, KeptDecodeRefusesTheWrongKey) {
  const auto& pki = Pki::Get();
  const Bytes content = Pattern(2048, 8);
  const Bytes message = EncryptHere({&pki.user_a, &pki.user_xa}, content);
  KeyProv a(pki.user_a, "key-a");
  ASSERT_NE(a.h, 0u);
  Msg m(DecodeWhole(message));
  EXPECT_EQ(GetDword(m.h, CMSG_RECIPIENT_COUNT_PARAM), 2u);
  Bytes plain;
  EXPECT_FALSE(GetBytes(m.h, CMSG_CONTENT_PARAM, 0, plain));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NOT_DECRYPTED));
  CMSG_CTRL_DECRYPT_PARA para{sizeof(para), a.h, AT_KEYEXCHANGE, 1};
  EXPECT_FALSE(CryptMsgControl(m.h, 0, CMSG_CTRL_DECRYPT, &para));  // recipient 1 is user_xa
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
  para.dwRecipientIndex = 2;
  EXPECT_FALSE(CryptMsgControl(m.h, 0, CMSG_CTRL_DECRYPT, &para));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_INVALID_INDEX));
  para.dwRecipientIndex = 0;
  ASSERT_TRUE(CryptMsgControl(m.h, 0, CMSG_CTRL_DECRYPT, &para)) << std::hex << GetLastError();
  ASSERT_TRUE(GetBytes(m.h, CMSG_CONTENT_PARAM, 0, plain));
  EXPECT_EQ(plain, content);
}

TEST_F(EnvelopedMessage, CiphertextBeforeTheKeyIsHeldUntilDecryption) {
  // More ciphertext than the decoder keeps in memory arrives before the key is given.
  const auto& pki = Pki::Get();
  const Bytes content = Pattern(size_t(9) << 20, 6);
  const Bytes message = EncryptHere({&pki.user_xa}, content);
  KeyProv xa(pki.user_xa, "key-xa");
  ASSERT_NE(xa.h, 0u);
  Collected out;
  CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, CollectOutput, &out};
  Msg m(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, &stream));
  ASSERT_TRUE(FeedInPieces(m.h, message, {1 << 20})) << std::hex << GetLastError();
  EXPECT_TRUE(out.data.empty());
  CMSG_CTRL_DECRYPT_PARA para{sizeof(para), xa.h, AT_KEYEXCHANGE, 0};
  ASSERT_TRUE(CryptMsgControl(m.h, 0, CMSG_CTRL_DECRYPT, &para)) << std::hex << GetLastError();
  EXPECT_TRUE(out.data == content);
  EXPECT_EQ(out.finals, 1);
}

TEST_F(EnvelopedMessage, StreamedEncodingOpensWithOpenssl) {
  const auto& pki = Pki::Get();
  Cert a(pki.user_a.der), xa(pki.user_xa.der);
  PCERT_INFO recipients[] = {a.c->pCertInfo, xa.c->pCertInfo};
  CMSG_ENVELOPED_ENCODE_INFO info{};
  info.cbSize = sizeof(info);
  info.ContentEncryptionAlgorithm.pszObjId = const_cast<char*>(szOID_CP_GOST_28147);
  info.cRecipients = 2;
  info.rgpRecipients = recipients;
  const Bytes content = Pattern(50000, 2);
  Collected out;
  CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, CollectOutput, &out};
  Msg m(CryptMsgOpenToEncode(kEncoding, 0, CMSG_ENVELOPED, &info, nullptr, &stream));
  ASSERT_NE(m.h, nullptr) << std::hex << GetLastError();
  ASSERT_TRUE(FeedInPieces(m.h, content, {1023, 1, 5000}));
  EXPECT_EQ(out.finals, 1);
  EXPECT_EQ(OpensslDecrypt(File("streamed.p7", out.data), pki.user_xa), content);
}

// One message of ours for a 2001 and two 2012 recipients (256 and 512 bits, made with openssl)
// opens in openssl with each of the three keys: every recipient gets the key wrap of its own
// key's generation. The 2012 recipients alone, both directions with every cipher openssl
// writes, are the tool's 2012 encryption test.
TEST_F(EnvelopedMessage, MixedGenerationsOpenInOpensslWithEachKey) {
  const auto& pki = Pki::Get();
  test_pki::Cert u256, u512;
  for (auto [bits, cert] : {std::pair{"256", &u256}, std::pair{"512", &u512}}) {
    const std::string name = std::string("u2012-") + bits;
    cert->pem = dir_ / (name + ".pem");
    cert->key = dir_ / (name + ".key");
    const auto r = OpenSsl(std::string("req -x509 -engine gost -newkey gost2012_") + bits +
                           " -pkeyopt paramset:A -nodes -days 30 -subj /CN=" + name + " -keyout " +
                           Q(cert->key) + " -out " + Q(cert->pem));
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_EQ(OpenSsl("x509 -in " + Q(cert->pem) + " -outform DER -out " + Q(dir_ / name)).status, 0);
    cert->der = test_pki::ReadFile(dir_ / name);
  }
  const Bytes content = Pattern(70001, 12);
  const auto ours = File("ours.p7m", EncryptHere({&pki.user_a, &u256, &u512}, content));
  for (const test_pki::Cert* user : std::vector<const test_pki::Cert*>{&pki.user_a, &u256, &u512}) {
    SCOPED_TRACE(user->pem.string());
    EXPECT_TRUE(OpensslDecrypt(ours, *user) == content);
  }
}

}  // namespace
