// Revocation lists from distribution points: downloads from a local HTTP (and HTTPS)
// server into a store, every way a server can fail, the 5-minute rate limit, a revoked
// certificate found revoked after the download, and the forced update of the store file.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <optional>
#include <fstream>
#include <string>
#include <vector>

#include "certs/crl_check_cache.h"
#include "certs/crl_update.h"
#include "certs/http_get.h"
#include "common/standalone_call.h"
#include "library_fixture.h"
#include "local_http_server.h"
#include "stores/auto_handle.h"

namespace library_test {
namespace {

using test_pki::Bytes;
using test_pki::Pki;
using Route = LocalHttpServer::Route;
using Kind = LocalHttpServer::Kind;

class CrlDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Pki::Get().ok()) << Pki::Get().error;
    server_.Add("/ca.crl", Route{Kind::kBody, 200, CrlBody()});
    SetHttpStallTimeout(std::chrono::seconds(1));
    // The issuers of the lists served are known: a list no known issuer signed is refused.
    ASSERT_TRUE(test_pki::TrustTestRoot());
  }

  // A user of the test intermediate with the serial given (hex) and the distribution points
  // given, in DER; made in dir.
  Bytes IssueWithPoints(const test_common::TempDir& dir, const std::string& name, const std::string& serial,
                        const std::string& points) {
    const Pki& pki = Pki::Get();
    const std::string d = dir.path().string();
    std::string stem = name;
    std::replace(stem.begin(), stem.end(), ' ', '_');
    std::ofstream(d + "/" + stem + ".ext") << "keyUsage=digitalSignature,keyEncipherment\ncrlDistributionPoints="
                                           << points << "\n";
    const test_pki::RunResult made = test_pki::Run(
        "cd " + d + " && openssl req -new -engine gost -newkey gost2001 -pkeyopt paramset:A -nodes -keyout " + stem +
        ".key -subj '/CN=" + name + "' -out " + stem + ".csr 2>&1 && openssl x509 -req -engine gost -in " + stem +
        ".csr -CA " + pki.intermediate.pem.string() + " -CAkey " + pki.intermediate.key.string() + " -set_serial 0x" +
        serial + " -days 30 -extfile " + stem + ".ext -outform DER -out " + stem + ".der 2>&1");
    EXPECT_EQ(made.status, 0) << made.out;
    return test_pki::ReadFile(dir.path() / (stem + ".der"));
  }
  // The test intermediate's list, as a server sends it.
  static std::string CrlBody() { return std::string(Pki::Get().crl.begin(), Pki::Get().crl.end()); }
  void TearDown() override { SetHttpStallTimeout(std::chrono::seconds(30)); }
  bool Logged(const std::string& text) const {
    return std::any_of(call_.log.lines.begin(), call_.log.lines.end(), [&](const std::string& l) { return l.find(text) != l.npos; });
  }

  LocalHttpServer server_;
  test_pki::ScopedHome home_;
  test_common::StandaloneCall call_;
  auto_store target_{CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr)};  // where the lists go
};

}  // namespace

