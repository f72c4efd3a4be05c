// GOST R 34.11-2012 (Streebog), 256 and 512 bits. The round function runs on eight 64-bit
// little-endian words through one table per byte position that folds the S-box, the byte
// transposition and the linear map together (8 x 256 words, built at compile time), so a
// round is 64 table loads and XORs. There are two compression codes, picked once by the
// CPU: one for BMI1 (bextr) and one for any x86-64 CPU. The digest bytes are those of the
// GOST engine's md_gost12_256 / md_gost12_512 (RFC 6986 prints the same values
// byte-reversed).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexorcsp::streebog {

constexpr size_t kBlock = 64;

class Hash {
 public:
  // Which compression code runs: kFastest is the best one for this CPU; kBaseline runs on
  // any x86-64 CPU (the tests run both).
  enum class Code { kFastest, kBaseline };

  // digest_size is 32 or 64.
  explicit Hash(size_t digest_size, Code code = Code::kFastest);
  ~Hash();
  Hash(const Hash&) = delete;
  Hash& operator=(const Hash&) = delete;

  size_t size() const { return size_; }
  void Update(const uint8_t* data, size_t len);
  // The digest (size() bytes); the object is then spent.
  void Final(uint8_t* out);

 private:
  void Compress(const uint64_t* m);

  void (*compress_)(uint64_t* h, const uint64_t* n, const uint64_t* m);
  uint64_t h_[8];
  uint64_t n_[8] = {};
  uint64_t sigma_[8] = {};
  uint8_t partial_[kBlock] = {};
  size_t partial_len_ = 0;
  size_t size_;
};

// HMAC (RFC 2104) over GOST R 34.11-2012 with a digest of digest_size (32 or 64) bytes, as
// R 50.1.113-2016 defines HMAC_GOSTR3411_2012_256 and _512; out gets digest_size bytes.
void Hmac(size_t digest_size, const uint8_t* key, size_t key_len, const uint8_t* data, size_t len,
          uint8_t* out);

}  // namespace vexorcsp::streebog
