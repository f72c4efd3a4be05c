// The XML format's side in the library: the verdict record of a signature that does not
// hold, the choice of the encryption certificate and the refusals before the sibling XML
// library is called.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <sstream>

#include "library_fixture.h"
#include "platform/test_pki.h"
#include "vexor/vexor_xml.h"

namespace {

using library_test::LibraryTest;
using test_pki::Pki;

template <typename F>
int32_t Code(F&& call) {
  try {
    return call();
  } catch (const CryptoOperations::baseCryptoException& e) {
    return e.code();
  }
}

CertPartyParam Party(const test_pki::Cert& c, bool sender = false) {
  CertPartyParam p;
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, c.der.data(), static_cast<DWORD>(c.der.size()));
  BYTE hash[20];
  DWORD len = sizeof hash;
  CertGetCertificateContextProperty(ctx, CERT_SHA1_HASH_PROP_ID, hash, &len);
  CertFreeCertificateContext(ctx);
  p.thumbprint = test_pki::Hex(test_pki::Bytes(hash, hash + len));
  p.isSender = sender;
  return p;
}

class XmlFormat : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_TRUE(test_pki::InstallWithKey(Pki::Get().user_a, "xml-a"));
    ASSERT_TRUE(test_pki::InstallWithKey(Pki::Get().user_email, "xml-mail"));
    // Linked and used here, so the process has libvexorxml.so loaded and the library finds it.
    void* nothing = nullptr;
    CryptoXml::FreeMem(&nothing);
    Object();
  }
  const std::string document_ = "<?xml version=\"1.0\"?>\n<doc><item n=\"1\">text</item></doc>\n";
};

TEST_F(XmlFormat, ASignatureThatDoesNotHoldIsAVerdict) {
  std::istringstream in(document_);
  std::ostringstream signed_doc;
  ASSERT_EQ(Code([&] { return obj_->sign_stream_a(Party(Pki::Get().user_a), in, signed_doc, VEXOR_FORMAT_XML); }), 0);
  std::string bad = signed_doc.str();
  bad.replace(bad.find(">text<"), 6, ">tekst<");

  std::istringstream check(bad);
  std::ostringstream content;
  SignerCheckList list;
  ASSERT_EQ(Code([&] { return obj_->check_stream_a(check, list, content, 0, VEXOR_FORMAT_XML); }), 0);
  ASSERT_EQ(list.items.size(), 1u);
  EXPECT_FALSE(list.items[0].signValid);
  EXPECT_TRUE(list.items[0].certValid);  // not asked to check it
  EXPECT_EQ(list.items[0].thumbprint, Party(Pki::Get().user_a).thumbprint);
  EXPECT_NE(Cp1251ToUtf8(list.items[0].description).find("Подпись неверна Cертификат действителен"),
            std::string::npos);
  EXPECT_EQ(content.str(), bad);  // the document as it was read
}

TEST_F(XmlFormat, EncryptionTakesTheFirstRecipientAndNeedsOne) {
  const Pki& pki = Pki::Get();
  std::istringstream in(document_);
  std::ostringstream out;
  ASSERT_EQ(Code([&] {
              return obj_->encrypt_stream(in, out, {Party(pki.user_email), Party(pki.user_a)}, VEXOR_FORMAT_XML);
            }),
            0);
  EXPECT_TRUE(cb_.Saw("Сертификаты шифрования: количество {2}"));
  // The recipient's certificate in the EncryptedKey is the mail user's.
  const test_pki::Bytes& der = pki.user_email.der;
  std::string b64(4 * ((der.size() + 2) / 3) + 1, '\0');
  b64.resize(static_cast<size_t>(
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), der.data(), static_cast<int>(der.size()))));
  EXPECT_NE(out.str().find(b64), std::string::npos);

  std::istringstream again(document_);
  std::ostringstream nothing;
  EXPECT_EQ(Code([&] { return obj_->encrypt_stream(again, nothing, {Party(pki.user_a, true)}, VEXOR_FORMAT_XML); }),
            17);
  EXPECT_TRUE(cb_.Saw("Не удалось найти ни одного сертификата для шифрования."));
  EXPECT_TRUE(nothing.str().empty());
}

}  // namespace
