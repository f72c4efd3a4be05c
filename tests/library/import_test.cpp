// Import into certstore.sst (a newer list replacing an older) and PKCS#7 files, deletion,
// and the drop-in merge at Init, checked through the platform's file store and openssl's
// reading of the PKCS#7 file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>

#include "library_fixture.h"
#include "stores/auto_handle.h"

namespace library_test {
namespace {

using test_pki::Bytes;
using test_pki::Pki;

// The certificates and CRLs of a serialized store file, and the CRL when it holds one only.
struct StoreContents {
  int certs = -1;
  int crls = -1;
  Bytes only_crl;
};
StoreContents Read(const fs::path& sst) {
  StoreContents c;
  const auto_store s(CertOpenStore(CERT_STORE_PROV_FILENAME_A, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                   CERT_STORE_OPEN_EXISTING_FLAG, sst.c_str()));
  if (!s) return c;
  c.certs = CertCount(s.get());
  c.crls = CrlCount(s.get());
  if (const auto_crl crl(c.crls == 1 ? CertEnumCRLsInStore(s.get(), nullptr) : nullptr); crl)
    c.only_crl.assign(crl.get()->pbCrlEncoded, crl.get()->pbCrlEncoded + crl.get()->cbCrlEncoded);
  return c;
}

std::string Body(const fs::path& pem) {
  const Bytes b = test_pki::ReadFile(pem);
  std::string text(b.begin(), b.end()), body;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("-----", 0) != 0) body += line;
  return body;
}

class Import : public LibraryTest {
 protected:
  int32_t ImportFile(const fs::path& file, bool crl, std::string* text = nullptr) {
    return Code([&] {
      return crl ? obj_->AddCertOrCRLToStore(CrlFile{file.c_str()}) : obj_->AddCertOrCRLToStore(CertFile{file.c_str()});
    }, text);
  }
  fs::path Write(const std::string& name, const std::string& bytes) {
    test_pki::WriteFile(work_ / name, Bytes(bytes.begin(), bytes.end()));
    return work_ / name;
  }
};

}  // namespace

TEST_F(Import, EveryEncodingLandsOnceInAReadableStoreFile) {
  const Pki& pki = Pki::Get();
  ASSERT_TRUE(test_pki::TrustTestRoot());  // a list's issuer must be known
  Object();
  const fs::path sst = work_ / "certstore.sst";
  EXPECT_EQ(ImportFile(pki.user_a.pem, false), 0);
  EXPECT_EQ(ImportFile(Write("email.b64", Body(pki.user_email.pem)), false), 0);
  EXPECT_EQ(ImportFile(Write("xa.der", std::string(pki.user_xa.der.begin(), pki.user_xa.der.end())), false), 0);
  EXPECT_EQ(ImportFile(pki.crl_pem, true), 0);
  EXPECT_EQ(ImportFile(Write("crl.der", std::string(pki.crl.begin(), pki.crl.end())), true), 0);
  // Bare Base64 is recognised by its "MII" start, the mark of DER of 256 bytes and more; the
  // test CRL is shorter, so its bare Base64 is taken as DER and refused.
  const std::string crl_body = Body(pki.crl_pem);
  EXPECT_EQ(ImportFile(Write("crl.b64", crl_body), true), crl_body.rfind("MII", 0) == 0 ? 0 : 12);
  EXPECT_EQ(ImportFile(pki.user_a.pem, false), 0);  // again: one copy stays
  const StoreContents c = Read(sst);
  EXPECT_EQ(c.certs, 3);
  EXPECT_EQ(c.crls, 1);
  CRYPT_DATA_BLOB found{0, nullptr};
  ASSERT_EQ(obj_->FindCertificate("user@example.test", &found), 0);
  obj_->FreeBuffer(&found);

  // Failed imports say why and leave the file's bytes as they were.
  const Bytes before = test_pki::ReadFile(sst);
  std::string text;
  EXPECT_EQ(ImportFile(Write("garbage", "not a certificate at all"), false, &text), 12);
  EXPECT_EQ(text, "Файл \"" + (work_ / "garbage").string() + "\": неверный формат данных ASN (Certificate)");
  EXPECT_EQ(ImportFile(Write("cut.der", std::string(pki.user_a.der.begin(), pki.user_a.der.begin() + 100)), false), 12);
  EXPECT_EQ(ImportFile(Write("bad.b64", "MII!!!" + Body(pki.user_a.pem).substr(6, 50)), false), 12);
  EXPECT_EQ(ImportFile(work_ / "missing.pem", false), 4);
  EXPECT_EQ(ImportFile(pki.user_a.pem, true), 12);  // a certificate is no CRL
  EXPECT_EQ(test_pki::ReadFile(sst), before);

  // A newer list of the same issuer replaces the older; the older never comes back.
  sleep(1);  // thisUpdate has whole seconds
  const fs::path newer = work_ / "newer.crl.pem";
  const test_pki::RunResult r = test_pki::Run("OPENSSL_CONF=" + pki.openssl_config.string() +
                                              " openssl ca -engine gost -batch -gencrl -out " + newer.string() + " 2>&1");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ImportFile(newer, true), 0);
  EXPECT_EQ(ImportFile(pki.crl_pem, true), 0);
  const StoreContents kept = Read(sst);
  ASSERT_EQ(kept.crls, 1);
  EXPECT_NE(kept.only_crl, pki.crl);
}

