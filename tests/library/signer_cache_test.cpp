// Repeated signatures on one object keep the signer and its key between calls; every change
// of the personal store or of the key container made through the files (as another process
// makes it) must be seen by the next call.
#include <sstream>

#include "call/result_codes.h"
#include "library_fixture.h"

namespace library_test {
namespace {

using test_pki::Pki;

class SignerCache : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    WriteIni("SkipCheckCertValid=1\n");
    std::string error;
    second_ = test_certs::IssueUser("cache-second", "/C=RU/CN=Иванов Иван Иванович", test_certs::OpensslDate(-3600),
                                    test_certs::OpensslDate(30 * 86400), error);
    ASSERT_FALSE(second_.der.empty()) << error;
    ASSERT_TRUE(test_pki::InstallWithKey(Pki::Get().user_a, "cache-a"));
  }

  // A detached signature by the common name both certificates carry: the result code, and
  // in `signer` which of the two the message carries (nullptr for neither).
  int32_t Sign(const test_pki::Cert** signer) {
    CertPartyParam party;
    party.subjectCN = test_certs::Cp1251("Иванов Иван Иванович");
    std::istringstream in("payload");
    std::ostringstream out;
    const int32_t rc = Code([&] { return obj_->sign_stream_d(party, in, out, VEXOR_FORMAT_PKCS7); });
    const std::string message = out.str();
    *signer = nullptr;
    for (const test_pki::Cert* c : {&Pki::Get().user_a, static_cast<const test_pki::Cert*>(&second_)})
      if (message.find(std::string(c->der.begin(), c->der.end())) != std::string::npos) *signer = c;
    return rc;
  }

  // Removes a certificate from My through a handle of its own, as another process would.
  static void RemoveFromMy(const test_pki::Cert& cert) {
    auto_store my(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "My"));
    BYTE sha1[20];
    DWORD size = sizeof sha1;
    auto_cert own(Parse(cert.der));
    ASSERT_TRUE(CertGetCertificateContextProperty(own.get(), CERT_SHA1_HASH_PROP_ID, sha1, &size));
    CRYPT_HASH_BLOB hash{size, sha1};
    PCCERT_CONTEXT member =
        CertFindCertificateInStore(my.get(), X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &hash, nullptr);
    ASSERT_NE(member, nullptr);
    ASSERT_TRUE(CertDeleteCertificateFromStore(member));
  }

  fs::path Container(const std::string& name) const { return home_.path() / "keys" / (name + ".key"); }

  test_pki::Cert second_;
};

TEST_F(SignerCache, FollowsCertificateAndKeyChangesMadeThroughTheFiles) {
  Object();
  const test_pki::Cert* signer = nullptr;
  ASSERT_EQ(Sign(&signer), 0);
  EXPECT_EQ(signer, &Pki::Get().user_a);
  ASSERT_EQ(Sign(&signer), 0);
  EXPECT_EQ(signer, &Pki::Get().user_a);

  // The certificate replaced by another of the same name with a key of its own.
  RemoveFromMy(Pki::Get().user_a);
  ASSERT_TRUE(test_pki::InstallWithKey(second_, "cache-b"));
  ASSERT_EQ(Sign(&signer), 0);
  EXPECT_EQ(signer, &second_);

  // Its container overwritten in place with another key: the key no longer matches the
  // certificate, so nothing may be signed with the key loaded before.
  const fs::path own_key = Container("cache-b"), saved = work_ / "cache-b.saved";
  ASSERT_TRUE(fs::exists(own_key));
  fs::copy_file(own_key, saved);
  {
    const test_pki::Bytes other = test_pki::ReadFile(Container("cache-a"));
    std::ofstream(own_key, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(other.data()),
                                                                    static_cast<std::streamsize>(other.size()));
  }
  EXPECT_EQ(Sign(&signer), RC_PRIVATE_KEY_NOT_FOUND);
  fs::copy_file(saved, own_key, fs::copy_options::overwrite_existing);
  ASSERT_EQ(Sign(&signer), 0);
  EXPECT_EQ(signer, &second_);

  // The container removed.
  fs::remove(own_key);
  EXPECT_EQ(Sign(&signer), RC_PRIVATE_KEY_NOT_FOUND);

  // The store file removed: no signer any more.
  fs::remove(home_.path() / "stores" / "My.sst");
  EXPECT_EQ(Sign(&signer), RC_CERT_NOT_IN_STORE);
}

}  // namespace
}  // namespace library_test
