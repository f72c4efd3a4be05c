// GOST enveloped messages at the platform's own interface: the kept decode's recipients and
// the wrong key, ciphertext held until the key comes, and the streamed encoding openssl opens.
// Both directions against openssl run through the library in the encryption tests; for
// GOST R 34.10-2012 recipients (with the 2015 ciphers openssl writes) they run here.
#include <gtest/gtest.h>

#include <cstring>

#include <openssl/pem.h>

#include "platform/provider/gost_engine.h"
#include "platform/provider/key_container.h"
#include "test_msg_util.h"

using namespace msg_test;
using test_pki::Pki;

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

class EnvelopedMessage : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Pki::Get().ok()) << Pki::Get().error;
    dir_ = home_.path() / "work";
    std::filesystem::create_directories(dir_);
  }
  std::filesystem::path File(const std::string& name, const Bytes& data) {
    const auto p = dir_ / name;
    test_pki::WriteFile(p, data);
    return p;
  }
  test_pki::ScopedHome home_;
  std::filesystem::path dir_;
};

CRYPT_ENCRYPT_MESSAGE_PARA GostPara() {
  CRYPT_ENCRYPT_MESSAGE_PARA para{};
  para.cbSize = sizeof(para);
  para.dwMsgEncodingType = kEncoding;
  para.ContentEncryptionAlgorithm.pszObjId = const_cast<char*>(szOID_CP_GOST_28147);
  return para;
}

Bytes EncryptHere(const std::vector<const test_pki::Cert*>& users, const Bytes& content) {
  std::vector<std::unique_ptr<Cert>> holders;
  std::vector<PCCERT_CONTEXT> certs;
  for (const auto* u : users) {
    holders.push_back(std::make_unique<Cert>(u->der));
    certs.push_back(holders.back()->c);
  }
  CRYPT_ENCRYPT_MESSAGE_PARA para = GostPara();
  DWORD size = 0;
  EXPECT_TRUE(CryptEncryptMessage(&para, DWORD(certs.size()), certs.data(), content.data(),
                                  DWORD(content.size()), nullptr, &size))
      << std::hex << GetLastError();
  Bytes out(size);
  EXPECT_TRUE(CryptEncryptMessage(&para, DWORD(certs.size()), certs.data(), content.data(),
                                  DWORD(content.size()), out.data(), &size))
      << std::hex << GetLastError();
  out.resize(size);
  return out;
}

struct Decrypted {
  bool ok = false;
  DWORD error = 0;
  Collected out;
};

// Decrypts as the library does: streamed, the envelope algorithm polled after each update
// until the header is in, the recipient found among the recipient infos by serial number and
// the key given as soon as it is known.
Decrypted DecryptHere(const Bytes& message, HCRYPTPROV prov, const Bytes& recipient_der,
                      const std::vector<size_t>& pieces) {
  Decrypted d;
  CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, CollectOutput, &d.out};
  Msg m(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, &stream));
  Cert recipient(recipient_der);
  if (m.h == nullptr || recipient.c == nullptr) return d;
  bool decrypted = false;
  CMSG_CTRL_DECRYPT_PARA para{sizeof(para), prov, AT_KEYEXCHANGE, 0xFFFFFFFF};
  for (size_t pos = 0, k = 0; pos < message.size();) {
    const size_t n = std::min(pieces[k++ % pieces.size()], message.size() - pos);
    if (!CryptMsgUpdate(m.h, message.data() + pos, DWORD(n), pos + n == message.size())) {
      d.error = GetLastError();
      return d;
    }
    pos += n;
    DWORD size = 0;
    if (decrypted || !CryptMsgGetParam(m.h, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, nullptr, &size)) {
      if (!decrypted && GetLastError() != DWORD(CRYPT_E_STREAM_MSG_NOT_READY)) {
        d.error = GetLastError();
        return d;
      }
      continue;
    }
    const DWORD count = GetDword(m.h, CMSG_RECIPIENT_COUNT_PARAM);
    for (DWORD i = 0; i < count; ++i) {
      Bytes info;
      if (!GetBytes(m.h, CMSG_RECIPIENT_INFO_PARAM, i, info)) continue;
      auto* ci = reinterpret_cast<CERT_INFO*>(info.data());
      if (CertCompareIntegerBlob(&ci->SerialNumber, &recipient.c->pCertInfo->SerialNumber) &&
          CertCompareCertificateName(X509_ASN_ENCODING, &ci->Issuer, &recipient.c->pCertInfo->Issuer))
        para.dwRecipientIndex = i;
    }
    if (!CryptMsgControl(m.h, 0, CMSG_CTRL_DECRYPT, &para)) {
      d.error = GetLastError();
      return d;
    }
    decrypted = true;
  }
  d.ok = decrypted;
  return d;
}