TEST_F(Import, Pkcs7FileGrowsByAppendsOpensslReads) {
  const Pki& pki = Pki::Get();
  IVexorImpl& obj = Object();
  const fs::path bag = work_ / "bag.p7b";
  // Appending never creates the file.
  EXPECT_THROW(obj.AddCertOrCRLToFile(bag.c_str(), CertFile{pki.user_a.pem.c_str()}), CryptoOperations::baseCryptoException);
  EXPECT_FALSE(fs::exists(bag));
  ASSERT_TRUE(CertSaveStore(auto_store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr)).get(),
                            X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CERT_STORE_SAVE_AS_PKCS7,
                            CERT_STORE_SAVE_TO_FILENAME_A, const_cast<char*>(bag.c_str()), 0));
  for (const test_pki::Cert* c : {&pki.user_a, &pki.user_email, &pki.root})
    ASSERT_EQ(obj.AddCertOrCRLToFile(bag.c_str(), CertFile{c->pem.c_str()}), 0);
  ASSERT_EQ(obj.AddCertOrCRLToFile(bag.c_str(), CrlFile{pki.crl_pem.c_str()}), 0);
  const test_pki::RunResult printed = test_pki::Run("openssl pkcs7 -inform DER -print -in " + bag.string());
  EXPECT_NE(printed.out.find("revoked:"), std::string::npos) << printed.out;
  EXPECT_NE(printed.out.find("Mail User"), std::string::npos) << printed.out;
}

// Drop-ins bring their certificates, and those of their lists a known certificate signed:
// the intermediate's list comes in, a newer list of a look-alike authority under its name
// does not.
TEST_F(Import, DropInsMergeAtInitAndDeleteTakesOne) {
  const Pki& pki = Pki::Get();
  ASSERT_TRUE(test_pki::TrustTestRoot());
  std::string error;
  const test_pki::Cert lookalike =
      test_certs::MakeAuthority("dropin-lookalike", "/C=RU/O=Vexor Test/CN=Vexor Test Intermediate CA", error);
  const Bytes forged = test_certs::MakeCrl(lookalike, "", test_certs::OpensslDate(60), test_certs::OpensslDate(86400),
                                           error);
  ASSERT_FALSE(forged.empty()) << error;
  for (const auto& [name, cert, crl] : {std::tuple{"certstore_1.sst", &pki.user_a, &pki.crl},
                                        std::tuple{"certstore_x.sst", &pki.user_email, &forged}}) {
    SaveStoreFile(work_ / name, {&cert->der}, {crl});
  }
  IVexorImpl& obj = Object();
  const StoreContents merged = Read(work_ / "certstore.sst");
  EXPECT_EQ(merged.certs, 2);
  EXPECT_EQ(merged.crls, 1);
  EXPECT_EQ(merged.only_crl, pki.crl);
  EXPECT_FALSE(fs::exists(work_ / "certstore_1.sst"));
  EXPECT_FALSE(fs::exists(work_ / "certstore_x.sst"));

  EXPECT_EQ(obj.DeleteCertificate(""), 49);
  EXPECT_EQ(obj.DeleteCertificate("user@example.test"), 0);
  EXPECT_EQ(Read(work_ / "certstore.sst").certs, 1);
  EXPECT_NE(obj.DeleteCertificate("user@example.test"), 0);
}

