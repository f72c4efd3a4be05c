// Certificate validity: the revocation check of one link, the lenient chain policy, the
// validity period, the update attempt and the cache of valid certificates. Certificates and
// revocation lists are made by the openssl command with the GOST engine.
#include <gtest/gtest.h>

#include <map>

#include "certs/chain.h"
#include "certs/crl_check.h"
#include "certs/valid_certs_cache.h"
#include "certs/validity.h"
#include "library_fixture.h"
#include "stores/auto_handle.h"
#include "certs/instance_context.h"

namespace library_test {
namespace {

using test_pki::Bytes;
using test_pki::Pki;

// A revocation list of the CA with the given dates (OpensslDate form); with revocations it
// lists what the test CA revoked (the revoked user), otherwise nothing.
Bytes MakeCrl(const test_pki::Cert& ca, bool with_revocations, const std::string& last, const std::string& next) {
  const Bytes index = with_revocations ? test_pki::ReadFile(Pki::Get().dir / "index.txt") : Bytes();
  std::string error;
  Bytes der = test_certs::MakeCrl(ca, std::string(index.begin(), index.end()), last, next, error);
  EXPECT_FALSE(der.empty()) << error;
  return der;
}

// A memory store holding one certificate and some revocation lists: the certificate's
// context belongs to it, as a certificate found in a store does.
class LinkStore {
 public:
  LinkStore(const Bytes& cert, const std::vector<Bytes>& crls) {
    EXPECT_TRUE(CertAddEncodedCertificateToStore(store_.get(), X509_ASN_ENCODING, cert.data(),
                                                 static_cast<DWORD>(cert.size()), CERT_STORE_ADD_ALWAYS, cert_.put()));
    for (const Bytes& crl : crls)
      EXPECT_TRUE(CertAddEncodedCRLToStore(store_.get(), X509_ASN_ENCODING, crl.data(), static_cast<DWORD>(crl.size()),
                                           CERT_STORE_ADD_ALWAYS, nullptr));
  }
  PCCERT_CONTEXT cert() const { return cert_.get(); }

