// Readers and writers of the GOST provider's key blobs.
#include "platform/provider/key_blob.h"

#include <cstring>

#include "vexor/platform_prov.h"

namespace vexorcsp {
namespace {

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

void PutHeader(std::vector<uint8_t>& out, BYTE type, ALG_ID alg) {
  out.push_back(type);
  out.push_back(kBlobVersion);
  out.push_back(0);
  out.push_back(0);
  Put32(out, alg);
}

// A whole DER OBJECT IDENTIFIER element as dotted text.
bool ReadOid(ByteReader& r, std::string& out) {
  uint8_t tag;
  const uint8_t* c;
  size_t n;
  if (!r.Der(tag, c, n) || tag != 0x06) return false;
  out = OidContentToText(c, n);
  return !out.empty();
}

}  // namespace

bool ByteReader::U8(uint8_t& v) {
  if (left_ < 1) return Fail();
  v = *p_++;
  --left_;
  return true;
}

bool ByteReader::U16(uint16_t& v) {
  const uint8_t* b;
  if (!Bytes(2, b)) return false;
  v = uint16_t(b[0] | b[1] << 8);
  return true;
}

bool ByteReader::U32(uint32_t& v) {
  const uint8_t* b;
  if (!Bytes(4, b)) return false;
  v = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
  return true;
}

bool ByteReader::Bytes(size_t n, const uint8_t*& out) {
  if (!ok_ || n > left_) return Fail();
  out = p_;
  p_ += n;
  left_ -= n;
  return true;
}

bool ByteReader::Der(uint8_t& tag, const uint8_t*& content, size_t& content_len,
                     const uint8_t** whole, size_t* whole_len) {
  const uint8_t* start = p_;
  uint8_t first;
  if (!U8(tag) || (tag & 0x1f) == 0x1f || !U8(first)) return Fail();  // no multi-byte tags
  size_t len = first;
  if (first & 0x80) {
    const int count = first & 0x7f;
    // Indefinite lengths and more than four length octets are refused.
    if (count == 0 || count > 4) return Fail();
    len = 0;
    for (int i = 0; i < count; ++i) {
      uint8_t b;
      if (!U8(b)) return false;
      len = (len << 8) | b;
    }
  }
  if (!Bytes(len, content)) return false;
  content_len = len;
  if (whole) *whole = start;
  if (whole_len) *whole_len = size_t(p_ - start);
  return true;
}

void DerAppend(std::vector<uint8_t>& out, uint8_t tag, const uint8_t* content, size_t len) {
  out.push_back(tag);
  if (len < 0x80) {
    out.push_back(uint8_t(len));
  } else {
    uint8_t octets[4];
    int n = 0;
    for (size_t v = len; v != 0; v >>= 8) octets[n++] = uint8_t(v);
    out.push_back(uint8_t(0x80 | n));
    while (n > 0) out.push_back(octets[--n]);
  }
  out.insert(out.end(), content, content + len);
}

std::vector<uint8_t> OidToDer(const std::string& dotted) {
  // Arcs: the first two share one sub-identifier; each arc base 128, high bit = more.
  std::vector<uint64_t> arcs;
  uint64_t v = 0;
  bool digit = false;
  for (char ch : dotted) {
    if (ch >= '0' && ch <= '9') {
      if (v > (UINT64_MAX - 9) / 10) return {};
      v = v * 10 + uint64_t(ch - '0');
      digit = true;
    } else if (ch == '.' && digit) {
      arcs.push_back(v);
      v = 0;
      digit = false;
    } else {
      return {};
    }
  }
  if (!digit) return {};
  arcs.push_back(v);
  if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] > 39)) return {};
  std::vector<uint8_t> content;
  for (size_t i = 1; i < arcs.size(); ++i) {
    uint64_t a = (i == 1) ? arcs[0] * 40 + arcs[1] : arcs[i];
    uint8_t tmp[10];
    int n = 0;
    do {
      tmp[n++] = uint8_t(a & 0x7f);
      a >>= 7;
    } while (a != 0);
    while (n > 1) content.push_back(uint8_t(tmp[--n] | 0x80));
    content.push_back(tmp[0]);
  }
  std::vector<uint8_t> out;
  DerAppend(out, 0x06, content);
  return out;
}

std::string OidContentToText(const uint8_t* content, size_t len) {
  if (len == 0 || (content[len - 1] & 0x80)) return {};
  std::string text;
  uint64_t v = 0;
  bool first = true;
  for (size_t i = 0; i < len; ++i) {
    if (v == 0 && content[i] == 0x80) return {};  // non-minimal
    if (v > (UINT64_MAX >> 7)) return {};
    v = (v << 7) | (content[i] & 0x7f);
    if (content[i] & 0x80) continue;
    if (first) {
      const uint64_t top = v < 40 ? 0 : v < 80 ? 1 : 2;
      text = std::to_string(top) + "." + std::to_string(v - top * 40);
      first = false;
    } else {
      text += "." + std::to_string(v);
    }
    v = 0;
  }
  return text;
}

