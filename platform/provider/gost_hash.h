// GOST R 34.11-94 with the CryptoPro parameters (the S-box of 1.2.643.2.2.30.1, a zero
// starting vector): the step function's four keys are all known before its first block
// encryption, so the four encryptions run side by side with their rounds interleaved over
// one expanded S-box; the mixing transform psi^n runs as a 16-word shift register rather
// than n shifts of the whole state. The digest bytes are those of the GOST engine's
// md_gost94.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/provider/gost_cipher.h"

namespace vexorcsp::gost94 {

constexpr size_t kSize = 32;

class Hash {
 public:
  Hash();
  ~Hash();
  Hash(const Hash&) = delete;
  Hash& operator=(const Hash&) = delete;

  void Update(const uint8_t* data, size_t len);
  // The digest; the object is then spent.
  void Final(uint8_t out[kSize]);

 private:
  // What a step derives from the state and the block (its four keys among them): one
  // scratch lives through a whole Update or Final and is cleansed once at its end, not at
  // every 32-byte step.
  struct StepScratch {
    uint32_t keys[4][8];
    uint64_t u[4], v[4];
  };
  void Step(const uint8_t* block, StepScratch& scratch);
  void AddToSum(const uint8_t* block);

  gost89::Cipher cipher_;
  uint64_t h_[4] = {};  // little-endian words, y1 first
  uint64_t sum_[4] = {};
  uint8_t partial_[kSize] = {};
  size_t partial_len_ = 0;
  uint64_t bytes_ = 0;
};

}  // namespace vexorcsp::gost94
