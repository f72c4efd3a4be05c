#include "xml/gost.h"

#include <algorithm>
#include <cstring>

#include "der/der.h"
#include "vexor/vexor_xml.h"

namespace vexorxml {
namespace {

constexpr size_t kBlobHeader = 16;

// The public-key algorithm of the kind (the key of a certificate or of the ephemeral key in
// the key transport), its ephemeral agreement key's id and the size of its point.
struct KindTraits {
  KeyKind kind;
  const char* oid;
  ALG_ID ephemeral;
  ALG_ID hash;
  size_t point_bytes;
};
const KindTraits kKinds[] = {
    {KeyKind::k2001, szOID_CP_GOST_R3410EL, CALG_DH_EL_EPHEM, CALG_GR3411, 64},
    {KeyKind::k2012_256, szOID_CP_GOST_R3410_12_256, CALG_DH_GR3410_12_256_EPHEM, CALG_GR3411_2012_256, 64},
    {KeyKind::k2012_512, szOID_CP_GOST_R3410_12_512, CALG_DH_GR3410_12_512_EPHEM, CALG_GR3411_2012_512, 128},
};

const KindTraits& Traits(KeyKind kind) {
  for (const KindTraits& t : kKinds)
    if (t.kind == kind) return t;
  return kKinds[0];
}

bool Export(HCRYPTKEY key, HCRYPTKEY wrap, DWORD type, Bytes& blob) {
  DWORD len = 0;
  if (!CryptExportKey(key, wrap, type, 0, nullptr, &len)) return false;
  blob.assign(len, 0);
  if (!CryptExportKey(key, wrap, type, 0, blob.data(), &len)) return false;
  blob.resize(len);
  return true;
}

// A PUBLICKEYBLOB's parameters (DER) and key bytes (`key_bytes` of them).
bool SplitPublicBlob(const Bytes& blob, size_t key_bytes, Bytes& params, Bytes& key) {
  if (blob.size() < kBlobHeader + key_bytes) return false;
  der::Reader r(blob.data() + kBlobHeader, blob.size() - kBlobHeader - key_bytes);
  der::Tlv seq;
  if (!r.Expect(der::kSequence, seq) || !r.ExpectEnd()) return false;
  params.assign(seq.start, seq.start + seq.size);
  key.assign(blob.end() - key_bytes, blob.end());
  return true;
}

// The ephemeral key of the kind as a PUBLICKEYBLOB: header, "MAG1", bit length, parameters, key.
Bytes PublicBlob(KeyKind kind, const Bytes& params, const Bytes& key) {
  Bytes blob = {PUBLICKEYBLOB, 0x20, 0, 0};
  der::PutU32LE(blob, Traits(kind).ephemeral);
  blob.insert(blob.end(), {'M', 'A', 'G', '1'});
  der::PutU32LE(blob, static_cast<uint32_t>(key.size() * 8));
  blob.insert(blob.end(), params.begin(), params.end());
  blob.insert(blob.end(), key.begin(), key.end());
  return blob;
}

// SIMPLEBLOB: header, UKM, wrapped key, MAC, then the parameter set as SEQUENCE { OID }.
struct Wrapped {
  Bytes ukm, enc, mac, param_oid;  // param_oid: the whole OID element
};

bool SplitSimpleBlob(const Bytes& blob, Wrapped& w) {
  if (blob.size() < 60) return false;
  w.ukm.assign(blob.begin() + 16, blob.begin() + 24);
  w.enc.assign(blob.begin() + 24, blob.begin() + 56);
  w.mac.assign(blob.begin() + 56, blob.begin() + 60);
  der::Reader r(blob.data() + 60, blob.size() - 60), inner;
  der::Tlv oid;
  if (!r.Enter(der::kSequence, inner) || !inner.Expect(der::kOid, oid)) return false;
  w.param_oid.assign(oid.start, oid.start + oid.size);
  return true;
}

Bytes SimpleBlob(const Wrapped& w) {
  Bytes blob = {SIMPLEBLOB, 0x20, 0, 0, 0x1E, 0x66, 0, 0, 0xFD, 0x51, 0x4A, 0x37, 0x1E, 0x66, 0, 0};
  blob.insert(blob.end(), w.ukm.begin(), w.ukm.end());
  blob.insert(blob.end(), w.enc.begin(), w.enc.end());
  blob.insert(blob.end(), w.mac.begin(), w.mac.end());
  der::Put(blob, der::kSequence, w.param_oid);
  return blob;
}

Bytes Cat(std::initializer_list<const Bytes*> parts) {
  Bytes out;
  for (const Bytes* p : parts) out.insert(out.end(), p->begin(), p->end());
  return out;
}

// GostR3410-KeyTransport ::= SEQUENCE { sessionEncryptedKey SEQUENCE { encryptedKey,
// macKey }, transportParameters [0] IMPLICIT SEQUENCE { encryptionParamSet,
// ephemeralPublicKey [0] IMPLICIT SubjectPublicKeyInfo, ukm } }
Bytes EncodeTransport(KeyKind kind, const Wrapped& w, const Bytes& eph_params, const Bytes& eph_key) {
  Bytes session, enc, mac;
  der::Put(enc, der::kOctetString, w.enc);
  der::Put(mac, der::kOctetString, w.mac);
  der::Put(session, der::kSequence, Cat({&enc, &mac}));

  Bytes alg_contents, alg, point = {0x00}, bits, spki, ukm;  // BIT STRING: no unused bits
  if (!der::PutOid(alg_contents, Traits(kind).oid)) return {};
  alg_contents.insert(alg_contents.end(), eph_params.begin(), eph_params.end());
  der::Put(alg, der::kSequence, alg_contents);
  der::Put(point, der::kOctetString, eph_key);
  der::Put(bits, der::kBitString, point);
  der::Put(spki, 0xA0, Cat({&alg, &bits}));
  der::Put(ukm, der::kOctetString, w.ukm);
  Bytes params;
  der::Put(params, 0xA0, Cat({&w.param_oid, &spki, &ukm}));
  Bytes out;
  der::Put(out, der::kSequence, Cat({&session, &params}));
  return out;
}

// The transport of a key of the kind: its ephemeral key must be of that kind.
bool DecodeTransport(const Bytes& der_bytes, KeyKind kind, Wrapped& w, Bytes& eph_params, Bytes& eph_key) {
  der::Reader all(der_bytes.data(), der_bytes.size()), kt, session, params, spki, alg;
  der::Tlv enc, mac, oid, alg_oid, alg_params, bits, ukm;
  if (!all.Enter(der::kSequence, kt) || !all.ExpectEnd() || !kt.Enter(der::kSequence, session) ||
      !session.Expect(der::kOctetString, enc) || !session.Expect(der::kOctetString, mac) ||
      !kt.Enter(0xA0, params) || !params.Expect(der::kOid, oid) || !params.Enter(0xA0, spki) ||
      !params.Expect(der::kOctetString, ukm) || !spki.Enter(der::kSequence, alg) ||
      !alg.Expect(der::kOid, alg_oid) || !alg.Expect(der::kSequence, alg_params) ||
      !spki.Expect(der::kBitString, bits))
    return false;
  if (enc.length != 32 || mac.length != 4 || ukm.length != 8) return false;
  std::string alg_name;
  KeyKind eph_kind;
  if (!der::OidToText(alg_oid.value, alg_oid.length, alg_name) || !der::GostKeyKindOfOid(alg_name.c_str(), eph_kind) ||
      eph_kind != kind)
    return false;
  // BIT STRING: no unused bits, then the OCTET STRING of the point.
  der::Reader bit_reader(bits.value, bits.length);
  uint8_t unused = 1;
  der::Tlv point;
  if (!bit_reader.U8(unused) || unused != 0 || !bit_reader.Expect(der::kOctetString, point) ||
      !bit_reader.ExpectEnd() || point.length != Traits(kind).point_bytes)
    return false;
  w.enc.assign(enc.value, enc.value + enc.length);
  w.mac.assign(mac.value, mac.value + mac.length);
  w.ukm.assign(ukm.value, ukm.value + ukm.length);
  w.param_oid.assign(oid.start, oid.start + oid.size);
  eph_params.assign(alg_params.start, alg_params.start + alg_params.size);
  eph_key.assign(point.value, point.value + point.length);
  return true;
}

bool SetCfb(HCRYPTKEY key) {
  const DWORD mode = CRYPT_MODE_CFB;
  return CryptSetKeyParam(key, KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0) != FALSE;
}

}  // namespace

bool KindOfKey(PCCERT_CONTEXT cert, KeyKind& kind) {
  const char* oid = cert != nullptr ? cert->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId : nullptr;
  return der::GostKeyKindOfOid(oid, kind);
}

Hasher::Hasher(HCRYPTPROV prov, KeyKind kind) {
  if (!CryptCreateHash(prov, Traits(kind).hash, 0, 0, hash_.put())) hash_.reset();
}

bool Hasher::Update(const void* data, size_t size) {
  return CryptHashData(hash_.get(), static_cast<const BYTE*>(data), static_cast<DWORD>(size), 0) != FALSE;
}

Bytes Hasher::Value() {
  Bytes value(64);
  DWORD len = static_cast<DWORD>(value.size());
  if (!CryptGetHashParam(hash_.get(), HP_HASHVAL, value.data(), &len, 0)) return {};
  value.resize(len);
  return value;
}

bool VerifyContext(auto_prov& prov) {
  return CryptAcquireContextA(prov.put(), nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT) != FALSE;
}

bool AcquireSigningKey(PCCERT_CONTEXT cert, bool silent, HCRYPTPROV& prov, auto_prov& owned) {
  DWORD key_spec = 0;
  BOOL caller_frees = FALSE;
  const DWORD flags = CRYPT_ACQUIRE_CACHE_FLAG | CRYPT_ACQUIRE_COMPARE_KEY_FLAG | (silent ? CRYPT_ACQUIRE_SILENT_FLAG : 0);
  if (!CryptAcquireCertificatePrivateKey(cert, flags, nullptr, &prov, &key_spec, &caller_frees)) return false;
  if (caller_frees) owned.reset(prov);
  return true;
}

Bytes SignHash(HCRYPTHASH hash) {
  DWORD len = 0;
  if (!CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &len)) return {};
  Bytes signature(len);
  if (!CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &len)) return {};
  signature.resize(len);
  std::reverse(signature.begin(), signature.end());  // the provider's order is CMS's reversed
  return signature;
}