TEST_F(CrlDownload, EveryFailingServerLeavesTheStoreAlone) {
  InstanceContext ctx = call_.Make();
  const std::string kFailed = "Не удалось соединиться с URL";
  const struct Case {
    const char* path;
    Route route;
    int32_t code;
    std::string log;
  } cases[] = {
      {"/404", {Kind::kBody, 404, "not here"}, 12, "Не удалось загрузить CRL для URL"},
      {"/garbage", {Kind::kBody, 200, "this is no revocation list"}, 12,
       "Произошло исключение: Неверный формат данных ASN (CRL)"},
      {"/cut", {Kind::kCutBody, 200, CrlBody()}, 44, kFailed},
      {"/silent", {Kind::kSilent, 200, ""}, 44, kFailed},
      {"/loop", {Kind::kRedirectToSelf, 302, ""}, 44, kFailed},
      {"/huge", {Kind::kHuge, 200, ""}, 44, kFailed},
      {"/401", {Kind::kBody, 401, "who are you"}, 44, "причина: \"HTTP 401\""},
      {"/407", {Kind::kBody, 407, "proxy says no"}, 44, "причина: \"HTTP 407\""},
  };
  for (const Case& c : cases) server_.Add(c.path, c.route);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    call_.log.lines.clear();
    EXPECT_EQ(CertAddCRLInStoreFromURLEx(target_.get(), server_.Url(c.path), ctx), c.code);
    EXPECT_TRUE(Logged(c.log)) << (call_.log.lines.empty() ? "" : call_.log.lines.back());
    EXPECT_EQ(CrlCount(target_.get()), 0);
  }
  EXPECT_EQ(server_.Requests("/loop"), 6);  // the first request and five redirects, no more
  EXPECT_EQ(CertAddCRLInStoreFromURLEx(target_.get(), "ldap://127.0.0.1/cn=ca?crl", ctx), 35);
  EXPECT_EQ(CertAddCRLInStoreFromURLEx(target_.get(), server_.Url("/ca.crl"), ctx), 0);
  EXPECT_EQ(CrlCount(target_.get()), 1);
}

TEST_F(CrlDownload, AnAddressIsFetchedOnceInFiveMinutesUnlessItFailed) {
  CrlCheckCache cache;
  InstanceContext ctx = call_.Make();
  ctx.shared.crlCache = &cache;
  EXPECT_EQ(ProcessCRLAddress(target_.get(), server_.Url("/ca.crl"), ctx), 0);
  EXPECT_EQ(ProcessCRLAddress(target_.get(), "HTTP://127.0.0.1:" + server_.Url("/ca.crl").substr(17), ctx), 0);
  EXPECT_EQ(server_.Requests("/ca.crl"), 1);
  EXPECT_TRUE(Logged("обрабатывался менее 5 минут назад!"));
  server_.Add("/cut", Route{Kind::kCutBody, 200, "abc"});
  EXPECT_EQ(ProcessCRLAddress(target_.get(), server_.Url("/cut"), ctx), 44);
  EXPECT_EQ(ProcessCRLAddress(target_.get(), server_.Url("/cut"), ctx), 44);
  EXPECT_EQ(server_.Requests("/cut"), 2);
}

// A list one object downloaded (checking a sibling found in My) revokes, for a fresh object
// that remembers nothing, the certificate it lists, without asking the server again.
TEST_F(CrlDownload, ADownloadedListServesEveryLaterCheck) {
  const Pki& pki = Pki::Get();
  test_common::TempDir dir;
  const std::string d = dir.path().string();
  const std::string points = "URI:" + server_.Url("/ca.crl") + ",URI:" + server_.Url("/ca.crl");
  const Bytes revoked = IssueWithPoints(dir, "Distribution Point User", test_certs::SerialOf(pki.revoked), points);
  const Bytes sibling = IssueWithPoints(dir, "Sibling", "7777", points);
  ASSERT_FALSE(revoked.empty() || sibling.empty());
  std::string error;
  const Bytes root_list =
      test_certs::MakeCrl(pki.root, "", test_certs::OpensslDate(-86400), test_certs::OpensslDate(86400), error);
  ASSERT_FALSE(root_list.empty()) << error;
  {
    auto_store root(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "Root"));
    ASSERT_TRUE(CertAddEncodedCRLToStore(root.get(), X509_ASN_ENCODING, root_list.data(),
                                         static_cast<DWORD>(root_list.size()), CERT_STORE_ADD_ALWAYS, nullptr));
  }
  ASSERT_TRUE(test_pki::AddToSystemStore("My", sibling));
  WriteIniTo(dir.path(), "SkipUpdateCRL=0\n");

  {
    Recorder log;
    IVexorImpl obj;
    ASSERT_EQ(obj.Init(d.c_str(), &log, CERT_SYSTEM_STORE_CURRENT_USER), 0);
    EXPECT_EQ(CheckCert(obj, sibling, true), 0);
    EXPECT_EQ(server_.Requests("/ca.crl"), 1);  // two points, one address, one request
  }
  Recorder log;
  IVexorImpl fresh;
  ASSERT_EQ(fresh.Init(d.c_str(), &log, CERT_SYSTEM_STORE_CURRENT_USER), 0);
  EXPECT_EQ(CheckCert(fresh, revoked), 14);
  EXPECT_EQ(server_.Requests("/ca.crl"), 1);
  EXPECT_FALSE(log.Saw("Отсутствует CRL"));
  EXPECT_FALSE(log.Saw("Соединение c URL"));
}

