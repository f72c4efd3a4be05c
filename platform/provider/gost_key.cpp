// GOST R 34.10-2001 keys, agreement and signatures through the GOST engine. Keys are built
// by encoding the standard DER structures and letting the engine decode them, so the engine
// does all the curve arithmetic.
#include "platform/provider/gost_key.h"

#include "platform/codec/der.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>

namespace vexorcsp {
namespace {

constexpr char kGost2001KeyOidAlt[] = "1.2.643.2.2.98";

struct CurveAlias {
  const char* name;
  const char* canonical;
};
constexpr CurveAlias kCurveAliases[] = {
    {"1.2.643.2.2.36.0", "1.2.643.2.2.35.1"},
    {"1.2.643.2.2.36.1", "1.2.643.2.2.35.3"},
};

std::vector<uint8_t> AlgorithmIdentifier(const KeyParams& params) {
  std::vector<uint8_t> content;
  der::PutOid(content, kGost2001KeyOid);
  content.insert(content.end(), params.der.begin(), params.der.end());
  std::vector<uint8_t> out;
  der::Put(out, der::kSequence, content);
  return out;
}

KeyParams ParamsFor(const std::string& curve) {
  std::vector<uint8_t> content;
  der::PutOid(content, curve);
  der::PutOid(content, kDigestParams);
  std::vector<uint8_t> der;
  der::Put(der, der::kSequence, content);
  KeyParams p;
  ParseKeyParams(der.data(), der.size(), p);
  return p;
}

// A canonical engine PKCS#8 (32 raw bytes little-endian) decoded by the engine.
EvpPkeyPtr PrivateKeyFromRaw(const KeyParams& params, const uint8_t* priv_le) {
  std::vector<uint8_t> content = {0x02, 0x01, 0x00};
  const std::vector<uint8_t> alg = AlgorithmIdentifier(params);
  content.insert(content.end(), alg.begin(), alg.end());
  der::Put(content, der::kOctetString, priv_le, 32);
  std::vector<uint8_t> der;
  der::Put(der, der::kSequence, content);
  OPENSSL_cleanse(content.data(), content.size());
  const unsigned char* p = der.data();
  PKCS8_PRIV_KEY_INFO* info = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, long(der.size()));
  OPENSSL_cleanse(der.data(), der.size());
  if (info == nullptr) return nullptr;
  EvpPkeyPtr key(EVP_PKCS82PKEY(info));
  PKCS8_PRIV_KEY_INFO_free(info);
  return key;
}

// The PEM body or the bytes themselves. PEM is recognised by its first line only, so DER
// that happens to contain the marker stays DER.
bool PemOrDer(const uint8_t* data, size_t len, SecretBytes& der) {
  static const char kBegin[] = "-----BEGIN ";
  size_t skip = 0;
  while (skip < len && std::isspace(data[skip])) ++skip;
  if (len - skip < sizeof(kBegin) - 1 ||
      std::memcmp(data + skip, kBegin, sizeof(kBegin) - 1) != 0) {
    der = SecretBytes(data, len);
    return true;
  }
  if (len > size_t(INT32_MAX)) return false;
  BioPtr bio(BIO_new_mem_buf(data, int(len)));
  if (!bio) return false;
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* body = nullptr;
  long body_len = 0;
  if (!PEM_read_bio(bio.get(), &name, &header, &body, &body_len)) {
    ERR_clear_error();
    return false;
  }
  const bool ok = std::strcmp(name, "PRIVATE KEY") == 0;
  if (ok) der = SecretBytes(body, size_t(body_len));
  OPENSSL_free(name);
  OPENSSL_free(header);
  OPENSSL_clear_free(body, size_t(body_len));
  return ok;
}

EVP_PKEY_CTX* NewCtx(EVP_PKEY* key) { return EVP_PKEY_CTX_new(key, GostEngine()); }

}  // namespace

void SecretBytes::Clear() {
  if (!v_.empty()) OPENSSL_cleanse(v_.data(), v_.size());
  v_.clear();
}