TEST_F(EnvelopedMessage, KeptDecodeReportsRecipientsAndRefusesTheWrongKey) {
  const auto& pki = Pki::Get();
  const Bytes content = Pattern(2048, 8);
  const Bytes message = EncryptHere({&pki.user_a, &pki.user_xa}, content);
  KeyProv a(pki.user_a, "key-a");
  ASSERT_NE(a.h, 0u);
  Msg m(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
  ASSERT_TRUE(CryptMsgUpdate(m.h, message.data(), DWORD(message.size()), TRUE));
  EXPECT_EQ(GetDword(m.h, CMSG_TYPE_PARAM), DWORD(CMSG_ENVELOPED));
  EXPECT_EQ(GetDword(m.h, CMSG_RECIPIENT_COUNT_PARAM), 2u);
  Bytes alg;
  ASSERT_TRUE(GetBytes(m.h, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, alg));
  const auto* id = reinterpret_cast<const CRYPT_ALGORITHM_IDENTIFIER*>(alg.data());
  EXPECT_STREQ(id->pszObjId, szOID_CP_GOST_28147);

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
  EXPECT_EQ(GetDword(m.h, CMSG_RECIPIENT_INDEX_PARAM), 0u);
  EXPECT_FALSE(CryptMsgControl(m.h, 0, CMSG_CTRL_DECRYPT, &para));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_ALREADY_DECRYPTED));
  Bytes info;
  ASSERT_TRUE(GetBytes(m.h, CMSG_RECIPIENT_INFO_PARAM, 1, info));
  Cert xa(pki.user_xa.der);
  EXPECT_TRUE(CertCompareIntegerBlob(&reinterpret_cast<CERT_INFO*>(info.data())->SerialNumber,
                                     &xa.c->pCertInfo->SerialNumber));
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
  const auto in = File("streamed.p7", out.data);
  const auto plain = dir_ / "plain.bin";
  const auto r = OpenSsl("cms -decrypt -engine gost -debug_decrypt -binary -inform DER -in " + Q(in) +
                         " -recip " + Q(pki.user_xa.pem) + " -inkey " + Q(pki.user_xa.key) +
                         " -out " + Q(plain));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(test_pki::ReadFile(plain), content);
}

// GOST R 34.10-2012 users (256 and 512 bits) made with openssl, their keys in containers.
struct Users2012 {
  test_pki::Cert u256, u512;
  std::string error;
  static const Users2012& Get() {
    static const Users2012 users;
    return users;
  }

 private:
  Users2012() {
    const auto& pki = Pki::Get();
    for (auto [bits, cert] : {std::pair{256, &u256}, std::pair{512, &u512}}) {
      const std::string name = "u2012-" + std::to_string(bits);
      cert->pem = pki.dir / (name + ".pem");
      cert->key = pki.dir / (name + ".key");
      const auto r = OpenSsl("req -x509 -engine gost -newkey gost2012_" + std::to_string(bits) +
                             " -pkeyopt paramset:A -nodes -days 30 -subj /CN=" + name +
                             " -keyout " + Q(cert->key) + " -out " + Q(cert->pem) +
                             " -outform PEM && OPENSSL_CONF='" + pki.openssl_config.string() +
                             "' openssl x509 -in " + Q(cert->pem) + " -outform DER -out " +
                             Q(pki.dir / (name + ".der")));
      if (r.status != 0) error += r.out;
      cert->der = test_pki::ReadFile(pki.dir / (name + ".der"));
    }
  }
};