// A list signed by a look-alike authority - the intermediate's name, a key of its own - is
// neither stored (by the import slots or a download) nor used, however new it is and whoever
// it names; the genuine list keeps revoking. A genuine list dated a week ahead is refused too.
TEST_F(CrlDownload, ListsOfALookAlikeAuthorityAreNeitherStoredNorUsed) {
  const Pki& pki = Pki::Get();
  test_common::TempDir dir;
  const std::string d = dir.path().string();
  std::string error;
  const test_pki::Cert lookalike =
      test_certs::MakeAuthority("lookalike", "/C=RU/O=Vexor Test/CN=Vexor Test Intermediate CA", error);
  ASSERT_FALSE(lookalike.der.empty()) << error;
  const std::string tomorrow = test_certs::OpensslDate(86400);
  // Issued a minute ahead: newer than the genuine list, within the clock's allowance.
  const Bytes forged_empty = test_certs::MakeCrl(lookalike, "", test_certs::OpensslDate(60), tomorrow, error);
  const Bytes forged_revoking =
      test_certs::MakeCrl(lookalike, test_certs::RevokedEntry(pki.user_a), test_certs::OpensslDate(-3600), tomorrow, error);
  const Bytes future = test_certs::MakeCrl(pki.intermediate, "", test_certs::OpensslDate(7 * 86400),
                                           test_certs::OpensslDate(8 * 86400), error);
  ASSERT_FALSE(forged_empty.empty() || forged_revoking.empty() || future.empty()) << error;
  test_pki::WriteFile(dir.path() / "forged.crl", forged_empty);
  server_.Add("/forged.crl", Route{Kind::kBody, 200, std::string(forged_empty.begin(), forged_empty.end())});
  const Bytes revoked = IssueWithPoints(dir, "Revoked At Forged Point", test_certs::SerialOf(pki.revoked),
                                        "URI:" + server_.Url("/forged.crl"));
  ASSERT_FALSE(revoked.empty());
  WriteIniTo(dir.path(), "SkipUpdateCRL=0\n");
  const std::string sst = d + "/certstore.sst";
  const auto lists_kept = [&] {
    auto_store file(CertOpenStore(CERT_STORE_PROV_FILENAME_A, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                  CERT_STORE_OPEN_EXISTING_FLAG, sst.c_str()));
    auto_store my(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "My"));
    return (file ? CrlCount(file.get()) : 0) + CrlCount(my.get());
  };

  Recorder log;
  IVexorImpl obj;
  ASSERT_EQ(obj.Init(d.c_str(), &log, CERT_SYSTEM_STORE_CURRENT_USER), 0);
  const auto import = [&](const auto& item) {
    std::string text;
    const int32_t rc = Code([&] { return obj.AddCertOrCRLToStore(item); }, &text);
    log.lines.push_back(text);
    return rc;
  };
  const std::string forged_path = d + "/forged.crl";
  EXPECT_EQ(import(CrlFile{forged_path.c_str()}), 19);
  EXPECT_TRUE(log.Saw("CRL \"Vexor Test Intermediate CA\" не подписан ни одним известным издателем"));
  EXPECT_EQ(import(CrlEncoded{{static_cast<DWORD>(future.size()), const_cast<BYTE*>(future.data())}}), 19);
  EXPECT_TRUE(log.Saw("имеет недопустимые даты выпуска"));
  EXPECT_EQ(lists_kept(), 0);

  // Downloaded from the distribution point: refused, so the revocation stays unknown.
  EXPECT_EQ(CheckCert(obj, revoked), 0);
  EXPECT_EQ(server_.Requests("/forged.crl"), 1);
  EXPECT_EQ(lists_kept(), 0);

  // With the genuine list stored and the forged ones planted in My past every check.
  EXPECT_EQ(import(CrlEncoded{{static_cast<DWORD>(pki.crl.size()), const_cast<BYTE*>(pki.crl.data())}}), 0);
  {
    auto_store my(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "My"));
    for (const Bytes* crl : {&forged_empty, &forged_revoking})
      ASSERT_TRUE(CertAddEncodedCRLToStore(my.get(), X509_ASN_ENCODING, crl->data(), static_cast<DWORD>(crl->size()),
                                           CERT_STORE_ADD_ALWAYS, nullptr));
  }
  IVexorImpl later;
  ASSERT_EQ(later.Init(d.c_str(), &log, CERT_SYSTEM_STORE_CURRENT_USER), 0);
  EXPECT_EQ(CheckCert(later, revoked), 14);
  EXPECT_EQ(CheckCert(later, pki.user_a.der), 0);
}

