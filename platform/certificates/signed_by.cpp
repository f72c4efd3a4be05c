#include "platform/certificates/signed_by.h"

#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <openssl/err.h>
#include <openssl/x509.h>

#include "platform/certificates/cert_context.h"

namespace vexorcsp {
namespace {

constexpr size_t kMaxRemembered = 4096;  // pairs; the memory is forgotten whole when full

struct Pair {
  std::vector<BYTE> subject;
  std::vector<BYTE> issuer;
};

class VerifiedPairs {
 public:
  bool Has(const CertObject& subject, const CertObject& issuer) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto [first, last] = pairs_.equal_range(KeyOf(subject, issuer));
    for (auto it = first; it != last; ++it)
      if (it->second.subject == subject.core.encoded && it->second.issuer == issuer.core.encoded) return true;
    return false;
  }

  void Add(const CertObject& subject, const CertObject& issuer) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pairs_.size() >= kMaxRemembered) pairs_.clear();
    pairs_.emplace(KeyOf(subject, issuer), Pair{subject.core.encoded, issuer.core.encoded});
  }

 private:
  // The thumbprints only pick the bucket; a hit compares the whole encodings.
  static size_t KeyOf(const CertObject& subject, const CertObject& issuer) {
    size_t a = 0;
    size_t b = 0;
    std::memcpy(&a, subject.core.sha1, sizeof a);
    std::memcpy(&b, issuer.core.sha1, sizeof b);
    return a ^ (b * 31);
  }

  std::mutex mutex_;
  std::unordered_multimap<size_t, Pair> pairs_;
};

VerifiedPairs& Remembered() {
  static VerifiedPairs* const pairs = new VerifiedPairs;  // kept for the process's exit
  return *pairs;
}

}  // namespace

bool CertSignedBy(PCCERT_CONTEXT subject, PCCERT_CONTEXT issuer) {
  if (subject == nullptr || issuer == nullptr) return false;
  CertObject* s = AsObject(subject);
  CertObject* i = AsObject(issuer);
  if (Remembered().Has(*s, *i)) return true;
  EVP_PKEY* key = X509_get0_pubkey(i->OpenSsl());
  X509* cert = s->OpenSsl();
  const bool ok = key != nullptr && cert != nullptr && X509_verify(cert, key) == 1;
  ERR_clear_error();
  if (ok) Remembered().Add(*s, *i);
  return ok;
}

}  // namespace vexorcsp
