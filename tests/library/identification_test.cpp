// Thumbprints, their hex form, names and store names, checked against openssl's view of the
// same certificates.
#include <gtest/gtest.h>

#include <openssl/sha.h>

#include "stores/cert_ident.h"
#include "stores/data_blob.h"
#include "stores/store_ids.h"
#include "test_certs.h"

namespace {

using test_pki::Pki;

struct CertHolder {
  explicit CertHolder(const test_pki::Bytes& der)
      : ctx(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()))) {}
  ~CertHolder() { CertFreeCertificateContext(ctx); }
  PCCERT_CONTEXT ctx;
};

std::string Sha1Hex(const test_pki::Bytes& der) {
  unsigned char md[SHA_DIGEST_LENGTH];
  SHA1(der.data(), der.size(), md);
  return test_pki::Hex(md, sizeof md);
}

}  // namespace

TEST(Thumbprint, TextForms) {
  const std::string upper = "0123456789ABCDEF0123456789ABCDEF01234567";
  std::string spaced;
  for (size_t i = 0; i < upper.size(); i += 2) spaced += upper.substr(i, 2) + " ";
  struct Row {
    const char* label;
    std::string text;
    bool accepted;
  } rows[] = {
      {"upper", upper, true},
      {"lower", "0123456789abcdef0123456789abcdef01234567", true},
      {"a space between every two digits", spaced, true},
      {"39 digits", upper.substr(1), false},
      {"41 digits", upper + "8", false},
      {"non-hex character", "0123456789ABCDEF0123456789ABCDEF0123456G", false},
      // Spaces go only from texts longer than 40 characters.
      {"short text with a space", "0123 4567", false},
      {"empty", "", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    AUTO_CRYPT_DATA_BLOB blob;
    EXPECT_EQ(HexToThumbprint(row.text, blob), row.accepted);
    if (!row.accepted) {
      EXPECT_TRUE(blob.empty());
      continue;
    }
    ASSERT_EQ(blob.cbData, 20u);
    std::string hex;
    ASSERT_TRUE(ThumbprintToHex(blob, hex));
    EXPECT_EQ(hex, upper);
  }
}

TEST(CertIdentification, ThumbprintNamesAndLabelMatchOpenssl) {
  const Pki& pki = Pki::Get();
  ASSERT_TRUE(pki.ok()) << pki.error;
  CertHolder cert(pki.user_a.der);
  ASSERT_NE(cert.ctx, nullptr);

  std::string hex;
  ASSERT_TRUE(GetCertThumbHex(cert.ctx, hex));
  const std::string expected = Sha1Hex(pki.user_a.der);
  EXPECT_EQ(hex, expected);

  const std::string cn = test_certs::Cp1251("Иванов Иван Иванович");
  EXPECT_EQ(GetCertCommonName(cert.ctx), cn);
  EXPECT_EQ(GetCertDisplayName(cert.ctx), cn);
  EXPECT_EQ(GetCertDisplayName(cert.ctx, true), "Vexor Test Intermediate CA");
  EXPECT_EQ(GetCertShortDescription(cert.ctx), cn + ", {" + expected.substr(0, 6) + "..." + expected.substr(36) + "}");

  const std::string issuer = NameToX500String(cert.ctx->pCertInfo->Issuer, false);
  EXPECT_NE(issuer.find("CN=Vexor Test Intermediate CA"), std::string::npos) << issuer;
}