std::string CanonicalCurve(const std::string& curve_oid) {
  for (const CurveAlias& a : kCurveAliases)
    if (curve_oid == a.name) return a.canonical;
  return curve_oid;
}

EvpPkeyPtr PublicKeyFromRaw(const KeyParams& params, const uint8_t* key) {
  if (GostEngine() == nullptr) return nullptr;
  std::vector<uint8_t> octets;
  der::Put(octets, der::kOctetString, key, kPublicKeyBytes);
  octets.insert(octets.begin(), 0x00);  // no unused bits
  std::vector<uint8_t> content = AlgorithmIdentifier(params);
  der::Put(content, der::kBitString, octets);
  std::vector<uint8_t> der;
  der::Put(der, der::kSequence, content);
  const unsigned char* p = der.data();
  EvpPkeyPtr out(d2i_PUBKEY(nullptr, &p, long(der.size())));
  if (!out) ERR_clear_error();
  return out;
}

std::vector<uint8_t> PublicKeyInfoDer(EVP_PKEY* pkey) {
  unsigned char* der = nullptr;
  const int len = i2d_PUBKEY(pkey, &der);
  if (len <= 0) return {};
  std::vector<uint8_t> out(der, der + len);
  OPENSSL_free(der);
  return out;
}

bool ExtractPublic(EVP_PKEY* pkey, RawPublicKey& out) {
  const std::vector<uint8_t> spki = PublicKeyInfoDer(pkey);
  der::Reader r(spki.data(), spki.size());
  der::Reader seq, a, b;
  der::Tlv oid, params, key;
  std::string alg_oid;
  if (!r.Enter(der::kSequence, seq) || !seq.Enter(der::kSequence, a) || !seq.Enter(der::kBitString, b))
    return false;
  if (!a.Expect(der::kOid, oid) || !der::OidToText(oid.value, oid.length, alg_oid) ||
      alg_oid != kGost2001KeyOid || !a.Next(params) || !ParseKeyParams(params.start, params.size, out.params))
    return false;
  uint8_t unused;
  if (!b.U8(unused) || unused != 0 || !b.Expect(der::kOctetString, key) || key.length != kPublicKeyBytes)
    return false;
  std::memcpy(out.key.data(), key.value, kPublicKeyBytes);
  return true;
}

EvpPkeyPtr GenerateKey(const std::string& curve_oid) {
  if (GostEngine() == nullptr) return nullptr;
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(NID_id_GostR3410_2001, GostEngine()));
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", curve_oid.c_str()) <= 0 ||
      EVP_PKEY_keygen(ctx.get(), &key) <= 0) {
    ERR_clear_error();
    return nullptr;
  }
  // Keys are built again from their DER so that the parameters they report carry the
  // digest set, as every other key here does.
  EvpPkeyPtr generated(key);
  PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(generated.get());
  if (info == nullptr) return nullptr;
  unsigned char* der = nullptr;
  const int len = i2d_PKCS8_PRIV_KEY_INFO(info, &der);
  PKCS8_PRIV_KEY_INFO_free(info);
  if (len <= 0) return nullptr;
  EvpPkeyPtr out = ImportPkcs8(der, size_t(len));
  OPENSSL_clear_free(der, size_t(len));
  return out;
}

