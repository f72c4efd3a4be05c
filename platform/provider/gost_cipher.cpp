// GOST 28147-89 block function and the CryptoPro modes built on it. The S-box is expanded
// into four 256-entry tables with the 11-bit rotation folded in, one lookup per byte.
#include "platform/provider/gost_cipher.h"

#include <algorithm>
#include <array>
#include <deque>
#include <mutex>
#include <utility>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <openssl/crypto.h>

namespace vexorcsp::gost89 {
namespace {

// Rows K1..K8 of each S-box (RFC 4357 section 11.2; RFC 7836 for TC26 Z).
constexpr uint8_t kSboxCryptoProA[8][16] = {
    {9, 6, 3, 2, 8, 11, 1, 7, 10, 4, 14, 15, 12, 0, 13, 5},
    {3, 7, 14, 9, 8, 10, 15, 0, 5, 2, 6, 12, 11, 4, 13, 1},
    {14, 4, 6, 2, 11, 3, 13, 8, 12, 15, 5, 10, 0, 7, 1, 9},
    {14, 7, 10, 12, 13, 1, 3, 9, 0, 2, 11, 4, 15, 8, 5, 6},
    {11, 5, 1, 9, 8, 13, 15, 0, 14, 4, 2, 3, 12, 7, 10, 6},
    {3, 10, 13, 12, 1, 2, 0, 11, 7, 5, 9, 4, 8, 15, 14, 6},
    {1, 13, 2, 9, 7, 10, 6, 0, 8, 12, 4, 5, 15, 3, 11, 14},
    {11, 10, 15, 5, 0, 12, 14, 8, 6, 2, 3, 9, 1, 7, 13, 4}};
constexpr uint8_t kSboxCryptoProB[8][16] = {
    {8, 4, 11, 1, 3, 5, 0, 9, 2, 14, 10, 12, 13, 6, 7, 15},
    {0, 1, 2, 10, 4, 13, 5, 12, 9, 7, 3, 15, 11, 8, 6, 14},
    {14, 12, 0, 10, 9, 2, 13, 11, 7, 5, 8, 15, 3, 6, 1, 4},
    {7, 5, 0, 13, 11, 6, 1, 2, 3, 10, 12, 15, 4, 14, 9, 8},
    {2, 7, 12, 15, 9, 5, 10, 11, 1, 4, 0, 13, 6, 8, 14, 3},
    {8, 3, 2, 6, 4, 13, 14, 11, 12, 1, 7, 15, 10, 0, 9, 5},
    {5, 2, 10, 11, 9, 1, 12, 3, 7, 4, 13, 0, 6, 15, 8, 14},
    {0, 4, 11, 14, 8, 3, 7, 1, 10, 2, 9, 6, 15, 13, 5, 12}};
constexpr uint8_t kSboxCryptoProC[8][16] = {
    {1, 11, 12, 2, 9, 13, 0, 15, 4, 5, 8, 14, 10, 7, 6, 3},
    {0, 1, 7, 13, 11, 4, 5, 2, 8, 14, 15, 12, 9, 10, 6, 3},
    {8, 2, 5, 0, 4, 9, 15, 10, 3, 7, 12, 13, 6, 14, 1, 11},
    {3, 6, 0, 1, 5, 13, 10, 8, 11, 2, 9, 7, 14, 15, 12, 4},
    {8, 13, 11, 0, 4, 5, 1, 2, 9, 3, 12, 14, 6, 15, 10, 7},
    {12, 9, 11, 1, 8, 14, 2, 4, 7, 3, 6, 5, 10, 0, 15, 13},
    {10, 9, 6, 8, 13, 14, 2, 0, 15, 3, 5, 11, 4, 1, 12, 7},
    {7, 4, 0, 5, 10, 2, 15, 14, 12, 6, 1, 11, 13, 9, 3, 8}};
constexpr uint8_t kSboxCryptoProD[8][16] = {
    {15, 12, 2, 10, 6, 4, 5, 0, 7, 9, 14, 13, 1, 11, 8, 3},
    {11, 6, 3, 4, 12, 15, 14, 2, 7, 13, 8, 0, 5, 10, 9, 1},
    {1, 12, 11, 0, 15, 14, 6, 5, 10, 13, 4, 8, 9, 3, 7, 2},
    {1, 5, 14, 12, 10, 7, 0, 13, 6, 2, 11, 4, 9, 3, 15, 8},
    {0, 12, 8, 9, 13, 2, 10, 11, 7, 3, 6, 5, 4, 14, 15, 1},
    {8, 0, 15, 3, 2, 5, 14, 11, 1, 10, 4, 7, 12, 9, 13, 6},
    {3, 0, 6, 15, 1, 14, 9, 2, 13, 8, 12, 4, 11, 10, 5, 7},
    {1, 10, 6, 8, 15, 11, 0, 4, 12, 3, 5, 9, 7, 13, 2, 14}};
constexpr uint8_t kSboxTest[8][16] = {
    {4, 2, 15, 5, 9, 1, 0, 8, 14, 3, 11, 12, 13, 7, 10, 6},
    {12, 9, 15, 14, 8, 1, 3, 10, 2, 7, 4, 13, 6, 0, 11, 5},
    {13, 8, 14, 12, 7, 3, 9, 10, 1, 5, 2, 4, 6, 15, 0, 11},
    {14, 9, 11, 2, 5, 15, 7, 1, 0, 13, 12, 6, 10, 4, 3, 8},
    {3, 14, 5, 9, 6, 8, 0, 13, 10, 11, 7, 12, 2, 1, 15, 4},
    {8, 15, 6, 11, 1, 9, 12, 5, 13, 3, 7, 10, 0, 14, 2, 4},
    {9, 11, 12, 0, 3, 6, 7, 5, 4, 8, 14, 15, 1, 10, 2, 13},
    {12, 6, 5, 2, 11, 0, 9, 13, 3, 14, 7, 10, 15, 4, 1, 8}};
// The S-box of the GOST R 34.11-94 test parameters (RFC 5831), which old test vectors of
// the cipher use.
constexpr uint8_t kSboxHashTest[8][16] = {
    {4, 10, 9, 2, 13, 8, 0, 14, 6, 11, 1, 12, 7, 15, 5, 3},
    {14, 11, 4, 12, 6, 13, 15, 10, 2, 3, 8, 1, 0, 7, 5, 9},
    {5, 8, 1, 13, 10, 3, 4, 2, 14, 15, 12, 7, 6, 0, 9, 11},
    {7, 13, 10, 1, 0, 8, 9, 15, 14, 4, 6, 12, 11, 2, 5, 3},
    {6, 12, 7, 1, 5, 15, 13, 8, 4, 10, 9, 14, 0, 3, 11, 2},
    {4, 11, 10, 0, 7, 2, 1, 13, 3, 6, 8, 5, 9, 12, 15, 14},
    {13, 11, 4, 1, 3, 15, 5, 9, 0, 10, 14, 7, 6, 8, 2, 12},
    {1, 15, 13, 0, 5, 7, 10, 4, 9, 2, 3, 14, 6, 11, 8, 12}};
// id-GostR3411-94-CryptoProParamSet: the S-box of the hash's block encryptions.
constexpr uint8_t kSboxHashCryptoPro[8][16] = {
    {10, 4, 5, 6, 8, 1, 3, 7, 13, 12, 14, 0, 9, 2, 11, 15},
    {5, 15, 4, 0, 2, 13, 11, 9, 1, 7, 6, 3, 12, 14, 10, 8},
    {7, 15, 12, 14, 9, 4, 1, 0, 3, 11, 5, 2, 6, 10, 8, 13},
    {4, 10, 7, 12, 0, 15, 2, 8, 14, 1, 6, 5, 13, 11, 9, 3},
    {7, 6, 4, 11, 9, 12, 2, 10, 1, 8, 0, 14, 15, 13, 3, 5},
    {7, 6, 2, 4, 13, 9, 15, 0, 10, 1, 5, 11, 8, 14, 12, 3},
    {13, 14, 4, 1, 7, 0, 5, 10, 3, 12, 8, 15, 6, 2, 9, 11},
    {1, 3, 10, 9, 5, 11, 4, 15, 8, 6, 7, 14, 13, 0, 2, 12}};
constexpr uint8_t kSboxTc26Z[8][16] = {
    {12, 4, 6, 2, 10, 5, 11, 9, 14, 8, 13, 7, 0, 3, 15, 1},
    {6, 8, 2, 3, 9, 10, 5, 12, 1, 14, 4, 7, 11, 13, 0, 15},
    {11, 3, 5, 8, 2, 15, 10, 13, 14, 1, 7, 4, 12, 9, 6, 0},
    {12, 8, 2, 1, 13, 4, 15, 6, 7, 0, 10, 5, 3, 14, 9, 11},
    {7, 15, 5, 10, 8, 1, 6, 13, 0, 9, 3, 14, 11, 4, 2, 12},
    {5, 13, 15, 6, 9, 2, 12, 10, 11, 7, 8, 1, 4, 3, 14, 0},
    {8, 14, 2, 5, 6, 9, 1, 12, 15, 4, 11, 0, 13, 10, 3, 7},
    {1, 7, 14, 13, 0, 5, 8, 3, 4, 15, 10, 6, 9, 12, 11, 2}};

constexpr ParamSet kParamSets[] = {
    {"1.2.643.2.2.31.1", kSboxCryptoProA, true},
    {"1.2.643.2.2.31.2", kSboxCryptoProB, true},
    {"1.2.643.2.2.31.3", kSboxCryptoProC, true},
    {"1.2.643.2.2.31.4", kSboxCryptoProD, true},
    {"1.2.643.2.2.31.0", kSboxTest, false},
    {"1.2.643.2.2.30.0", kSboxHashTest, false},
    {"1.2.643.2.2.30.1", kSboxHashCryptoPro, false},
    {"1.2.643.7.1.2.5.1.1", kSboxTc26Z, true},
};

// RFC 4357 2.3.2: the constant whose decryption is the next key.
constexpr uint8_t kMeshingKey[32] = {
    0x69, 0x00, 0x72, 0x22, 0x64, 0xC9, 0x04, 0x23, 0x8D, 0x3A, 0xDB, 0x96, 0x46, 0xE9, 0x2A, 0xC4,
    0x18, 0xFE, 0xAC, 0x94, 0x00, 0xED, 0x07, 0x12, 0xC0, 0x86, 0xDC, 0xC2, 0xEF, 0x4C, 0xA9, 0x2B};

inline uint32_t Load32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void Store32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

// The key word of each of the 32 rounds: K0..K7 three times, then K7..K0.
constexpr uint8_t kRoundKey[32] = {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7,
                                   0, 1, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 2, 1, 0};

// Blocks the gamma modes encrypt at once where their gammas are independent.
constexpr size_t kBatch = 8;
constexpr size_t kLanes = 4;  // of the interleaved scalar code
constexpr uint64_t kMeshingBlocks = 1024 / kBlock;


// An S-box expanded into four tables of 256 words (the rotation by 11 folded in), worked out
// once per S-box for the process: a hash or cipher object is made for every small message,
// and expanding costs about 30,000 instructions, more than hashing a kilobyte.
using ExpandedSbox = std::array<std::array<uint32_t, 256>, 4>;

const ExpandedSbox& Expanded(const uint8_t (*sbox)[16]) {
  static std::mutex lock;
  static std::deque<std::pair<const uint8_t (*)[16], ExpandedSbox>> known;  // references stay valid
  std::lock_guard<std::mutex> guard(lock);
  for (const auto& [rows, table] : known)
    if (rows == sbox) return table;
  ExpandedSbox& t = known.emplace_back(sbox, ExpandedSbox{}).second;
  for (int i = 0; i < 4; ++i) {
    const uint8_t* lo = sbox[2 * i];
    const uint8_t* hi = sbox[2 * i + 1];
    for (int b = 0; b < 256; ++b) {
      const uint32_t v = uint32_t((hi[b >> 4] << 4) | lo[b & 15]) << (8 * i);
      t[i][b] = (v << 11) | (v >> 21);
    }
  }
  return t;
}

}  // namespace

const char kCryptoProA[] = "1.2.643.2.2.31.1";

const ParamSet* FindParamSet(std::string_view oid) {
  for (const ParamSet& p : kParamSets)
    if (oid == p.oid) return &p;
  return nullptr;
}

Cipher::Cipher(const ParamSet& params, const uint8_t* key) : params_(params) {
  static_assert(sizeof(ExpandedSbox) == sizeof(t_));
  std::memcpy(t_, Expanded(params.sbox).data(), sizeof(t_));
  SetKey(key);
}

Cipher::~Cipher() { OPENSSL_cleanse(k_, sizeof(k_)); }

void Cipher::SetKey(const uint8_t* key) {
  for (int i = 0; i < 8; ++i) k_[i] = Load32(key + 4 * i);
}

void Cipher::EncryptBlock(const uint8_t* in, uint8_t* out) const {
  uint32_t n1 = Load32(in), n2 = Load32(in + 4);
  for (int r = 0; r < 3; ++r) {
    for (int i = 0; i < 8; i += 2) {
      n2 ^= F(n1 + k_[i]);
      n1 ^= F(n2 + k_[i + 1]);
    }
  }
  for (int i = 7; i > 0; i -= 2) {
    n2 ^= F(n1 + k_[i]);
    n1 ^= F(n2 + k_[i - 1]);
  }
  Store32(out, n2);
  Store32(out + 4, n1);
}

template <size_t N, bool kShared>
void Cipher::EncryptLanes(const uint32_t* const* keys, const uint8_t* in, uint8_t* out) const {
  uint32_t n1[N], n2[N];
  for (size_t l = 0; l < N; ++l) {
    n1[l] = Load32(in + kBlock * l);
    n2[l] = Load32(in + kBlock * l + 4);
  }
  // One round of every lane in turn: each lane's round waits on its previous one only.
#pragma GCC unroll 16
  for (int r = 0; r < 32; r += 2) {
#pragma GCC unroll 8
    for (size_t l = 0; l < N; ++l) n2[l] ^= F(n1[l] + keys[kShared ? 0 : l][kRoundKey[r]]);
#pragma GCC unroll 8
    for (size_t l = 0; l < N; ++l) n1[l] ^= F(n2[l] + keys[kShared ? 0 : l][kRoundKey[r + 1]]);
  }
  for (size_t l = 0; l < N; ++l) {
    Store32(out + kBlock * l, n2[l]);
    Store32(out + kBlock * l + 4, n1[l]);
  }
}

#if defined(__x86_64__)
// Eight blocks in the 32-bit lanes of AVX2 registers (N1 of each in one register, N2 in
// another). The S-box is looked up a nibble at a time with byte shuffles: for byte j of
// every lane, its low nibble through row K(2j+1) and its high one through K(2j+2), kept to
// byte j by a mask; then the rotation by 11.
__attribute__((target("avx2"))) void Cipher::Encrypt8Avx2(const uint8_t* in, uint8_t* out) const {
  __m256i lo_rows[4], hi_rows[4], byte_mask[4];
  for (int j = 0; j < 4; ++j) {
    alignas(16) uint8_t lo[16], hi[16];
    for (int i = 0; i < 16; ++i) {
      lo[i] = params_.sbox[2 * j][i];
      hi[i] = uint8_t(params_.sbox[2 * j + 1][i] << 4);
    }
    lo_rows[j] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(lo)));
    hi_rows[j] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(hi)));
    byte_mask[j] = _mm256_set1_epi32(int(0xffu << (8 * j)));
  }
  const __m256i nibble = _mm256_set1_epi8(0x0f);