bool VerifyHash(HCRYPTPROV prov, HCRYPTHASH hash, PCCERT_CONTEXT cert, const Bytes& signature, bool& key_error) {
  key_error = false;
  auto_key key;
  if (!CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING, &cert->pCertInfo->SubjectPublicKeyInfo, key.put())) {
    key_error = true;
    return false;
  }
  Bytes reversed(signature.rbegin(), signature.rend());
  return CryptVerifySignatureA(hash, reversed.data(), static_cast<DWORD>(reversed.size()), key.get(), nullptr, 0) !=
         FALSE;
}

int EncryptContent(PCCERT_CONTEXT recipient, const Bytes& content, Bytes& transport, Bytes& iv_and_cipher) {
  KeyKind kind;
  if (!KindOfKey(recipient, kind)) return VEXORXML_PUBLIC_KEY;
  auto_prov prov;
  if (!VerifyContext(prov)) return VEXORXML_ENCRYPT;
  auto_key ephemeral, peer, agreement, session;
  Bytes peer_blob, wrapped_blob, eph_blob, eph_params, eph_key;
  if (!CryptImportPublicKeyInfo(prov.get(), X509_ASN_ENCODING, &recipient->pCertInfo->SubjectPublicKeyInfo,
                                peer.put()) ||
      !Export(peer.get(), 0, PUBLICKEYBLOB, peer_blob))
    return VEXORXML_PUBLIC_KEY;
  // An ephemeral key of the recipient's kind; importing the recipient's key moves it onto
  // the recipient's curve.
  if (!CryptGenKey(prov.get(), Traits(kind).ephemeral, CRYPT_EXPORTABLE, ephemeral.put()) ||
      !CryptImportKey(prov.get(), peer_blob.data(), static_cast<DWORD>(peer_blob.size()), ephemeral.get(), 0,
                      agreement.put()) ||
      !CryptGenKey(prov.get(), CALG_G28147, CRYPT_EXPORTABLE, session.put()) ||
      !Export(session.get(), agreement.get(), SIMPLEBLOB, wrapped_blob) ||
      !Export(ephemeral.get(), 0, PUBLICKEYBLOB, eph_blob) ||
      !SplitPublicBlob(eph_blob, Traits(kind).point_bytes, eph_params, eph_key))
    return VEXORXML_ENCRYPT;
  Wrapped wrapped;
  if (!SplitSimpleBlob(wrapped_blob, wrapped)) return VEXORXML_ENCRYPT;
  transport = EncodeTransport(kind, wrapped, eph_params, eph_key);
  if (transport.empty()) return VEXORXML_ENCRYPT;

  Bytes iv(8);
  DWORD iv_len = static_cast<DWORD>(iv.size());
  if (!SetCfb(session.get()) || !CryptGetKeyParam(session.get(), KP_IV, iv.data(), &iv_len, 0) || iv_len != 8)
    return VEXORXML_ENCRYPT;
  iv_and_cipher = iv;
  iv_and_cipher.insert(iv_and_cipher.end(), content.begin(), content.end());
  DWORD len = static_cast<DWORD>(content.size());
  if (!CryptEncrypt(session.get(), 0, TRUE, 0, iv_and_cipher.data() + 8, &len, len)) return VEXORXML_ENCRYPT;
  return VEXORXML_OK;
}

