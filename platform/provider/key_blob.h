// Key blobs of the GOST provider, byte for byte as GOST providers on Windows lay them out:
// PUBLICKEYBLOB (header, "MAG1", bit length, DER key parameters, X||Y little-endian) and
// SIMPLEBLOB (header, G28147 magic, export algorithm, UKM, wrapped key, MAC, DER cipher
// parameters). Readers treat the bytes as hostile.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vexor/platform.h"

namespace vexorcsp {

// A bounds-checked cursor over bytes it does not own. A failed read leaves the cursor
// failed; later reads fail too, so a run of reads is checked once.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t len) : p_(data), left_(data ? len : 0) {}
  bool U8(uint8_t& v);
  bool U16(uint16_t& v);
  bool U32(uint32_t& v);
  bool Bytes(size_t n, const uint8_t*& out);
  template <size_t N>
  bool Copy(std::array<uint8_t, N>& out) {
    const uint8_t* p;
    if (!Bytes(N, p)) return false;
    for (size_t i = 0; i < N; ++i) out[i] = p[i];
    return true;
  }
  // One DER element with a definite length: its tag, its content, and the whole encoding.
  bool Der(uint8_t& tag, const uint8_t*& content, size_t& content_len,
           const uint8_t** whole = nullptr, size_t* whole_len = nullptr);
  size_t left() const { return left_; }
  const uint8_t* pos() const { return p_; }
  bool ok() const { return ok_; }

 private:
  bool Fail() { ok_ = false; left_ = 0; return false; }
  const uint8_t* p_;
  size_t left_;
  bool ok_ = true;
};

// DER helpers for the few structures the provider writes.
void DerAppend(std::vector<uint8_t>& out, uint8_t tag, const uint8_t* content, size_t len);
inline void DerAppend(std::vector<uint8_t>& out, uint8_t tag, const std::vector<uint8_t>& c) {
  DerAppend(out, tag, c.data(), c.size());
}
// The DER of an object identifier given in dotted text; empty when the text is not one.
std::vector<uint8_t> OidToDer(const std::string& dotted);
// Dotted text of an OBJECT IDENTIFIER's content bytes; empty when malformed.
std::string OidContentToText(const uint8_t* content, size_t len);

// GostR3410-2001-PublicKeyParameters: the object identifiers and their DER.
struct KeyParams {
  std::string curve;   // publicKeyParamSet
  std::string digest;  // digestParamSet
  std::string cipher;  // encryptionParamSet, may be empty
  std::vector<uint8_t> der;
};
bool ParseKeyParams(const uint8_t* der, size_t len, KeyParams& out);

constexpr BYTE kBlobVersion = 0x20;
constexpr DWORD kPublicKeyMagic = 0x3147414D;   // "MAG1"
constexpr DWORD kSimpleBlobMagic = 0x374A51FD;
constexpr size_t kPublicKeyBytes = 64;

struct PublicKeyBlob {
  ALG_ID alg = 0;
  KeyParams params;
  std::array<uint8_t, kPublicKeyBytes> key{};  // X || Y, little-endian each
};
// Failures set the Windows error the provider reports (NTE_BAD_DATA, NTE_BAD_TYPE, ...).
bool ParsePublicKeyBlob(const uint8_t* data, size_t len, PublicKeyBlob& out, DWORD& error);
std::vector<uint8_t> WritePublicKeyBlob(const PublicKeyBlob& blob);

struct SimpleBlob {
  ALG_ID key_alg = 0;      // the session key's algorithm (CALG_G28147)
  ALG_ID encrypt_alg = 0;  // EncryptKeyAlgId
  std::array<uint8_t, 8> ukm{};
  std::array<uint8_t, 32> encrypted_key{};
  std::array<uint8_t, 4> mac{};
  std::string cipher_oid;  // encryptionParamSet
};
bool ParseSimpleBlob(const uint8_t* data, size_t len, SimpleBlob& out, DWORD& error);
std::vector<uint8_t> WriteSimpleBlob(const SimpleBlob& blob);

}  // namespace vexorcsp