// A provider over a container holding a 2012 user's key, put there directly.
struct KeyProv2012 {
  HCRYPTPROV h = 0;
  KeyProv2012(const test_pki::Cert& user, const std::string& container) {
    vexorcsp::BioPtr bio(BIO_new_file(user.key.c_str(), "r"));
    vexorcsp::EvpPkeyPtr key(
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key || vexorcsp::StoreContainerKey(container, key.get(), "") != 0) return;
    CryptAcquireContextA(&h, container.c_str(), nullptr, PROV_GOST_2001_DH, CRYPT_SILENT);
  }
  ~KeyProv2012() {
    if (h) CryptReleaseContext(h, 0);
  }
};

class Enveloped2012 : public EnvelopedMessage, public ::testing::WithParamInterface<size_t> {};

// Both directions with openssl for 2012 recipients: openssl's -gost89, -kuznyechik-ctr-acpkm
// and -magma-ctr-acpkm messages open with each recipient's key, and one message of ours for a
// 2001 and two 2012 recipients opens in openssl with each of the three keys.
TEST_P(Enveloped2012, CrossChecksWithOpenssl) {
  ASSERT_NE(vexorcsp::GostEngine(), nullptr);
  const auto& pki = Pki::Get();
  const auto& users = Users2012::Get();
  ASSERT_TRUE(users.error.empty()) << users.error;
  const Bytes content = Pattern(GetParam(), 12);
  const auto plain_in = File("plain.in", content);
  KeyProv2012 k256(users.u256, "key-2012-256"), k512(users.u512, "key-2012-512");
  ASSERT_NE(k256.h, 0u);
  ASSERT_NE(k512.h, 0u);

  for (const char* cipher : {"gost89", "kuznyechik-ctr-acpkm", "magma-ctr-acpkm"}) {
    SCOPED_TRACE(cipher);
    const auto theirs = dir_ / "theirs.p7m";
    const auto r = OpenSsl(std::string("cms -encrypt -engine gost -binary -outform DER -") +
                           cipher + " -in " + Q(plain_in) + " -out " + Q(theirs) + " " +
                           Q(users.u256.pem) + " " + Q(users.u512.pem));
    ASSERT_EQ(r.status, 0) << r.out;
    const Bytes message = test_pki::ReadFile(theirs);
    for (const auto& [prov, user] : {std::pair{k256.h, &users.u256}, std::pair{k512.h, &users.u512}}) {
      const Decrypted d = DecryptHere(message, prov, user->der, {4097, 13});
      EXPECT_TRUE(d.ok) << std::hex << d.error;
      EXPECT_TRUE(d.out.data == content);
    }
  }

  const test_pki::Cert u256 = users.u256, u512 = users.u512;
  const auto ours = File("ours.p7m", EncryptHere({&pki.user_a, &u256, &u512}, content));
  for (const test_pki::Cert* user : {&pki.user_a, &u256, &u512}) {
    SCOPED_TRACE(user->pem.string());
    const auto out = dir_ / "plain.out";
    std::filesystem::remove(out);
    const auto r = OpenSsl("cms -decrypt -engine gost -binary -inform DER -in " + Q(ours) +
                           " -recip " + Q(user->pem) + " -inkey " + Q(user->key) + " -out " +
                           Q(out));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(test_pki::ReadFile(out) == content);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Enveloped2012,
                         ::testing::Values(size_t(0), size_t(1), (size_t(10) << 20) + 1));

}  // namespace
