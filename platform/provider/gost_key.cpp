// GOST R 34.10-2001 and 34.10-2012 keys, agreement and signatures through the GOST engine. Keys are built
// by encoding the standard DER structures and letting the engine decode them, so the engine
// does all the curve arithmetic.
#include "platform/provider/gost_key.h"

#include "platform/codec/der.h"
#include "vexor/platform_prov.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>

namespace vexorcsp {
namespace {

struct CurveAlias {
  const char* name;
  const char* canonical;
};
constexpr CurveAlias kCurveAliases[] = {
    {"1.2.643.2.2.36.0", "1.2.643.2.2.35.1"},
    {"1.2.643.2.2.36.1", "1.2.643.2.2.35.3"},
};

constexpr char kGost2012_256DigestOid[] = "1.2.643.7.1.1.2.2";

std::vector<uint8_t> AlgorithmIdentifier(KeyFamily family, const KeyParams& params) {
  std::vector<uint8_t> content;
  der::PutOid(content, FamilyOid(family));
  content.insert(content.end(), params.der.begin(), params.der.end());
  std::vector<uint8_t> out;
  der::Put(out, der::kSequence, content);
  return out;
}

// The parameters a key of the family on the curve carries: 2001 keys name the GOST R
// 34.11-94 set, 2012-256 keys on the CryptoPro curves name GOST R 34.11-2012 256, and the
// TC26 curves name no digest (RFC 9215).
KeyParams ParamsFor(KeyFamily family, const std::string& curve) {
  std::vector<uint8_t> content;
  der::PutOid(content, curve);
  if (family == KeyFamily::k2001)
    der::PutOid(content, kDigestParams);
  else if (family == KeyFamily::k2012_256 && curve.rfind("1.2.643.2.2.", 0) == 0)
    der::PutOid(content, kGost2012_256DigestOid);
  std::vector<uint8_t> der;
  der::Put(der, der::kSequence, content);
  KeyParams p;
  ParseKeyParams(der.data(), der.size(), p);
  return p;
}

// A canonical engine PKCS#8 (the raw scalar little-endian) decoded by the engine.
EvpPkeyPtr PrivateKeyFromRaw(KeyFamily family, const KeyParams& params, const uint8_t* priv_le) {
  std::vector<uint8_t> content = {0x02, 0x01, 0x00};
  const std::vector<uint8_t> alg = AlgorithmIdentifier(family, params);
  content.insert(content.end(), alg.begin(), alg.end());
  der::Put(content, der::kOctetString, priv_le, ScalarBytes(family));
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

const char* FamilyOid(KeyFamily f) {
  switch (f) {
    case KeyFamily::k2012_256:
      return kGost2012_256KeyOid;
    case KeyFamily::k2012_512:
      return kGost2012_512KeyOid;
    default:
      return kGost2001KeyOid;
  }
}

bool FamilyOfKey(EVP_PKEY* key, KeyFamily& out) {
  switch (key == nullptr ? NID_undef : EVP_PKEY_base_id(key)) {
    case NID_id_GostR3410_2001:
      out = KeyFamily::k2001;
      return true;
    case NID_id_GostR3410_2012_256:
      out = KeyFamily::k2012_256;
      return true;
    case NID_id_GostR3410_2012_512:
      out = KeyFamily::k2012_512;
      return true;
    default:
      return false;
  }
}

ALG_ID FamilyHashAlg(KeyFamily f) {
  return f == KeyFamily::k2001     ? CALG_GR3411
         : f == KeyFamily::k2012_256 ? CALG_GR3411_2012_256
                                     : CALG_GR3411_2012_512;
}

ALG_ID FamilySignAlg(KeyFamily f) {
  return f == KeyFamily::k2001     ? CALG_GR3410EL
         : f == KeyFamily::k2012_256 ? CALG_GR3410_12_256
                                     : CALG_GR3410_12_512;
}

ALG_ID FamilyExchangeAlg(KeyFamily f) {
  return f == KeyFamily::k2001     ? CALG_DH_EL_SF
         : f == KeyFamily::k2012_256 ? CALG_DH_GR3410_12_256_SF
                                     : CALG_DH_GR3410_12_512_SF;
}

ALG_ID FamilyEphemeralAlg(KeyFamily f) {
  return f == KeyFamily::k2001     ? CALG_DH_EL_EPHEM
         : f == KeyFamily::k2012_256 ? CALG_DH_GR3410_12_256_EPHEM
                                     : CALG_DH_GR3410_12_512_EPHEM;
}

bool FamilyOfProvType(DWORD type, KeyFamily& out) {
  switch (type) {
    case PROV_GOST_2001_DH:
      out = KeyFamily::k2001;
      return true;
    case PROV_GOST_2012_256:
      out = KeyFamily::k2012_256;
      return true;
    case PROV_GOST_2012_512:
      out = KeyFamily::k2012_512;
      return true;
    default:
      return false;
  }
}

bool FamilyOfAlg(ALG_ID alg, KeyFamily& out) {
  for (KeyFamily f : {KeyFamily::k2001, KeyFamily::k2012_256, KeyFamily::k2012_512}) {
    if (alg == FamilySignAlg(f) || alg == FamilyExchangeAlg(f) || alg == FamilyEphemeralAlg(f)) {
      out = f;
      return true;
    }
  }
  return false;
}

void SecretBytes::Clear() {
  if (!v_.empty()) OPENSSL_cleanse(v_.data(), v_.size());
  v_.clear();
}

std::string CanonicalCurve(const std::string& curve_oid) {
  for (const CurveAlias& a : kCurveAliases)
    if (curve_oid == a.name) return a.canonical;
  return curve_oid;
}

EvpPkeyPtr PublicKeyFromRaw(const KeyParams& params, const uint8_t* key, KeyFamily family) {
  if (GostEngine() == nullptr) return nullptr;
  std::vector<uint8_t> octets;
  der::Put(octets, der::kOctetString, key, PointBytes(family));
  octets.insert(octets.begin(), 0x00);  // no unused bits
  std::vector<uint8_t> content = AlgorithmIdentifier(family, params);
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
      !der::GostKeyKindOfOid(alg_oid.c_str(), out.family) || !a.Next(params) ||
      !ParseKeyParams(params.start, params.size, out.params))
    return false;
  uint8_t unused;
  if (!b.U8(unused) || unused != 0 || !b.Expect(der::kOctetString, key) ||
      key.length != PointBytes(out.family))
    return false;
  out.key.assign(key.value, key.value + key.length);
  return true;
}

EvpPkeyPtr GenerateKey(const std::string& curve_oid, KeyFamily family) {
  if (GostEngine() == nullptr) return nullptr;
  const int nid = family == KeyFamily::k2001     ? NID_id_GostR3410_2001
                  : family == KeyFamily::k2012_256 ? NID_id_GostR3410_2012_256
                                                   : NID_id_GostR3410_2012_512;
  const std::string curve = !curve_oid.empty()                 ? curve_oid
                            : family == KeyFamily::k2012_512 ? kDefaultCurve512
                                                             : kDefaultCurve;
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(nid, GostEngine()));
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", curve.c_str()) <= 0 ||
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
  KeyFamily family;
  std::string alg_oid;
  if (!a.Expect(der::kOid, oid) || !der::OidToText(oid.value, oid.length, alg_oid)) return nullptr;
  if (!der::GostKeyKindOfOid(alg_oid.c_str(), family)) return nullptr;
  if (!a.Next(params) || !ParseKeyParams(params.start, params.size, kp)) return nullptr;
  if (kp.digest.empty()) kp = ParamsFor(family, kp.curve);

