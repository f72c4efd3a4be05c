// Readers and writers of the GOST provider's key blobs.
#include "platform/provider/key_blob.h"

#include <cstring>

#include "platform/codec/der.h"
#include "vexor/platform_prov.h"

namespace vexorcsp {
namespace {

void PutHeader(std::vector<uint8_t>& out, BYTE type, ALG_ID alg) {
  out.push_back(type);
  out.push_back(kBlobVersion);
  out.push_back(0);
  out.push_back(0);
  der::PutU32LE(out, alg);
}

// A whole DER OBJECT IDENTIFIER element as dotted text.
bool ReadOid(der::Reader& r, std::string& out) {
  der::Tlv t;
  return r.Expect(der::kOid, t) && der::OidToText(t.value, t.length, out);
}

}  // namespace

size_t PublicKeyBlobBytes(ALG_ID alg) {
  switch (alg) {
    case CALG_GR3410EL:
    case CALG_DH_EL_SF:
    case CALG_DH_EL_EPHEM:
    case CALG_GR3410_12_256:
    case CALG_DH_GR3410_12_256_SF:
    case CALG_DH_GR3410_12_256_EPHEM:
      return kPublicKeyBytes;
    case CALG_GR3410_12_512:
    case CALG_DH_GR3410_12_512_SF:
    case CALG_DH_GR3410_12_512_EPHEM:
      return kPublicKeyBytes512;
    default:
      return 0;
  }
}

bool ParseKeyParams(const uint8_t* der, size_t len, KeyParams& out) {
  der::Reader r(der, len);
  der::Reader seq;
  if (!r.Enter(der::kSequence, seq) || !r.ExpectEnd()) return false;
  KeyParams p;
  if (!ReadOid(seq, p.curve)) return false;
  // The digest set is required for 2001 keys; some writers leave it out, so accept that.
  if (!seq.empty() && !ReadOid(seq, p.digest)) return false;
  if (!seq.empty() && !ReadOid(seq, p.cipher)) return false;
  if (!seq.ExpectEnd()) return false;
  p.der.assign(der, der + len);
  out = std::move(p);
  return true;
}

bool ParsePublicKeyBlob(const uint8_t* data, size_t len, PublicKeyBlob& out, DWORD& error) {
  der::Reader r(data, len);
  uint8_t type, version;
  uint16_t reserved;
  uint32_t alg, magic, bits;
  if (!r.U8(type) || !r.U8(version) || !r.U16LE(reserved) || !r.U32LE(alg) || !r.U32LE(magic) ||
      !r.U32LE(bits)) {
    error = DWORD(NTE_BAD_DATA);
    return false;
  }
  if (type != PUBLICKEYBLOB) {
    error = DWORD(NTE_BAD_TYPE);
    return false;
  }
  const size_t key_bytes = PublicKeyBlobBytes(alg);
  if (key_bytes == 0) {
    error = DWORD(NTE_BAD_ALGID);
    return false;
  }
  if (version != kBlobVersion || magic != kPublicKeyMagic) {
    error = DWORD(NTE_BAD_VER);
    return false;
  }
  if (bits != key_bytes * 8 || r.remaining() <= key_bytes) {
    error = DWORD(NTE_BAD_DATA);
    return false;
  }
  // The parameters are one DER element; the key fills the rest exactly.
  der::Tlv whole;
  der::Reader params(r.pos(), r.remaining() - key_bytes);
  PublicKeyBlob blob;
  if (!params.Next(whole) || !params.ExpectEnd() || !ParseKeyParams(whole.start, whole.size, blob.params)) {
    error = DWORD(NTE_BAD_DATA);
    return false;
  }
  blob.key.assign(r.pos() + whole.size, r.pos() + whole.size + key_bytes);
  blob.alg = alg;
  out = std::move(blob);
  return true;
}

std::vector<uint8_t> WritePublicKeyBlob(const PublicKeyBlob& blob) {
  std::vector<uint8_t> out;
  PutHeader(out, PUBLICKEYBLOB, blob.alg);
  der::PutU32LE(out, kPublicKeyMagic);
  der::PutU32LE(out, uint32_t(blob.key.size() * 8));
  out.insert(out.end(), blob.params.der.begin(), blob.params.der.end());
  out.insert(out.end(), blob.key.begin(), blob.key.end());
  return out;
}

bool ParseSimpleBlob(const uint8_t* data, size_t len, SimpleBlob& out, DWORD& error) {
  der::Reader r(data, len);
  uint8_t type, version;
  uint16_t reserved;
  uint32_t alg, magic, encrypt_alg;
  SimpleBlob blob;
  if (!r.U8(type) || !r.U8(version) || !r.U16LE(reserved) || !r.U32LE(alg) || !r.U32LE(magic) ||
      !r.U32LE(encrypt_alg)) {
    error = DWORD(NTE_BAD_DATA);
    return false;
  }
  if (type != SIMPLEBLOB) {
    error = DWORD(NTE_BAD_TYPE);
    return false;
  }
  if (alg != CALG_G28147) {
    error = DWORD(NTE_BAD_ALGID);
    return false;
  }
  if (version != kBlobVersion || magic != kSimpleBlobMagic) {
    error = DWORD(NTE_BAD_VER);
    return false;
  }
  der::Reader seq;
  if (!r.Copy(blob.ukm) || !r.Copy(blob.encrypted_key) || !r.Copy(blob.mac) ||
      !r.Enter(der::kSequence, seq) || !r.ExpectEnd()) {
    error = DWORD(NTE_BAD_DATA);
    return false;
  }
  // Gost28147-89-BlobParameters: SEQUENCE { encryptionParamSet, ... }.
  if (!ReadOid(seq, blob.cipher_oid)) {
    error = DWORD(NTE_BAD_DATA);
    return false;
  }
  blob.key_alg = alg;
  blob.encrypt_alg = encrypt_alg;
  out = std::move(blob);
  return true;
}

std::vector<uint8_t> WriteSimpleBlob(const SimpleBlob& blob) {
  std::vector<uint8_t> out;
  PutHeader(out, SIMPLEBLOB, blob.key_alg);
  der::PutU32LE(out, kSimpleBlobMagic);
  der::PutU32LE(out, blob.encrypt_alg);
  out.insert(out.end(), blob.ukm.begin(), blob.ukm.end());
  out.insert(out.end(), blob.encrypted_key.begin(), blob.encrypted_key.end());
  out.insert(out.end(), blob.mac.begin(), blob.mac.end());
  std::vector<uint8_t> params;
  der::PutOid(params, blob.cipher_oid);
  der::Put(out, der::kSequence, params);
  return out;
}

}  // namespace vexorcsp
