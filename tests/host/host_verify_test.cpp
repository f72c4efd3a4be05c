// Verification, unpacking, signer extraction and the certificate check as a host uses them:
// the library loaded with dlopen, messages made by the library itself and by
// `openssl cms -sign` with the GOST engine, certificates and lists in a temporary home.
#include <stdlib.h>

#include <filesystem>
#include <algorithm>
#include <cctype>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "host/host_library.h"
#include "library/test_certs.h"
#include "tools/host_callback.h"
#include "vexor/vexor.h"

namespace fs = std::filesystem;
using test_pki::Bytes;
using test_pki::Pki;

namespace {

using host::Call;
using host::Object;
using host::Quote;
using host::ReadText;
using host::Thumb;
using host::WriteText;
using test_certs::Cp1251;  // the library's texts are compared in its code page

// Counts what the library hands over and can play the host's revocation lists.
class VerifyCallback : public HostCallback {
 public:
  bool OnAddCertOrCRL(const CRYPT_DATA_BLOB& item, uint32_t kind, uint32_t*) override {
    offered.emplace_back(kind, Bytes(item.pbData, item.pbData + item.cbData));
    return true;
  }
  std::vector<std::pair<uint32_t, Bytes>> offered;
};

// The "quilmar" files in a directory.
size_t TempFiles(const fs::path& dir) {
  size_t n = 0;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string().rfind("qui", 0) == 0) ++n;
  return n;
}

// Temporary files go to a folder of the test's own, so that what a call leaves is seen.
class HostVerify : public host::PkiTest {
 protected:
  void SetUp() override {
    host::PkiTest::SetUp();
    if (HasFatalFailure()) return;
    temp_ = work_ / "tmp";
    fs::create_directories(temp_);
    if (const char* prev = getenv("TMPDIR")) old_tmpdir_ = prev;
    setenv("TMPDIR", temp_.c_str(), 1);
  }
  void TearDown() override {
    if (old_tmpdir_.empty())
      unsetenv("TMPDIR");
    else
      setenv("TMPDIR", old_tmpdir_.c_str(), 1);
  }
  // `openssl cms -sign` with the given signers (certificate and key each) and options; DER out.
  std::string OpensslSign(const std::string& data, const std::vector<const test_pki::Cert*>& signers,
                          bool detached, const std::string& options = "") {
    WriteText(work_ / "in.bin", data);
    std::string cmd = "openssl cms -sign -engine gost -binary -outform DER -md md_gost94 " + options + " -in " +
                      Quote(work_ / "in.bin") + " -out " + Quote(work_ / "out.p7s");
    if (!detached) cmd += " -nodetach";
    for (const test_pki::Cert* s : signers) cmd += " -signer " + Quote(s->pem) + " -inkey " + Quote(s->key);
    const test_pki::RunResult r = test_pki::Run(cmd + " 2>&1");
    EXPECT_EQ(r.status, 0) << r.out;
    return ReadText(work_ / "out.p7s");
  }

  fs::path temp_;
  std::string old_tmpdir_;
};

// Flips one byte inside the signature value of the signer with the given index.
std::string BreakSignature(const std::string& message, DWORD index) {
  HCRYPTMSG msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
  EXPECT_TRUE(CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(message.data()), static_cast<DWORD>(message.size()),
                             TRUE));
  DWORD size = 0;
  EXPECT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, index, nullptr, &size));
  std::vector<BYTE> buffer(size);
  EXPECT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, index, buffer.data(), &size));
  const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
  const std::string signature(reinterpret_cast<const char*>(info->EncryptedHash.pbData), info->EncryptedHash.cbData);
  CryptMsgClose(msg);
  std::string broken = message;
  const size_t at = broken.find(signature);
  EXPECT_NE(at, std::string::npos);
  if (at != std::string::npos) broken[at + signature.size() / 2] ^= 0x5A;
  return broken;
}

