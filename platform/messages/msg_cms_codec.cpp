// CMS structures to and from DER; every reader checks bounds through the DER reader and
// treats its input as hostile.
#include "platform/messages/msg_cms_codec.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include <openssl/err.h>

#include "platform/codec/der.h"
#include "platform/provider/key_blob.h"
#include "platform/messages/msg_stream_parser.h"

namespace vexorcsp::msg {

// ---- writing ----------------------------------------------------------------------------

Bytes Tlv(uint8_t tag, const Bytes& content) {
  Bytes out;
  out.reserve(content.size() + 10);
  der::Put(out, tag, content);
  return out;
}

Bytes TlvHeader(uint8_t tag, size_t length) {
  Bytes out;
  der::PutHeader(out, tag, length);
  return out;
}

void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

// The few identifiers a message is written with come back for every message (a small
// signature encodes about twenty): each thread keeps the encodings it made, up to a bound
// past which identifiers are encoded afresh.
Bytes OidTlv(const std::string& dotted) {
  constexpr size_t kKept = 64;
  thread_local std::unordered_map<std::string, Bytes> encoded;
  if (auto it = encoded.find(dotted); it != encoded.end()) return it->second;
  Bytes out;
  der::PutOid(out, dotted);
  if (encoded.size() < kKept) encoded.emplace(dotted, out);
  return out;
}

Bytes SmallInteger(uint32_t v) {
  Bytes content;
  do {
    content.insert(content.begin(), BYTE(v & 0xFF));
    v >>= 8;
  } while (v != 0);
  if (content[0] & 0x80) content.insert(content.begin(), 0);
  return Tlv(der::kInteger, content);
}

Bytes AlgIdTlv(const AlgId& alg) {
  Bytes content = OidTlv(alg.oid);
  Append(content, alg.params);
  return Tlv(der::kSequence, content);
}

Bytes IssuerSerialTlv(const CERT_INFO& info) {
  Bytes content(info.Issuer.pbData, info.Issuer.pbData + info.Issuer.cbData);
  // The serial number is held least significant byte first; DER wants it the other way.
  const BYTE* serial = info.SerialNumber.pbData;
  const size_t serial_len = info.SerialNumber.cbData;
  Bytes be(serial_len == 0 ? 1 : serial_len, 0);
  for (size_t i = 0; i < serial_len; ++i) be[i] = serial[serial_len - 1 - i];
  der::Put(content, der::kInteger, be);
  return Tlv(der::kSequence, content);
}

Bytes SetOf(std::vector<Bytes> members) {
  std::sort(members.begin(), members.end(), [](const Bytes& a, const Bytes& b) {
    const size_t n = std::min(a.size(), b.size());
    const int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
    return c != 0 ? c < 0 : a.size() < b.size();
  });
  Bytes content;
  for (const Bytes& m : members) Append(content, m);
  return Tlv(der::kSet, content);
}

Bytes AttributeTlv(const Attribute& attr) {
  Bytes content = OidTlv(attr.oid);
  Append(content, SetOf(attr.values));
  return Tlv(der::kSequence, content);
}

// ---- reading ----------------------------------------------------------------------------

bool SplitChildren(const BYTE* p, size_t n, std::vector<Bytes>& out) {
  out.clear();
  BerHeader h;
  DWORD err = 0;
  if (ReadBerHeader(p, n, h, err) != Step::kDone || !(h.tag & 0x20)) return false;
  size_t pos = h.header_size;
  const size_t end = h.indefinite ? n : pos + size_t(h.length);
  if (end > n) return false;
  while (pos < end) {
    if (h.indefinite && end - pos >= 2 && p[pos] == 0 && p[pos + 1] == 0) return true;
    size_t size = 0;
    if (BerElementSize(p + pos, end - pos, end - pos, size, err) != Step::kDone) return false;
    out.emplace_back(p + pos, p + pos + size);
    pos += size;
  }
  return !h.indefinite;
}

bool ParseOidTlv(const BYTE* p, size_t n, std::string& out) {
  der::Reader r(p, n);
  der::Tlv t;
  return r.Expect(der::kOid, t) && r.empty() && der::OidToText(t.value, t.length, out);
}

namespace {

bool ReadAlgId(der::Reader& r, AlgId& out) {
  der::Reader inner;
  der::Tlv oid;
  if (!r.Enter(der::kSequence, inner) || !inner.Expect(der::kOid, oid) ||
      !der::OidToText(oid.value, oid.length, out.oid))
    return false;
  out.params.clear();
  if (!inner.empty()) {
    der::Tlv params;
    if (!inner.Next(params)) return false;
    out.params.assign(params.start, params.start + params.size);
  }
  return inner.empty();
}

bool ReadIssuerSerial(der::Reader& r, Bytes& issuer, Bytes& serial) {
  der::Reader inner;
  der::Tlv name, number;
  if (!r.Enter(der::kSequence, inner) || !inner.Expect(der::kSequence, name) ||
      !inner.Expect(der::kInteger, number) || !inner.empty() || number.length == 0)
    return false;
  issuer.assign(name.start, name.start + name.size);
  serial.assign(number.value, number.value + number.length);
  return true;
}

bool ReadVersion(der::Reader& r, DWORD& version) {
  der::Tlv v;
  if (!r.Expect(der::kInteger, v) || v.length == 0 || v.length > 4) return false;
  version = 0;
  for (size_t i = 0; i < v.length; ++i) version = (version << 8) | v.value[i];
  return true;
}

}  // namespace

bool ParseAlgId(const BYTE* p, size_t n, AlgId& out) {
  der::Reader r(p, n);
  return ReadAlgId(r, out) && r.empty();
}

bool ParseAttributes(const BYTE* contents, size_t n, std::vector<Attribute>& out) {
  out.clear();
  der::Reader r(contents, n);
  while (!r.empty()) {
    der::Reader attr, values;
    der::Tlv oid;
    Attribute a;
    if (!r.Enter(der::kSequence, attr) || !attr.Expect(der::kOid, oid) ||
        !der::OidToText(oid.value, oid.length, a.oid) || !attr.Enter(der::kSet, values) ||
        !attr.empty())
      return false;
    while (!values.empty()) {
      der::Tlv v;
      if (!values.Next(v)) return false;
      a.values.emplace_back(v.start, v.start + v.size);
    }
    out.push_back(std::move(a));
  }
  return true;
}

bool ParseSignerInfo(const BYTE* p, size_t n, SignerRecord& out) {
  der::Reader outer(p, n), r;
  if (!outer.Enter(der::kSequence, r) || !outer.ExpectEnd()) return false;
  out.encoded.assign(p, p + n);
  if (!ReadVersion(r, out.version)) return false;
  if (r.PeekTag() == der::kSequence) {
    if (!ReadIssuerSerial(r, out.issuer, out.serial)) return false;
  } else {
    der::Tlv kid;
    if (!r.Expect(0x80, kid)) return false;
    out.by_key_id = true;
    out.serial.assign(kid.value, kid.value + kid.length);
  }
  if (!ReadAlgId(r, out.digest)) return false;
  bool present = false;
  der::Tlv attrs;
  if (!r.Optional(0xA0, attrs, present)) return false;
  if (present) {
    out.has_auth = true;
    if (!ParseAttributes(attrs.value, attrs.length, out.auth)) return false;
    out.auth_der.assign(attrs.start, attrs.start + attrs.size);
    out.auth_der[0] = der::kSet;
  }
  der::Tlv sig;
  if (!ReadAlgId(r, out.signature) || !r.Expect(der::kOctetString, sig)) return false;
  out.encrypted_digest.assign(sig.value, sig.value + sig.length);
  der::Tlv unauth;
  if (!r.Optional(0xA1, unauth, present)) return false;
  if (present && !ParseAttributes(unauth.value, unauth.length, out.unauth)) return false;
  return r.empty();
}

namespace {

// OriginatorIdentifierOrKey: only originatorKey [1] { algorithm, publicKey BIT STRING }.
bool ReadOriginatorKey(der::Reader& r, RecipientRecord& out) {
  der::Reader choice, key;
  der::Tlv bits;
  if (!r.Enter(0xA0, choice) || !choice.Enter(0xA1, key) || !choice.empty() ||
      !ReadAlgId(key, out.originator_alg) || !key.Expect(der::kBitString, bits) ||
      bits.length < 2 || !key.empty())
    return false;
  out.originator_bits.assign(bits.value, bits.value + bits.length);
  return true;
}

// RecipientEncryptedKey with an issuer-and-serial rid (the key-identifier form is refused).
bool ReadAgreedKey(der::Reader& r, AgreedKey& out) {
  der::Reader inner;
  der::Tlv key;
  if (!r.Enter(der::kSequence, inner) || !ReadIssuerSerial(inner, out.issuer, out.serial) ||
      !inner.Expect(der::kOctetString, key) || !inner.empty())
    return false;
  out.encrypted_key.assign(key.value, key.value + key.length);
  return true;
}

bool ParseKeyAgree(const BYTE* p, size_t n, RecipientRecord& out) {
  der::Reader outer(p, n), r, keys;
  if (!outer.Enter(0xA1, r) || !outer.empty() || !ReadVersion(r, out.version) ||
      out.version != 3 || !ReadOriginatorKey(r, out))
    return false;
  bool present = false;
  der::Tlv ukm;
  if (!r.Optional(0xA1, ukm, present)) return false;
  if (present) {
    der::Reader wrapped(ukm.value, ukm.length);
    der::Tlv octets;
    if (!wrapped.Expect(der::kOctetString, octets) || !wrapped.empty()) return false;
    out.ukm.assign(octets.value, octets.value + octets.length);
  }
  if (!ReadAlgId(r, out.key_alg) || !r.Enter(der::kSequence, keys) || !r.empty() || keys.empty())
    return false;
  while (!keys.empty()) {
    AgreedKey k;
    if (!ReadAgreedKey(keys, k)) return false;
    out.agreed.push_back(std::move(k));
  }
  out.key_agree = true;
  return true;
}

}  // namespace

bool ParseRecipientInfo(const BYTE* p, size_t n, RecipientRecord& out) {
  out = RecipientRecord();
  if (n > 0 && p[0] == 0xA1) return ParseKeyAgree(p, n, out);
  der::Reader outer(p, n), r;
  der::Tlv key;
  // Key transport is read with issuer and serial number (version 0) only.
  if (!outer.Enter(der::kSequence, r) || !outer.empty() || !ReadVersion(r, out.version) ||
      out.version != 0 || !ReadIssuerSerial(r, out.issuer, out.serial) ||
      !ReadAlgId(r, out.key_alg) || !r.Expect(der::kOctetString, key) || !r.empty())
    return false;
  out.encrypted_key.assign(key.value, key.value + key.length);
  return true;
}

// ---- keys and digests ----------------------------------------------------------------------

Bytes PublicKeyInfoTlv(const CERT_PUBLIC_KEY_INFO& info) {
  AlgId alg;
  alg.oid = info.Algorithm.pszObjId ? info.Algorithm.pszObjId : "";
  if (info.Algorithm.Parameters.cbData > 0 && info.Algorithm.Parameters.pbData != nullptr)
    alg.params.assign(info.Algorithm.Parameters.pbData,
                      info.Algorithm.Parameters.pbData + info.Algorithm.Parameters.cbData);
  Bytes bits = {BYTE(info.PublicKey.cUnusedBits)};
  if (info.PublicKey.pbData != nullptr)
    bits.insert(bits.end(), info.PublicKey.pbData, info.PublicKey.pbData + info.PublicKey.cbData);
  Bytes content = AlgIdTlv(alg);
  Append(content, Tlv(der::kBitString, bits));
  return Tlv(der::kSequence, content);
}

EvpPkeyPtr PublicKeyFromSpki(const BYTE* p, size_t n) {
  if (GostEngine() == nullptr || n > 0x7FFFFFFF) return nullptr;
  const unsigned char* q = p;
  EvpPkeyPtr key(d2i_PUBKEY(nullptr, &q, long(n)));
  if (!key) ERR_clear_error();
  return key;
}

EvpPkeyPtr PublicKeyFromInfo(const CERT_PUBLIC_KEY_INFO& info) {
  if (info.Algorithm.pszObjId == nullptr) return nullptr;
  const Bytes der = PublicKeyInfoTlv(info);
  return PublicKeyFromSpki(der.data(), der.size());
}

const EVP_MD* DigestForOid(const std::string& oid) {
  ENGINE* e = GostEngine();
  if (e == nullptr) return nullptr;
  if (oid == kOidGost94 || oid == kOidGost89) return ENGINE_get_digest(e, NID_id_GostR3411_94);
  if (oid == kOidGost2012_256) return ENGINE_get_digest(e, NID_id_GostR3411_2012_256);
  if (oid == kOidGost2012_512) return ENGINE_get_digest(e, NID_id_GostR3411_2012_512);
  return nullptr;
}

Bytes KeyTransportTlv(const KeyTransport& kt) {
  Bytes session = Tlv(der::kOctetString, Bytes(kt.encrypted_key, kt.encrypted_key + 32));
  Append(session, Tlv(der::kOctetString, Bytes(kt.mac, kt.mac + 4)));
  Bytes params = OidTlv(kt.param_set);
  Bytes eph = kt.ephemeral_spki;
  if (!eph.empty()) eph[0] = 0xA0;  // [0] IMPLICIT SubjectPublicKeyInfo
  Append(params, eph);
  Append(params, Tlv(der::kOctetString, Bytes(kt.ukm, kt.ukm + 8)));
  Bytes content = Tlv(der::kSequence, session);
  Append(content, Tlv(0xA0, params));
  return Tlv(der::kSequence, content);
}

namespace {

bool ReadEncryptedKey(der::Reader& r, BYTE (&encrypted_key)[32], BYTE (&mac)[4]) {
  der::Reader session;
  der::Tlv enc, mask, mac_tlv;
  bool present = false;
  if (!r.Enter(der::kSequence, session) || !session.Expect(der::kOctetString, enc) ||
      enc.length != 32 || !session.Optional(0xA0, mask, present) ||
      !session.Expect(der::kOctetString, mac_tlv) || mac_tlv.length != 4 || !session.ExpectEnd())
    return false;
  std::memcpy(encrypted_key, enc.value, 32);
  std::memcpy(mac, mac_tlv.value, 4);
  return true;
}

}  // namespace

bool ParseGost89EncryptedKey(const BYTE* p, size_t n, BYTE (&encrypted_key)[32], BYTE (&mac)[4]) {
  der::Reader r(p, n);
  return ReadEncryptedKey(r, encrypted_key, mac) && r.empty();
}

bool ParseEsdhKeyWrap(const AlgId& alg, KeyWrap& out) {
  if (alg.oid != kOidEsdh2001) return false;
  der::Reader outer(alg.params.data(), alg.params.size()), r, wrap_params;
  der::Tlv wrap_oid, set_oid;
  std::string wrap;
  if (!outer.Enter(der::kSequence, r) || !outer.empty() || !r.Expect(der::kOid, wrap_oid) ||
      !der::OidToText(wrap_oid.value, wrap_oid.length, wrap) ||
      !r.Enter(der::kSequence, wrap_params) || !r.empty() ||
      !wrap_params.Expect(der::kOid, set_oid) ||
      !der::OidToText(set_oid.value, set_oid.length, out.param_set))
    return false;
  // A UKM among the wrap parameters, if any, is not the one key agreement uses.
  if (wrap == kOidNoneKeyWrap) {
    out.diversify = false;
  } else if (wrap == kOidCryptoProKeyWrap) {
    out.diversify = true;
  } else {
    return false;
  }
  return true;
}

bool ParseKeyTransport(const BYTE* p, size_t n, KeyTransport& out) {
  der::Reader outer(p, n), r, params;
  der::Tlv oid, eph, ukm;
  if (!outer.Enter(der::kSequence, r) || !outer.empty() ||
      !ReadEncryptedKey(r, out.encrypted_key, out.mac))
    return false;
  if (!r.Enter(0xA0, params) || !r.empty() || !params.Expect(der::kOid, oid) ||
      !der::OidToText(oid.value, oid.length, out.param_set) || !params.Expect(0xA0, eph) ||
      !params.Expect(der::kOctetString, ukm) || ukm.length != 8 || !params.empty())
    return false;
  std::memcpy(out.ukm, ukm.value, 8);
  out.ephemeral_spki.assign(eph.start, eph.start + eph.size);
  out.ephemeral_spki[0] = der::kSequence;
  return true;
}

bool ParseKExp15Transport(const BYTE* p, size_t n, KExp15Transport& out) {
  der::Reader outer(p, n), r;
  der::Tlv exported, spki, ukm;
  if (!outer.Enter(der::kSequence, r) || !outer.empty() ||
      !r.Expect(der::kOctetString, exported) || !r.Expect(der::kSequence, spki) ||
      !r.Expect(der::kOctetString, ukm) || ukm.length != sizeof(out.ukm) || !r.empty())
    return false;
  out.exported.assign(exported.value, exported.value + exported.length);
  out.ephemeral_spki.assign(spki.start, spki.start + spki.size);
  std::memcpy(out.ukm, ukm.value, sizeof(out.ukm));
  return true;
}

bool ParseCtrAcpkmParams(const Bytes& params, size_t iv_len, Bytes& iv) {
  der::Reader outer(params.data(), params.size()), r;
  der::Tlv ukm;
  // The UKM is the IV followed by an 8-byte seed the MAC variants use.
  if (!outer.Enter(der::kSequence, r) || !outer.empty() || !r.Expect(der::kOctetString, ukm) ||
      ukm.length != iv_len + 8 || !r.empty())
    return false;
  iv.assign(ukm.value, ukm.value + iv_len);
  return true;
}

bool ParseGost89Params(const Bytes& params, Bytes& iv, std::string& param_set) {
  der::Reader outer(params.data(), params.size()), r;
  der::Tlv octets, oid;
  if (!outer.Enter(der::kSequence, r) || !outer.empty() || !r.Expect(der::kOctetString, octets) ||
      octets.length != 8 || !r.Expect(der::kOid, oid) ||
      !der::OidToText(oid.value, oid.length, param_set))
    return false;
  iv.assign(octets.value, octets.value + 8);
  return true;  // later members (none defined) are ignored
}

// ---- flat output ----------------------------------------------------------------------------

void FlatBlob(FlatWriter& w, CRYPT_DATA_BLOB* out, const Bytes& data) {
  BYTE* p = w.Bytes(data);
  if (out != nullptr) {
    out->cbData = DWORD(data.size());
    out->pbData = p;
  }
}

void FlatReversed(FlatWriter& w, CRYPT_INTEGER_BLOB* out, const Bytes& big_endian) {
  FlatBlob(w, out, Bytes(big_endian.rbegin(), big_endian.rend()));
}

void FlatAlgId(FlatWriter& w, CRYPT_ALGORITHM_IDENTIFIER* out, const AlgId& alg) {
  char* oid = w.Text(alg.oid);
  if (out != nullptr) out->pszObjId = oid;
  FlatBlob(w, out ? &out->Parameters : nullptr, alg.params);
}

void FlatAttributes(FlatWriter& w, CRYPT_ATTRIBUTES* out, const std::vector<Attribute>& attrs) {
  CRYPT_ATTRIBUTE* arr = attrs.empty() ? nullptr : w.Alloc<CRYPT_ATTRIBUTE>(attrs.size());
  if (out != nullptr) {
    out->cAttr = DWORD(attrs.size());
    out->rgAttr = arr;
  }
  for (size_t i = 0; i < attrs.size(); ++i) {
    CRYPT_ATTRIBUTE* a = arr ? &arr[i] : nullptr;
    char* oid = w.Text(attrs[i].oid);
    CRYPT_ATTR_BLOB* values =
        attrs[i].values.empty() ? nullptr : w.Alloc<CRYPT_ATTR_BLOB>(attrs[i].values.size());
    if (a != nullptr) {
      a->pszObjId = oid;
      a->cValue = DWORD(attrs[i].values.size());
      a->rgValue = values;
    }
    for (size_t j = 0; j < attrs[i].values.size(); ++j)
      FlatBlob(w, values ? &values[j] : nullptr, attrs[i].values[j]);
  }
}

}  // namespace vexorcsp::msg