#define VEXOR_GOST_F8(x, result)                                                          \
  do {                                                                                    \
    const __m256i lo = _mm256_and_si256(x, nibble);                                       \
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble);                 \
    __m256i s = _mm256_setzero_si256();                                                   \
    for (int j = 0; j < 4; ++j) {                                                         \
      const __m256i v = _mm256_or_si256(_mm256_shuffle_epi8(lo_rows[j], lo),              \
                                        _mm256_shuffle_epi8(hi_rows[j], hi));             \
      s = _mm256_or_si256(s, _mm256_and_si256(v, byte_mask[j]));                          \
    }                                                                                     \
    result = _mm256_xor_si256(result, _mm256_or_si256(_mm256_slli_epi32(s, 11),           \
                                                      _mm256_srli_epi32(s, 21)));         \
  } while (false)
  alignas(32) uint32_t a[8], b[8];
  for (int l = 0; l < 8; ++l) {
    a[l] = Load32(in + kBlock * l);
    b[l] = Load32(in + kBlock * l + 4);
  }
  __m256i n1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(a));
  __m256i n2 = _mm256_load_si256(reinterpret_cast<const __m256i*>(b));
  for (int r = 0; r < 32; r += 2) {
    const __m256i x1 = _mm256_add_epi32(n1, _mm256_set1_epi32(int(k_[kRoundKey[r]])));
    VEXOR_GOST_F8(x1, n2);
    const __m256i x2 = _mm256_add_epi32(n2, _mm256_set1_epi32(int(k_[kRoundKey[r + 1]])));
    VEXOR_GOST_F8(x2, n1);
  }
