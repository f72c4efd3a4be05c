// Helpers for the message tests: owning holders for messages, certificates and provider
// contexts, a key container made from a test user's key, the openssl command with the GOST
// engine, and decoding a message in chosen pieces.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/holder.h"
#include "stores/auto_handle.h"
#include "test_pki.h"
#include "vexor/platform.h"

namespace msg_test {

using test_pki::Bytes;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

using Msg = test_common::Holder<HCRYPTMSG, CryptMsgClose>;

// A certificate context of its own over DER bytes.
struct Cert {
  explicit Cert(const Bytes& der) : own(CertCreateCertificateContext(kEncoding, der.data(), DWORD(der.size()))) {}
  auto_cert own;
  const PCCERT_CONTEXT c = own.get();
};

// A key container holding a test user's private key, opened as a provider context.
struct KeyProv : test_common::Holder<HCRYPTPROV, auto_handle_release::Provider> {
  KeyProv(const test_pki::Cert& user, const std::string& container) {
    const Bytes key = test_pki::ReadFile(user.key);
    if (CryptImportPKCS8ToContainerA(container.c_str(), key.data(), DWORD(key.size()), nullptr, 0))
      CryptAcquireContextA(&h, container.c_str(), nullptr, PROV_GOST_2001_DH, CRYPT_SILENT);
  }
};

// Runs "openssl <args>" with the GOST engine and the test PKI's configuration; the exit
// status and the combined output.
inline test_pki::RunResult OpenSsl(const std::string& args, const std::string& env = "") {
  const auto& pki = test_pki::Pki::Get();
  return test_pki::Run(env + " OPENSSL_CONF='" + pki.openssl_config.string() + "' openssl " +
                       args + " 2>&1");
}

inline std::string Q(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

inline Bytes Pattern(size_t n, uint32_t seed = 1) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    b[i] = uint8_t(seed >> 16);
  }
  return b;
}

// A message decoded from its whole encoding in one update; null when the update fails.
inline HCRYPTMSG DecodeWhole(const Bytes& message, DWORD flags = 0) {
  HCRYPTMSG m = CryptMsgOpenToDecode(kEncoding, flags, 0, 0, nullptr, nullptr);
  if (m != nullptr && !CryptMsgUpdate(m, message.data(), DWORD(message.size()), TRUE)) {
    ADD_FAILURE() << "update failed: " << std::hex << GetLastError();
    CryptMsgClose(m);
    return nullptr;
  }
  return m;
}

// What the stream callback received.
struct Collected {
  Bytes data;
  int finals = 0;
  bool refuse = false;
  DWORD refuse_error = 0;  // set as the last error when refusing, unless 0
};
inline BOOL CollectOutput(const void* arg, BYTE* p, DWORD n, BOOL final) {
  auto* c = static_cast<Collected*>(const_cast<void*>(arg));
  if (c->refuse) {
    if (c->refuse_error != 0) SetLastError(c->refuse_error);
    return FALSE;
  }
  c->data.insert(c->data.end(), p, p + n);
  if (final) ++c->finals;
  return TRUE;
}

// Feeds bytes in pieces of the given sizes (cycled), the last one final. False with the
// last error left as the platform set it when an update fails.
inline bool FeedInPieces(HCRYPTMSG m, const Bytes& data, const std::vector<size_t>& sizes) {
  size_t pos = 0, k = 0;
  do {
    size_t n = sizes.empty() ? data.size() : sizes[k++ % sizes.size()];
    n = std::min(n, data.size() - pos);
    const bool final = pos + n == data.size();
    if (!CryptMsgUpdate(m, data.data() + pos, DWORD(n), final)) return false;
    pos += n;
  } while (pos < data.size());
  return true;
}

// The encode information of a one-signer signed-data message, shared by every test that
// signs through the platform: the signer's certificate (also carried in the message), the
// provider holding its key, the digest, and the values of a signing-time attribute (DER
// UTCTime each; none: no attribute).
class TestSigner {
 public:
  TestSigner(PCCERT_CONTEXT cert, HCRYPTPROV prov, const char* digest_oid, std::vector<Bytes> signing_times = {})
      : digest_(digest_oid), times_(std::move(signing_times)) {
    for (const Bytes& t : times_) values_.push_back({DWORD(t.size()), const_cast<BYTE*>(t.data())});
    attr_ = {const_cast<char*>(szOID_RSA_signingTime), DWORD(values_.size()), values_.data()};
    signer_.cbSize = sizeof(signer_);
    signer_.pCertInfo = cert->pCertInfo;
    signer_.hCryptProv = prov;
    signer_.dwKeySpec = AT_KEYEXCHANGE;
    signer_.HashAlgorithm.pszObjId = digest_.data();
    signer_.cAuthAttr = times_.empty() ? 0 : 1;
    signer_.rgAuthAttr = times_.empty() ? nullptr : &attr_;
    cert_blob_ = {cert->cbCertEncoded, cert->pbCertEncoded};
    info_.cbSize = sizeof(info_);
    info_.cSigners = 1;
    info_.rgSigners = &signer_;
    info_.cCertEncoded = 1;
    info_.rgCertEncoded = &cert_blob_;
  }
  TestSigner(const TestSigner&) = delete;
  TestSigner& operator=(const TestSigner&) = delete;
  CMSG_SIGNED_ENCODE_INFO* info() { return &info_; }

  // The DER of a signing time.
  static Bytes Time(const FILETIME& when) {
    DWORD len = 0;
    EXPECT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, szOID_RSA_signingTime, &when, nullptr, &len));
    Bytes out(len);
    EXPECT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, szOID_RSA_signingTime, &when, out.data(), &len));
    out.resize(len);
    return out;
  }
  static Bytes Now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return Time(now);
  }

 private:
  std::string digest_;
  std::vector<Bytes> times_;
  std::vector<CRYPT_ATTR_BLOB> values_;
  CRYPT_ATTRIBUTE attr_{};
  CMSG_SIGNER_ENCODE_INFO signer_{};
  CERT_BLOB cert_blob_{};
  CMSG_SIGNED_ENCODE_INFO info_{};
};

// The message tests' fixture: the test PKI, a fresh platform home and a work folder in it.
class MessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test_pki::Pki::Get().ok()) << test_pki::Pki::Get().error;
    std::filesystem::create_directories(dir_);
  }
  // Writes a file of the work folder: its path.
  std::filesystem::path File(const std::string& name, const Bytes& data) {
    test_pki::WriteFile(dir_ / name, data);
    return dir_ / name;
  }
  test_pki::ScopedHome home_;
  const std::filesystem::path dir_ = home_.path() / "work";
};

// Two-call read of a byte-valued parameter.
inline bool GetBytes(HCRYPTMSG m, DWORD param, DWORD index, Bytes& out) {
  DWORD n = 0;
  if (!CryptMsgGetParam(m, param, index, nullptr, &n)) return false;
  out.assign(n, 0);
  if (!CryptMsgGetParam(m, param, index, out.data(), &n)) return false;
  out.resize(n);
  return true;
}

inline DWORD GetDword(HCRYPTMSG m, DWORD param) {
  DWORD v = 0xFFFFFFFF, n = sizeof(v);
  if (!CryptMsgGetParam(m, param, 0, &v, &n)) return 0xFFFFFFFF;
  return v;
}

}  // namespace msg_test