 private:
  auto_store store_{CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr)};
  auto_cert cert_;
};

// The host's revocation lists, one per issuer (by subject name).
class ListHost : public Recorder {
 public:
  void Hold(const Bytes& crl) {
    auto_crl c(CertCreateCRLContext(X509_ASN_ENCODING, crl.data(), static_cast<DWORD>(crl.size())));
    ASSERT_TRUE(c);
    const CERT_NAME_BLOB& issuer = c.get()->pCrlInfo->Issuer;
    lists[std::string(issuer.pbData, issuer.pbData + issuer.cbData)] = std::move(c);
  }
  bool OnGetCRL(PCCERT_CONTEXT issuer, PCCRL_CONTEXT* crl, uint32_t) override {
    ++asked;
    if (*crl != nullptr) {
      *crl = nullptr;  // one list per issuer
      return true;
    }
    const CERT_NAME_BLOB& subject = issuer->pCertInfo->Subject;
    auto it = lists.find(std::string(subject.pbData, subject.pbData + subject.cbData));
    *crl = it != lists.end() ? it->second.get() : nullptr;
    return true;
  }
  std::map<std::string, auto_crl> lists;
  int asked = 0;
};

class Validity : public LibraryTest {
 protected:
  // Writes certstore.sst of the working directory with these certificates and lists.
  void WriteStoreFile(const std::vector<const Bytes*>& certs, const std::vector<const Bytes*>& lists) {
    SaveStoreFile(work_ / "certstore.sst", certs, lists);
  }
};

TEST_F(Validity, RevocationCheckOfOneLink) {
  const Pki& pki = Pki::Get();
  const std::string yesterday = test_certs::OpensslDate(-86400), last_week = test_certs::OpensslDate(-7 * 86400);
  const std::string tomorrow = test_certs::OpensslDate(86400);
  const Bytes expired_listing = MakeCrl(pki.intermediate, true, last_week, yesterday);
  const Bytes current_empty = MakeCrl(pki.intermediate, false, yesterday, tomorrow);
  const Bytes older_listing = MakeCrl(pki.intermediate, true, last_week, tomorrow);
  const Bytes older_empty = MakeCrl(pki.intermediate, false, last_week, tomorrow);
  const Bytes newer_listing = MakeCrl(pki.intermediate, true, yesterday, tomorrow);
  IVexorImpl& obj = Object();
  auto_cert issuer_cert(Parse(pki.intermediate.der));
  PCCERT_CONTEXT issuer = issuer_cert.get();

  struct Row {
    const char* label;
    const Bytes* subject;
    std::vector<Bytes> crls;
    unsigned long code;
    unsigned long update;
  } rows[] = {
      {"no list", &pki.revoked.der, {}, 50, 1},
      {"current list without the subject", &pki.user_a.der, {pki.crl}, 0, 0},
      {"current list naming the subject", &pki.revoked.der, {pki.crl}, 14, 0},
      {"only an expired list naming the subject", &pki.revoked.der, {expired_listing}, 43, 1},
      {"expired then current", &pki.revoked.der, {expired_listing, current_empty}, 0, 0},
      // The newest current list decides, in whatever order the lists are found.
      {"newer list without the subject", &pki.revoked.der, {older_listing, current_empty}, 0, 0},
      {"newer list without the subject, found first", &pki.revoked.der, {current_empty, older_listing}, 0, 0},
      {"newer list naming the subject", &pki.revoked.der, {older_empty, newer_listing}, 14, 0},
      {"newer list naming the subject, found first", &pki.revoked.der, {newer_listing, older_empty}, 14, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    LinkStore link(*row.subject, row.crls);
    InstanceContext ctx = obj.NewCall();
    _TAGCERTVALIDPARAM verdict;
    verdict.updateNeeded = 7;
    EXPECT_TRUE(CertCheckCRL(0, issuer, link.cert(), verdict, ctx));
    EXPECT_EQ(verdict.code, row.code);
    EXPECT_EQ(verdict.updateNeeded, row.update);
  }
  EXPECT_TRUE(cb_.Saw("Не найден CRL для издателя Vexor Test Intermediate CA"));
  EXPECT_TRUE(cb_.Saw("CRL \"Vexor Test Intermediate CA\" для БД не действительна, нужно обновление!"));

  // Switched off: the verdict stays as it was. Host lists without a host: not checked.
  LinkStore link(pki.revoked.der, {pki.crl});
  InstanceContext ctx = obj.NewCall();
  _TAGCERTVALIDPARAM verdict;
  verdict.code = 99;
  ctx.options.SkipCheckCRL = 1;
  CertCheckCRL(0, issuer, link.cert(), verdict, ctx);
  EXPECT_EQ(verdict.code, 99u);
  ctx.options.SkipCheckCRL = 0;
  IVexorImpl lonely;
  ASSERT_EQ(lonely.Init(work_.c_str(), nullptr, CERT_SYSTEM_STORE_CURRENT_USER), 0);
  InstanceContext lonely_ctx = lonely.NewCall();
  CertCheckCRL(CST_EXTERNAL, issuer, link.cert(), verdict, lonely_ctx);
  EXPECT_EQ(verdict.code, 25u);
}

TEST_F(Validity, VerdictsOfTheFullCheck) {
  const Pki& pki = Pki::Get();
  ASSERT_TRUE(test_pki::TrustTestRoot());  // the rows hold their lists themselves
  struct Row {
    const char* label;
    const Bytes* cert;
    std::vector<Bytes> crls;
    std::string ini;
    bool valid;
    unsigned long code;
    const char* text;     // in the verdict (UTF-8), or null
    size_t updates;       // update attempts
    bool cached;          // a second check is answered from the cache
  } rows[] = {
      {"expired", &pki.expired.der, {pki.crl}, "", false, 14, "Срок действия сертификата \"Expired User\" истек!", 0,
       false},
      {"not yet valid", &pki.not_yet_valid.der, {}, "", false, 14,
       "Срок действия сертификата \"Future User\" еще не наступил!", 0, false},
      // The host holds no list for the issuers: one update attempt, then forgiven.
      {"no list anywhere", &pki.user_a.der, {}, "", true, 0, nullptr, 1, false},
      {"no list, update fails", &pki.user_a.der, {}, "SkipUpdateCRL=0\n", true, 44, nullptr, 1, false},
      {"checks switched off", &pki.expired.der, {}, "SkipCheckCertValid=1\n", true, 0, nullptr, 0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    WriteIni(row.ini);
    cb_.lines.clear();
    IVexorImpl& obj = Object();
    LinkStore link(*row.cert, row.crls);
    for (int round = 0; round < 2; ++round) {
      InstanceContext ctx = obj.NewCall();
      _TAGCERTVALIDPARAM verdict;
      EXPECT_EQ(CertIsValid(link.cert(), verdict, ctx), row.valid);
      EXPECT_EQ(verdict.code, row.code);
      if (row.text != nullptr) {
        EXPECT_EQ(text::Cp1251ToUtf8(verdict.text), row.text);
      }
    }
    EXPECT_EQ(cb_.Count("Обновление CRL'я отключено настройками"), row.ini.empty() ? 2 * row.updates : 0);
    EXPECT_EQ(cb_.Count("Не удалось обновить ни одного CRL"), row.ini == "SkipUpdateCRL=0\n" ? 2u : 0u);
    EXPECT_EQ(cb_.Count("\" найден в кэше валидных сертификатов"), row.cached ? 1u : 0u);
    EXPECT_EQ(cb_.Saw("но принудительно продолжим"), row.updates != 0);
  }
}

// A current list in the store file revokes a certificate the host found in My (the tool's
// tests make the same check for a certificate given by its bytes and for a message's signer).
TEST_F(Validity, AListOfTheStoreFileRevokesACertificateFoundInMy) {
  const Pki& pki = Pki::Get();
  ASSERT_TRUE(test_pki::TrustTestRoot());
  ASSERT_TRUE(test_pki::AddToSystemStore("My", pki.revoked.der));
  WriteStoreFile({}, {&pki.crl});
  EXPECT_EQ(CheckCert(Object(), pki.revoked.der, true), 14);
}

// The store file alone may complete a chain: with only the root trusted and the intermediate
// in the file, the chain links and the root's list there revokes the intermediate. Under a
// root nobody trusts (or none at all) the chain is forgiven, but the current list of the key
// that signed the certificate still revokes it; a look-alike authority's list revokes nobody.
TEST_F(Validity, TheStoreFileCompletesChainsAndAnUntrustedChainStillRevokes) {
  const Pki& pki = Pki::Get();
  const std::string yesterday = test_certs::OpensslDate(-86400), tomorrow = test_certs::OpensslDate(86400);
  std::string error;
  const test_pki::Cert lookalike =
      test_certs::MakeAuthority("lookalike-of-file", "/C=RU/O=Vexor Test/CN=Vexor Test Intermediate CA", error);
  ASSERT_FALSE(lookalike.der.empty()) << error;
  const Bytes forged = test_certs::MakeCrl(lookalike, test_certs::RevokedEntry(pki.user_a), yesterday, tomorrow, error);
  const Bytes root_revoking = test_certs::MakeCrl(pki.root, test_certs::RevokedEntry(pki.intermediate), yesterday,
                                                  tomorrow, error);
  const Bytes root_empty = test_certs::MakeCrl(pki.root, "", yesterday, tomorrow, error);
  ASSERT_FALSE(forged.empty() || root_revoking.empty() || root_empty.empty()) << error;
  const Bytes &root = pki.root.der, &ca = pki.intermediate.der;
  const struct Row {
    const char* label;
    bool trusted;  // the root in Root (from this row on)
    const Bytes* cert;
    std::vector<const Bytes*> certs, lists;  // of the store file
    int32_t code;
  } rows[] = {
      {"untrusted root, revoked", false, &pki.revoked.der, {&root, &ca}, {&pki.crl}, 14},
      {"no root, revoked", false, &pki.revoked.der, {&ca}, {&pki.crl}, 14},
      {"untrusted root, not revoked", false, &pki.user_a.der, {&root, &ca}, {&pki.crl}, 0},
      {"look-alike list", false, &pki.user_a.der, {&root, &ca, &lookalike.der}, {&pki.crl, &forged}, 0},
      {"intermediate revoked by the root", true, &pki.user_a.der, {&ca}, {&pki.crl, &root_revoking}, 14},
      {"trusted, revoked", true, &pki.revoked.der, {&ca}, {&pki.crl, &root_empty}, 14},
      {"trusted, nothing revoked", true, &pki.user_a.der, {&ca}, {&pki.crl, &root_empty}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    if (row.trusted) {
      ASSERT_TRUE(test_pki::AddToSystemStore("Root", root));
    }
    WriteStoreFile(row.certs, row.lists);
    cb_.lines.clear();
    EXPECT_EQ(CheckCert(Object(), *row.cert), row.code);
    EXPECT_EQ(cb_.Saw("Всего нашли 1 цепочку"), row.trusted);  // the chain links through the file
  }
}

TEST_F(Validity, UnbuildableChainIsForgivenAndCached) {
  // No trust set up: the intermediate cannot be found, the chain is partial.
  IVexorImpl& obj = Object();
  LinkStore link(Pki::Get().user_a.der, {});
  double now = CurrentLocalDate();
  obj.validCertsCache().SetClock([&now] { return now; });
  auto check = [&] {
    InstanceContext ctx = obj.NewCall();
    _TAGCERTVALIDPARAM verdict;
    const bool valid = CertIsValid(link.cert(), verdict, ctx);
    EXPECT_EQ(verdict.code, 0u);
    return valid;
  };
  const std::string checking = "не найден в кэше валидных сертификатов, проверяем его";
  EXPECT_TRUE(check());
  EXPECT_TRUE(cb_.Saw("принудительно продолжим"));
  EXPECT_TRUE(cb_.Saw("The certificate chain is not complete."));
  // The cache ages in whole minutes, five of them, and lookups do not refresh an entry.
  for (const auto& [seconds, checked] : {std::pair{0, 1u}, {5 * 60 + 59, 1u}, {60, 2u}, {5 * 60 + 59, 2u}}) {
    SCOPED_TRACE(seconds);
    now += seconds / 86400.0;
    EXPECT_TRUE(check());
    EXPECT_EQ(cb_.Count(checking), checked);
  }
}

TEST_F(Validity, HostListsMakeAFullPassAndTheCacheSharesSerials) {
  const Pki& pki = Pki::Get();
  ASSERT_TRUE(test_certs::TrustTestPki());
  const std::string yesterday = test_certs::OpensslDate(-86400), tomorrow = test_certs::OpensslDate(86400);
  ListHost host;
  host.Hold(MakeCrl(pki.intermediate, false, yesterday, tomorrow));
  host.Hold(MakeCrl(pki.root, false, yesterday, tomorrow));
  obj_ = std::make_unique<IVexorImpl>();
  ASSERT_EQ(obj_->Init(work_.c_str(), &host, CERT_SYSTEM_STORE_CURRENT_USER), 0);
  LinkStore link(pki.user_a.der, {pki.crl});
  {
    InstanceContext ctx = obj_->NewCall();
    _TAGCERTVALIDPARAM verdict;
    EXPECT_TRUE(CertIsValid(link.cert(), verdict, ctx));
    EXPECT_EQ(verdict.code, 0u);
  }
  EXPECT_TRUE(host.Saw("сохранен в кэше валидных сертификатов"));
  EXPECT_TRUE(obj_->validCertsCache().Contains(link.cert()->pCertInfo->SerialNumber));

  // Two certificates with equal serial bytes share one entry.
  {
    const Bytes a = test_pki::MakeSelfSigned(4242, "Twin A"), b = test_pki::MakeSelfSigned(4242, "Twin B");
    LinkStore first(a, {}), second(b, {});
    InstanceContext ctx = obj_->NewCall();
    EXPECT_TRUE(CertIsValid(ctx, first.cert()));
    EXPECT_FALSE(host.Saw("Сертификат \"Twin B\" найден в кэше"));
    EXPECT_TRUE(CertIsValid(ctx, second.cert()));
    EXPECT_TRUE(host.Saw("Сертификат \"Twin B\" найден в кэше валидных сертификатов"));
  }
  obj_.reset();  // before the host it calls
}

}  // namespace
}  // namespace library_test
