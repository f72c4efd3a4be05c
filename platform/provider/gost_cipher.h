// GOST 28147-89: the block function over a named S-box, CFB and CNT with CryptoPro key
// meshing as streams that continue across calls, the 16-round MAC (IMIT), and the CryptoPro key
// diversification and key wrap of RFC 4357.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vexorcsp::gost89 {

constexpr size_t kBlock = 8;
constexpr size_t kKeySize = 32;
using Key = std::array<uint8_t, kKeySize>;
using Iv = std::array<uint8_t, kBlock>;

// The cipher parameters named by an object identifier (dotted text): the S-box and whether
// the key is meshed every 1024 bytes. Null for an unknown set.
struct ParamSet {
  const char* oid;
  const uint8_t (*sbox)[16];  // rows K1..K8; K1 substitutes the lowest nibble
  bool key_meshing;
};
const ParamSet* FindParamSet(std::string_view oid);
// id-Gost28147-89-CryptoPro-A-ParamSet: what new session keys use.
extern const char kCryptoProA[];

// The block function with its key schedule and expanded S-box. Cleanses its key on release.
class Cipher {
 public:
  Cipher(const ParamSet& params, const uint8_t* key);
  ~Cipher();
  Cipher(const Cipher&) = delete;
  Cipher& operator=(const Cipher&) = delete;

  void SetKey(const uint8_t* key);
  void EncryptBlock(const uint8_t* in, uint8_t* out) const;
  // n blocks under this key, eight at a time in AVX2 lanes where the processor has them,
  // else four at a time with their rounds interleaved: the blocks are independent, so the
  // chains overlap where one block alone waits on each round.
  void EncryptBlocks(const uint8_t* in, uint8_t* out, size_t n) const;
  // Four blocks, block i under the key schedule keys[i] (eight words, as SetKey loads them),
  // interleaved the same way.
  void EncryptBlocks4(const uint32_t (*keys)[8], const uint8_t* in, uint8_t* out) const;
  void DecryptBlock(const uint8_t* in, uint8_t* out) const;
  // The MAC step: state = 16 rounds of (state xor block).
  void MacBlock(uint8_t* state, const uint8_t* block) const;
  // CryptoPro key meshing: the key becomes the decryption of the meshing constant.
  void MeshKey();
  bool meshing() const { return params_.key_meshing; }
  const ParamSet& params() const { return params_; }

 private:
  uint32_t F(uint32_t x) const {
    return t_[0][x & 0xff] ^ t_[1][(x >> 8) & 0xff] ^ t_[2][(x >> 16) & 0xff] ^ t_[3][x >> 24];
  }
  template <size_t N, bool kShared>
  void EncryptLanes(const uint32_t* const* keys, const uint8_t* in, uint8_t* out) const;
  void Encrypt8Avx2(const uint8_t* in, uint8_t* out) const;
  const ParamSet& params_;
  uint32_t k_[8];
  uint32_t t_[4][256];
};

// The two gamma modes over any number of calls: CFB (the gamma is the encrypted previous
// ciphertext block) and the GOST counter mode CNT (the gamma is the encrypted counter
// register). The gamma position, the register and the meshing counter carry over, so data
// cut anywhere gives the bytes one call would.
class GammaStream {
 public:
  enum class Mode { kCfb, kCnt };
  GammaStream(const ParamSet& params, const uint8_t* key, const uint8_t* iv, Mode mode);
  ~GammaStream();
  GammaStream(const GammaStream&) = delete;
  GammaStream& operator=(const GammaStream&) = delete;
  void Encrypt(uint8_t* data, size_t len) { Run(data, len, true); }
  void Decrypt(uint8_t* data, size_t len) { Run(data, len, false); }

 private:
  void NextGamma();
  void MeshIfDue();
  void CntStep();
  // Whole blocks whose gammas do not wait on each other (CFB decryption, CNT), up to
  // kBatch at a time; returns the bytes done.
  size_t RunBatched(uint8_t* data, size_t len);
  void Run(uint8_t* data, size_t len, bool encrypt);
  Cipher cipher_;
  Mode mode_;
  uint8_t register_[kBlock];  // CFB: the previous ciphertext block; CNT: the counter
  uint8_t gamma_[kBlock];
  size_t used_ = kBlock;  // bytes of gamma_ consumed
  uint64_t blocks_ = 0;
};

// CFB, the mode session keys start in.
class CfbStream : public GammaStream {
 public:
  CfbStream(const ParamSet& params, const uint8_t* key, const uint8_t* iv)
      : GammaStream(params, key, iv, Mode::kCfb) {}
};

// The MAC over data given in pieces; Final gives the full 8-byte state (see Imit).
class ImitStream {
 public:
  ImitStream(const ParamSet& params, const uint8_t* key, const uint8_t* iv);
  ~ImitStream();
  void Update(const uint8_t* data, size_t len);
  Iv Final();

 private:
  void Step(const uint8_t* block);
  Cipher cipher_;
  uint8_t state_[kBlock];
  uint8_t partial_[kBlock];
  size_t partial_len_ = 0;
  uint64_t blocks_ = 0;
};

// ECB over whole blocks (len a multiple of 8).
void EcbEncrypt(const ParamSet& params, const uint8_t* key, uint8_t* data, size_t len);
void EcbDecrypt(const ParamSet& params, const uint8_t* key, uint8_t* data, size_t len);

// The full MAC state (8 bytes) of the message under the key, starting from iv; the
// CryptoPro MAC is its first four bytes. A message of one block or less is processed as two
// blocks and the empty message leaves the iv, as CryptoPro and the GOST engine do.
Iv Imit(const ParamSet& params, const uint8_t* key, const uint8_t* iv, const uint8_t* data,
        size_t len);

// RFC 4357 6.5: KEK(UKM) from the agreement KEK.
Key DiversifyKey(const ParamSet& params, const uint8_t* kek, const uint8_t* ukm);

// RFC 4357 6.1 / 6.3: the wrapped key (ENC 32 bytes, MAC 4 bytes). With diversify, the KEK
// is first diversified by the UKM (CALG_PRO_EXPORT); without, it is used as is
// (CALG_SIMPLE_EXPORT).
struct Wrapped {
  uint8_t enc[kKeySize];
  uint8_t mac[4];
};
Wrapped WrapKey(const ParamSet& params, const uint8_t* kek, const uint8_t* ukm,
                const uint8_t* cek, bool diversify);
// False when the MAC does not match; cek is then cleared.
bool UnwrapKey(const ParamSet& params, const uint8_t* kek, const uint8_t* ukm,
               const Wrapped& wrapped, uint8_t* cek, bool diversify);

}  // namespace vexorcsp::gost89
