// The GOST R 34.12-2015 block ciphers (Magma, 64-bit blocks; Kuznyechik, 128-bit blocks) and
// what messages of the 2012 generation build on them: CTR-ACPKM (the counter mode whose key is
// renewed after every section), OMAC (CMAC) and the KExp15/KImp15 key export. Only the
// encryption direction of the block functions is needed: every mode here is a gamma or a MAC.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "platform/provider/gost_cipher.h"

namespace vexorcsp::gost2015 {

enum class Algorithm { kMagma, kKuznyechik };

constexpr size_t kKeySize = 32;
constexpr size_t kMaxBlock = 16;
constexpr size_t BlockSize(Algorithm a) { return a == Algorithm::kMagma ? 8 : 16; }

// One block function with its round keys. Cleanses them on release.
class BlockCipher {
 public:
  BlockCipher(Algorithm algorithm, const uint8_t* key);
  ~BlockCipher();
  BlockCipher(const BlockCipher&) = delete;
  BlockCipher& operator=(const BlockCipher&) = delete;

  void SetKey(const uint8_t* key);
  void Encrypt(const uint8_t* in, uint8_t* out) const;
  size_t block() const { return BlockSize(algorithm_); }
  Algorithm algorithm() const { return algorithm_; }

 private:
  Algorithm algorithm_;
  // Magma is GOST 28147-89 over the id-tc26-gost-28147-param-Z S-box with its key and
  // blocks read big-endian.
  gost89::Cipher magma_;
  uint8_t round_keys_[10][16];
};

// CTR-ACPKM: the gamma is the encryption of the counter (the half-block IV followed by zero
// bytes, incremented big-endian); after every section of section_bytes the key becomes the
// ACPKM transform of itself. With section_bytes 0 this is the plain counter mode. Data cut
// anywhere gives the bytes one call would.
class CtrAcpkm {
 public:
  CtrAcpkm(Algorithm algorithm, const uint8_t* key, const uint8_t* iv, size_t section_bytes);
  ~CtrAcpkm();
  CtrAcpkm(const CtrAcpkm&) = delete;
  CtrAcpkm& operator=(const CtrAcpkm&) = delete;
  void Apply(uint8_t* data, size_t len);

 private:
  void NextGamma();
  BlockCipher cipher_;
  size_t section_;
  uint8_t key_[kKeySize];
  uint8_t counter_[kMaxBlock] = {};
  uint8_t gamma_[kMaxBlock] = {};
  size_t used_;          // bytes of gamma_ consumed
  uint64_t in_section_ = 0;  // bytes of gamma made under the current key
};

// The section sizes of CTR-ACPKM content in CMS messages (the GOST engine's cipher objects
// default to 1024 and 4096 outside CMS).
constexpr size_t kMagmaCmsSection = 8 * 1024;
constexpr size_t kKuznyechikCmsSection = 256 * 1024;

// OMAC (GOST R 34.13-2015 5.6): the full block-sized MAC of the pieces, taken in order.
std::vector<uint8_t> Omac(Algorithm algorithm, const uint8_t* key,
                          std::initializer_list<std::pair<const uint8_t*, size_t>> pieces);

// KExp15 (R 1323565.1.017): CTR(K_enc, IV, K || OMAC(K_mac, IV || K)); the IV is half a
// block. The result is 32 bytes plus one block.
std::vector<uint8_t> KExp15(Algorithm algorithm, const uint8_t* key, const uint8_t* mac_key,
                            const uint8_t* enc_key, const uint8_t* iv);
// The inverse: false (and key cleared) when the length or the MAC is wrong.
bool KImp15(Algorithm algorithm, const uint8_t* exported, size_t len, const uint8_t* mac_key,
            const uint8_t* enc_key, const uint8_t* iv, uint8_t key[kKeySize]);

}  // namespace vexorcsp::gost2015
