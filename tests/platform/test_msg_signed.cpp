// Signed messages at the platform's own interface: damage that is a failed verification and
// not a decoding error, certificates and lists added to a decoded message, the streamed
// detached encoding against openssl's reading of it, and encoded lengths. The openssl cross-checks of
// signing and verifying run through the library in the host tests.
#include <gtest/gtest.h>

#include <cstring>

#include "test_msg_util.h"

using namespace msg_test;
using test_pki::Pki;

namespace {

class SignedMessage : public ::testing::Test {
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

  // Signs with the platform as the library does: signing time attribute, the signer's
  // certificate in the message, digest requested as 1.2.643.2.2.21.
  Bytes Sign(const test_pki::Cert& user, HCRYPTPROV prov, const Bytes& content, bool detached) {
    Cert cert(user.der);
    EXPECT_NE(cert.c, nullptr);
    if (cert.c == nullptr) return {};
    TestSigner signer(cert.c, prov, "1.2.643.2.2.21", {TestSigner::Now()});
    CMSG_SIGNED_ENCODE_INFO& info = *signer.info();
    const DWORD flags = detached ? CMSG_DETACHED_FLAG : 0;
    const DWORD bound = CryptMsgCalculateEncodedLength(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                       flags, CMSG_SIGNED, &info, nullptr,
                                                       DWORD(content.size()));
    EXPECT_NE(bound, 0u) << std::hex << GetLastError();
    Msg m(CryptMsgOpenToEncode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, flags, CMSG_SIGNED, &info,
                               nullptr, nullptr));
    EXPECT_NE(m.h, nullptr) << std::hex << GetLastError();
    if (m.h == nullptr) return {};
    EXPECT_TRUE(FeedInPieces(m.h, content, {})) << std::hex << GetLastError();
    Bytes out(bound);
    DWORD len = bound;
    EXPECT_TRUE(CryptMsgGetParam(m.h, CMSG_CONTENT_PARAM, 0, out.data(), &len))
        << std::hex << GetLastError();
    EXPECT_LE(len, bound) << "the length calculation must never be short";
    out.resize(len);
    return out;
  }

  test_pki::ScopedHome home_;
  std::filesystem::path dir_;
};

// Verifies every signer as a caller does: certificate info of the signer, its certificate
// from a store over the message, then the signature control. The last error of the first
// failure, 0 when all signers verify.
DWORD VerifyAll(HCRYPTMSG m) {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MSG, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                   0, 0, m);
  if (store == nullptr) return GetLastError();
  DWORD result = 0;
  const DWORD count = GetDword(m, CMSG_SIGNER_COUNT_PARAM);
  if (count == 0 || count == 0xFFFFFFFF) result = DWORD(CRYPT_E_NO_SIGNER);
  for (DWORD i = 0; i < count && result == 0; ++i) {
    Bytes info;
    if (!GetBytes(m, CMSG_SIGNER_CERT_INFO_PARAM, i, info)) {
      result = GetLastError();
      break;
    }
    PCCERT_CONTEXT cert = CertGetSubjectCertificateFromStore(
        store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, reinterpret_cast<CERT_INFO*>(info.data()));
    if (cert == nullptr) {
      result = GetLastError();
      break;
    }
    if (!CryptMsgControl(m, 0, CMSG_CTRL_VERIFY_SIGNATURE, cert->pCertInfo)) result = GetLastError();
    CertFreeCertificateContext(cert);
  }
  CertCloseStore(store, 0);
  return result;
}

TEST_F(SignedMessage, DamageIsAFailedVerificationNotADecodingError) {
  KeyProv prov(Pki::Get().user_a, "signer-a");
  ASSERT_NE(prov.h, 0u);
  const Bytes content = Pattern(300, 9);
  const Bytes good = Sign(Pki::Get().user_a, prov.h, content, false);
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
    Msg m(CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr));
    ASSERT_TRUE(CryptMsgUpdate(m.h, bad.data(), DWORD(bad.size()), TRUE)) << std::hex << GetLastError();
    EXPECT_EQ(VerifyAll(m.h), c.error);
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
    const Bytes message = test_pki::ReadFile(sig);
    Msg m(CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr));
    ASSERT_TRUE(CryptMsgUpdate(m.h, message.data(), DWORD(message.size()), TRUE));
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
  // Another certificate (not the signer) is not a signer of the message.
  Msg m(CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr));
  ASSERT_TRUE(CryptMsgUpdate(m.h, good.data(), DWORD(good.size()), TRUE));
  Cert other(Pki::Get().user_xa.der);
  EXPECT_FALSE(CryptMsgControl(m.h, 0, CMSG_CTRL_VERIFY_SIGNATURE, other.c->pCertInfo));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_SIGNER_NOT_FOUND));
}

