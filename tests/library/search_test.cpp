// The certificate search over the store set and the host's own search: identifier rule,
// search modes, filters, the latest-valid choice and the store order.
#include "certs/find_param.h"
#include "certs/search.h"
#include "certs/instance_context.h"
#include "call/result_codes.h"
#include "library_fixture.h"
#include "stores/auto_handle.h"
#include "stores/store_set.h"

using namespace library_test;
using test_pki::Bytes;
using test_pki::Pki;

namespace {

// Two users with one name, both valid now: one became valid ten days ago, the other five.
struct Twins {
  test_pki::Cert early, late;
  std::string error;
};
const Twins& GetTwins() {
  static const Twins twins = [] {
    Twins t;
    const std::string end = test_certs::OpensslDate(300L * 86400);
    t.early = test_certs::IssueUser("twin", "/C=RU/CN=Twin User", test_certs::OpensslDate(-10L * 86400), end, t.error);
    if (t.error.empty())
      t.late = test_certs::IssueUser("twin", "/C=RU/CN=Twin User", test_certs::OpensslDate(-5L * 86400), end, t.error);
    return t;
  }();
  return twins;
}

bool Add(const char* store, const Bytes& der) { return test_pki::AddToSystemStore(store, der); }

Bytes DerOf(PCCERT_CONTEXT c) { return Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded); }

// The host's own search over a memory store, handing out candidates the way an
// enumeration does (each call releases the previous one).
class ExternalSearch : public Recorder {
 public:
  bool OnCertFindEx(_TAGCERTFINDPARAM*, PCCERT_CONTEXT* cert) override {
    ++calls;
    if (stop_with_null) {
      *cert = nullptr;
      return true;
    }
    *cert = CertEnumCertificatesInStore(store.get(), *cert);
    return *cert != nullptr;
  }
  auto_store store{CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr)};
  int calls = 0;
  bool stop_with_null = false;
};

class Search : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_TRUE(test_certs::TrustTestPki());
  }
  // Runs the walk with a record the test has filled; the found certificate's DER or empty.
  int32_t Find(IVexorImpl& obj, AUTO_CERTFINDPARAM& params, Bytes& found) {
    InstanceContext ctx = obj.NewCall();
    auto_cert cert;
    const int32_t rc = FindCertInStores(&params, cert.put(), ctx);
    found = cert ? DerOf(cert.get()) : Bytes();
    return rc;
  }
  int32_t FindId(IVexorImpl& obj, const std::string& identifier, unsigned long mask, Bytes& found) {
    AUTO_CERTFINDPARAM params;
    params.storeMask = mask;
    SetCertIdentifier(identifier, params);
    return Find(obj, params, found);
  }
};

}  // namespace

TEST_F(Search, ByThumbprintNameAndEmail) {
  const Pki& pki = Pki::Get();
  for (const auto* c : {&pki.user_a, &pki.user_xa, &pki.user_email}) ASSERT_TRUE(Add("My", c->der));
  IVexorImpl& obj = Object();
  std::string thumb = ThumbprintOf(pki.user_xa.der), spaced;
  for (size_t i = 0; i < thumb.size(); i += 2) spaced += thumb.substr(i, 2) + " ";
  for (char& c : spaced) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  struct Row {
    const char* label;
    std::string identifier;
    const Bytes* expected;
  } rows[] = {
      {"thumbprint with spaces in lower case", spaced, &pki.user_xa.der},
      {"common name in another case", test_certs::Cp1251("иВАНОВ иван ИВАНОВИЧ"), &pki.user_a.der},
      {"e-mail address", "user@example.test", &pki.user_email.der},
      {"prefix of a common name", test_certs::Cp1251("Иванов Иван"), nullptr},
      {"unknown e-mail address", "nobody@example.test", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    Bytes found;
    EXPECT_EQ(FindId(obj, row.identifier, CST_MY, found), row.expected ? RC_OK : RC_CERT_NOT_FOUND);
    EXPECT_EQ(found, row.expected ? *row.expected : Bytes());
  }
}

// The later start of validity wins in whatever order the twins were added; a multiple
// selection also hands back both of them.
TEST_F(Search, LaterStartOfValidityWinsWhateverTheOrder) {
  const Twins& twins = GetTwins();
  ASSERT_TRUE(twins.error.empty()) << twins.error;
  for (bool late_first : {false, true}) {
    SCOPED_TRACE(late_first ? "later one added first, multiple selection" : "earlier one added first");
    test_pki::ScopedHome home;
    ASSERT_TRUE(test_certs::TrustTestPki());
    ASSERT_TRUE(Add("My", late_first ? twins.late.der : twins.early.der));
    ASSERT_TRUE(Add("My", late_first ? twins.early.der : twins.late.der));
    AUTO_CERTFINDPARAM params;
    params.storeMask = CST_MY;
    params.subjectCN = "Twin User";
    params.multiSelect = late_first;
    Bytes found;
    EXPECT_EQ(Find(Object(), params, found), RC_OK);
    EXPECT_EQ(found, twins.late.der);
    EXPECT_EQ(params.results.size(), late_first ? 2u : 0u);
  }
  EXPECT_TRUE(cb_.Saw("Из 2 сертификатов, был выбран сертификат старший по дате выпуска"));
  const std::string late = ThumbprintOf(twins.late.der);
  EXPECT_TRUE(cb_.Saw("При множественном выборе сертификатов, было выбрано сертификатов 2\r\n1. Twin User, {"));
  EXPECT_TRUE(cb_.Saw(late.substr(0, 6) + "..." + late.substr(36) + "}\r\n"));
}

TEST_F(Search, PersonalStoreComesFirst) {
  const Pki& pki = Pki::Get();
  ASSERT_TRUE(test_pki::InstallWithKey(pki.user_a, "search-user-a"));
  SaveStoreFile(work_ / "certstore.sst", {&pki.user_a.der, &pki.user_xa.der}, {});
  IVexorImpl& obj = Object();
  {
    InstanceContext ctx = obj.NewCall();
    AUTO_CERTFINDPARAM params;
    params.storeMask = CST_ALL;
    SetCertIdentifier(ThumbprintOf(pki.user_a.der), params);
    auto_cert cert;
    ASSERT_EQ(FindCertInStores(&params, cert.put(), ctx), RC_OK);
    // Only the personal store's copy knows its key container.
    DWORD len = 0;
    EXPECT_TRUE(CertGetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &len));
  }
  EXPECT_TRUE(cb_.Saw("Сертификат(ы) был(и) найден(ы) в хранилище \"Личные\"."));
  EXPECT_FALSE(cb_.Saw("в хранилище \"certstore.sst\""));

  // A certificate only the store file holds is found there, and not at all without UseSST.
  Bytes found;
  EXPECT_EQ(FindId(obj, ThumbprintOf(pki.user_xa.der), CST_ALL, found), RC_OK);
  EXPECT_EQ(found, pki.user_xa.der);
  EXPECT_TRUE(cb_.Saw("Сертификат(ы) был(и) найден(ы) в хранилище \"certstore.sst\"."));
  WriteIni("UseSST=0\n");
  IVexorImpl& no_sst = Object();
  EXPECT_EQ(FindId(no_sst, ThumbprintOf(pki.user_xa.der), CST_ALL, found), RC_CERT_NOT_FOUND);
}