#undef VEXOR_GOST_F8
  _mm256_store_si256(reinterpret_cast<__m256i*>(a), n1);
  _mm256_store_si256(reinterpret_cast<__m256i*>(b), n2);
  for (int l = 0; l < 8; ++l) {
    Store32(out + kBlock * l, b[l]);
    Store32(out + kBlock * l + 4, a[l]);
  }
  OPENSSL_cleanse(a, sizeof(a));
  OPENSSL_cleanse(b, sizeof(b));
}

namespace {
bool HasAvx2() {
  __builtin_cpu_init();  // this may run among other constructors, before libgcc's own
  return __builtin_cpu_supports("avx2");
}
const bool kHasAvx2 = HasAvx2();
}  // namespace
#else
void Cipher::Encrypt8Avx2(const uint8_t*, uint8_t*) const {}
namespace {
constexpr bool kHasAvx2 = false;
}  // namespace
#endif

void Cipher::EncryptBlocks(const uint8_t* in, uint8_t* out, size_t n) const {
  if (kHasAvx2)
    for (; n >= 8; n -= 8, in += 8 * kBlock, out += 8 * kBlock) Encrypt8Avx2(in, out);
  const uint32_t* const keys[1] = {k_};
  for (; n >= kLanes; n -= kLanes, in += kLanes * kBlock, out += kLanes * kBlock)
    EncryptLanes<kLanes, true>(keys, in, out);
  for (; n > 0; --n, in += kBlock, out += kBlock) EncryptBlock(in, out);
}

