// Certificate searches: the find types the library uses and the enumeration contract. A list
// signed by a look-alike issuer is refused in the library's validity tests.
#include <gtest/gtest.h>

#include <cstring>

#include "stores/auto_handle.h"
#include "test_pki.h"
#include "vexor/platform.h"

namespace {

using test_pki::Bytes;
using test_pki::Pki;

class Find : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Pki::Get().ok()) << Pki::Get().error;
    const Pki& pki = Pki::Get();
    for (const test_pki::Cert* c : {&pki.root, &pki.intermediate, &pki.user_a, &pki.user_xa, &pki.user_email,
                                    &pki.rsa, &pki.revoked})
      ASSERT_TRUE(CertAddEncodedCertificateToStore(store_, X509_ASN_ENCODING, c->der.data(), DWORD(c->der.size()),
                                                   CERT_STORE_ADD_NEW, nullptr));
  }

  // Every match of a search, as DER encodings, enumerating with the previous context.
  std::vector<Bytes> All(DWORD type, const void* para) {
    std::vector<Bytes> out;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertFindCertificateInStore(store_, X509_ASN_ENCODING, 0, type, para, c)) != nullptr)
      out.emplace_back(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NOT_FOUND));
    return out;
  }

  PCCERT_CONTEXT Context(const Bytes& der) {
    return CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size()));
  }

  const auto_store owned_{CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr)};
  const HCERTSTORE store_ = owned_.get();
};

TEST_F(Find, FindTypes) {
  const Pki& pki = Pki::Get();
  // Thumbprint: the SHA-1 the context reports.
  PCCERT_CONTEXT xa = Context(pki.user_xa.der);
  BYTE sha1[20];
  DWORD cb = 20;
  ASSERT_TRUE(CertGetCertificateContextProperty(xa, CERT_HASH_PROP_ID, sha1, &cb));
  CRYPT_HASH_BLOB hash{20, sha1};
  CRYPT_HASH_BLOB short_hash{19, sha1};
  // Subject name: exact DER bytes.
  CERT_NAME_BLOB subject = xa->pCertInfo->Subject;
  // Subject attribute: the e-mail as IA5String bytes, as the library searches it.
  const char* mail = "user@example.test";
  CERT_RDN_ATTR mail_attr{const_cast<char*>(szOID_RSA_emailAddr), CERT_RDN_IA5_STRING,
                          {DWORD(std::strlen(mail)), reinterpret_cast<BYTE*>(const_cast<char*>(mail))}};
  CERT_RDN mail_rdn{1, &mail_attr};
  CERT_RDN_ATTR mail_as_printable = mail_attr;
  mail_as_printable.dwValueType = CERT_RDN_PRINTABLE_STRING;
  CERT_RDN printable_rdn{1, &mail_as_printable};
  // Subject text: a case-insensitive substring of the simple rendering, in Windows-1251.
  const std::string cyrillic_part = "\xE8\xE2\xE0\xED\xEE\xE2 \xC8\xC2\xC0\xCD";  // "иванов ИВАН"
  struct Case {
    const char* name;
    DWORD type;
    const void* para;
    std::vector<Bytes> expected;
  };
  const Case cases[] = {
      {"sha1", CERT_FIND_SHA1_HASH, &hash, {pki.user_xa.der}},
      {"sha1 of wrong length", CERT_FIND_SHA1_HASH, &short_hash, {}},
      {"subject name", CERT_FIND_SUBJECT_NAME, &subject, {pki.user_xa.der}},
      {"e-mail attribute", CERT_FIND_SUBJECT_ATTR, &mail_rdn, {pki.user_email.der}},
      {"attribute of another type", CERT_FIND_SUBJECT_ATTR, &printable_rdn, {}},
      {"subject text", CERT_FIND_SUBJECT_STR_A, "user xa", {pki.user_xa.der}},
      {"subject text in cp1251", CERT_FIND_SUBJECT_STR_A, cyrillic_part.c_str(), {pki.user_a.der}},
      {"subject text across attributes", CERT_FIND_SUBJECT_STR_A, "RU, Vexor Test, RSA", {pki.rsa.der}},
      {"no match", CERT_FIND_SUBJECT_STR_A, "nobody", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(All(c.type, c.para), c.expected);
  }
  EXPECT_EQ(All(CERT_FIND_ANY, nullptr).size(), 7u);
  EXPECT_EQ(All(CERT_FIND_SUBJECT_STR_A, "").size(), 7u);
  // Subject certificate by issuer and serial, as a signer's identifier names it.
  PCCERT_CONTEXT found = CertGetSubjectCertificateFromStore(store_, X509_ASN_ENCODING, xa->pCertInfo);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->cbCertEncoded, xa->cbCertEncoded);
  CertFreeCertificateContext(found);
  EXPECT_EQ(CertGetSubjectCertificateFromStore(store_, X509_ASN_ENCODING, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(E_INVALIDARG));
  CertFreeCertificateContext(xa);
}

}  // namespace
