// Certificate and CRL contexts: the Windows CERT_CONTEXT / CRL_CONTEXT a caller sees, with
// the reference count, the owning store, the properties and the decoded fields behind it.
//
// Reference rule: a context's count holds one reference per caller reference plus one while
// it is a member of a store; each caller reference to a store member also holds a reference
// on that store, so a closed store lives until its last context is released.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/provider/gost_engine.h"
#include "vexor/platform.h"

namespace vexorcsp {

class Store;

// Properties kept in their persisted (serialized-store) form, keyed by property id.
// The provider handles of CERT_KEY_PROV_HANDLE_PROP_ID and CERT_KEY_CONTEXT_PROP_ID belong
// to the context unless set with CERT_STORE_NO_CRYPT_RELEASE_FLAG: they are released when the
// property is replaced or deleted and when the context goes, as Windows does.
class PropertySet {
 public:
  PropertySet() = default;
  ~PropertySet();
  PropertySet(const PropertySet&) = delete;
  PropertySet& operator=(const PropertySet&) = delete;

  bool Get(DWORD id, std::vector<BYTE>& out) const;
  bool Has(DWORD id) const;
  void Set(DWORD id, std::vector<BYTE> value, bool owns_handle = false);
  void Erase(DWORD id);
  std::map<DWORD, std::vector<BYTE>> Snapshot() const;
  // Adds the properties of `other` this set does not have; handles are never copied.
  void Inherit(const std::map<DWORD, std::vector<BYTE>>& other);

 private:
  void ReleaseHandle(DWORD id);  // with mutex_ held
  mutable std::mutex mutex_;
  std::map<DWORD, std::vector<BYTE>> values_;
  std::map<DWORD, bool> owned_;
};

// Owned storage for the decoded fields' texts and byte strings; their addresses never move.
struct Arena {
  std::deque<std::string> texts;
  std::deque<std::vector<BYTE>> bytes;
  char* Text(std::string s) {
    texts.push_back(std::move(s));
    return texts.back().data();
  }
  BYTE* Bytes(std::vector<BYTE> b) {
    bytes.push_back(std::move(b));
    return bytes.back().data();
  }
};

struct ContextCore {
  std::atomic<long> refs{1};
  Store* store = nullptr;  // set once the context joins a store; kept after removal
  bool member = false;     // guarded by the store's lock
  size_t position = 0;     // index in the store's list while a member (guarded likewise)
  std::vector<BYTE> encoded;
  BYTE sha1[20] = {};
  PropertySet props;
  Arena arena;
};

struct CertObject : CERT_CONTEXT {
  ContextCore core;
  CERT_INFO info{};
  std::vector<CERT_EXTENSION> extensions;

  // OpenSSL's view of the certificate, decoded on first use: decoding it (its public key
  // goes through OpenSSL's decoders) costs more than the rest of the context together, and
  // most certificates of a loaded store are never verified. Null when OpenSSL cannot read it.
  X509* OpenSsl();

 private:
  std::once_flag x509_once_;
  X509Ptr x509_;
};

struct CrlObject : CRL_CONTEXT {
  ContextCore core;
  CRL_INFO info{};
  std::vector<CERT_EXTENSION> extensions;
  std::vector<CRL_ENTRY> entries;
  std::deque<std::vector<CERT_EXTENSION>> entry_extensions;
  X509CrlPtr crl;
};

inline CertObject* AsObject(PCCERT_CONTEXT c) {
  return static_cast<CertObject*>(const_cast<CERT_CONTEXT*>(c));
}
inline CrlObject* AsObject(PCCRL_CONTEXT c) {
  return static_cast<CrlObject*>(const_cast<CRL_CONTEXT*>(c));
}

// Decodes a certificate; null with the last error set when the bytes are not one.
CertObject* NewCertObject(const BYTE* data, size_t size);
CrlObject* NewCrlObject(const BYTE* data, size_t size);

// Reference counting of both kinds of context (CertObject, CrlObject) over their shared
// core; defined once in cert_context.cpp for the two.
// A new caller reference to a context (and to its store, if it has one).
template <typename Object>
void AddRef(Object* c);
// Drops one reference; the object is destroyed with its last one.
template <typename Object>
void Release(Object* c);
// Drops the reference a store holds while the context is its member.
template <typename Object>
void ReleaseMembership(Object* c);

// The persisted properties of a context with the implicit hash added when cached.
std::map<DWORD, std::vector<BYTE>> PersistedProperties(const ContextCore& core);
bool IsPersistedProperty(DWORD id);

// Decoders shared with the name and encoding code.
bool DecodeAlgorithm(const BYTE* p, size_t n, Arena& arena, CRYPT_ALGORITHM_IDENTIFIER& out);
bool DecodeExtensions(const BYTE* p, size_t n, Arena& arena, std::vector<CERT_EXTENSION>& out);
void ReverseInteger(const BYTE* p, size_t n, Arena& arena, CRYPT_INTEGER_BLOB& out);

}  // namespace vexorcsp