void Cipher::EncryptBlocks4(const uint32_t (*keys)[8], const uint8_t* in, uint8_t* out) const {
  const uint32_t* const lanes[4] = {keys[0], keys[1], keys[2], keys[3]};
  EncryptLanes<4, false>(lanes, in, out);
}

void Cipher::DecryptBlock(const uint8_t* in, uint8_t* out) const {
  uint32_t n1 = Load32(in), n2 = Load32(in + 4);
  for (int i = 0; i < 8; i += 2) {
    n2 ^= F(n1 + k_[i]);
    n1 ^= F(n2 + k_[i + 1]);
  }
  for (int r = 0; r < 3; ++r) {
    for (int i = 7; i > 0; i -= 2) {
      n2 ^= F(n1 + k_[i]);
      n1 ^= F(n2 + k_[i - 1]);
    }
  }
  Store32(out, n2);
  Store32(out + 4, n1);
}

void Cipher::MacBlock(uint8_t* state, const uint8_t* block) const {
  uint32_t n1 = Load32(state) ^ Load32(block), n2 = Load32(state + 4) ^ Load32(block + 4);
  for (int r = 0; r < 2; ++r) {
    for (int i = 0; i < 8; i += 2) {
      n2 ^= F(n1 + k_[i]);
      n1 ^= F(n2 + k_[i + 1]);
    }
  }
  Store32(state, n1);
  Store32(state + 4, n2);
}

