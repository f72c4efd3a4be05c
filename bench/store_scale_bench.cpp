// Store scale: N throwaway certificates (default 60,000) put into a serialized store file;
// then the time to load it, to add one certificate and save, to enumerate it, and to find
// a certificate by thumbprint (median of 1,000 lookups), through libvexorcsp.so.
//   store_scale_bench [N]
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vexor/platform.h"

namespace {

using Clock = std::chrono::steady_clock;
double Ms(Clock::time_point since) { return std::chrono::duration<double, std::milli>(Clock::now() - since).count(); }

std::vector<unsigned char> MakeCert(EVP_PKEY* key, long serial) {
  X509* x = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400L * 30);
  const std::string cn = "Scale " + std::to_string(serial);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  X509_set_issuer_name(x, X509_get_subject_name(x));
  X509_set_pubkey(x, key);
  X509_sign(x, key, EVP_sha256());
  unsigned char* der = nullptr;
  const int len = i2d_X509(x, &der);
  std::vector<unsigned char> out(der, der + len);
  OPENSSL_free(der);
  X509_free(x);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const long n = argc > 1 ? std::atol(argv[1]) : 60000;
  const std::string path = "/tmp/vexor-store-scale.sst";
  EVP_PKEY* key = EVP_EC_gen("P-256");
  HCERTSTORE mem = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  std::vector<unsigned char> last;
  auto t = Clock::now();
  for (long i = 1; i <= n; ++i) {
    last = MakeCert(key, i);
    CertAddEncodedCertificateToStore(mem, X509_ASN_ENCODING, last.data(), static_cast<DWORD>(last.size()),
                                     CERT_STORE_ADD_NEW, nullptr);
  }
  const double build = Ms(t);
  CertSaveStore(mem, 0x10001, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_FILENAME_A, const_cast<char*>(path.c_str()), 0);
  CertCloseStore(mem, 0);

  t = Clock::now();
  HCERTSTORE file = CertOpenStore(CERT_STORE_PROV_FILENAME_A, 0x10001, 0, CERT_STORE_OPEN_EXISTING_FLAG, path.c_str());
  const double load = Ms(t);
  const std::vector<unsigned char> extra = MakeCert(key, n + 1);
  t = Clock::now();
  CertAddEncodedCertificateToStore(file, X509_ASN_ENCODING, extra.data(), static_cast<DWORD>(extra.size()),
                                   CERT_STORE_ADD_NEW, nullptr);
  CertSaveStore(file, 0x10001, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_FILENAME_A, const_cast<char*>(path.c_str()), 0);
  const double add = Ms(t);
  t = Clock::now();
  long count = 0;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(file, nullptr); c; c = CertEnumCertificatesInStore(file, c)) ++count;
  const double enumerate = Ms(t);
  PCCERT_CONTEXT probe = CertCreateCertificateContext(X509_ASN_ENCODING, last.data(), static_cast<DWORD>(last.size()));
  BYTE hash[20];
  DWORD hash_len = sizeof(hash);
  CertGetCertificateContextProperty(probe, CERT_HASH_PROP_ID, hash, &hash_len);
  CertFreeCertificateContext(probe);
  CRYPT_HASH_BLOB blob{20, hash};
  std::vector<double> lookups;
  for (int i = 0; i < 1000; ++i) {
    t = Clock::now();
    PCCERT_CONTEXT found = CertFindCertificateInStore(file, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
    lookups.push_back(Ms(t));
    if (found == nullptr) return 1;
    CertFreeCertificateContext(found);
  }
  std::sort(lookups.begin(), lookups.end());
  CertCloseStore(file, 0);
  std::remove(path.c_str());
  std::printf("%ld certificates (made in %.0f ms): load %.0f ms, add one and save %.0f ms, enumerate %ld in %.0f ms, "
              "find by thumbprint median %.3f ms\n",
              n, build, load, add, count, enumerate, lookups[lookups.size() / 2]);
  EVP_PKEY_free(key);
  return 0;
}
