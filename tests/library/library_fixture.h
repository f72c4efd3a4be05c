// In-process fixture of the library tests: a fresh platform home, a working directory and an
// initialised operation object, with the callback's log lines kept; and the helpers the
// tests share (result codes, certificates and stores, parties, openssl's decryption).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <ios>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "frame/vexor_impl.h"
#include "text/text.h"
#include "test_certs.h"
#include "tools/host_callback.h"

namespace library_test {

namespace fs = std::filesystem;

// Keeps the log lines (in UTF-8) and can play the host's own certificate search.
class Recorder : public HostCallback {
 public:
  Recorder() {
    onLog = [this](const char* text) { lines.push_back(text::Cp1251ToUtf8(text)); };
  }
  size_t Count(const std::string& utf8) const {
    size_t n = 0;
    for (const auto& l : lines) n += l.find(utf8) != std::string::npos;
    return n;
  }
  bool Saw(const std::string& utf8) const { return Count(utf8) > 0; }
  std::vector<std::string> lines;
};

// Vexor.ini with custom options in a directory.
inline void WriteIniTo(const fs::path& dir, const std::string& settings) {
  std::ofstream(dir / "Vexor.ini") << "[Settings]\nUsingCustomOptions=1\n" << settings;
}

// A host stream of `size` blanks that can seek anywhere in them, so lengths past 4 GiB cost
// no I/O. It ends early once `budget` bytes were served in all (a reader going for a huge
// length then fails quickly), and a read reaching position `fail_at` throws, as a buffer over
// a file whose read(2) failed does.
class BlankBuf : public std::streambuf {
 public:
  explicit BlankBuf(uint64_t size, uint64_t budget = UINT64_MAX, uint64_t fail_at = UINT64_MAX)
      : size_(size), budget_(budget), fail_at_(fail_at) {
    std::fill(std::begin(chunk_), std::end(chunk_), ' ');
  }
  uint64_t served = 0;

 protected:
  int_type underflow() override {
    if (pos_ >= size_ || served >= budget_) return traits_type::eof();
    if (pos_ >= fail_at_) throw std::ios_base::failure("Input/output error");
    const size_t n =
        static_cast<size_t>(std::min<uint64_t>({sizeof chunk_, size_ - pos_, budget_ - served, fail_at_ - pos_}));
    setg(chunk_, chunk_, chunk_ + n);
    pos_ += n;
    served += n;
    return traits_type::to_int_type(chunk_[0]);
  }
  pos_type seekoff(off_type off, std::ios::seekdir dir, std::ios::openmode) override {
    const uint64_t here = pos_ - static_cast<uint64_t>(egptr() - gptr());
    const uint64_t target = (dir == std::ios::beg ? 0 : dir == std::ios::cur ? here : size_) + static_cast<uint64_t>(off);
    if (target > size_) return pos_type(off_type(-1));
    pos_ = target;
    setg(nullptr, nullptr, nullptr);
    return pos_type(static_cast<off_type>(target));
  }
  pos_type seekpos(pos_type pos, std::ios::openmode which) override { return seekoff(off_type(pos), std::ios::beg, which); }

 private:
  uint64_t size_, budget_, fail_at_, pos_ = 0;
  char chunk_[64 * 1024];
};

// An operation's result code, whether the failure report raised or returned it; the raised
// text (UTF-8) in `text`.
template <class Call>
int32_t Code(Call&& call, std::string* text = nullptr) {
  try {
    return call();
  } catch (const CryptoOperations::baseCryptoException& e) {
    if (text != nullptr) *text = text::Cp1251ToUtf8(e.what());
    return e.code();
  }
}

// A certificate context of its own over the DER bytes (the caller frees it).
inline PCCERT_CONTEXT Parse(const test_pki::Bytes& der) {
  return CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
}

inline int CrlCount(HCERTSTORE store) {
  int n = 0;
  for (PCCRL_CONTEXT c = CertEnumCRLsInStore(store, nullptr); c != nullptr; c = CertEnumCRLsInStore(store, c)) ++n;
  return n;
}

inline int CertCount(HCERTSTORE store) {
  int n = 0;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;) ++n;
  return n;
}

