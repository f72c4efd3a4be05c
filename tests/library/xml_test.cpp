// The XML format's side in the library: the verdict record of a signature that does not
// hold, the choice of the encryption certificate and the refusals before the sibling XML
// library is called.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <chrono>
#include <sstream>
#include <vector>

#include "library_fixture.h"
#include "platform/test_pki.h"
#include "stores/auto_handle.h"
#include "vexor/vexor_xml.h"

namespace {

using library_test::Code;
using library_test::LibraryTest;
using test_pki::Pki;

CertPartyParam Party(const test_pki::Cert& c, bool sender = false) { return library_test::ThumbprintParty(c, sender); }

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
  EXPECT_TRUE(cb_.Saw("--------------- Подпись ---------------\r\nСертификат подписи: Иванов"));  // one line
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
  EXPECT_NE(text::Cp1251ToUtf8(list.items[0].description).find("Подпись неверна Cертификат действителен"),
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

// An element with `count` attributes (or namespace declarations), as text.
std::string Crowded(int count, const char* name = "a", const char* value = "v") {
  std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<doc";
  for (int i = 0; i < count; ++i) doc += " " + std::string(name) + std::to_string(i) + "=\"" + value + "\"";
  return doc + "><item>text</item></doc>\n";
}

class XmlBounds : public XmlFormat {
 protected:
  // The sibling library's answers for signing, verifying and encrypting the document.
  std::vector<int> Answers(const std::string& doc) {
    const auto_cert owned(library_test::Parse(Pki::Get().user_a.der));
    PCCERT_CONTEXT cert = owned.get();
    void* out = nullptr;
    int len = 0;
    std::vector<int> answers;
    answers.push_back(CryptoXml::SignXml(doc.data(), static_cast<int>(doc.size()), cert, 1, &out, &len));
    CryptoXml::FreeMem(&out);
    const CERT_CONTEXT* signer = nullptr;
    int valid = 0;
    answers.push_back(CryptoXml::CheckSignXml(doc.data(), static_cast<int>(doc.size()), &signer, &valid, &out, &len));
    CryptoXml::FreeMem(&out);
    if (signer != nullptr) CertFreeCertificateContext(signer);
    answers.push_back(CryptoXml::EncryptXml(doc.data(), static_cast<int>(doc.size()), cert, &out, &len));
    CryptoXml::FreeMem(&out);
    return answers;
  }
};

}  // namespace

// libxml2 compares each attribute of an element with all before it: 200,000 of them (3.2 MB)
// kept signing busy for minutes. Such documents are refused as hostile, on the streamed and
// the tree paths alike; the limit itself still works.
TEST_F(XmlBounds, CrowdedElementsAreRefused) {
  const int kRefused = VEXORXML_BAD_DOCUMENT;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Answers(Crowded(200000)), std::vector<int>(3, kRefused));
  EXPECT_EQ(Answers(Crowded(1025)), std::vector<int>(3, kRefused));
  EXPECT_EQ(Answers(Crowded(129, "xmlns:p", "urn:x")), std::vector<int>(3, kRefused));
  // In UTF-16 the markup is read by code units.
  const std::string crowded = Crowded(5000);
  std::string utf16 = "\xFF\xFE";
  for (char c : crowded) utf16 += std::string{c, '\0'};
  utf16.replace(utf16.find(std::string("U\0T\0F\0-\0\x38", 9)), 9, std::string("U\0T\0F\0-\0\x31\0\x36", 11));
  EXPECT_EQ(Answers(utf16), std::vector<int>(3, kRefused));
  utf16.resize(utf16.find(std::string("a\0\x32\0", 4)) - 2);  // two attributes are left
  utf16 += std::string("/\0>\0", 4);
  EXPECT_EQ(Answers(utf16)[2], 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));

  // At the limits a document signs, verifies and encrypts (the signature declares one
  // namespace more).
  std::string at_limit = Crowded(1024 - 2);
  at_limit.replace(at_limit.find("<doc "), 5, "<doc xmlns=\"urn:d\" xmlns:q=\"urn:q\" ");
  for (const std::string& doc : {at_limit, Crowded(127, "xmlns:p", "urn:x")}) {
    EXPECT_EQ(Answers(doc)[2], 0);
    std::istringstream in(doc);
    std::ostringstream signed_doc;
    ASSERT_EQ(Code([&] { return obj_->sign_stream_a(Party(Pki::Get().user_a), in, signed_doc, VEXOR_FORMAT_XML); }),
              0);
    std::istringstream check(signed_doc.str());
    std::ostringstream content;
    SignerCheckList list;
    ASSERT_EQ(Code([&] { return obj_->check_stream_a(check, list, content, 0, VEXOR_FORMAT_XML); }), 0);
    ASSERT_EQ(list.items.size(), 1u);
    EXPECT_TRUE(list.items[0].signValid);
  }
}