TEST_F(Search, SearchAllStoresLetsALaterStoreWin) {
  const Twins& twins = GetTwins();
  ASSERT_TRUE(twins.error.empty()) << twins.error;
  ASSERT_TRUE(Add("Root", twins.early.der));
  SaveStoreFile(work_ / "certstore.sst", {&twins.late.der}, {});
  IVexorImpl& obj = Object(false);
  for (bool all : {false, true}) {
    SCOPED_TRACE(all ? "search all stores" : "stop at the first hit");
    AUTO_CERTFINDPARAM params;
    params.storeMask = CST_SST | CST_ROOT;
    params.subjectCN = "Twin User";
    params.searchAllStores = all;
    Bytes found;
    EXPECT_EQ(Find(obj, params, found), RC_OK);
    EXPECT_EQ(found, all ? twins.early.der : twins.late.der);
  }
}

// An RSA certificate is never chosen; an expired or not yet valid one only when validity is
// not asked for.
TEST_F(Search, RsaNeverAndInvalidOnlyWhenValidityIsSkipped) {
  const Pki& pki = Pki::Get();
  for (const auto* c : {&pki.rsa, &pki.expired, &pki.not_yet_valid}) ASSERT_TRUE(Add("My", c->der));
  IVexorImpl& obj = Object();
  Bytes found;
  EXPECT_EQ(FindId(obj, ThumbprintOf(pki.rsa.der), CST_ALL, found), RC_CERT_NOT_FOUND);
  EXPECT_TRUE(cb_.Saw("Сертификат не прошел проверку по KeyAlgID, текущий KeyAlgID равен \"1.2.840.113549.1.1.1\"!"));
  for (const char* name : {"RSA User", "Expired User", "Future User"}) {
    SCOPED_TRACE(name);
    AUTO_CERTFINDPARAM params;
    params.storeMask = CST_MY;
    params.subjectCN = name;
    EXPECT_EQ(Find(obj, params, found), RC_CERT_NOT_FOUND);
    params.skipValidity = true;
    EXPECT_EQ(Find(obj, params, found), std::string(name) == "RSA User" ? RC_CERT_NOT_FOUND : RC_OK);
    EXPECT_EQ(found.empty(), std::string(name) == "RSA User");
  }
}

TEST_F(Search, HostSearchFiltersItsCandidates) {
  const Pki& pki = Pki::Get();
  ExternalSearch host;
  for (const auto* c : {&pki.rsa, &pki.expired, &pki.user_xa})
    ASSERT_TRUE(CertAddEncodedCertificateToStore(host.store.get(), X509_ASN_ENCODING, c->der.data(),
                                                 static_cast<DWORD>(c->der.size()), CERT_STORE_ADD_NEW, nullptr));
  IVexorImpl obj;
  ASSERT_EQ(obj.Init(work_.c_str(), &host, CERT_SYSTEM_STORE_CURRENT_USER), 0);
  AUTO_CERTFINDPARAM params;
  params.storeMask = CST_EXTERNAL;
  params.subjectCN = "anything: the host decides";
  Bytes found;
  EXPECT_EQ(Find(obj, params, found), RC_OK);
  EXPECT_EQ(found, pki.user_xa.der);
  EXPECT_EQ(host.calls, 4);  // three candidates, then the end

  ExternalSearch stops;
  stops.stop_with_null = true;
  IVexorImpl obj2;
  ASSERT_EQ(obj2.Init(work_.c_str(), &stops, CERT_SYSTEM_STORE_CURRENT_USER), 0);
  EXPECT_EQ(Find(obj2, params, found), RC_CERT_NOT_FOUND);
  EXPECT_EQ(stops.calls, 1);
}
