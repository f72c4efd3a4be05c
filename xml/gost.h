// The GOST work of the XML library on the platform's provider: GOST R 34.11-94 and
// 34.11-2012 hashes, GOST R 34.10-2001 and 34.10-2012 signatures (in the octet order CMS and
// XML-DSig carry), and the GOST 28147-89 content encryption with its key transported to one
// recipient (RFC 4490's GostR3410-KeyTransport with an ephemeral sender key of the
// recipient's generation; VKO GOST R 34.10-2012 for 2012 recipients).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "der/gost_key_kind.h"
#include "stores/auto_handle.h"

namespace vexorxml {

using Bytes = std::vector<uint8_t>;

// The generation and size of a GOST R 34.10 key; the hash its signatures go with is
// GOST R 34.11-94 for 2001 keys and GOST R 34.11-2012 of the key's size for 2012 keys.
using KeyKind = der::GostKeyKind;

// The kind of the certificate's key; false for a key that is none of them.
bool KindOfKey(PCCERT_CONTEXT cert, KeyKind& kind);

// A hash on a provider: the one that goes with keys of the kind.
class Hasher {
 public:
  explicit Hasher(HCRYPTPROV prov, KeyKind kind = KeyKind::k2001);
  bool ok() const { return static_cast<bool>(hash_); }
  bool Update(const void* data, size_t size);
  // The 32 (64 for 2012-512) hash bytes; empty on failure.
  Bytes Value();
  HCRYPTHASH handle() const { return hash_.get(); }

 private:
  auto_hash hash_;
};

// A provider for public-key work only.
bool VerifyContext(auto_prov& prov);

// The certificate's private key (no prompt when silent); false when it cannot be had.
bool AcquireSigningKey(PCCERT_CONTEXT cert, bool silent, HCRYPTPROV& prov, auto_prov& owned);

// Signs the hash (made on the key's provider) with the exchange key: the 64 (128 for
// 2012-512) bytes as CMS carries them (s then r, big-endian). Empty on failure.
Bytes SignHash(HCRYPTHASH hash);

// Whether the CMS-ordered signature verifies over the hash with the certificate's key; the
// hash must come from `prov`. Sets `key_error` when the key cannot be imported.
bool VerifyHash(HCRYPTPROV prov, HCRYPTHASH hash, PCCERT_CONTEXT cert, const Bytes& signature, bool& key_error);

// Encrypts the content for the recipient (a 2001 or 2012 key): the DER
// GostR3410-KeyTransport of a fresh session key and the 8-byte IV followed by the ciphertext
// (CFB, CryptoPro key meshing). 0 or a VEXORXML_ code.
int EncryptContent(PCCERT_CONTEXT recipient, const Bytes& content, Bytes& transport, Bytes& iv_and_cipher);

// Decrypts with the recipient's key (its exchange key opens the transport). `kind` is the
// kind of key the document says the transport is for: a transport whose ephemeral key is
// of another kind is a bad document. 0 or a code.
int DecryptContent(PCCERT_CONTEXT recipient, KeyKind kind, const Bytes& transport, const Bytes& iv_and_cipher,
                   Bytes& content);

}  // namespace vexorxml
