#include "platform/provider/gost_hash.h"

#include <algorithm>
#include <cstring>

#include <openssl/crypto.h>

namespace vexorcsp::gost94 {
namespace {

const uint8_t kZeroKey[gost89::kKeySize] = {};

const gost89::ParamSet& HashParams() { return *gost89::FindParamSet("1.2.643.2.2.30.1"); }

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the state is kept as little-endian words");

// A(Y) for Y = y4|y3|y2|y1 (y1 = y[0]): (y1 ^ y2)|y4|y3|y2.
inline void TransformA(uint64_t* y) {
  const uint64_t low = y[0] ^ y[1];
  y[0] = y[1];
  y[1] = y[2];
  y[2] = y[3];
  y[3] = low;
}

// P: byte 8i + k of W becomes byte i + 4k of the key, so key word k gathers byte k of
// each of W's four words.
inline void TransformP(const uint64_t* w, uint32_t* key) {
  for (int k = 0; k < 8; ++k) {
    key[k] = uint32_t((w[0] >> (8 * k)) & 0xff) | uint32_t((w[1] >> (8 * k)) & 0xff) << 8 |
             uint32_t((w[2] >> (8 * k)) & 0xff) << 16 | uint32_t((w[3] >> (8 * k)) & 0xff) << 24;
  }
}

// The constant C3 added to U for the third key: bytes 1, 3, 5, 7, 8, 10, 12, 14, 17, 18,
// 20, 23, 24, 28, 29 and 31 complemented.
constexpr uint64_t kC3[4] = {0xff00ff00ff00ff00u, 0x00ff00ff00ff00ffu, 0xff0000ff00ffff00u,
                             0xff00ffff000000ffu};

// psi on sixteen 16-bit words (word 0 lowest) drops word 0 and appends
// w0 ^ w1 ^ w2 ^ w3 ^ w12 ^ w15, so psi^n is n more words of one register.
inline void Psi(uint16_t* w, int n) {
  for (int k = 0; k < n; ++k) w[16 + k] = w[k] ^ w[k + 1] ^ w[k + 2] ^ w[k + 3] ^ w[k + 12] ^ w[k + 15];
}

}  // namespace

Hash::Hash() : cipher_(HashParams(), kZeroKey) {}

Hash::~Hash() {
  OPENSSL_cleanse(h_, sizeof h_);
  OPENSSL_cleanse(sum_, sizeof sum_);
  OPENSSL_cleanse(partial_, sizeof partial_);
}

void Hash::Step(const uint8_t* m, StepScratch& scratch) {
  uint64_t* u = scratch.u;
  uint64_t* v = scratch.v;
  uint64_t w[4];
  std::memcpy(u, h_, kSize);
  std::memcpy(v, m, kSize);
  uint32_t (&keys)[4][8] = scratch.keys;
  for (int j = 0; j < 4; ++j) {
    if (j > 0) {
      TransformA(u);
      if (j == 2)
        for (int i = 0; i < 4; ++i) u[i] ^= kC3[i];
      TransformA(v);
      TransformA(v);
    }
    for (int i = 0; i < 4; ++i) w[i] = u[i] ^ v[i];
    TransformP(w, keys[j]);
  }
  // S = E(h1) ... E(h4), block j under key j.
  uint8_t h[kSize];
  std::memcpy(h, h_, kSize);
  uint16_t r[16 + 74];
  cipher_.EncryptBlocks4(keys, h, reinterpret_cast<uint8_t*>(r));
  // h' = psi^61(h ^ psi(m ^ psi^12(S))), all as one run of the register.
  uint16_t words[16];
  Psi(r, 12);
  std::memcpy(words, m, kSize);
  for (int i = 0; i < 16; ++i) r[12 + i] ^= words[i];
  Psi(r + 12, 1);
  std::memcpy(words, h_, kSize);
  for (int i = 0; i < 16; ++i) r[13 + i] ^= words[i];
  Psi(r + 13, 61);
  std::memcpy(h_, r + 74, kSize);
}

void Hash::AddToSum(const uint8_t* block) {
  uint64_t carry = 0;
  for (int i = 0; i < 4; ++i) {
    uint64_t x;
    std::memcpy(&x, block + 8 * i, 8);
    const uint64_t t = sum_[i] + x;
    const uint64_t s = t + carry;
    carry = uint64_t(t < x) | uint64_t(s < t);
    sum_[i] = s;
  }
}

void Hash::Update(const uint8_t* data, size_t len) {
  StepScratch scratch;
  bytes_ += len;
  if (partial_len_ > 0) {
    const size_t take = std::min(len, kSize - partial_len_);
    std::memcpy(partial_ + partial_len_, data, take);
    partial_len_ += take;
    data += take;
    len -= take;
    if (partial_len_ < kSize) return;
    Step(partial_, scratch);
    AddToSum(partial_);
    partial_len_ = 0;
  }
  for (; len >= kSize; data += kSize, len -= kSize) {
    Step(data, scratch);
    AddToSum(data);
  }
  std::memcpy(partial_, data, len);
  partial_len_ = len;
  OPENSSL_cleanse(&scratch, sizeof scratch);
}

void Hash::Final(uint8_t out[kSize]) {
  StepScratch scratch;
  // The empty message still hashes one zero block, as the CryptoPro provider and the GOST
  // engine do (a literal reading of the standard skips it and gives another value).
  if (partial_len_ > 0 || bytes_ == 0) {
    std::memset(partial_ + partial_len_, 0, kSize - partial_len_);
    Step(partial_, scratch);
    AddToSum(partial_);
  }
  uint8_t length[kSize] = {};
  const uint64_t bits_low = bytes_ << 3;
  for (int i = 0; i < 8; ++i) length[i] = uint8_t(bits_low >> (8 * i));
  length[8] = uint8_t(bytes_ >> 61);
  Step(length, scratch);
  uint8_t sum[kSize];
  std::memcpy(sum, sum_, kSize);
  Step(sum, scratch);
  std::memcpy(out, h_, kSize);
  OPENSSL_cleanse(&scratch, sizeof scratch);
}

}  // namespace vexorcsp::gost94