// A server that trickles its answer is given up on at the download's deadline, which
// CRLDownloadTimeout sets.
TEST_F(CrlDownload, ADownloadEndsAtItsDeadline) {
  test_common::TempDir dir;
  server_.Add("/trickle", Route{Kind::kTrickle, 200, ""});
  WriteIniTo(dir.path(), "CRLDownloadTimeout=2\n");
  IVexorImpl obj;
  ASSERT_EQ(obj.Init(dir.path().c_str(), nullptr, CERT_SYSTEM_STORE_CURRENT_USER), 0);
  InstanceContext ctx = obj.NewCall();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CertAddCRLInStoreFromURLEx(target_.get(), server_.Url("/trickle"), ctx), 44);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(1900));
  EXPECT_LT(took, std::chrono::seconds(5));
}

// The forced update fetches each address once and saves the store file as it is then: an
// import by another object while it waits for /b.crl must survive the save.
TEST_F(CrlDownload, ForcedUpdateFetchesEachAddressOnceAndSavesTheStoreFile) {
  test_common::TempDir dir;
  const std::string d = dir.path().string(), a = server_.Url("/a.crl"), b = server_.Url("/b.crl");
  server_.Add("/a.crl", Route{Kind::kBody, 200, CrlBody()});
  server_.Add("/b.crl", Route{Kind::kBody, 200, CrlBody()});
  IVexorImpl importer;
  int32_t imported = -1;
  server_.Before("/b.crl", [&] { imported = importer.AddCertOrCRLToStore(CertFile{Pki::Get().user_a.pem.c_str()}); });
  const char* paths[] = {"/ca.crl", "/a.crl", "/b.crl"};
  std::vector<Bytes> holders;
  for (long i = 0; i < 100; ++i)
    holders.push_back(test_pki::MakeSelfSigned(5000 + i, "Holder " + std::to_string(i), 0, server_.Url(paths[i % 3])));
  holders.push_back(IssueWithPoints(dir, "Three Points", "5151", "URI:" + a + ",URI:" + b + ",DNS:crl.example.ru"));
  ASSERT_FALSE(holders.back().empty());
  const std::string sst = d + "/certstore.sst";
  SaveStoreFile(sst, holders);

  IVexorImpl off;
  ASSERT_EQ(off.Init(d.c_str(), nullptr, CERT_SYSTEM_STORE_CURRENT_USER), 0);
  EXPECT_EQ(off.CertUpdateCRLs(), 0);  // switched off by default
  EXPECT_EQ(server_.Requests("/ca.crl"), 0);

  WriteIniTo(dir.path(), "SkipUpdateCRL=0\nSkipUpdateCRLInInit=0\n");
  Recorder log;
  IVexorImpl obj;
  ASSERT_EQ(obj.Init(d.c_str(), &log, CERT_SYSTEM_STORE_CURRENT_USER), 0);
  ASSERT_EQ(importer.Init(d.c_str(), nullptr, CERT_SYSTEM_STORE_CURRENT_USER), 0);
  EXPECT_FALSE(obj.NewCall().shared.crlCache->LastForcedUpdate().has_value());
  const std::time_t before = std::time(nullptr);
  EXPECT_EQ(obj.CertUpdateCRLs(), 0);
  for (const char* p : paths) EXPECT_EQ(server_.Requests(p), 1) << p;
  EXPECT_EQ(imported, 0);
  auto_store saved(CertOpenStore(CERT_STORE_PROV_FILENAME_A, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                 CERT_STORE_OPEN_EXISTING_FLAG, sst.c_str()));
  ASSERT_TRUE(saved);
  EXPECT_EQ(CrlCount(saved.get()), 1);
  EXPECT_EQ(CertCount(saved.get()), 102);  // the holders and the import made during the update

  std::vector<std::string> points, requests;
  for (const std::string& line : log.lines) {
    if (line.rfind("URL", 0) == 0) points.push_back(line);
    if (line.rfind("Запрос: ", 0) == 0) requests.push_back(line);
  }
  const std::vector<std::string> three = {"URLs: 1", "URL: " + a, "URLs: 1", "URL: " + b, "URLs: 1"};
  EXPECT_NE(std::search(points.begin(), points.end(), three.begin(), three.end()), points.end());
  ASSERT_EQ(requests.size(), 3u);
  for (const std::string& request : requests) {
    EXPECT_EQ(request.rfind("Запрос: GET /", 0), 0u) << request;
    EXPECT_NE(request.find(" HTTP/1.1\nHost: 127.0.0.1:"), std::string::npos) << request;
    EXPECT_NE(request.find("\nUser-Agent: Vexor\n"), std::string::npos) << request;
    EXPECT_EQ(request.find('\r'), std::string::npos);
  }
  const std::optional<std::time_t> when = obj.NewCall().shared.crlCache->LastForcedUpdate();
  ASSERT_TRUE(when.has_value());
  EXPECT_GE(*when, before);
  EXPECT_LE(*when, std::time(nullptr));
}

