// Signing and the certificate slots as a host uses them: the library loaded with dlopen,
// certificates and keys installed in a temporary platform home, signatures checked by
// `openssl cms -verify` with the GOST engine.
#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
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

using host::ByName;
using host::LogFile;
using host::Object;
using host::Quote;
using host::ReadText;
using host::WriteText;

class ExpiryCallback : public HostCallback {
 public:
  int32_t OnCertExpiry(PCCERT_CONTEXT) override {
    ++asked;
    return answer;
  }
  int32_t answer = 0;
  int asked = 0;
};

class HostSign : public host::PkiTest {
 protected:
  // `openssl cms -verify` trusting the test root and the intermediate; the verified content.
  bool Verify(const std::string& signature, const std::string* detached_content, std::string& content) {
    WriteText(work_ / "trust.pem", ReadText(Pki::Get().root.pem) + ReadText(Pki::Get().intermediate.pem));
    WriteText(work_ / "sig.p7s", signature);
    std::string cmd = "openssl cms -verify -engine gost -inform DER -in " + Quote(work_ / "sig.p7s") + " -CAfile " +
                      Quote(work_ / "trust.pem") + " -out " + Quote(work_ / "content.out");
    if (detached_content != nullptr) {
      WriteText(work_ / "content.in", *detached_content);
      cmd += " -binary -content " + Quote(work_ / "content.in");
    }
    const test_pki::RunResult r = test_pki::Run(cmd + " 2>&1");
    EXPECT_EQ(r.status, 0) << r.out;
    content = ReadText(work_ / "content.out");
    return r.status == 0;
  }
  std::string Print(const std::string& signature) {
    WriteText(work_ / "print.p7s", signature);
    return test_pki::Run("openssl cms -engine gost -cmsout -print -inform DER -in " + Quote(work_ / "print.p7s") +
                         " 2>&1")
        .out;
  }
};

}  // namespace

// Attached and detached signatures around the streaming block size verify with openssl; the
// small one is also DER as openssl re-encodes it, carries the signing time, and names the
// key's provider in the log.
TEST_F(HostSign, SignaturesAroundTheBlockSizeVerifyWithOpenssl) {
  std::vector<std::string> lines;
  HostCallback cb;
  cb.onLog = [&lines](const char* text) { lines.push_back(text); };
  Object obj = NewObject(&cb);
  const size_t block = 10485760;
  for (size_t size : {size_t{1000}, block, block + 1, 2 * block + 7}) {
    SCOPED_TRACE(size);
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131) >> 7);
    std::string attached, detached, content;
    ASSERT_EQ(Sign(*obj, ByName("Иванов Иван Иванович"), data, true, detached), 0);
    EXPECT_TRUE(Verify(detached, &data, content));
    ASSERT_EQ(Sign(*obj, ByName("Иванов Иван Иванович"), data, false, attached), 0);
    EXPECT_TRUE(Verify(attached, nullptr, content));
    EXPECT_TRUE(content == data);
    if (size != 1000) continue;
    EXPECT_EQ(test_pki::Run("openssl cms -engine gost -cmsout -inform DER -outform DER -in " + Quote(work_ / "sig.p7s") +
                            " -out " + Quote(work_ / "der.p7s") + " 2>&1").status, 0);
    EXPECT_EQ(ReadText(work_ / "der.p7s"), attached);
    const std::string printed = Print(attached);
    EXPECT_NE(printed.find("signingTime"), std::string::npos) << printed;
    EXPECT_NE(printed.find("GOST R 34.11-94"), std::string::npos) << printed;
    EXPECT_NE(Print(detached).find("signingTime"), std::string::npos);
    EXPECT_EQ(detached.find(data), std::string::npos);  // the content stays out
  }
  const std::string provider_line =
      test_certs::Cp1251("Будет использован криптопровайдер \"") + VEXOR_GOST_PROV_NAME_A + "\"";
  EXPECT_NE(std::find(lines.begin(), lines.end(), provider_line), lines.end());
}

