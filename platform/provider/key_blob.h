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
constexpr size_t kPublicKeyBytes = 64;       // 2001 and 2012-256 keys
constexpr size_t kPublicKeyBytes512 = 128;   // 2012-512 keys

// The algorithm id of a public-key blob says the key's size: the 2012-512 ids carry 128
// bytes, the others 64.
struct PublicKeyBlob {
  ALG_ID alg = 0;
  KeyParams params;
  std::vector<uint8_t> key;  // X || Y, little-endian each
};
// The key bytes a public-key blob of the algorithm carries; 0 for an algorithm that is not
// a GOST R 34.10 key.
size_t PublicKeyBlobBytes(ALG_ID alg);
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