EvpPkeyPtr ImportPkcs8(const uint8_t* data, size_t len) {
  if (GostEngine() == nullptr || data == nullptr) return nullptr;
  SecretBytes der;
  if (!PemOrDer(data, len, der)) return nullptr;
  // PrivateKeyInfo ::= SEQUENCE { version, AlgorithmIdentifier, OCTET STRING, [0] ... }
  der::Reader r(der.data(), der.size());
  der::Reader seq, a;
  der::Tlv ver, priv_tlv, oid, params;
  if (!r.Enter(der::kSequence, seq) || !r.ExpectEnd()) return nullptr;
  if (!seq.Expect(der::kInteger, ver) || ver.length != 1 || ver.value[0] > 1 || !seq.Enter(der::kSequence, a) ||
      !seq.Expect(der::kOctetString, priv_tlv))
    return nullptr;
  const uint8_t* priv = priv_tlv.value;
  const size_t priv_len = priv_tlv.length;
  KeyParams kp;
  std::string alg_oid;
  if (!a.Expect(der::kOid, oid) || !der::OidToText(oid.value, oid.length, alg_oid)) return nullptr;
  if (alg_oid != kGost2001KeyOid && alg_oid != kGost2001KeyOidAlt) return nullptr;
  if (!a.Next(params) || !ParseKeyParams(params.start, params.size, kp)) return nullptr;
  if (kp.digest.empty()) kp = ParamsFor(kp.curve);

  uint8_t scalar_le[32] = {};
  if (priv_len == 32) {
    std::memcpy(scalar_le, priv, 32);
  } else {
    der::Reader inner(priv, priv_len);
    der::Tlv t;
    if (!inner.Next(t) || !inner.ExpectEnd()) return nullptr;
    const uint8_t tag = t.tag;
    const uint8_t* v = t.value;
    size_t v_len = t.length;
    if (tag == 0x04 && v_len == 32) {
      std::memcpy(scalar_le, v, 32);
    } else if (tag == 0x02 && v_len > 0 && v_len <= 33 && !(v[0] & 0x80)) {
      while (v_len > 32 && v[0] == 0) ++v, --v_len;  // sign octet
      if (v_len > 32) return nullptr;
      for (size_t i = 0; i < v_len; ++i) scalar_le[i] = v[v_len - 1 - i];
    } else {
      return nullptr;
    }
  }
  EvpPkeyPtr key = PrivateKeyFromRaw(kp, scalar_le);
  OPENSSL_cleanse(scalar_le, sizeof(scalar_le));
  if (!key) ERR_clear_error();
  return key;
}

bool Vko(EVP_PKEY* own, EVP_PKEY* peer, const uint8_t* ukm, uint8_t* kek) {
  RawPublicKey own_pub, peer_pub;
  if (!ExtractPublic(own, own_pub) || !ExtractPublic(peer, peer_pub)) return false;
  EvpPkeyPtr moved;
  if (own_pub.params.curve != peer_pub.params.curve) {
    if (CanonicalCurve(own_pub.params.curve) != CanonicalCurve(peer_pub.params.curve))
      return false;
    moved = PublicKeyFromRaw(own_pub.params, peer_pub.key.data());
    if (!moved) return false;
    peer = moved.get();
  }
  EvpPkeyCtxPtr ctx(NewCtx(own));
  size_t len = 32;
  const bool ok = ctx && EVP_PKEY_derive_init(ctx.get()) > 0 &&
                  EVP_PKEY_derive_set_peer(ctx.get(), peer) > 0 &&
                  EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_SET_IV, 8,
                                    const_cast<uint8_t*>(ukm)) > 0 &&
                  EVP_PKEY_derive(ctx.get(), kek, &len) > 0 && len == 32;
  if (!ok) ERR_clear_error();
  return ok;
}

bool SignDigest(EVP_PKEY* key, const uint8_t* digest, uint8_t* signature) {
  EvpPkeyCtxPtr ctx(NewCtx(key));
  uint8_t sig[64];
  size_t len = sizeof(sig);
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
      EVP_PKEY_sign(ctx.get(), sig, &len, digest, 32) <= 0 || len != 64) {
    ERR_clear_error();
    return false;
  }
  std::reverse_copy(sig, sig + 64, signature);
  return true;
}

bool VerifyDigest(EVP_PKEY* key, const uint8_t* digest, const uint8_t* signature) {
  EvpPkeyCtxPtr ctx(NewCtx(key));
  uint8_t sig[64];
  std::reverse_copy(signature, signature + 64, sig);
  const bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) > 0 &&
                  EVP_PKEY_verify(ctx.get(), sig, sizeof(sig), digest, 32) == 1;
  if (!ok) ERR_clear_error();
  return ok;
}

const EVP_MD* Gost94Digest() {
  static const EVP_MD* md =
      GostEngine() ? ENGINE_get_digest(GostEngine(), NID_id_GostR3411_94) : nullptr;
  return md;
}

}  // namespace vexorcsp