bool ParseKeyParams(const uint8_t* der, size_t len, KeyParams& out) {
  ByteReader r(der, len);
  uint8_t tag;
  const uint8_t* c;
  size_t n;
  if (!r.Der(tag, c, n) || tag != 0x30 || r.left() != 0) return false;
  ByteReader seq(c, n);
  KeyParams p;
  if (!ReadOid(seq, p.curve)) return false;
  // The digest set is required for 2001 keys; some writers leave it out, so accept that.
  if (seq.left() > 0 && !ReadOid(seq, p.digest)) return false;
  if (seq.left() > 0 && !ReadOid(seq, p.cipher)) return false;
  if (seq.left() != 0) return false;
  p.der.assign(der, der + len);
  out = std::move(p);
  return true;
}

bool ParsePublicKeyBlob(const uint8_t* data, size_t len, PublicKeyBlob& out, DWORD& error) {
  ByteReader r(data, len);
  uint8_t type, version;
  uint16_t reserved;
  uint32_t alg, magic, bits;
  if (!r.U8(type) || !r.U8(version) || !r.U16(reserved) || !r.U32(alg) || !r.U32(magic) ||
      !r.U32(bits)) {
    error = DWORD(NTE_BAD_DATA);
    return false;
  }
  if (type != PUBLICKEYBLOB) {
    error = DWORD(NTE_BAD_TYPE);
    return false;
  }
  if (alg != CALG_GR3410EL && alg != CALG_DH_EL_SF && alg != CALG_DH_EL_EPHEM) {
    error = DWORD(NTE_BAD_ALGID);
    return false;
  }
  if (version != kBlobVersion || magic != kPublicKeyMagic) {
    error = DWORD(NTE_BAD_VER);
    return false;
  }
  if (bits != kPublicKeyBytes * 8 || r.left() <= kPublicKeyBytes) {
    error = DWORD(NTE_BAD_DATA);
    return false;
  }
  // The parameters are one DER element; the key fills the rest exactly.
  const uint8_t* whole;
  size_t whole_len;
  const uint8_t* c;
  size_t n;
  uint8_t tag;
  ByteReader params(r.pos(), r.left() - kPublicKeyBytes);
  PublicKeyBlob blob;
  if (!params.Der(tag, c, n, &whole, &whole_len) || params.left() != 0 ||
      !ParseKeyParams(whole, whole_len, blob.params)) {
    error = DWORD(NTE_BAD_DATA);
    return false;
  }
  std::memcpy(blob.key.data(), r.pos() + whole_len, kPublicKeyBytes);
  blob.alg = alg;
  out = std::move(blob);
  return true;
}

std::vector<uint8_t> WritePublicKeyBlob(const PublicKeyBlob& blob) {
  std::vector<uint8_t> out;
  PutHeader(out, PUBLICKEYBLOB, blob.alg);
  Put32(out, kPublicKeyMagic);
  Put32(out, kPublicKeyBytes * 8);
  out.insert(out.end(), blob.params.der.begin(), blob.params.der.end());
  out.insert(out.end(), blob.key.begin(), blob.key.end());
  return out;
}

bool ParseSimpleBlob(const uint8_t* data, size_t len, SimpleBlob& out, DWORD& error) {
  ByteReader r(data, len);
  uint8_t type, version;
  uint16_t reserved;
  uint32_t alg, magic, encrypt_alg;
  SimpleBlob blob;
  if (!r.U8(type) || !r.U8(version) || !r.U16(reserved) || !r.U32(alg) || !r.U32(magic) ||
      !r.U32(encrypt_alg)) {
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
  uint8_t tag;
  const uint8_t* c;
  size_t n;
  if (!r.Copy(blob.ukm) || !r.Copy(blob.encrypted_key) || !r.Copy(blob.mac) ||
      !r.Der(tag, c, n) || tag != 0x30 || r.left() != 0) {
    error = DWORD(NTE_BAD_DATA);
    return false;
  }
  // Gost28147-89-BlobParameters: SEQUENCE { encryptionParamSet, ... }.
  ByteReader seq(c, n);
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
  Put32(out, kSimpleBlobMagic);
  Put32(out, blob.encrypt_alg);
  out.insert(out.end(), blob.ukm.begin(), blob.ukm.end());
  out.insert(out.end(), blob.encrypted_key.begin(), blob.encrypted_key.end());
  out.insert(out.end(), blob.mac.begin(), blob.mac.end());
  DerAppend(out, 0x30, OidToDer(blob.cipher_oid));
  return out;
}

}  // namespace vexorcsp