// Writes a store file holding these certificates and revocation lists.
inline void SaveStoreFile(const fs::path& path, const std::vector<const test_pki::Bytes*>& certs,
                          const std::vector<const test_pki::Bytes*>& lists) {
  HCERTSTORE file = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  for (const test_pki::Bytes* c : certs)
    EXPECT_TRUE(CertAddEncodedCertificateToStore(file, X509_ASN_ENCODING, c->data(), static_cast<DWORD>(c->size()),
                                                 CERT_STORE_ADD_ALWAYS, nullptr));
  for (const test_pki::Bytes* crl : lists)
    EXPECT_TRUE(CertAddEncodedCRLToStore(file, X509_ASN_ENCODING, crl->data(), static_cast<DWORD>(crl->size()),
                                         CERT_STORE_ADD_ALWAYS, nullptr));
  EXPECT_TRUE(CertSaveStore(file, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CERT_STORE_SAVE_AS_STORE,
                            CERT_STORE_SAVE_TO_FILENAME_A, const_cast<char*>(path.c_str()), 0));
  CertCloseStore(file, 0);
}
inline void SaveStoreFile(const fs::path& path, const std::vector<test_pki::Bytes>& certs) {
  std::vector<const test_pki::Bytes*> each;
  for (const test_pki::Bytes& c : certs) each.push_back(&c);
  SaveStoreFile(path, each, {});
}

// The upper-case hex SHA-1 thumbprint of an encoded certificate.
inline std::string ThumbprintOf(const test_pki::Bytes& der) {
  PCCERT_CONTEXT ctx = Parse(der);
  BYTE hash[20];
  DWORD len = sizeof hash;
  EXPECT_TRUE(CertGetCertificateContextProperty(ctx, CERT_SHA1_HASH_PROP_ID, hash, &len));
  CertFreeCertificateContext(ctx);
  return test_pki::Hex(test_pki::Bytes(hash, hash + len));
}

// The party naming the certificate by its SHA-1 thumbprint.
inline CertPartyParam ThumbprintParty(const test_pki::Cert& c, bool sender = false) {
  CertPartyParam p;
  p.thumbprint = ThumbprintOf(c.der);
  p.isSender = sender;
  return p;
}

// The operation's certificate check of a context of its own over the DER bytes, or of the
// certificate the operation finds by their thumbprint: the result code.
inline int32_t CheckCert(IVexorImpl& obj, const test_pki::Bytes& der, bool find_by_thumbprint = false) {
  PCCERT_CONTEXT cert = nullptr;
  if (find_by_thumbprint)
    EXPECT_EQ(obj.FindCertificateByThumb(ThumbprintOf(der).c_str(), &cert), 0);
  else
    cert = Parse(der);
  const int32_t rc = Code([&] { return obj.CheckCertificate(&cert); });
  CertFreeCertificateContext(cert);
  return rc;
}

// `openssl cms -decrypt` of the message with the recipient's key (files in dir): the plaintext.
inline std::string OpensslDecrypt(const fs::path& dir, const std::string& message, const test_pki::Cert& recipient) {
  test_pki::WriteFile(dir / "m.der", test_pki::Bytes(message.begin(), message.end()));
  const test_pki::RunResult r = test_pki::Run(
      "openssl cms -decrypt -engine gost -inform DER -binary -in " + (dir / "m.der").string() + " -recip " +
      recipient.pem.string() + " -inkey " + recipient.key.string() + " -out " + (dir / "p").string() + " 2>&1");
  EXPECT_EQ(r.status, 0) << r.out;
  const test_pki::Bytes plain = test_pki::ReadFile(dir / "p");
  return std::string(plain.begin(), plain.end());
}

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test_pki::Pki::Get().ok()) << test_pki::Pki::Get().error;
  }
  void TearDown() override { obj_.reset(); }
  // A new object initialised on the working directory, with or without the recorder.
  IVexorImpl& Object(bool with_callback = true) {
    obj_ = std::make_unique<IVexorImpl>();
    EXPECT_EQ(obj_->Init(work_.c_str(), with_callback ? &cb_ : nullptr, CERT_SYSTEM_STORE_CURRENT_USER), 0);
    return *obj_;
  }
  void WriteIni(const std::string& settings) { WriteIniTo(work_, settings); }

  test_pki::ScopedHome home_;
  test_common::TempDir work_dir_{"vexor-lib-work"};
  fs::path work_ = work_dir_.path();
  Recorder cb_;
  std::unique_ptr<IVexorImpl> obj_;
};

}  // namespace library_test