void Cipher::MeshKey() {
  uint8_t next[kKeySize];
  for (size_t i = 0; i < kKeySize; i += kBlock) DecryptBlock(kMeshingKey + i, next + i);
  SetKey(next);
  OPENSSL_cleanse(next, sizeof(next));
}

GammaStream::GammaStream(const ParamSet& params, const uint8_t* key, const uint8_t* iv,
                         Mode mode)
    : cipher_(params, key), mode_(mode) {
  std::memcpy(register_, iv, kBlock);
  // The counter starts from the encrypted IV.
  if (mode_ == Mode::kCnt) cipher_.EncryptBlock(register_, register_);
}

GammaStream::~GammaStream() {
  OPENSSL_cleanse(register_, sizeof(register_));
  OPENSSL_cleanse(gamma_, sizeof(gamma_));
}

void GammaStream::MeshIfDue() {
  // CryptoPro meshing: after every 1024 bytes the key changes and the register is
  // encrypted once under the new key.
  if (cipher_.meshing() && blocks_ != 0 && blocks_ % kMeshingBlocks == 0) {
    cipher_.MeshKey();
    cipher_.EncryptBlock(register_, register_);
  }
}

void GammaStream::CntStep() {
  // N1 += C2 mod 2^32, N2 += C1 mod 2^32 - 1.
  Store32(register_, Load32(register_) + 0x01010101u);
  const uint32_t n2 = Load32(register_ + 4);
  uint32_t next = n2 + 0x01010104u;
  if (next < n2) ++next;
  Store32(register_ + 4, next);
}