  const size_t n = ScalarBytes(family);
  uint8_t scalar_le[64] = {};
  if (priv_len == n) {
    std::memcpy(scalar_le, priv, n);
  } else {
    der::Reader inner(priv, priv_len);
    der::Tlv t;
    if (!inner.Next(t) || !inner.ExpectEnd()) return nullptr;
    const uint8_t tag = t.tag;
    const uint8_t* v = t.value;
    size_t v_len = t.length;
    if (tag == 0x04 && v_len == n) {
      std::memcpy(scalar_le, v, n);
    } else if (tag == 0x02 && v_len > 0 && v_len <= n + 1 && !(v[0] & 0x80)) {
      while (v_len > n && v[0] == 0) ++v, --v_len;  // sign octet
      if (v_len > n) return nullptr;
      for (size_t i = 0; i < v_len; ++i) scalar_le[i] = v[v_len - 1 - i];
    } else {
      return nullptr;
    }
  }
  EvpPkeyPtr key = PrivateKeyFromRaw(family, kp, scalar_le);
  OPENSSL_cleanse(scalar_le, sizeof(scalar_le));
  if (!key) ERR_clear_error();
  return key;
}

bool Vko(EVP_PKEY* own, EVP_PKEY* peer, const uint8_t* ukm, uint8_t* kek) {
  RawPublicKey own_pub, peer_pub;
  if (!ExtractPublic(own, own_pub) || !ExtractPublic(peer, peer_pub)) return false;
  EvpPkeyPtr moved;
  if (own_pub.family != peer_pub.family) return false;
  if (own_pub.params.curve != peer_pub.params.curve) {
    if (CanonicalCurve(own_pub.params.curve) != CanonicalCurve(peer_pub.params.curve))
      return false;
    moved = PublicKeyFromRaw(own_pub.params, peer_pub.key.data(), own_pub.family);
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
  KeyFamily family;
  if (!FamilyOfKey(key, family)) return false;
  const size_t n = ScalarBytes(family);
  EvpPkeyCtxPtr ctx(NewCtx(key));
  uint8_t sig[128];
  size_t len = 2 * n;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
      EVP_PKEY_sign(ctx.get(), sig, &len, digest, n) <= 0 || len != 2 * n) {
    ERR_clear_error();
    return false;
  }
  std::reverse_copy(sig, sig + len, signature);
  return true;
}

bool VerifyDigest(EVP_PKEY* key, const uint8_t* digest, const uint8_t* signature) {
  KeyFamily family;
  if (!FamilyOfKey(key, family)) return false;
  const size_t n = ScalarBytes(family);
  EvpPkeyCtxPtr ctx(NewCtx(key));
  uint8_t sig[128];
  std::reverse_copy(signature, signature + 2 * n, sig);
  const bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) > 0 &&
                  EVP_PKEY_verify(ctx.get(), sig, 2 * n, digest, n) == 1;
  if (!ok) ERR_clear_error();
  return ok;
}

const EVP_MD* Gost94Digest() {
  static const EVP_MD* md =
      GostEngine() ? ENGINE_get_digest(GostEngine(), NID_id_GostR3411_94) : nullptr;
  return md;
}

}  // namespace vexorcsp