int DecryptContent(PCCERT_CONTEXT recipient, KeyKind kind, const Bytes& transport, const Bytes& iv_and_cipher,
                   Bytes& content) {
  Wrapped wrapped;
  Bytes eph_params, eph_key;
  if (!DecodeTransport(transport, kind, wrapped, eph_params, eph_key) || iv_and_cipher.size() < 8)
    return VEXORXML_BAD_DOCUMENT;
  HCRYPTPROV prov = 0;
  auto_prov owned;
  if (!AcquireSigningKey(recipient, true, prov, owned)) return VEXORXML_NO_PRIVATE_KEY;
  auto_key own, agreement, session;
  if (!CryptGetUserKey(prov, AT_KEYEXCHANGE, own.put())) return VEXORXML_NO_PRIVATE_KEY;
  const Bytes eph_blob = PublicBlob(kind, eph_params, eph_key);
  const Bytes wrapped_blob = SimpleBlob(wrapped);
  if (!CryptImportKey(prov, eph_blob.data(), static_cast<DWORD>(eph_blob.size()), own.get(), 0, agreement.put()))
    return VEXORXML_PUBLIC_KEY;
  if (!CryptImportKey(prov, wrapped_blob.data(), static_cast<DWORD>(wrapped_blob.size()), agreement.get(), 0,
                      session.put()) ||
      !SetCfb(session.get()) || !CryptSetKeyParam(session.get(), KP_IV, iv_and_cipher.data(), 0))
    return VEXORXML_DECRYPT;
  content.assign(iv_and_cipher.begin() + 8, iv_and_cipher.end());
  DWORD len = static_cast<DWORD>(content.size());
  if (!CryptDecrypt(session.get(), 0, TRUE, 0, content.data(), &len)) return VEXORXML_DECRYPT;
  return VEXORXML_OK;
}

}  // namespace vexorxml
