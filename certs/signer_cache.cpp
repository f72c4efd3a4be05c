#include "certs/signer_cache.h"

#include "certs/valid_certs_cache.h"

HCERTSTORE SignerCache::PersonalStore(DWORD location) {
  HCERTSTORE store = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!store_ || location_ != location) {
      entries_.clear();
      store_.reset(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, location, u"My"));
      location_ = location;
      if (!store_) return nullptr;
    }
    store = CertDuplicateStore(store_.get());
  }
  // The store's own lock orders a reload against the searches of other calls.
  CertControlStore(store, 0, CERT_STORE_CTRL_RESYNC, nullptr);
  return store;
}

PCCERT_CONTEXT SignerCache::Find(const std::string& key, HCERTSTORE store) {
  auto_cert cert;
  {
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = entries_.find(key);
    if (it == entries_.end()) return nullptr;
    if (now_() - it->second.found >= std::chrono::minutes(ValidCertsCache::kLifetimeMinutes)) {
      entries_.erase(it);
      return nullptr;
    }
    cert.reset(CertDuplicateCertificateContext(it->second.cert.get()));
  }
  // A reloaded store holds new contexts: the one kept is then no member any more.
  BYTE sha1[20];
  DWORD size = sizeof sha1;
  if (!CertGetCertificateContextProperty(cert.get(), CERT_SHA1_HASH_PROP_ID, sha1, &size)) return nullptr;
  CRYPT_HASH_BLOB hash{size, sha1};
  auto_cert member(CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                              CERT_FIND_SHA1_HASH, &hash, nullptr));
  if (member.get() != cert.get()) return nullptr;
  return cert.release();
}

void SignerCache::Keep(const std::string& key, PCCERT_CONTEXT cert) {
  auto_cert copy(CertDuplicateCertificateContext(cert));
  std::lock_guard<std::mutex> guard(lock_);
  entries_[key] = Entry{std::move(copy), now_()};
}

void SignerCache::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  entries_.clear();
  store_.reset();
}