TEST_F(HostSign, FailuresArriveAsSystemExceptionsAfterTheTrace) {
  Object obj = NewObject();
  const auto before = fs::exists(LogFile()) ? fs::file_size(LogFile()) : 0;
  struct Row {
    const char* label;
    CertPartyParam party;
    std::string data;
    int32_t code;
    std::string text;
  } rows[] = {
      {"no such party", ByName("Петров"), "data", 17,
       "Не удалось найти действительный сертификат отправителя: Петров ()"},
      {"no such e-mail", {false, "", "nobody@example.test", ""}, "data", 17,
       "Не удалось найти действительный сертификат отправителя: nobody@example.test ()"},
      {"empty stream", ByName("Иванов Иван Иванович"), "", 22, "Ошибка чтения блока данных из потока"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string sig, text;
    EXPECT_EQ(Sign(*obj, row.party, row.data, false, sig, &text), row.code);
    EXPECT_EQ(text, test_certs::Cp1251(row.text));
    EXPECT_TRUE(sig.empty());
  }
  obj.reset();  // the log is complete once its object is gone
  const std::string log = ReadText(LogFile()).substr(before);
  size_t at = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const size_t failure = log.find(test_certs::Cp1251(row.text), at);
    ASSERT_NE(failure, std::string::npos);
    const size_t leaved = log.find("IVexorImpl::sign_stream_a: leaved", failure);
    ASSERT_NE(leaved, std::string::npos);
    EXPECT_EQ(log.find("IVexorImpl::sign_stream_a: entered", failure), log.find("IVexorImpl::sign_stream_a: entered", leaved));
    at = leaved;
  }
  // The empty stream got as far as the length step.
  EXPECT_NE(log.find(test_certs::Cp1251("Размер подписываемых данных 0")), std::string::npos);
}

TEST_F(HostSign, ExpiringCertificateStopsSigning) {
  // Users that stay valid for two and for 25 hours.
  for (const long seconds_left : {2 * 3600, 25 * 3600}) {
    std::string error;
    const test_pki::Cert user =
        test_certs::IssueUser("expiring", "/C=RU/O=Vexor Test/CN=Expiring " + std::to_string(seconds_left),
                              test_certs::OpensslDate(-86400), test_certs::OpensslDate(seconds_left), error);
    ASSERT_TRUE(error.empty()) << error;
    ASSERT_TRUE(test_pki::InstallWithKey(user, "host-" + std::to_string(seconds_left)));
  }
  const CertPartyParam soon_party = ByName("Expiring 7200");
  const CertPartyParam tomorrow_party = ByName("Expiring 90000");
  std::string sig, text;

  {
    Object obj = NewObject();
    EXPECT_EQ(Sign(*obj, soon_party, "data", true, sig, &text), 45);
    EXPECT_EQ(text, test_certs::Cp1251("Действие отменено абонентом, т.к. срок действия личного сертификата "
                                       "Expiring 7200 заканчивается"));
    EXPECT_EQ(Sign(*obj, tomorrow_party, "data", true, sig), 0);
  }
  for (const char* setting : {"SkipCheckTimeRemains=1\n", "SkipCheckCertValid=1\n"}) {
    SCOPED_TRACE(setting);
    WriteText(work_ / "Vexor.ini", std::string("[Settings]\nUsingCustomOptions=1\n") + setting);
    Object obj = NewObject();
    EXPECT_EQ(Sign(*obj, soon_party, "data", true, sig), 0);
  }
  fs::remove(work_ / "Vexor.ini");

  // With a callback the host decides, both ways.
  ExpiryCallback cb;
  Object obj = NewObject(&cb);
  EXPECT_EQ(Sign(*obj, soon_party, "data", true, sig), 0);
  cb.answer = 14;
  EXPECT_EQ(Sign(*obj, tomorrow_party, "data", true, sig), 45);
  EXPECT_EQ(cb.asked, 2);
}

TEST_F(HostSign, FindCertificateSlots) {
  const Pki& pki = Pki::Get();
  Object obj = NewObject();
  // The encoded certificate, from the trusted roots (searched last).
  CRYPT_DATA_BLOB blob{0, nullptr};
  ASSERT_EQ(obj->FindCertificate("Vexor Test Root CA", &blob), 0);
  EXPECT_EQ(Bytes(blob.pbData, blob.pbData + blob.cbData), pki.root.der);
  obj->FreeBuffer(&blob);
  EXPECT_EQ(obj->FindCertificate("Nobody", &blob), 13);
  EXPECT_EQ(blob.pbData, nullptr);
  obj->FreeBuffer(&blob);  // a blob without data: nothing happens

  // Bad arguments raise (a text comes with the code).
  std::string text;
  for (const char* bad : {"", static_cast<const char*>(nullptr)}) {
    text.clear();
    EXPECT_EQ(host::Call([&] { return obj->FindCertificate(bad, &blob); }, &text), 49);
    EXPECT_FALSE(text.empty());
  }
  PCCERT_CONTEXT cert = nullptr;
  EXPECT_EQ(host::Call([&] { return obj->FindCertificateByThumb("not a thumbprint", &cert); }, &text), 9);
  EXPECT_EQ(text, test_certs::Cp1251("Не удалось извлечь отпечаток из строки"));
}