TEST_F(HostVerify, LibraryMessagesVerifyInEverySlot) {
  VerifyCallback cb;
  Object obj = NewObject(&cb);
  const std::string data = "Платёжное поручение №7\n" + std::string(3000, 'z');
  std::string attached, detached;
  ASSERT_EQ(Sign(*obj, host::ByName("Иванов Иван Иванович"), data, false, attached), 0);
  ASSERT_EQ(Sign(*obj, host::ByName("Иванов Иван Иванович"), data, true, detached), 0);
  const std::string thumb = Thumb(Pki::Get().user_a.der);
  std::string lower = thumb;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

  // Slots 5 and 8 filter by subject, the others take the expected certificate; 6 also
  // writes the content out.
  std::ostringstream content_out;
  const auto run = [&](int slot, SignerCheckList& l) {
    std::istringstream a(attached), d(detached), c(data);
    switch (slot) {
      case 5: return obj->check_stream_a(a, l, VEXOR_FORMAT_PKCS7);
      case 6: return obj->check_stream_a(a, l, content_out, 77u, VEXOR_FORMAT_PKCS7);
      case 7: return obj->check_stream_a(a, l, 77u, VEXOR_FORMAT_PKCS7);
      case 8: return obj->check_stream_d(d, c, l, VEXOR_FORMAT_PKCS7);
      default: return obj->check_stream_d(d, c, l, 77u, VEXOR_FORMAT_PKCS7);
    }
  };
  const time_t now = time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char day[16];
  std::strftime(day, sizeof day, "%d.%m.%Y", &local);
  for (int slot = 5; slot <= 9; ++slot) {
    SCOPED_TRACE(slot);
    const bool by_subject = slot == 5 || slot == 8;
    SignerCheckList list;
    list.checkValidity = true;
    // Subject criteria are compared ignoring case; thumbprints too.
    list.items.emplace_back();
    list.items[0].subjectCN = by_subject ? Cp1251("ИВАНОВ ИВАН") : "";
    list.items[0].thumbprint = by_subject ? "" : lower;
    cb.offered.clear();
    ASSERT_EQ(run(slot, list), 0);
    ASSERT_EQ(list.items.size(), 1u);
    const SignerCheckResult& r = list.items[0];
    EXPECT_TRUE(r.signValid && r.certValid);
    EXPECT_EQ(r.thumbprint, thumb);
    EXPECT_NE(r.subjectCN.find(Cp1251("CN=Иванов Иван Иванович")), std::string::npos);
    EXPECT_EQ(r.cert, nullptr);
    // Subject, [status,] signing time (today, local), thumbprint[, the certificate's key usages
    // and policy], tab-separated.
    const size_t subject_end = r.description.find('\t');
    EXPECT_NE(r.description.substr(0, subject_end).find(Cp1251("CN=Иванов Иван Иванович")), std::string::npos);
    std::string rest = r.description.substr(std::min(subject_end, r.description.size()));
    const std::string today = day;
    if (const size_t at = rest.find(today + " "); at != std::string::npos) {  // the time of day masked
      std::string time = rest.substr(at + today.size() + 1, 8);
      for (char& c : time)
        if (std::isdigit(static_cast<unsigned char>(c))) c = '#';
      if (time == "##:##:##") rest.replace(at + today.size() + 1, 8, "hh:mm:ss");
    }
    const std::string status = by_subject ? "" : "\t" + Cp1251("Подпись верна Cертификат действителен");
    const std::string usages = by_subject ? "\t\tOID:1.3.6.1.5.5.7.3.2;1.3.6.1.5.5.7.3.4;1.2.643.100.113.1" : "";
    EXPECT_EQ(rest, status + "\t" + day + " hh:mm:ss\t" + thumb + usages) << r.description;
    // Every signature good: the message's certificate goes to the host.
    ASSERT_EQ(cb.offered.size(), 1u);
    EXPECT_EQ(cb.offered[0].first, VEXOR_ITEM_CERT);
    EXPECT_EQ(cb.offered[0].second, Pki::Get().user_a.der);
  }
  EXPECT_EQ(content_out.str(), data);
  EXPECT_EQ(TempFiles(temp_), 0u);
}

