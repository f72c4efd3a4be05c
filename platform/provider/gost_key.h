// GOST R 34.10-2001 and 34.10-2012 (256 and 512 bits) keys over the GOST engine: building
// keys from the raw bytes blobs carry, reading them back, key generation, PKCS#8 import in
// every encoding in circulation, VKO agreement and signatures in CryptoAPI byte order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "der/gost_key_kind.h"
#include "platform/provider/gost_engine.h"
#include "platform/provider/key_blob.h"

namespace vexorcsp {

// Bytes that hold key material: cleansed before their memory is released.
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(size_t n) : v_(n) {}
  SecretBytes(const uint8_t* p, size_t n) : v_(p, p + n) {}
  SecretBytes(SecretBytes&&) = default;
  SecretBytes& operator=(SecretBytes&& o) noexcept {
    Clear();
    v_ = std::move(o.v_);
    return *this;
  }
  ~SecretBytes() { Clear(); }
  void Clear();
  uint8_t* data() { return v_.data(); }
  const uint8_t* data() const { return v_.data(); }
  size_t size() const { return v_.size(); }
  bool empty() const { return v_.empty(); }

 private:
  std::vector<uint8_t> v_;
};

constexpr char kGost2001KeyOid[] = "1.2.643.2.2.19";
constexpr char kGost2012_256KeyOid[] = "1.2.643.7.1.1.1.1";
constexpr char kGost2012_512KeyOid[] = "1.2.643.7.1.1.1.2";

// The generation and size of a GOST R 34.10 key. A scalar (a coordinate, the private key,
// the hash value signed, half a signature) is 32 bytes but for 2012-512 keys, where it is 64.
using KeyFamily = der::GostKeyKind;

inline size_t ScalarBytes(KeyFamily f) { return f == KeyFamily::k2012_512 ? 64 : 32; }
inline size_t PointBytes(KeyFamily f) { return 2 * ScalarBytes(f); }
const char* FamilyOid(KeyFamily f);
// The family of an engine key; false for a key that is not GOST R 34.10.
bool FamilyOfKey(EVP_PKEY* key, KeyFamily& out);
// The hash that goes with a family's signatures, and the algorithm ids of its signature and
// exchange keys.
ALG_ID FamilyHashAlg(KeyFamily f);
ALG_ID FamilySignAlg(KeyFamily f);
ALG_ID FamilyExchangeAlg(KeyFamily f);
ALG_ID FamilyEphemeralAlg(KeyFamily f);
// The family a provider type makes keys of (75: 2001, 80: 2012-256, 81: 2012-512).
bool FamilyOfProvType(DWORD type, KeyFamily& out);
// The family of a key algorithm id (signature, exchange or ephemeral); false for others.
bool FamilyOfAlg(ALG_ID alg, KeyFamily& out);
// The curve new keys use unless told otherwise (CryptoPro-A) and the one ephemeral keys use
// (CryptoPro-XchA, the same curve under its exchange name).
constexpr char kDefaultCurve[] = "1.2.643.2.2.35.1";
constexpr char kDefaultExchangeCurve[] = "1.2.643.2.2.36.0";
constexpr char kDigestParams[] = "1.2.643.2.2.30.1";
// The curve new 2012-512 keys use (TC26 512 A).
constexpr char kDefaultCurve512[] = "1.2.643.7.1.2.1.2.1";

// The same curve can be named by a signature and an exchange parameter set (XchA is A,
// XchB is C); this returns one name per curve.
std::string CanonicalCurve(const std::string& curve_oid);

struct RawPublicKey {
  KeyFamily family = KeyFamily::k2001;
  KeyParams params;
  std::vector<uint8_t> key;  // X || Y little-endian, as in the SPKI (PointBytes(family))
};

// key holds PointBytes(family) bytes.
EvpPkeyPtr PublicKeyFromRaw(const KeyParams& params, const uint8_t* key,
                            KeyFamily family = KeyFamily::k2001);
bool ExtractPublic(EVP_PKEY* pkey, RawPublicKey& out);
// The DER SubjectPublicKeyInfo of a key.
std::vector<uint8_t> PublicKeyInfoDer(EVP_PKEY* pkey);
// A new key on the curve; the default curve of the family when curve_oid is empty.
EvpPkeyPtr GenerateKey(const std::string& curve_oid, KeyFamily family = KeyFamily::k2001);

// A PKCS#8 PrivateKeyInfo in DER or PEM, of any family. The private key may be the raw
// scalar little-endian, an INTEGER big-endian or an inner OCTET STRING little-endian, and a
// 2001 algorithm may be labelled 1.2.643.2.2.98; the result is the engine's own form.
EvpPkeyPtr ImportPkcs8(const uint8_t* data, size_t len);

// VKO GOST R 34.10-2001 (RFC 4357 5.2): the 32-byte KEK of own private key, peer public
// key and 8-byte UKM. A peer on the same curve under another parameter-set name is moved
// onto the own key's name first.
bool Vko(EVP_PKEY* own, EVP_PKEY* peer, const uint8_t* ukm, uint8_t* kek);

// Signatures over a hash value of ScalarBytes (GOST R 34.11-94 for 2001 keys, 34.11-2012 of
// the key's size for 2012 keys), of PointBytes, in CryptoAPI order (the engine's s || r
// big-endian string reversed as a whole).
bool SignDigest(EVP_PKEY* key, const uint8_t* digest, uint8_t* signature);
bool VerifyDigest(EVP_PKEY* key, const uint8_t* digest, const uint8_t* signature);

// GOST R 34.11-94 with the CryptoPro parameters, from the engine; null without it.
const EVP_MD* Gost94Digest();

}  // namespace vexorcsp
