// Names in Windows-1251 against openssl's view of the same certificates, and the quoting
// and separator rules of CertNameToStrA in the X.500 form the library and the tool print (the
// simple form is the subject-text search's, see test_find.cpp).
#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <map>

#include "test_pki.h"
#include "text/text.h"
#include "vexor/platform.h"

namespace {

using test_pki::Bytes;
using test_pki::Pki;

// The expected texts are written in UTF-8; the platform speaks Windows-1251.
std::string ToCp1251(const std::string& utf8) { return text::Utf8ToCp1251(utf8); }

std::string NameToStr(const CERT_NAME_BLOB& name, DWORD type) {
  const DWORD n = CertNameToStrA(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(&name), type, nullptr, 0);
  std::string s(n, '\0');
  EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(&name), type, s.data(), n), n);
  s.resize(n - 1);
  return s;
}

TEST(Names, X500StringMatchesOpensslView) {
  ASSERT_TRUE(Pki::Get().ok()) << Pki::Get().error;
  const Pki& pki = Pki::Get();
  // openssl's short names mapped to the keys Windows prints.
  const std::map<std::string, std::string> keys = {{"C", "C"},   {"O", "O"},   {"OU", "OU"},
                                                   {"CN", "CN"}, {"ST", "S"},  {"L", "L"},
                                                   {"emailAddress", "E"}};
  for (const test_pki::Cert* c : {&pki.root, &pki.user_a, &pki.user_email, &pki.rsa}) {
    SCOPED_TRACE(c->pem.string());
    const auto view = test_pki::Run("openssl x509 -in '" + c->pem.string() +
                                    "' -noout -subject -nameopt utf8,sep_comma_plus_space,sname");
    ASSERT_EQ(view.status, 0);
    std::string text = view.out.substr(view.out.find('=') + 1);
    while (!text.empty() && (text.back() == '\n' || text.front() == ' ')) text.pop_back();
    // Rewrite each "key=" with the Windows key.
    std::string expected;
    size_t pos = 0;
    while (pos < text.size()) {
      const size_t eq = text.find('=', pos);
      const size_t next = text.find(", ", eq);
      expected += keys.at(text.substr(pos, eq - pos)) + text.substr(eq, (next == std::string::npos ? text.size() : next) - eq);
      if (next == std::string::npos) break;
      expected += ", ";
      pos = next + 2;
    }
    PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, c->der.data(), DWORD(c->der.size()));
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(NameToStr(ctx->pCertInfo->Subject, CERT_X500_NAME_STR), ToCp1251(expected));
    CertFreeCertificateContext(ctx);
  }
}

// Builds a DER name from (short name, value) pairs; "+" starts a multi-valued attribute.
Bytes MakeName(const std::vector<std::pair<std::string, std::string>>& parts) {
  X509_NAME* n = X509_NAME_new();
  for (const auto& [key, value] : parts) {
    const bool plus = key[0] == '+';
    X509_NAME_add_entry_by_txt(n, plus ? key.c_str() + 1 : key.c_str(), MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value.c_str()), int(value.size()), -1, plus ? -1 : 0);
  }
  unsigned char* der = nullptr;
  const int len = i2d_X509_NAME(n, &der);
  Bytes out(der, der + len);
  OPENSSL_free(der);
  X509_NAME_free(n);
  return out;
}

TEST(Names, QuotingSeparatorsAndFlags) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> name;
    DWORD type;
    std::string expected;
  };
  const Case cases[] = {
      {{{"CN", "1"}}, CERT_X500_NAME_STR, "CN=1"},
      {{{"CN", "'1'"}}, CERT_X500_NAME_STR, "CN='1'"},
      {{{"CN", " 1 "}}, CERT_X500_NAME_STR, "CN=\" 1 \""},
      {{{"CN", "\"1\""}}, CERT_X500_NAME_STR, "CN=\"\"\"1\"\"\""},
      {{{"CN", "a,b"}}, CERT_X500_NAME_STR, "CN=\"a,b\""},
      {{{"CN", "1+2"}}, CERT_X500_NAME_STR, "CN=\"1+2\""},
      {{{"CN", "a=b"}}, CERT_X500_NAME_STR, "CN=\"a=b\""},
      {{{"CN", "a;b"}}, CERT_X500_NAME_STR, "CN=\"a;b\""},
      {{{"C", "RU"}, {"CN", "x"}}, CERT_X500_NAME_STR, "C=RU, CN=x"},
      {{{"C", "RU"}, {"CN", "x"}}, CERT_SIMPLE_NAME_STR, "RU, x"},
      // DER sorts the attributes of one RDN, so CN comes first.
      {{{"O", "o"}, {"+CN", "x"}}, CERT_X500_NAME_STR, "CN=x + O=o"},
      {{{"ST", "Moscow"}, {"emailAddress", "a@b"}}, CERT_X500_NAME_STR, "S=Moscow, E=a@b"},
      {{{"1.2.643.3.131.1.1", "7700000000"}}, CERT_X500_NAME_STR, "OID.1.2.643.3.131.1.1=7700000000"},
      {{{"CN", "Ёжик"}}, CERT_X500_NAME_STR, ToCp1251("CN=Ёжик")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    Bytes der = MakeName(c.name);
    CERT_NAME_BLOB blob{DWORD(der.size()), der.data()};
    EXPECT_EQ(NameToStr(blob, c.type), c.expected);
  }
  // An empty name, a name too long for the buffer, and a blob that is not a Name.
  Bytes empty = {0x30, 0x00};
  CERT_NAME_BLOB blob{2, empty.data()};
  EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, nullptr, 0), 1u);
  Bytes der = MakeName({{"CN", "long enough"}});
  blob = {DWORD(der.size()), der.data()};
  char small[5] = "zzzz";
  EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, small, sizeof small), 1u);
  EXPECT_EQ(small[0], '\0');
  Bytes not_name = {0x04, 0x01, 0x00};
  blob = {DWORD(not_name.size()), not_name.data()};
  EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, nullptr, 0), 1u);
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_ASN1_BADTAG));
}

}  // namespace
