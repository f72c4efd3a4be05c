#include "platform/provider/gost_hash.h"

#include <algorithm>
#include <cstring>

#include <openssl/crypto.h>

namespace vexorcsp::gost94 {
namespace {

const uint8_t kZeroKey[gost89::kKeySize] = {};

const gost89::ParamSet& HashParams() { return *gost89::FindParamSet("1.2.643.2.2.30.1"); }

// A(Y) for Y = y4|y3|y2|y1 (64-bit words, y1 lowest): (y1 ^ y2)|y4|y3|y2.
void TransformA(const uint8_t* in, uint8_t* out) {
  uint8_t low[8];
  std::memcpy(low, in, 8);
  std::memmove(out, in + 8, 24);
  for (int i = 0; i < 8; ++i) out[24 + i] = low[i] ^ out[i];
}

// P: byte 8i + k of the input becomes byte i + 4k of the key (i < 4, k < 8).
void TransformP(const uint8_t* in, uint8_t* key) {
  for (int i = 0; i < 4; ++i)
    for (int k = 0; k < 8; ++k) key[i + 4 * k] = in[8 * i + k];
}

// psi^n on sixteen 16-bit words (word 0 lowest): each step drops word 0 and appends
// w0 ^ w1 ^ w2 ^ w3 ^ w12 ^ w15, so n steps are one run of the register.
void Psi(uint8_t* state, int n) {
  uint16_t w[16 + 64];
  for (int i = 0; i < 16; ++i) w[i] = uint16_t(state[2 * i] | state[2 * i + 1] << 8);
  for (int k = 0; k < n; ++k) w[16 + k] = w[k] ^ w[k + 1] ^ w[k + 2] ^ w[k + 3] ^ w[k + 12] ^ w[k + 15];
  for (int i = 0; i < 16; ++i) {
    state[2 * i] = uint8_t(w[n + i]);
    state[2 * i + 1] = uint8_t(w[n + i] >> 8);
  }
}

void Xor(uint8_t* out, const uint8_t* a, const uint8_t* b) {
  for (size_t i = 0; i < kSize; ++i) out[i] = a[i] ^ b[i];
}

// The bytes of U complemented for the third key (the constant C3).
constexpr int kC3Bytes[] = {1, 3, 5, 7, 8, 10, 12, 14, 17, 18, 20, 23, 24, 28, 29, 31};

}  // namespace

Hash::Hash() : cipher_(HashParams(), kZeroKey) {}

Hash::~Hash() {
  OPENSSL_cleanse(h_, sizeof h_);
  OPENSSL_cleanse(sum_, sizeof sum_);
  OPENSSL_cleanse(partial_, sizeof partial_);
}

void Hash::Step(const uint8_t* m) {
  uint8_t u[kSize], v[kSize], w[kSize], key[kSize], s[kSize];
  std::memcpy(u, h_, kSize);
  std::memcpy(v, m, kSize);
  for (int j = 0; j < 4; ++j) {
    if (j > 0) {
      TransformA(u, u);
      if (j == 2)
        for (int b : kC3Bytes) u[b] = uint8_t(~u[b]);
      TransformA(v, v);
      TransformA(v, v);
    }
    Xor(w, u, v);
    TransformP(w, key);
    cipher_.SetKey(key);
    cipher_.EncryptBlock(h_ + 8 * j, s + 8 * j);
  }
  Psi(s, 12);
  for (size_t i = 0; i < kSize; ++i) s[i] ^= m[i];
  Psi(s, 1);
  for (size_t i = 0; i < kSize; ++i) s[i] ^= h_[i];
  Psi(s, 61);
  std::memcpy(h_, s, kSize);
  OPENSSL_cleanse(key, sizeof key);
}

void Hash::AddToSum(const uint8_t* block) {
  unsigned carry = 0;
  for (size_t i = 0; i < kSize; ++i) {
    carry += unsigned(sum_[i]) + block[i];
    sum_[i] = uint8_t(carry);
    carry >>= 8;
  }
}

void Hash::Update(const uint8_t* data, size_t len) {
  bytes_ += len;
  if (partial_len_ > 0) {
    const size_t take = std::min(len, kSize - partial_len_);
    std::memcpy(partial_ + partial_len_, data, take);
    partial_len_ += take;
    data += take;
    len -= take;
    if (partial_len_ < kSize) return;
    Step(partial_);
    AddToSum(partial_);
    partial_len_ = 0;
  }
  for (; len >= kSize; data += kSize, len -= kSize) {
    Step(data);
    AddToSum(data);
  }
  std::memcpy(partial_, data, len);
  partial_len_ = len;
}

void Hash::Final(uint8_t out[kSize]) {
  // The empty message still hashes one zero block, as the CryptoPro provider and the GOST
  // engine do (a literal reading of the standard skips it and gives another value).
  if (partial_len_ > 0 || bytes_ == 0) {
    std::memset(partial_ + partial_len_, 0, kSize - partial_len_);
    Step(partial_);
    AddToSum(partial_);
  }
  uint8_t length[kSize] = {};
  const uint64_t bits_low = bytes_ << 3;
  for (int i = 0; i < 8; ++i) length[i] = uint8_t(bits_low >> (8 * i));
  length[8] = uint8_t(bytes_ >> 61);
  Step(length);
  Step(sum_);
  std::memcpy(out, h_, kSize);
}

}  // namespace vexorcsp::gost94