void GammaStream::NextGamma() {
  MeshIfDue();
  if (mode_ == Mode::kCnt) CntStep();
  cipher_.EncryptBlock(register_, gamma_);
  used_ = 0;
  ++blocks_;
}

size_t GammaStream::RunBatched(uint8_t* data, size_t len) {
  uint8_t in[kBatch * kBlock] = {};
  uint8_t gamma[kBatch * kBlock];
  size_t done = 0;
  while (len - done >= kBlock) {
    MeshIfDue();
    // A batch stops at the next meshing, where the key changes; a short one costs about
    // what a full one does, since the lanes run side by side.
    size_t n = std::min(kBatch, (len - done) / kBlock);
    if (cipher_.meshing()) n = std::min<size_t>(n, kMeshingBlocks - blocks_ % kMeshingBlocks);
    uint8_t* block = data + done;
    if (mode_ == Mode::kCnt) {
      for (size_t i = 0; i < n; ++i) {
        CntStep();
        std::memcpy(in + kBlock * i, register_, kBlock);
      }
    } else {
      // CFB: each gamma encrypts the ciphertext block before it, all known already.
      std::memcpy(in, register_, kBlock);
      std::memcpy(in + kBlock, block, (n - 1) * kBlock);
      std::memcpy(register_, block + (n - 1) * kBlock, kBlock);
    }
    cipher_.EncryptBlocks(in, gamma, kBatch);
    for (size_t i = 0; i < n * kBlock; i += kBlock) {
      uint64_t g, d;
      std::memcpy(&g, gamma + i, kBlock);
      std::memcpy(&d, block + i, kBlock);
      d ^= g;
      std::memcpy(block + i, &d, kBlock);
    }
    blocks_ += n;
    done += n * kBlock;
  }
  OPENSSL_cleanse(in, sizeof(in));
  OPENSSL_cleanse(gamma, sizeof(gamma));
  return done;
}

void GammaStream::Run(uint8_t* data, size_t len, bool encrypt) {
  const bool feedback = mode_ == Mode::kCfb;
  // Only CFB encryption chains each gamma on the block just produced.
  const bool batched = !feedback || !encrypt;
  while (len > 0) {
    if (used_ == kBlock) {
      if (batched && len >= kBlock) {
        const size_t done = RunBatched(data, len);
        data += done;
        len -= done;
        if (len == 0) break;
      }
      NextGamma();
      if (len >= kBlock) {
        // Whole block: the common case, eight bytes at a time.
        uint64_t g, d;
        std::memcpy(&g, gamma_, kBlock);
        std::memcpy(&d, data, kBlock);
        const uint64_t out = d ^ g;
        if (feedback) std::memcpy(register_, encrypt ? &out : &d, kBlock);
        std::memcpy(data, &out, kBlock);
        used_ = kBlock;
        data += kBlock;
        len -= kBlock;
        continue;
      }
    }
    const uint8_t in = *data;
    const uint8_t out = in ^ gamma_[used_];
    if (feedback) register_[used_] = encrypt ? out : in;
    *data++ = out;
    ++used_;
    --len;
  }
}

void EcbEncrypt(const ParamSet& params, const uint8_t* key, uint8_t* data, size_t len) {
  Cipher c(params, key);
  for (size_t i = 0; i + kBlock <= len; i += kBlock) c.EncryptBlock(data + i, data + i);
}

void EcbDecrypt(const ParamSet& params, const uint8_t* key, uint8_t* data, size_t len) {
  Cipher c(params, key);
  for (size_t i = 0; i + kBlock <= len; i += kBlock) c.DecryptBlock(data + i, data + i);
}

