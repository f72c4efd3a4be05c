#include "xml/gost.h"

#include <algorithm>
#include <cstring>

#include "der/der.h"
#include "vexor/vexor_xml.h"

namespace vexorxml {
namespace {

// id-GostR3410-2001, the algorithm of an ephemeral key in the key transport.
const uint8_t kGost2001Oid[] = {0x06, 0x06, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x13};
constexpr size_t kKeyBytes = 64;
constexpr size_t kBlobHeader = 16;

bool Export(HCRYPTKEY key, HCRYPTKEY wrap, DWORD type, Bytes& blob) {
  DWORD len = 0;
  if (!CryptExportKey(key, wrap, type, 0, nullptr, &len)) return false;
  blob.assign(len, 0);
  if (!CryptExportKey(key, wrap, type, 0, blob.data(), &len)) return false;
  blob.resize(len);
  return true;
}

// A PUBLICKEYBLOB's parameters (DER) and key bytes.
bool SplitPublicBlob(const Bytes& blob, Bytes& params, Bytes& key) {
  if (blob.size() < kBlobHeader + kKeyBytes) return false;
  der::Reader r(blob.data() + kBlobHeader, blob.size() - kBlobHeader - kKeyBytes);
  der::Tlv seq;
  if (!r.Expect(der::kSequence, seq) || !r.ExpectEnd()) return false;
  params.assign(seq.start, seq.start + seq.size);
  key.assign(blob.end() - kKeyBytes, blob.end());
  return true;
}

Bytes PublicBlob(const Bytes& params, const uint8_t* key) {
  Bytes blob = {PUBLICKEYBLOB, 0x20, 0, 0, 0x25, 0xAA, 0, 0, 'M', 'A', 'G', '1', 0x00, 0x02, 0, 0};
  blob.insert(blob.end(), params.begin(), params.end());
  blob.insert(blob.end(), key, key + kKeyBytes);
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
Bytes EncodeTransport(const Wrapped& w, const Bytes& eph_params, const Bytes& eph_key) {
  Bytes session, enc, mac;
  der::Put(enc, der::kOctetString, w.enc);
  der::Put(mac, der::kOctetString, w.mac);
  der::Put(session, der::kSequence, Cat({&enc, &mac}));

  Bytes alg_contents(kGost2001Oid, kGost2001Oid + sizeof kGost2001Oid);
  alg_contents.insert(alg_contents.end(), eph_params.begin(), eph_params.end());
  Bytes alg, point = {0x04, 0x40}, bits, spki, ukm;
  der::Put(alg, der::kSequence, alg_contents);
  point.insert(point.end(), eph_key.begin(), eph_key.end());
  point.insert(point.begin(), 0x00);  // no unused bits
  der::Put(bits, der::kBitString, point);
  der::Put(spki, 0xA0, Cat({&alg, &bits}));
  der::Put(ukm, der::kOctetString, w.ukm);
  Bytes params;
  der::Put(params, 0xA0, Cat({&w.param_oid, &spki, &ukm}));
  Bytes out;
  der::Put(out, der::kSequence, Cat({&session, &params}));
  return out;
}

bool DecodeTransport(const Bytes& der_bytes, Wrapped& w, Bytes& eph_params, Bytes& eph_key) {
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
  // BIT STRING: no unused bits, then OCTET STRING (64) of the point.
  if (bits.length != 3 + kKeyBytes || bits.value[0] != 0 || bits.value[1] != 0x04 || bits.value[2] != 0x40)
    return false;
  w.enc.assign(enc.value, enc.value + enc.length);
  w.mac.assign(mac.value, mac.value + mac.length);
  w.ukm.assign(ukm.value, ukm.value + ukm.length);
  w.param_oid.assign(oid.start, oid.start + oid.size);
  eph_params.assign(alg_params.start, alg_params.start + alg_params.size);
  eph_key.assign(bits.value + 3, bits.value + 3 + kKeyBytes);
  return true;
}

bool SetCfb(HCRYPTKEY key) {
  const DWORD mode = CRYPT_MODE_CFB;
  return CryptSetKeyParam(key, KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0) != FALSE;
}

}  // namespace

Hasher::Hasher(HCRYPTPROV prov) {
  if (!CryptCreateHash(prov, CALG_GR3411, 0, 0, hash_.put())) hash_.reset();
}

bool Hasher::Update(const void* data, size_t size) {
  return CryptHashData(hash_.get(), static_cast<const BYTE*>(data), static_cast<DWORD>(size), 0) != FALSE;
}

Bytes Hasher::Value() {
  Bytes value(32);
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
  auto_prov prov;
  if (!VerifyContext(prov)) return VEXORXML_ENCRYPT;
  auto_key ephemeral, peer, agreement, session;
  Bytes peer_blob, wrapped_blob, eph_blob, eph_params, eph_key;
  if (!CryptImportPublicKeyInfo(prov.get(), X509_ASN_ENCODING, &recipient->pCertInfo->SubjectPublicKeyInfo,
                                peer.put()) ||
      !Export(peer.get(), 0, PUBLICKEYBLOB, peer_blob))
    return VEXORXML_PUBLIC_KEY;
  if (!CryptGenKey(prov.get(), CALG_DH_EL_EPHEM, CRYPT_EXPORTABLE, ephemeral.put()) ||
      !CryptImportKey(prov.get(), peer_blob.data(), static_cast<DWORD>(peer_blob.size()), ephemeral.get(), 0,
                      agreement.put()) ||
      !CryptGenKey(prov.get(), CALG_G28147, CRYPT_EXPORTABLE, session.put()) ||
      !Export(session.get(), agreement.get(), SIMPLEBLOB, wrapped_blob) ||
      !Export(ephemeral.get(), 0, PUBLICKEYBLOB, eph_blob) || !SplitPublicBlob(eph_blob, eph_params, eph_key))
    return VEXORXML_ENCRYPT;
  Wrapped wrapped;
  if (!SplitSimpleBlob(wrapped_blob, wrapped)) return VEXORXML_ENCRYPT;
  transport = EncodeTransport(wrapped, eph_params, eph_key);

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

int DecryptContent(PCCERT_CONTEXT recipient, const Bytes& transport, const Bytes& iv_and_cipher, Bytes& content) {
  Wrapped wrapped;
  Bytes eph_params, eph_key;
  if (!DecodeTransport(transport, wrapped, eph_params, eph_key) || iv_and_cipher.size() < 8)
    return VEXORXML_BAD_DOCUMENT;
  HCRYPTPROV prov = 0;
  auto_prov owned;
  if (!AcquireSigningKey(recipient, true, prov, owned)) return VEXORXML_NO_PRIVATE_KEY;
  auto_key own, agreement, session;
  if (!CryptGetUserKey(prov, AT_KEYEXCHANGE, own.put())) return VEXORXML_NO_PRIVATE_KEY;
  const Bytes eph_blob = PublicBlob(eph_params, eph_key.data());
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
