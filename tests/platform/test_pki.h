// Test certificates made at test time with the openssl command and its GOST engine, shared
// by every platform test and by the later CMS and provider tests: a root CA, an intermediate
// CA, users on GOST R 34.10-2001 parameter sets A and XA, a user with an e-mail address, an
// expired and a not-yet-valid user, a user with an RSA key, a revoked user and the
// intermediate's CRL that lists it. Nothing secret is committed: keys live in a temporary
// directory that is removed when the process ends.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "common/hex.h"
#include "common/temp_dir.h"
#include "vexor/platform.h"

namespace test_pki {

using Bytes = std::vector<uint8_t>;

struct Cert {
  Bytes der;
  std::filesystem::path pem;  // certificate in PEM
  std::filesystem::path key;  // private key, PKCS#8 PEM
};

class Pki {
 public:
  // Built on first use; check ok() (and error) before relying on it.
  static const Pki& Get();
  bool ok() const { return error.empty(); }

  std::string error;
  std::filesystem::path dir;
  Cert root, intermediate;
  Cert user_a, user_xa, user_email, expired, not_yet_valid, rsa, revoked;
  Bytes crl;  // the intermediate's CRL; lists `revoked` only
  std::filesystem::path crl_pem;
  std::filesystem::path openssl_config;

 private:
  void Build();
};

// Runs a shell command; the exit status and standard output.
struct RunResult {
  int status = -1;
  std::string out;
};
RunResult Run(const std::string& command);

Bytes ReadFile(const std::filesystem::path& p);
void WriteFile(const std::filesystem::path& p, const Bytes& data);
using test_common::Hex;  // upper case

using ScopedHome = test_common::ScopedCspHome;

// Adds a certificate to a current-user system store ("My", "Root", "CA").
bool AddToSystemStore(const char* store, const Bytes& der);
// Installs a certificate with its private key in My: the key goes into key container
// `container` and the certificate carries CERT_KEY_PROV_INFO_PROP_ID naming it.
bool InstallWithKey(const Cert& cert, const std::string& container);
// Root in Root and the intermediate in CA, the usual trust setup.
bool TrustTestRoot();

// A throwaway self-signed certificate (P-256, made in-process, fast) with the given serial
// and common name, for tests that need many distinct certificates; with a distribution
// point naming crl_url when given.
Bytes MakeSelfSigned(long serial, const std::string& common_name, long not_before_offset_days = 0,
                     const std::string& crl_url = std::string());

}  // namespace test_pki
