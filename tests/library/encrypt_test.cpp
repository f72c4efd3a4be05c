// The library's own enveloped-data writer, checked by the GOST engine's `openssl cms
// -decrypt`: every recipient's key opens the message, the structure carries one ephemeral
// key and a UKM per recipient, large inputs stream through a temporary file that does not
// outlive the call, and a failure writes nothing.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include "asn1/asn1_value.h"
#include "common/standalone_call.h"
#include "common/temp_dir.h"
#include "library_fixture.h"
#include "messages/pkcs7/encrypt.h"
#include "messages/pkcs7/encrypt_ex.h"
#include "platform/test_pki.h"
#include "vexor/vexor_xml.h"

namespace {

namespace fs = std::filesystem;
using library_test::OpensslDecrypt;
using test_pki::Pki;

class OwnWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Pki::Get().ok()) << Pki::Get().error;
    // Long data goes to a folder of this test's own, so what remains can be listed.
    setenv("TMP", tmp_.path().c_str(), 1);
  }
  void TearDown() override { unsetenv("TMP"); }

  // Encrypts with the own writer (or the platform); the code, the message in `out`.
  int32_t Encrypt(const std::string& plain, const std::vector<const test_pki::Cert*>& to, std::string& out,
                  bool platform = false) {
    vector_cert certs;
    for (const test_pki::Cert* c : to) {
      PCCERT_CONTEXT ctx = library_test::Parse(c->der);
      certs.push_back(ctx);
      CertFreeCertificateContext(ctx);
    }
    std::istringstream in(plain);
    std::ostringstream message;
    InstanceContext ctx = call_.Make();
    const int32_t rc = library_test::Code([&] { return encrypt_stream_ex_alg(ctx, in, message, 0, certs, platform); });
    out = message.str();
    return rc;
  }

  size_t TemporaryFiles() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(tmp_.path()), fs::directory_iterator()));
  }

  test_common::TempDir tmp_{"vexor-encrypt-tmp"};
  test_common::TempDir work_{"vexor-encrypt"};
  test_pki::ScopedHome home_;
  test_common::StandaloneCall call_;
};

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7919) >> 5);
  return data;
}

}  // namespace

TEST_F(OwnWriter, OpensslDecryptsForEveryRecipientAndSize) {
  const Pki& pki = Pki::Get();
  // One ephemeral key serves all recipients, so they share its parameter set (the GOST
  // engine compares parameter-set names, not curves).
  const std::vector<const test_pki::Cert*> three = {&pki.user_a, &pki.user_email, &pki.revoked};
  for (size_t size : {size_t{0}, size_t{100}, size_t{kEncryptBlock}, size_t{kEncryptBlock} + 1}) {
    SCOPED_TRACE(size);
    const std::string plain = Pattern(size);
    std::string message;
    ASSERT_EQ(Encrypt(plain, three, message), 0);
    EXPECT_EQ(TemporaryFiles(), 0u);
    // Every recipient's key opens it; the larger sizes once, to keep the run short.
    for (const test_pki::Cert* who : three) {
      EXPECT_TRUE(OpensslDecrypt(work_.path(), message, *who) == plain) << "recipient " << who->pem;
      if (size > 100) break;
    }
    if (size != 100) continue;
    // The recipients share the one ephemeral key, and each has a UKM of eight bytes of its own.
    const CASN1Value root(reinterpret_cast<const uint8_t*>(message.data()), message.size());
    const auto& recipients = root.children().at(1)->children().at(0)->children().at(1)->children();
    ASSERT_EQ(recipients.size(), 3u);
    std::set<std::vector<uint8_t>> ukms;
    std::set<std::string> ephemeral_keys;
    for (const auto& info : recipients) {
      const auto& octets = info->children().at(3)->content();
      const CASN1Value transport(octets.data(), octets.size());
      const CASN1Value& params = *transport.children().at(1);
      ASSERT_EQ(params.children().size(), 3u);
      std::ostringstream key;
      params.children()[1]->Write(key);
      ephemeral_keys.insert(key.str());
      EXPECT_EQ(params.children()[2]->content().size(), 8u);
      ukms.insert(params.children()[2]->content());
    }
    EXPECT_EQ(ephemeral_keys.size(), 1u);
    EXPECT_EQ(ukms.size(), 3u);
  }
}

// A recipient whose key is no GOST key fails the own way with 30 and nothing written; the
// platform way then reports its own failure.
TEST_F(OwnWriter, FailureWritesNothing) {
  const Pki& pki = Pki::Get();
  std::string message;
  EXPECT_EQ(Encrypt(Pattern(kEncryptBlock + 10), {&pki.user_a, &pki.rsa}, message), 30);
  EXPECT_TRUE(message.empty());
  EXPECT_EQ(TemporaryFiles(), 0u);
  EXPECT_TRUE(std::any_of(call_.log.lines.begin(), call_.log.lines.end(), [](const std::string& line) {
    return line.rfind("При попытке шифрования возникла ошибка: Ошибка импорта открытого ключа получателя", 0) == 0;
  }));
  // The platform's encryption writes a message openssl opens too.
  ASSERT_EQ(Encrypt("by the platform", {&pki.user_a}, message, true), 0);
  EXPECT_EQ(OpensslDecrypt(work_.path(), message, pki.user_a), "by the platform");
}

