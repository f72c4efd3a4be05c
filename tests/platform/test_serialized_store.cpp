// The serialized store format byte for byte (layouts captured from Windows) and round trips
// with properties. Hostile input is the fuzz target's.
#include <gtest/gtest.h>

#include <openssl/sha.h>

#include <cstring>

#include "der/der.h"
#include "stores/auto_handle.h"
#include "test_pki.h"
#include "vexor/platform.h"

namespace {

using test_pki::Bytes;
using test_pki::Pki;

// An element: property id, encoding type 1, length, payload.
void Element(Bytes& b, uint32_t id, const Bytes& payload) {
  for (uint32_t v : {id, 1u, uint32_t(payload.size())}) der::PutU32LE(b, v);
  b.insert(b.end(), payload.begin(), payload.end());
}
// The header, the elements and the end marker.
Bytes Serialized(std::initializer_list<std::pair<uint32_t, Bytes>> elements) {
  Bytes b = {0, 0, 0, 0, 0x43, 0x45, 0x52, 0x54};
  for (const auto& [id, payload] : elements) Element(b, id, payload);
  b.insert(b.end(), 12, 0);
  return b;
}

Bytes SaveToMemory(HCERTSTORE store) {
  CRYPT_DATA_BLOB blob{0, nullptr};
  EXPECT_TRUE(CertSaveStore(store, X509_ASN_ENCODING, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_MEMORY, &blob, 0));
  Bytes out(blob.cbData);
  blob.pbData = out.data();
  EXPECT_TRUE(CertSaveStore(store, X509_ASN_ENCODING, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_MEMORY, &blob, 0));
  return out;
}

auto_store OpenSerialized(const Bytes& bytes) {
  CRYPT_DATA_BLOB blob{DWORD(bytes.size()), const_cast<BYTE*>(bytes.data())};
  return auto_store(CertOpenStore(CERT_STORE_PROV_SERIALIZED, 0, 0, 0, &blob));
}

Bytes Utf16(const std::u16string& s) {
  Bytes out;
  for (char16_t c : s + u'\0') out.insert(out.end(), {uint8_t(c), uint8_t(c >> 8)});
  return out;
}

class SerializedStore : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Pki::Get().ok()) << Pki::Get().error;
    cert_ = Pki::Get().user_a.der;
  }
  Bytes cert_;
};

// The three Windows-captured layouts: no property, a friendly name, a cached SHA-1 hash.
TEST_F(SerializedStore, SavedBytesFollowTheWindowsLayout) {
  const Bytes friendly_name = Utf16(u"WineTest");
  Bytes sha1(20);
  SHA1(cert_.data(), cert_.size(), sha1.data());
  const Bytes plain = Serialized({{0x20, cert_}});
  const Bytes with_name = Serialized({{0x0B, friendly_name}, {0x20, cert_}});
  const Bytes with_hash = Serialized({{0x03, sha1}, {0x20, cert_}});

  struct Case {
    const char* name;
    int what;  // 0 nothing, 1 friendly name, 2 ask for the hash
    const Bytes* expected;
  };
  for (const Case& c : {Case{"plain", 0, &plain}, Case{"friendly name", 1, &with_name}, Case{"hash", 2, &with_hash}}) {
    SCOPED_TRACE(c.name);
    const auto_store store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    auto_cert ctx;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, cert_.data(), DWORD(cert_.size()),
                                                 CERT_STORE_ADD_NEW, ctx.put()));
    if (c.what == 1) {
      CRYPT_DATA_BLOB blob{DWORD(friendly_name.size()), const_cast<BYTE*>(friendly_name.data())};
      ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
    } else if (c.what == 2) {
      BYTE h[20];
      DWORD cb = 20;
      ASSERT_TRUE(CertGetCertificateContextProperty(ctx.get(), CERT_HASH_PROP_ID, h, &cb));
    }
    EXPECT_EQ(test_pki::Hex(SaveToMemory(store.get())), test_pki::Hex(*c.expected));

    // The same bytes assembled by hand open with their property.
    const auto_store loaded = OpenSerialized(*c.expected);
    ASSERT_TRUE(loaded) << std::hex << GetLastError();
    PCCERT_CONTEXT first = CertEnumCertificatesInStore(loaded.get(), nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Bytes(first->pbCertEncoded, first->pbCertEncoded + first->cbCertEncoded), cert_);
    DWORD cb = 0;
    EXPECT_EQ(CertGetCertificateContextProperty(first, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &cb) != FALSE, c.what == 1);
    EXPECT_EQ(CertEnumCertificatesInStore(loaded.get(), first), nullptr);  // frees `first`
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NOT_FOUND));
    EXPECT_EQ(test_pki::Hex(SaveToMemory(loaded.get())), test_pki::Hex(*c.expected));
  }
}

TEST_F(SerializedStore, RoundTripKeepsCertificatesCrlsAndProperties) {
  const Pki& pki = Pki::Get();
  const auto_store owned(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  HCERTSTORE store = owned.get();
  for (const test_pki::Cert* c : {&pki.root, &pki.intermediate, &pki.user_a, &pki.rsa})
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, c->der.data(), DWORD(c->der.size()),
                                                 CERT_STORE_ADD_NEW, nullptr));
  ASSERT_TRUE(CertAddEncodedCRLToStore(store, X509_ASN_ENCODING, pki.crl.data(), DWORD(pki.crl.size()),
                                       CERT_STORE_ADD_NEW, nullptr));
  PCCERT_CONTEXT user = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr, nullptr);
  user = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr, user);
  user = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr, user);
  ASSERT_NE(user, nullptr);
  std::u16string container = u"c1";
  CRYPT_KEY_PROV_INFO info{container.data(), nullptr, 75, 0, 0, nullptr, AT_KEYEXCHANGE};
  ASSERT_TRUE(CertSetCertificateContextProperty(user, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  BYTE user_data[] = {9, 8, 7};
  CRYPT_DATA_BLOB custom{3, user_data};
  ASSERT_TRUE(CertSetCertificateContextProperty(user, 0x8001, 0, &custom));
  CertFreeCertificateContext(user);

  const Bytes saved = SaveToMemory(store);
  // The key link is persisted in the documented offset form: container at 28, no provider.
  Bytes expected_prov;
  for (uint32_t field : {28u, 0u, 75u, 0u, 0u, 0u, uint32_t(AT_KEYEXCHANGE)}) der::PutU32LE(expected_prov, field);
  const Bytes name = Utf16(u"c1");
  expected_prov.insert(expected_prov.end(), name.begin(), name.end());
  Bytes prov_element;
  Element(prov_element, CERT_KEY_PROV_INFO_PROP_ID, expected_prov);
  EXPECT_NE(std::search(saved.begin(), saved.end(), prov_element.begin(), prov_element.end()), saved.end());

  const auto_store loaded = OpenSerialized(saved);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(test_pki::Hex(SaveToMemory(loaded.get())), test_pki::Hex(saved));
  const auto_crl crl(CertEnumCRLsInStore(loaded.get(), nullptr));
  ASSERT_TRUE(crl);
  EXPECT_EQ(Bytes(crl.get()->pbCrlEncoded, crl.get()->pbCrlEncoded + crl.get()->cbCrlEncoded), pki.crl);
}

}  // namespace