ImitStream::ImitStream(const ParamSet& params, const uint8_t* key, const uint8_t* iv)
    : cipher_(params, key) {
  std::memcpy(state_, iv, kBlock);
}

ImitStream::~ImitStream() { OPENSSL_cleanse(partial_, sizeof(partial_)); }

void ImitStream::Step(const uint8_t* block) {
  // Meshing changes the key only; the MAC state carries on.
  if (cipher_.meshing() && blocks_ != 0 && blocks_ % 128 == 0) cipher_.MeshKey();
  cipher_.MacBlock(state_, block);
  ++blocks_;
}

void ImitStream::Update(const uint8_t* data, size_t len) {
  if (len == 0) return;
  if (partial_len_ > 0) {
    const size_t take = std::min(len, kBlock - partial_len_);
    std::memcpy(partial_ + partial_len_, data, take);
    partial_len_ += take;
    data += take;
    len -= take;
    if (partial_len_ < kBlock) return;
    Step(partial_);
    partial_len_ = 0;
  }
  for (; len >= kBlock; data += kBlock, len -= kBlock) Step(data);
  std::memcpy(partial_, data, len);
  partial_len_ = len;
}

Iv ImitStream::Final() {
  if (partial_len_ > 0) {
    std::memset(partial_ + partial_len_, 0, kBlock - partial_len_);
    Step(partial_);
    partial_len_ = 0;
  }
  if (blocks_ == 1) {
    const uint8_t zero[kBlock] = {};
    Step(zero);
  }
  Iv out;
  std::memcpy(out.data(), state_, kBlock);
  return out;
}

Iv Imit(const ParamSet& params, const uint8_t* key, const uint8_t* iv, const uint8_t* data,
        size_t len) {
  ImitStream mac(params, key, iv);
  mac.Update(data, len);
  return mac.Final();
}

Key DiversifyKey(const ParamSet& params, const uint8_t* kek, const uint8_t* ukm) {
  Key k;
  std::memcpy(k.data(), kek, kKeySize);
  for (int i = 0; i < 8; ++i) {
    uint32_t s1 = 0, s2 = 0;
    for (int j = 0; j < 8; ++j) {
      const uint32_t w = Load32(k.data() + 4 * j);
      if (ukm[i] & (1u << j))
        s1 += w;
      else
        s2 += w;
    }
    uint8_t s[kBlock];
    Store32(s, s1);
    Store32(s + 4, s2);
    // Meshing never triggers on 32 bytes, so the parameter set's flag does not matter.
    GammaStream cfb(params, k.data(), s, GammaStream::Mode::kCfb);
    cfb.Encrypt(k.data(), kKeySize);
  }
  return k;
}

Wrapped WrapKey(const ParamSet& params, const uint8_t* kek, const uint8_t* ukm,
                const uint8_t* cek, bool diversify) {
  Key key;
  if (diversify)
    key = DiversifyKey(params, kek, ukm);
  else
    std::memcpy(key.data(), kek, kKeySize);
  Wrapped w;
  const Iv mac = Imit(params, key.data(), ukm, cek, kKeySize);
  std::memcpy(w.mac, mac.data(), sizeof(w.mac));
  std::memcpy(w.enc, cek, kKeySize);
  EcbEncrypt(params, key.data(), w.enc, kKeySize);
  OPENSSL_cleanse(key.data(), key.size());
  return w;
}

bool UnwrapKey(const ParamSet& params, const uint8_t* kek, const uint8_t* ukm,
               const Wrapped& wrapped, uint8_t* cek, bool diversify) {
  Key key;
  if (diversify)
    key = DiversifyKey(params, kek, ukm);
  else
    std::memcpy(key.data(), kek, kKeySize);
  std::memcpy(cek, wrapped.enc, kKeySize);
  EcbDecrypt(params, key.data(), cek, kKeySize);
  const Iv mac = Imit(params, key.data(), ukm, cek, kKeySize);
  OPENSSL_cleanse(key.data(), key.size());
  if (CRYPTO_memcmp(mac.data(), wrapped.mac, sizeof(wrapped.mac)) != 0) {
    OPENSSL_cleanse(cek, kKeySize);
    return false;
  }
  return true;
}

}  // namespace vexorcsp::gost89