// A delete whose save fails raises its failure past the post-hook, as every report does;
// the hook sees the calls that return.
TEST_F(Import, FailedSaveOfADeleteLeavesWithoutThePostHook) {
  class Host : public HostCallback {
   public:
    int32_t OnDeleteCertificate(const char*, int32_t rc) override {
      ++hooks;
      return rc;
    }
    int hooks = 0;
  } host;
  const fs::path gone = work_.string() + "-gone";
  bool moved = false;
  // The search by thumbprint runs between the store's load and its save: the working
  // directory goes away then.
  host.onLog = [&](const char* text) {
    if (moved || text::Cp1251ToUtf8(text).find("по отпечатку") == std::string::npos) return;
    fs::rename(work_, gone);
    moved = true;
  };
  obj_ = std::make_unique<IVexorImpl>();
  ASSERT_EQ(obj_->Init(work_.c_str(), &host, CERT_SYSTEM_STORE_CURRENT_USER), 0);
  ASSERT_EQ(ImportFile(Pki::Get().user_a.pem, false), 0);
  const std::string thumb = ThumbprintOf(Pki::Get().user_a.der);
  const int32_t code = Code([&] { return obj_->DeleteCertificate(thumb.c_str()); });
  if (moved) fs::rename(gone, work_);
  EXPECT_TRUE(moved);
  EXPECT_EQ(code, 36);
  EXPECT_EQ(host.hooks, 0);
  EXPECT_EQ(obj_->DeleteCertificate(thumb.c_str()), 0);
  EXPECT_EQ(host.hooks, 1);
  obj_.reset();
}

// A thousand certificates are listed with their serials as stored and dates with full stops;
// extended key usages come in the certificate's order; an empty store lists nothing.
TEST_F(Import, ListingDescribesEveryCertificate) {
  IVexorImpl& obj = Object(false);
  CertList list(3);
  ASSERT_EQ(obj.GetCertList(list), 0);
  EXPECT_TRUE(list.empty());
  std::vector<Bytes> listed;
  for (long serial = 1; serial <= 1000; ++serial)
    listed.push_back(test_pki::MakeSelfSigned(serial * 257, "Listed " + std::to_string(serial)));
  SaveStoreFile(work_ / "certstore.sst", listed);
  ASSERT_EQ(obj.AddCertOrCRLToStore(CertFile{Pki::Get().user_a.pem.c_str()}), 0);
  ASSERT_EQ(obj.GetCertList(list), 0);
  ASSERT_EQ(list.size(), 1001u);
  std::set<std::string> subjects;
  for (const CertListItem& item : list) subjects.insert(item.subject);
  EXPECT_EQ(subjects.size(), 1001u);
  // 300 * 257 = 77100 = 0x012D2C, stored little-endian.
  const auto it = std::find_if(list.begin(), list.end(), [](const CertListItem& i) { return i.subject.find("Listed 300") != std::string::npos; });
  ASSERT_NE(it, list.end());
  EXPECT_TRUE(it->flag);
  EXPECT_EQ(it->serialNumber, "2C2D01");
  EXPECT_EQ(it->keyUsages, "");
  EXPECT_EQ(it->validFrom[2], '.');
  EXPECT_EQ(it->validFrom[5], '.');
  const auto user = std::find_if(list.begin(), list.end(), [](const CertListItem& i) { return !i.keyUsages.empty(); });
  ASSERT_NE(user, list.end());
  EXPECT_EQ(user->keyUsages, ", EKU=1.3.6.1.5.5.7.3.2, EKU=1.3.6.1.5.5.7.3.4");
}

}  // namespace library_test