// Encryption and decryption through the operation object: parties found in the stores, the
// two attempts, streaming decryption of what openssl writes, and the failure texts.
namespace library_test {
namespace {

class Pkcs7Encryption : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_TRUE(test_certs::TrustTestPki());
    ASSERT_TRUE(test_pki::InstallWithKey(Pki::Get().user_a, "enc-user-a"));
    ASSERT_TRUE(test_pki::InstallWithKey(Pki::Get().user_email, "enc-user-mail"));
  }
  static CertPartyParam Party(const std::string& id, bool sender = false) {
    CertPartyParam p;
    (id.find('@') != std::string::npos ? p.email : p.subjectCN) = test_certs::Cp1251(id);  // an address is ASCII
    p.isSender = sender;
    return p;
  }
  int32_t Encrypt(const std::string& plain, const CertPartyList& parties, std::string& message, std::string* text = nullptr) {
    std::istringstream in(plain);
    std::ostringstream out;
    const int32_t rc = Code([&] { return obj_->encrypt_stream(in, out, parties, VEXOR_FORMAT_PKCS7); }, text);
    message = out.str();
    return rc;
  }
  int32_t Decrypt(const std::string& message, std::string& plain, std::string* text = nullptr) {
    std::istringstream in(message);
    std::ostringstream out;
    const int32_t rc = Code([&] { return obj_->decrypt_stream(in, out, VEXOR_FORMAT_PKCS7); }, text);
    plain = out.str();
    return rc;
  }
  // openssl cms -encrypt for the certificates, streamed (indefinite lengths) or not.
  std::string OpensslEncrypt(const std::string& plain, const std::vector<const test_pki::Cert*>& to, bool stream) {
    test_pki::WriteFile(work_ / "plain", test_pki::Bytes(plain.begin(), plain.end()));
    std::string cmd = "CRYPT_PARAMS=id-Gost28147-89-CryptoPro-A-ParamSet openssl cms -encrypt -engine gost -gost89 "
                      "-binary -outform DER -in " + (work_ / "plain").string() + " -out " + (work_ / "m").string();
    if (stream) cmd += " -stream";
    for (const test_pki::Cert* c : to) cmd += " " + c->pem.string();
    const test_pki::RunResult r = test_pki::Run(cmd + " 2>&1");
    EXPECT_EQ(r.status, 0) << r.out;
    const test_pki::Bytes m = test_pki::ReadFile(work_ / "m");
    return std::string(m.begin(), m.end());
  }
};

}  // namespace

// A sender with two certificates in My contributes both: each of its keys opens the message.
TEST_F(Pkcs7Encryption, SenderWithTwoCertificatesAddsBoth) {
  const Pki& pki = Pki::Get();
  std::string error;
  const test_pki::Cert second =
      test_certs::IssueUser("second", "/C=RU/O=ООО Ромашка/OU=Бухгалтерия/CN=Иванов Иван Иванович",
                            test_certs::OpensslDate(-3600), test_certs::OpensslDate(30 * 86400), error);
  ASSERT_FALSE(second.der.empty()) << error;
  ASSERT_TRUE(test_pki::InstallWithKey(second, "enc-user-a-2"));
  Object();
  std::string message;
  ASSERT_EQ(Encrypt("for both of mine", {Party("Иванов Иван Иванович", true), Party("user@example.test")}, message), 0);
  const CASN1Value root(reinterpret_cast<const uint8_t*>(message.data()), message.size());
  EXPECT_EQ(root.children()[1]->children()[0]->children()[1]->children().size(), 3u);
  EXPECT_EQ(OpensslDecrypt(work_, message, pki.user_a), "for both of mine");
  EXPECT_EQ(OpensslDecrypt(work_, message, second), "for both of mine");
}

TEST_F(Pkcs7Encryption, DecryptsWhatOpensslWrites) {
  const Pki& pki = Pki::Get();
  Object();
  for (size_t size : {size_t{0}, size_t{1}, size_t{kEncryptBlock} + 1}) {
    for (bool stream : {false, true}) {
      if (size == 0 && stream) continue;  // openssl cannot stream an empty message
      SCOPED_TRACE(testing::Message() << size << (stream ? " streamed" : ""));
      const std::string plain = Pattern(size);
      std::string back;
      ASSERT_EQ(Decrypt(OpensslEncrypt(plain, {&pki.user_xa, &pki.user_email}, stream), back), 0);
      EXPECT_TRUE(back == plain);
    }
  }
}

