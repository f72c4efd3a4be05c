// The CMS pieces messages are made of, read from and written to DER: algorithm identifiers,
// attributes, SignerInfo, KeyTransRecipientInfo, issuer-and-serial, the GOST key transport,
// public keys from CERT_PUBLIC_KEY_INFO, and their flat CryptoAPI forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/core/flat_writer.h"
#include "platform/provider/gost_engine.h"
#include "vexor/platform.h"
#include "vexor/platform_msg.h"

namespace vexorcsp::msg {

using Bytes = std::vector<BYTE>;

constexpr char kOidData[] = "1.2.840.113549.1.7.1";
constexpr char kOidSignedData[] = "1.2.840.113549.1.7.2";
constexpr char kOidEnvelopedData[] = "1.2.840.113549.1.7.3";
constexpr char kOidContentType[] = "1.2.840.113549.1.9.3";
constexpr char kOidMessageDigest[] = "1.2.840.113549.1.9.4";
constexpr char kOidGost94[] = "1.2.643.2.2.9";
constexpr char kOidGost89[] = "1.2.643.2.2.21";
constexpr char kOidGost2012_256[] = "1.2.643.7.1.1.2.2";
constexpr char kOidGost2012_512[] = "1.2.643.7.1.1.2.3";
constexpr char kOidEsdh2001[] = "1.2.643.2.2.96";
constexpr char kOidNoneKeyWrap[] = "1.2.643.2.2.13.0";
constexpr char kOidCryptoProKeyWrap[] = "1.2.643.2.2.13.1";
// GOST R 34.12-2015 content ciphers and the KExp15 key transport of their keys.
constexpr char kOidMagmaCtrAcpkm[] = "1.2.643.7.1.1.5.1.1";
constexpr char kOidKuznyechikCtrAcpkm[] = "1.2.643.7.1.1.5.2.1";
constexpr char kOidMagmaKExp15[] = "1.2.643.7.1.1.7.1.1";
constexpr char kOidKuznyechikKExp15[] = "1.2.643.7.1.1.7.2.1";

struct AlgId {
  std::string oid;
  Bytes params;  // DER of the parameters, empty when absent
};

struct Attribute {
  std::string oid;
  std::vector<Bytes> values;  // DER of each value
};

struct SignerRecord {
  Bytes encoded;  // the SignerInfo as received
  DWORD version = 0;
  bool by_key_id = false;
  Bytes issuer;     // Name DER (issuer-and-serial signers)
  Bytes serial;     // INTEGER contents, big-endian (or the key identifier)
  AlgId digest, signature;
  bool has_auth = false;
  Bytes auth_der;  // the signed attributes re-tagged as a SET: what the signature covers
  std::vector<Attribute> auth, unauth;
  Bytes encrypted_digest;
};

// One recipient encrypted key of a key-agreement recipient, named by issuer and serial.
struct AgreedKey {
  Bytes issuer;
  Bytes serial;  // big-endian
  Bytes encrypted_key;
};

// A key-transport recipient named by issuer and serial number, or a key-agreement recipient
// whose originator is given by its public key.
struct RecipientRecord {
  bool key_agree = false;
  DWORD version = 0;
  Bytes issuer;  // key transport
  Bytes serial;  // big-endian
  AlgId key_alg;
  Bytes encrypted_key;
  // Key agreement.
  AlgId originator_alg;
  Bytes originator_bits;  // BIT STRING contents, the unused-bits octet first
  Bytes ukm;
  std::vector<AgreedKey> agreed;
};

// ---- writing ----------------------------------------------------------------------------
Bytes Tlv(uint8_t tag, const Bytes& content);
// Identifier and length octets of an element whose contents are `length` bytes.
Bytes TlvHeader(uint8_t tag, size_t length);
void Append(Bytes& out, const Bytes& more);
Bytes OidTlv(const std::string& dotted);  // empty for malformed text
Bytes SmallInteger(uint32_t v);
Bytes AlgIdTlv(const AlgId& alg);
// IssuerAndSerialNumber from a CERT_INFO (serial stored least significant byte first).
Bytes IssuerSerialTlv(const CERT_INFO& info);
// A DER SET OF: members sorted by their encodings.
Bytes SetOf(std::vector<Bytes> members);
Bytes AttributeTlv(const Attribute& attr);

// ---- reading ----------------------------------------------------------------------------
// The members of a constructed element (whole encoding), definite or indefinite.
bool SplitChildren(const BYTE* p, size_t n, std::vector<Bytes>& out);
bool ParseAlgId(const BYTE* p, size_t n, AlgId& out);  // whole AlgorithmIdentifier
bool ParseAttributes(const BYTE* contents, size_t n, std::vector<Attribute>& out);
bool ParseSignerInfo(const BYTE* p, size_t n, SignerRecord& out);
// KeyTransRecipientInfo (v0) or KeyAgreeRecipientInfo with an originator key; false for
// any other recipient.
bool ParseRecipientInfo(const BYTE* p, size_t n, RecipientRecord& out);
bool ParseOidTlv(const BYTE* p, size_t n, std::string& out);

// ---- keys and digests ----------------------------------------------------------------------
Bytes PublicKeyInfoTlv(const CERT_PUBLIC_KEY_INFO& info);
EvpPkeyPtr PublicKeyFromInfo(const CERT_PUBLIC_KEY_INFO& info);
EvpPkeyPtr PublicKeyFromSpki(const BYTE* p, size_t n);
// The digest a digest algorithm identifier names (1.2.643.2.2.21 counts as GOST R 34.11-94).
const EVP_MD* DigestForOid(const std::string& oid);

// GostR3410-KeyTransport (RFC 4490).
struct KeyTransport {
  BYTE encrypted_key[32];
  BYTE mac[4];
  std::string param_set;
  Bytes ephemeral_spki;  // DER SubjectPublicKeyInfo (tag 0x30)
  BYTE ukm[8];
};
Bytes KeyTransportTlv(const KeyTransport& kt);
bool ParseKeyTransport(const BYTE* p, size_t n, KeyTransport& out);
// The key transport of KExp15 recipients: SEQUENCE { the exported key, the ephemeral key's
// SubjectPublicKeyInfo, a 32-byte UKM }.
struct KExp15Transport {
  Bytes exported;
  Bytes ephemeral_spki;
  BYTE ukm[32];
};
bool ParseKExp15Transport(const BYTE* p, size_t n, KExp15Transport& out);
// The parameters of a CTR-ACPKM content cipher: SEQUENCE { OCTET STRING ukm } whose first
// iv_len bytes are the IV.
bool ParseCtrAcpkmParams(const Bytes& der, size_t iv_len, Bytes& iv);
// Gost28147-89-EncryptedKey: the wrapped key and its MAC (a mask key is skipped).
bool ParseGost89EncryptedKey(const BYTE* p, size_t n, BYTE (&encrypted_key)[32], BYTE (&mac)[4]);
// The key encryption algorithm of a GOST key-agreement recipient: ESDH with the key wrap
// (none or CryptoPro) and the wrap's parameter set.
struct KeyWrap {
  bool diversify = false;
  std::string param_set;
};
bool ParseEsdhKeyWrap(const AlgId& alg, KeyWrap& out);
// Gost28147-89-Parameters: iv and parameter set.
bool ParseGost89Params(const Bytes& der, Bytes& iv, std::string& param_set);

// ---- flat output ----------------------------------------------------------------------------
void FlatBlob(FlatWriter& w, CRYPT_DATA_BLOB* out, const Bytes& data);
void FlatReversed(FlatWriter& w, CRYPT_INTEGER_BLOB* out, const Bytes& big_endian);
void FlatAlgId(FlatWriter& w, CRYPT_ALGORITHM_IDENTIFIER* out, const AlgId& alg);
void FlatAttributes(FlatWriter& w, CRYPT_ATTRIBUTES* out, const std::vector<Attribute>& attrs);

}  // namespace vexorcsp::msg