// HTTPS is verified against the trust store ($SSL_CERT_FILE here): a server it does not
// trust is a failed download.
TEST_F(CrlDownload, HttpsIsVerified) {
  test_common::TempDir dir;
  const std::string d = dir.path().string();
  test_pki::WriteFile(dir.path() / "ca.crl", Pki::Get().crl);
  ASSERT_EQ(test_pki::Run("cd " + d + " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
                          " -keyout tls.key -out tls.pem -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1"
                          " -days 2 2>&1").status, 0);
  // A free port: the kernel picks one, the server takes it once the probe lets go.
  std::string port;
  {
    LocalHttpServer probe;
    port = probe.Url("").substr(17);
  }
  const pid_t server = fork();
  if (server == 0) {
    if (chdir(d.c_str()) != 0) _exit(1);
    execlp("openssl", "openssl", "s_server", "-quiet", "-WWW", "-accept", ("127.0.0.1:" + port).c_str(), "-cert",
           "tls.pem", "-key", "tls.key", static_cast<char*>(nullptr));
    _exit(1);
  }
  InstanceContext ctx = call_.Make();
  const std::string url = "https://127.0.0.1:" + port + "/ca.crl";
  int32_t rc = 44;
  setenv("SSL_CERT_FILE", (d + "/tls.pem").c_str(), 1);
  for (int attempt = 0; attempt < 50 && rc != 0; ++attempt, usleep(100000))  // until the server listens
    rc = CertAddCRLInStoreFromURLEx(target_.get(), url, ctx);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(CrlCount(target_.get()), 1);
  setenv("SSL_CERT_FILE", (d + "/nothing.pem").c_str(), 1);
  EXPECT_EQ(CertAddCRLInStoreFromURLEx(target_.get(), url, ctx), 44);
  unsetenv("SSL_CERT_FILE");
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
}

}  // namespace library_test