TEST_F(Pkcs7Encryption, FailuresSayWhatIsMissing) {
  const Pki& pki = Pki::Get();
  Object();
  std::string message, text, out;
  // No installed key among the recipients: every recipient's serial number is named.
  const std::string foreign = OpensslEncrypt("secret", {&pki.user_xa, &pki.revoked}, false);
  EXPECT_EQ(Decrypt(foreign, out, &text), 48);
  EXPECT_EQ(text.find("Неверный формат данных сообщения, сертификаты шифрования: "), 0u) << text;
  EXPECT_NE(text.find(", "), std::string::npos) << text;
  // A message cut short, and an empty one.
  std::string good;
  ASSERT_EQ(Encrypt("secret", {Party("Иванов Иван Иванович", true), Party("user@example.test")}, good), 0);
  EXPECT_EQ(Decrypt(good.substr(0, good.size() / 2), out, &text), 22);
  EXPECT_EQ(Decrypt("", out, &text), 48);
  // The sender alone is no recipient; the verification provider is there, so the text
  // names the recipient.
  EXPECT_EQ(Encrypt("secret", {Party("Иванов Иван Иванович", true)}, message, &text), 17);
  EXPECT_EQ(text, "Не удалось найти ни одного сертификата получателя.");
  EXPECT_EQ(Encrypt("secret", {}, message, &text), 26);
  // A recipient nobody has ends the call, unless the host asks to skip such recipients.
  const CertPartyList with_missing = {Party("Иванов Иван Иванович", true), Party("Nobody Known"),
                                      Party("user@example.test")};
  EXPECT_EQ(Encrypt("secret", with_missing, message, &text), 17);
  EXPECT_EQ(text, "Не удалось найти сертификат получателя : Nobody Known()");
  obj_->SetFlags(1, 1);
  ASSERT_EQ(Encrypt("secret", with_missing, message), 0);
  EXPECT_TRUE(cb_.Saw("Не удалось найти сертификат получателя: Nobody Known(), на нем шифрование производиться не будет!"));
  EXPECT_EQ(OpensslDecrypt(work_, message, pki.user_email), "secret");
}

// An input longer than a format can describe is refused before it is read; none is cut to
// its low 32 bits (4 GiB + 100 bytes once went out as a message of the first 100).
TEST_F(Pkcs7Encryption, InputsBeyondWhatAFormatTakesAreRefused) {
  void* nothing = nullptr;
  CryptoXml::FreeMem(&nothing);  // libvexorxml.so loaded, for the XML format
  Object();
  const CertPartyList parties = {Party("Иванов Иван Иванович", true), Party("user@example.test")};
  const uint64_t size = (uint64_t{4} << 30) + 100;
  struct Case {
    const char* what;
    int32_t format;
    bool sign;
    int32_t code;
  };
  for (const Case& c : {Case{"PKCS#7", VEXOR_FORMAT_PKCS7, false, 6}, Case{"141", VEXOR_FORMAT_141, false, 23},
                        Case{"XML encryption", VEXOR_FORMAT_XML, false, 6}, Case{"XML signing", VEXOR_FORMAT_XML, true, 6}}) {
    SCOPED_TRACE(c.what);
    BlankBuf buf(size, 16 << 20);  // a reader going for the whole length fails quickly
    std::istream in(&buf);
    std::ostringstream out;
    EXPECT_EQ(Code([&] {
                return c.sign ? obj_->sign_stream_a(parties[0], in, out, c.format)
                              : obj_->encrypt_stream(in, out, parties, c.format);
              }),
              c.code);
    EXPECT_EQ(buf.served, 0u);
    if (c.format != VEXOR_FORMAT_141) {
      EXPECT_TRUE(out.str().empty());  // "141" writes its head as it goes
    }
  }
  EXPECT_TRUE(cb_.Saw("Размер данных превышает максимальнодопустимый"));
}

// The input cap stops the feed before the platform sees the block that crosses it.
TEST(Pkcs7DecryptionCap, RefusesInputAboveTheLimit) {
  ASSERT_TRUE(Pki::Get().ok());
  test_pki::ScopedHome home;
  const std::string message(3000, '\x30');
  for (int32_t cap : {3000, 2999}) {
    test_common::StandaloneCall call;
    call.options.MaxDecryptSize = cap;
    call.options.RaiseErrors = 0;
    InstanceContext ctx = call.Make();
    std::istringstream in(message);
    std::ostringstream out;
    // At the cap the bytes reach the platform (which refuses them); above it they do not.
    EXPECT_EQ(DecryptStream(ctx, in, out), cap == 3000 ? 22 : 6) << cap;
  }
}

}  // namespace library_test