TEST_F(HostVerify, OpensslMessagesAndBrokenSigners) {
  const Pki& pki = Pki::Get();
  VerifyCallback cb;
  Object obj = NewObject(&cb);
  const std::string data(70000, 'q');
  const std::string one = OpensslSign(data, {&pki.user_a}, false);
  const std::string two = OpensslSign(data, {&pki.user_a, &pki.user_xa}, false);
  const std::string broken = BreakSignature(two, 1);

  struct Row {
    const char* label;
    std::string message;
    std::vector<bool> verdicts;
    size_t offered;
  } rows[] = {
      {"one signer", one, {true}, 1},
      {"two signers", two, {true, true}, 2},
      {"second signature broken", broken, {true, false}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    for (bool by_subject : {true, false}) {
      SCOPED_TRACE(by_subject ? "subject filter" : "expected certificate");
      cb.offered.clear();
      SignerCheckList list;
      list.checkValidity = true;
      std::istringstream s(row.message);
      std::ostringstream content;
      const int32_t rc = by_subject ? obj->check_stream_a(s, list, VEXOR_FORMAT_PKCS7)
                                    : obj->check_stream_a(s, list, content, 0u, VEXOR_FORMAT_PKCS7);
      ASSERT_EQ(rc, 0);
      ASSERT_EQ(list.items.size(), row.verdicts.size());
      for (size_t i = 0; i < row.verdicts.size(); ++i) {
        EXPECT_EQ(list.items[i].signValid, row.verdicts[i]) << i;
        EXPECT_TRUE(list.items[i].certValid) << i;
        // Time and key usages only for a good signature.
        EXPECT_EQ(list.items[i].signTime != 0, row.verdicts[i]) << i;
      }
      EXPECT_EQ(cb.offered.size(), row.offered);
      if (!by_subject) {
        EXPECT_EQ(content.str(), data);
        if (!row.verdicts.back()) {
          EXPECT_NE(list.items.back().description.find(Cp1251("Подпись неверна Cертификат действителен")),
                    std::string::npos);
        }
      }
    }
  }

  // extract_signers gives the same verdicts on the detached form.
  const std::string detached = BreakSignature(OpensslSign(data, {&pki.user_a, &pki.user_xa}, true), 0);
  SignerCheckList list;
  list.items.resize(1);  // kept: records are appended
  std::istringstream s(detached), c(data);
  ASSERT_EQ(obj->extract_signers(s, c, list), 0);
  ASSERT_EQ(list.items.size(), 3u);
  obj.reset();  // the contexts belong to the host and outlive the object
  for (size_t i : {1, 2}) {
    EXPECT_EQ(list.items[i].signValid, i == 2) << i;
    PCCERT_CONTEXT cert = list.items[i].cert;
    ASSERT_NE(cert, nullptr) << i;
    EXPECT_EQ(Bytes(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded),
              i == 1 ? pki.user_a.der : pki.user_xa.der);
    EXPECT_TRUE(CertFreeCertificateContext(cert));
  }
}

// Supplies the certificate of one signer the message lacks, and counts what it gets back.
class SignerHost : public HostCallback {
 public:
  explicit SignerHost(const Bytes& der)
      : cert(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()))) {}
  ~SignerHost() override { CertFreeCertificateContext(cert); }
  bool OnFindSignerCert(PCERT_INFO id, PCCERT_CONTEXT* out) override {
    ++asked;
    if (!CertCompareIntegerBlob(&id->SerialNumber, &cert->pCertInfo->SerialNumber)) return false;
    *out = CertDuplicateCertificateContext(cert);
    return true;
  }
  void OnFreeSignerCert(PCCERT_CONTEXT c) override {
    ++returned;
    CertFreeCertificateContext(c);
  }
  PCCERT_CONTEXT cert;
  int asked = 0, returned = 0;
};