TEST_F(SignedMessage, AddedCertificatesAndCrlsAreInTheReencodedMessage) {
  KeyProv prov(Pki::Get().user_a, "signer-a");
  ASSERT_NE(prov.h, 0u);
  const Bytes content = Pattern(1234, 5);
  const Bytes message = Sign(Pki::Get().user_a, prov.h, content, false);
  Msg m(CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr));
  // The library feeds a file in one update of its size plus one byte.
  ASSERT_TRUE(CryptMsgUpdate(m.h, message.data(), DWORD(message.size()), TRUE));
  CERT_BLOB ica{DWORD(Pki::Get().intermediate.der.size()),
                const_cast<BYTE*>(Pki::Get().intermediate.der.data())};
  CRL_BLOB crl{DWORD(Pki::Get().crl.size()), const_cast<BYTE*>(Pki::Get().crl.data())};
  ASSERT_TRUE(CryptMsgControl(m.h, 0, CMSG_CTRL_ADD_CERT, &ica)) << std::hex << GetLastError();
  ASSERT_TRUE(CryptMsgControl(m.h, 0, CMSG_CTRL_ADD_CRL, &crl)) << std::hex << GetLastError();
  BYTE junk[] = {0x30, 0x05, 0x01};
  CERT_BLOB bad{sizeof(junk), junk};
  EXPECT_FALSE(CryptMsgControl(m.h, 0, CMSG_CTRL_ADD_CERT, &bad));
  Bytes reencoded;
  ASSERT_TRUE(GetBytes(m.h, CMSG_ENCODED_MESSAGE, 0, reencoded));

  // A fresh decode sees both certificates and the CRL; the signature still holds, here and
  // for openssl, which also finds the intermediate in the message for its chain.
  Msg again(CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr));
  ASSERT_TRUE(CryptMsgUpdate(again.h, reencoded.data(), DWORD(reencoded.size()), TRUE));
  EXPECT_EQ(GetDword(again.h, CMSG_CERT_COUNT_PARAM), 2u);
  EXPECT_EQ(GetDword(again.h, CMSG_CRL_COUNT_PARAM), 1u);
  EXPECT_EQ(VerifyAll(again.h), 0u);
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MSG, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                   0, 0, again.h);
  ASSERT_NE(store, nullptr);
  PCCRL_CONTEXT found = CertEnumCRLsInStore(store, nullptr);
  EXPECT_NE(found, nullptr);
  if (found) CertFreeCRLContext(found);
  CertCloseStore(store, 0);

  // Removal by index.
  DWORD index = 5;
  EXPECT_FALSE(CryptMsgControl(again.h, 0, CMSG_CTRL_DEL_CERT, &index));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_INVALID_INDEX));
  index = 0;
  ASSERT_TRUE(CryptMsgControl(again.h, 0, CMSG_CTRL_DEL_CRL, &index));
  EXPECT_EQ(GetDword(again.h, CMSG_CRL_COUNT_PARAM), 0u);

  const auto sig = File("reencoded.p7", reencoded);
  const auto r = OpenSsl("cms -verify -engine gost -binary -inform DER -in " + Q(sig) + " -CAfile " +
                         Q(Pki::Get().root.pem) + " -purpose any -out " + Q(dir_ / "out.bin"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(test_pki::ReadFile(dir_ / "out.bin"), content);
}

// The library streams attached signatures only (openssl checks those in the host tests); a
// detached one streamed through the platform is read by openssl as well.
TEST_F(SignedMessage, StreamedDetachedEncodingVerifiesInOpenssl) {
  KeyProv prov(Pki::Get().user_a, "signer-a");
  ASSERT_NE(prov.h, 0u);
  Cert cert(Pki::Get().user_a.der);
  const Bytes content = Pattern(20000, 11);
  TestSigner signer(cert.c, prov.h, "1.2.643.2.2.9");
  Collected out;
  CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, CollectOutput, &out};
  Msg m(CryptMsgOpenToEncode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CMSG_DETACHED_FLAG, CMSG_SIGNED,
                             signer.info(), nullptr, &stream));
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
  KeyProv prov(Pki::Get().user_a, "signer-a");
  ASSERT_NE(prov.h, 0u);
  for (size_t size : {0, 1, 100, 127, 128, 255, 256, 65535, 65536, 70000}) {
    for (bool detached : {false, true}) {
      SCOPED_TRACE(std::to_string(size) + (detached ? " detached" : " attached"));
      const Bytes content = Pattern(size, uint32_t(size) + 1);
      const Bytes message = Sign(Pki::Get().user_a, prov.h, content, detached);  // checks the bound
      ASSERT_FALSE(message.empty());
      Msg m(CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                 detached ? CMSG_DETACHED_FLAG : 0, 0, 0, nullptr, nullptr));
      ASSERT_TRUE(CryptMsgUpdate(m.h, message.data(), DWORD(message.size()), TRUE));
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