TEST_F(HostSign, FilePartiesHeader) {
  Object obj = NewObject();
  auto word = [](uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
  auto block = [&](const std::string& b) { return word(static_cast<uint32_t>(b.size())) + b; };
  const std::string sender(20, '\xAB'), recipient(20, '\x01');
  const std::string good = word(1) + block(sender) + block("CN=S") + block(recipient) + block("CN=R") + "payload";
  struct Row {
    const char* label;
    std::string file;
    int32_t code;
  } rows[] = {
      {"good", good, 0},
      {"version 2", word(2) + good.substr(4), 11},
      {"short version", "\x01", 11},
      {"cut inside a block", good.substr(0, 30), 11},
      {"block longer than the file", word(1) + word(0x7FFFFFFF) + "abc", 11},
      {"empty sender subject", word(1) + block(sender) + word(0) + block(recipient) + block("R"), 6},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    WriteText(work_ / "head.bin", row.file);
    FileParties parties{};
    EXPECT_EQ(obj->GetFileParties((work_ / "head.bin").c_str(), &parties), row.code);
    if (row.code != 0) continue;
    EXPECT_EQ(std::string(parties.senderThumb, 40), test_common::Hex(Bytes(20, 0xAB), test_common::HexCase::kLower));
    EXPECT_EQ(std::string(parties.recipientThumb, 40), test_common::Hex(Bytes(20, 0x01), test_common::HexCase::kLower));
  }
  FileParties parties{};
  EXPECT_EQ(obj->GetFileParties((work_ / "missing.bin").c_str(), &parties), 4);
  EXPECT_EQ(obj->GetFileParties((work_ / "head.bin").c_str(), nullptr), 49);
}

namespace {

// A host whose post-hook replaces the signing result and whose OnInit answers as told.
class AnsweringHost : public HostCallback {
 public:
  int32_t OnInit(uint32_t) override { return init_answer; }
  int32_t OnSign(const CertPartyParam&, std::istream&, std::ostream&, int32_t rc) override {
    seen = rc;
    return 77;
  }
  int32_t init_answer = 0;
  int32_t seen = -1;
};

}  // namespace

TEST_F(HostSign, HostAnswersBecomeTheResults) {
  AnsweringHost cb;
  Object obj = NewObject(&cb);
  std::string sig;
  // The signature is made; the post-hook sees 0 and its answer is what the host gets.
  EXPECT_EQ(Sign(*obj, ByName("Иванов Иван Иванович"), "data", true, sig), 77);
  EXPECT_EQ(cb.seen, 0);
  std::string content;
  const std::string data = "data";
  EXPECT_TRUE(Verify(sig, &data, content));
  // A format without the operation answers 1 and the post-hook is not asked.
  cb.seen = -1;
  std::istringstream in(data);
  std::ostringstream out;
  EXPECT_EQ(obj->sign_stream_a(ByName("Иванов Иван Иванович"), in, out, VEXOR_FORMAT_141), 1);
  EXPECT_EQ(cb.seen, -1);

  // A nonzero answer of OnInit is Init's result.
  cb.init_answer = 33;
  EXPECT_EQ(obj->Init(work_.c_str(), &cb, CERT_SYSTEM_STORE_CURRENT_USER), 33);

  // Release (slot 1) destroys the object; the leak checker of the sanitizer run sees to it
  // that nothing is left.
  IVexor* raw = obj.release();
  raw->Release();
}

// Signing and verifying from eight threads at once, four sharing one object and four with
// an object each: every result is right (the thread sanitizer run checks the shared state).
TEST_F(HostSign, ThreadsSignAndVerifyOnSharedAndOwnObjects) {
  Object shared = NewObject();
  constexpr int kThreads = 8;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Object own = t % 2 == 0 ? Object() : NewObject();
      IVexor& obj = t % 2 == 0 ? *shared : *own;
      for (int round = 0; round < 3; ++round) {
        const std::string data = "thread " + std::to_string(t) + " round " + std::to_string(round);
        std::string sig;
        if (Sign(obj, ByName("Иванов Иван Иванович"), data, false, sig) != 0) {
          ++failures[t];
          continue;
        }
        std::istringstream in(sig);
        std::ostringstream content;
        SignerCheckList signers;
        const int32_t rc = obj.check_stream_a(in, signers, content, 0, VEXOR_FORMAT_PKCS7);
        if (rc != 0 || content.str() != data || signers.items.size() != 1 || !signers.items[0].signValid)
          ++failures[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}