TEST_F(HostVerify, SignerCertificateMissingFromTheMessage) {
  const Pki& pki = Pki::Get();
  // Two signers; only the first one's certificate travels with the message.
  const std::string message =
      OpensslSign("missing", {&pki.user_a, &pki.user_xa}, true, "-nocerts -certfile " + Quote(pki.user_a.pem));
  Object obj = NewObject();
  std::string text;
  SignerCheckList list;
  std::istringstream s1(message), c1("missing");
  EXPECT_EQ(Call([&] { return obj->extract_signers(s1, c1, list); }, &text), 17);
  EXPECT_EQ(text, Cp1251("Не удалось выгрузить сертификат подписанта"));
  ASSERT_EQ(list.items.size(), 1u);  // the first signer's record stays
  EXPECT_TRUE(list.items[0].signValid);
  EXPECT_TRUE(CertFreeCertificateContext(list.items[0].cert));

  // A host that knows the second signer: both verify, and its certificate goes back to it.
  SignerHost host(pki.user_xa.der);
  Object hosted = NewObject(&host);
  for (bool by_subject : {true, false}) {
    SCOPED_TRACE(by_subject ? "subject filter" : "expected certificate");
    const auto check = [&](IVexor& o, SignerCheckList& l, std::string* said) {
      std::istringstream s(message), c("missing");
      return Call([&] { return by_subject ? o.check_stream_d(s, c, l, VEXOR_FORMAT_PKCS7)
                                          : o.check_stream_d(s, c, l, 0u, VEXOR_FORMAT_PKCS7); }, said);
    };
    SignerCheckList alone, checked;
    EXPECT_EQ(check(*obj, alone, &text), 17);
    EXPECT_EQ(text, Cp1251("Не удалось найти сертификат подписанта"));
    EXPECT_EQ(alone.items.size(), 1u);
    host.asked = host.returned = 0;
    ASSERT_EQ(check(*hosted, checked, nullptr), 0);
    ASSERT_EQ(checked.items.size(), 2u);
    EXPECT_TRUE(checked.items[0].signValid && checked.items[1].signValid);
    EXPECT_EQ(checked.items[1].thumbprint, Thumb(pki.user_xa.der));
    // The subject filter asks only for the missing certificate; the other check asks always.
    EXPECT_EQ(host.asked, by_subject ? 1 : 2);
    EXPECT_EQ(host.returned, 1);
  }
  hosted.reset();
}

// The criteria decide the signature verdict, and a signer other than the one expected is
// told in the description. The expected-certificate slot counts an expired signer only with
// checkValidity; the subject filter always checks.
TEST_F(HostVerify, CriteriaAndValidityDecideTheVerdicts) {
  const Pki& pki = Pki::Get();
  Object obj = NewObject();
  auto check = [&](const std::string& message, bool by_cert, const std::string& thumb, const std::string& cn,
                   bool validity = false) {
    SignerCheckList list;
    list.checkValidity = validity;
    if (!thumb.empty() || !cn.empty()) {
      list.items.resize(1);
      list.items[0].thumbprint = thumb;
      list.items[0].subjectCN = Cp1251(cn);
    }
    std::istringstream s(message);
    EXPECT_EQ(by_cert ? obj->check_stream_a(s, list, 0u, VEXOR_FORMAT_PKCS7)
                      : obj->check_stream_a(s, list, VEXOR_FORMAT_PKCS7), 0);
    EXPECT_EQ(list.items.size(), 1u);
    list.items.resize(1);
    return list.items[0];
  };
  const std::string message = OpensslSign("criteria", {&pki.user_a}, false);
  const struct {
    const char* label;
    SignerCheckResult result;
    bool sign_valid, told;
  } rows[] = {
      {"no criteria", check(message, false, "", ""), true, false},
      {"subject part in other case", check(message, false, "", "ромашка"), true, false},
      {"subject elsewhere", check(message, false, "", "Петров"), false, false},
      {"thumbprint", check(message, true, Thumb(pki.user_a.der), ""), true, false},
      {"common name exactly", check(message, true, "", "Иванов Иван Иванович"), true, false},
      {"common name in part", check(message, true, "", "Иванов"), false, true},
      {"other certificate", check(message, true, Thumb(pki.user_xa.der), "User XA"), false, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(row.result.signValid, row.sign_valid);
    EXPECT_EQ(row.result.description.find(Cp1251("Файл должен быть подписан другим сертификатом.")) != std::string::npos,
              row.told);
  }
  const std::string expired = OpensslSign("old", {&pki.expired}, false);
  for (const auto& [by_cert, validity, cert_valid] : {std::tuple{true, false, true}, {true, true, false},
                                                      {false, false, false}}) {
    SCOPED_TRACE(std::string(by_cert ? "expected certificate" : "subject filter") + (validity ? ", checked" : ""));
    const SignerCheckResult r = check(expired, by_cert, "", "", validity);
    EXPECT_TRUE(r.signValid);
    EXPECT_EQ(r.certValid, cert_valid);
  }
}

TEST_F(HostVerify, MessagesThatAreNoSignatures) {
  const Pki& pki = Pki::Get();
  Object obj = NewObject();
  WriteText(work_ / "plain.txt", "not signed");
  const test_pki::RunResult r =
      test_pki::Run("openssl cms -encrypt -engine gost -binary -gost89 -outform DER -in " +
                    Quote(work_ / "plain.txt") + " -out " + Quote(work_ / "env.p7m") + " " + Quote(pki.user_a.pem) +
                    " 2>&1");
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string enveloped = ReadText(work_ / "env.p7m");

  std::string text;
  std::istringstream e1(enveloped);
  std::ostringstream o1;
  EXPECT_EQ(Call([&] { return obj->unpack_signed_stream(e1, o1, VEXOR_FORMAT_PKCS7); }, &text), 7);
  EXPECT_EQ(text, Cp1251("Данные в потоке не являются подписью"));
  EXPECT_TRUE(o1.str().empty());

  SignerCheckList list;
  std::istringstream e2(enveloped);
  EXPECT_EQ(Call([&] { return obj->check_stream_a(e2, list, VEXOR_FORMAT_PKCS7); }, &text), 7);
  EXPECT_EQ(text, Cp1251("Данные в потоке не содержат подписи"));
  EXPECT_TRUE(list.items.empty());

  // Garbage fails in the feeder with its own code; unsupported formats answer 1.
  std::istringstream g("\x30\x03garbage", std::ios::binary);
  EXPECT_EQ(Call([&] { return obj->check_stream_a(g, list, VEXOR_FORMAT_PKCS7); }), 22);
  std::istringstream g2("x");
  EXPECT_EQ(obj->check_stream_a(g2, list, VEXOR_FORMAT_141), 1);
  std::ostringstream out;
  EXPECT_EQ(obj->unpack_signed_stream(g2, out, VEXOR_FORMAT_XML), 1);
  EXPECT_EQ(TempFiles(temp_), 0u);
}

// The verdicts themselves are the library tests' (tests/library/validity_test.cpp); here the
// slot as a host calls it, and the rule that only a family host may leave the lists out.
TEST_F(HostVerify, CheckCertificateSlot) {
  const Pki& pki = Pki::Get();
  // The revoked user with its issuer's current list next to it in My.
  ASSERT_TRUE(test_pki::AddToSystemStore("My", pki.revoked.der));
  ASSERT_TRUE(test_pki::AddToSystemStore("My", pki.expired.der));
  HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "My");
  ASSERT_NE(my, nullptr);
  ASSERT_TRUE(CertAddEncodedCRLToStore(my, X509_ASN_ENCODING, pki.crl.data(), static_cast<DWORD>(pki.crl.size()),
                                       CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
  auto find = [&](const test_pki::Cert& c) {
    PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, c.der.data(), static_cast<DWORD>(c.der.size()));
    PCCERT_CONTEXT in_store = CertFindCertificateInStore(my, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, ctx, nullptr);
    CertFreeCertificateContext(ctx);
    return in_store;
  };
  PCCERT_CONTEXT revoked = find(pki.revoked), expired = find(pki.expired);
  ASSERT_NE(revoked, nullptr);
  ASSERT_NE(expired, nullptr);

  Object obj = NewObject();
  std::string text;
  EXPECT_EQ(Call([&] { return obj->CheckCertificate(&revoked); }, &text), 14);
  EXPECT_EQ(text, Cp1251("Сертификат недействителен. "));
  PCCERT_CONTEXT none = nullptr;
  EXPECT_EQ(Call([&] { return obj->CheckCertificate(&none); }), 49);

  // A family host may ask for the check without revocation lists (run-time flag 2); others
  // may not.
  obj->SetFlags(2, 1);
  EXPECT_EQ(Call([&] { return obj->CheckCertificate(&revoked); }), 14);
  WriteText(work_ / "app.info", "[Application]\nName=Moravel Client\n");
  Object family = NewObject();
  EXPECT_EQ(Call([&] { return family->CheckCertificate(&revoked); }), 14);
  family->SetFlags(2, 1);
  EXPECT_EQ(Call([&] { return family->CheckCertificate(&revoked); }), 0);
  EXPECT_EQ(Call([&] { return family->CheckCertificate(&expired); }), 14);  // dates still count

  CertFreeCertificateContext(revoked);
  CertFreeCertificateContext(expired);
  CertCloseStore(my, 0);
}

}  // namespace
