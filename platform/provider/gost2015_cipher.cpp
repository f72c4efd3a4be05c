// Kuznyechik runs as nine table rounds (the S-box and the linear map L folded into one 16 x 256
// table of 128-bit words, built once); Magma reuses the GOST 28147-89 block function.
#include "platform/provider/gost2015_cipher.h"

#include <algorithm>
#include <cstring>

#include <openssl/crypto.h>

namespace vexorcsp::gost2015 {
namespace {

constexpr uint8_t kPi[256] = {
    252, 238, 221, 17,  207, 110, 49,  22,  251, 196, 250, 218, 35,  197, 4,   77,  233, 119, 240,
    219, 147, 46,  153, 186, 23,  54,  241, 187, 20,  205, 95,  193, 249, 24,  101, 90,  226, 92,
    239, 33,  129, 28,  60,  66,  139, 1,   142, 79,  5,   132, 2,   174, 227, 106, 143, 160, 6,
    11,  237, 152, 127, 212, 211, 31,  235, 52,  44,  81,  234, 200, 72,  171, 242, 42,  104, 162,
    253, 58,  206, 204, 181, 112, 14,  86,  8,   12,  118, 18,  191, 114, 19,  71,  156, 183, 93,
    135, 21,  161, 150, 41,  16,  123, 154, 199, 243, 145, 120, 111, 157, 158, 178, 177, 50,  117,
    25,  61,  255, 53,  138, 126, 109, 84,  198, 128, 195, 189, 13,  87,  223, 245, 36,  169, 62,
    168, 67,  201, 215, 121, 214, 246, 124, 34,  185, 3,   224, 15,  236, 222, 122, 148, 176, 188,
    220, 232, 40,  80,  78,  51,  10,  74,  167, 151, 96,  115, 30,  0,   98,  68,  26,  184, 56,
    130, 100, 159, 38,  65,  173, 69,  70,  146, 39,  94,  85,  47,  140, 163, 165, 125, 105, 213,
    149, 59,  7,   88,  179, 64,  134, 172, 29,  247, 48,  55,  107, 228, 136, 217, 231, 137, 225,
    27,  131, 73,  76,  63,  248, 254, 141, 83,  170, 144, 202, 216, 133, 97,  32,  113, 103, 164,
    45,  43,  9,   91,  203, 155, 37,  208, 190, 229, 108, 82,  89,  166, 116, 210, 230, 244, 180,
    192, 209, 102, 175, 194, 57,  75,  99,  182};

// The coefficients of the linear feedback, first byte of the block first.
constexpr uint8_t kLinear[16] = {148, 32, 133, 16, 194, 192, 1, 251, 1, 192, 194, 16, 133, 32, 148, 1};

uint8_t GfMul(uint8_t a, uint8_t b) {  // in GF(2^8) modulo x^8 + x^7 + x^6 + x + 1
  uint8_t r = 0;
  while (b != 0) {
    if (b & 1) r ^= a;
    a = uint8_t((a << 1) ^ ((a & 0x80) ? 0xC3 : 0));
    b >>= 1;
  }
  return r;
}

// L: sixteen steps of R, each shifting the block one byte towards the end and putting the
// linear combination of all bytes in front.
void Linear(uint8_t* x) {
  for (int step = 0; step < 16; ++step) {
    uint8_t l = 0;
    for (int i = 0; i < 16; ++i) l ^= GfMul(x[i], kLinear[i]);
    std::memmove(x + 1, x, 15);
    x[0] = l;
  }
}

struct Tables {
  uint64_t ls[16][256][2];  // L of the block holding Pi(b) at position i
  Tables() {
    for (int i = 0; i < 16; ++i)
      for (int b = 0; b < 256; ++b) {
        uint8_t x[16] = {};
        x[i] = kPi[b];
        Linear(x);
        std::memcpy(ls[i][b], x, 16);
      }
  }
};
const Tables& KuznyechikTables() {
  static const Tables t;
  return t;
}

// Pi then L of x ^ k, through the tables.
void RoundLs(const Tables& t, const uint8_t* x, const uint8_t* k, uint8_t* out) {
  uint64_t a = 0, b = 0;
  for (int i = 0; i < 16; ++i) {
    const uint64_t* e = t.ls[i][uint8_t(x[i] ^ k[i])];
    a ^= e[0];
    b ^= e[1];
  }
  std::memcpy(out, &a, 8);
  std::memcpy(out + 8, &b, 8);
}

// Magma reads key words and blocks big-endian; the GOST 28147-89 function reads them
// little-endian.
void MagmaKeyOrder(const uint8_t* key, uint8_t* out) {
  for (size_t w = 0; w < kKeySize; w += 4)
    for (size_t j = 0; j < 4; ++j) out[w + j] = key[w + 3 - j];
}

const gost89::ParamSet& ParamZ() {
  static const gost89::ParamSet* z = gost89::FindParamSet("1.2.643.7.1.2.5.1.1");
  return *z;
}

constexpr uint8_t kZeroKey[kKeySize] = {};

void Increment(uint8_t* counter, size_t n) {
  for (size_t i = n; i-- > 0;)
    if (++counter[i] != 0) break;
}

}  // namespace

BlockCipher::BlockCipher(Algorithm algorithm, const uint8_t* key)
    : algorithm_(algorithm), magma_(ParamZ(), kZeroKey) {
  SetKey(key);
}

BlockCipher::~BlockCipher() { OPENSSL_cleanse(round_keys_, sizeof(round_keys_)); }

void BlockCipher::SetKey(const uint8_t* key) {
  if (algorithm_ == Algorithm::kMagma) {
    uint8_t k[kKeySize];
    MagmaKeyOrder(key, k);
    magma_.SetKey(k);
    OPENSSL_cleanse(k, sizeof(k));
    return;
  }
  // Feistel steps over the two key halves with the constants C_i = L(i).
  const Tables& t = KuznyechikTables();
  uint8_t a1[16], a0[16], c[16], f[16];
  std::memcpy(a1, key, 16);
  std::memcpy(a0, key + 16, 16);
  std::memcpy(round_keys_[0], a1, 16);
  std::memcpy(round_keys_[1], a0, 16);
  for (int i = 0; i < 32; ++i) {
    std::memset(c, 0, 16);
    c[15] = uint8_t(i + 1);
    Linear(c);
    RoundLs(t, a1, c, f);
    for (int j = 0; j < 16; ++j) f[j] ^= a0[j];
    std::memcpy(a0, a1, 16);
    std::memcpy(a1, f, 16);
    if (i % 8 == 7) {
      std::memcpy(round_keys_[2 + 2 * (i / 8)], a1, 16);
      std::memcpy(round_keys_[3 + 2 * (i / 8)], a0, 16);
    }
  }
  OPENSSL_cleanse(a1, 16);
  OPENSSL_cleanse(a0, 16);
  OPENSSL_cleanse(f, 16);
}

void BlockCipher::Encrypt(const uint8_t* in, uint8_t* out) const {
  if (algorithm_ == Algorithm::kMagma) {
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = in[7 - i];
    magma_.EncryptBlock(b, b);
    for (int i = 0; i < 8; ++i) out[i] = b[7 - i];
    return;
  }
  const Tables& t = KuznyechikTables();
  uint8_t x[16];
  std::memcpy(x, in, 16);
  for (int r = 0; r < 9; ++r) RoundLs(t, x, round_keys_[r], x);
  for (int i = 0; i < 16; ++i) out[i] = x[i] ^ round_keys_[9][i];
}

CtrAcpkm::CtrAcpkm(Algorithm algorithm, const uint8_t* key, const uint8_t* iv,
                   size_t section_bytes)
    : cipher_(algorithm, key), section_(section_bytes), used_(BlockSize(algorithm)) {
  std::memcpy(key_, key, kKeySize);
  std::memcpy(counter_, iv, cipher_.block() / 2);
}

CtrAcpkm::~CtrAcpkm() {
  OPENSSL_cleanse(key_, sizeof(key_));
  OPENSSL_cleanse(gamma_, sizeof(gamma_));
}

void CtrAcpkm::NextGamma() {
  const size_t n = cipher_.block();
  if (section_ != 0 && in_section_ == section_) {
    // ACPKM: the next key is the encryption of the constant 0x80, 0x81, ..., 0x9F.
    uint8_t d[kKeySize], next[kKeySize];
    for (size_t i = 0; i < kKeySize; ++i) d[i] = uint8_t(0x80 + i);
    for (size_t i = 0; i < kKeySize; i += n) cipher_.Encrypt(d + i, next + i);
    std::memcpy(key_, next, kKeySize);
    cipher_.SetKey(key_);
    OPENSSL_cleanse(next, sizeof(next));
    in_section_ = 0;
  }
  cipher_.Encrypt(counter_, gamma_);
  Increment(counter_, n);
  in_section_ += n;
  used_ = 0;
}

void CtrAcpkm::Apply(uint8_t* data, size_t len) {
  const size_t n = cipher_.block();
  while (len > 0) {
    if (used_ == n) NextGamma();
    const size_t take = std::min(len, n - used_);
    for (size_t i = 0; i < take; ++i) data[i] ^= gamma_[used_ + i];
    used_ += take;
    data += take;
    len -= take;
  }
}

std::vector<uint8_t> Omac(Algorithm algorithm, const uint8_t* key,
                          std::initializer_list<std::pair<const uint8_t*, size_t>> pieces) {
  const BlockCipher cipher(algorithm, key);
  const size_t n = cipher.block();
  const uint8_t rb = n == 16 ? 0x87 : 0x1B;
  auto shift = [&](const uint8_t* in, uint8_t* out) {  // multiply by x in GF(2^n)
    const bool carry = in[0] & 0x80;
    for (size_t i = 0; i < n; ++i) out[i] = uint8_t(in[i] << 1 | (i + 1 < n ? in[i + 1] >> 7 : 0));
    if (carry) out[n - 1] ^= rb;
  };
  uint8_t zero[kMaxBlock] = {}, r[kMaxBlock], k1[kMaxBlock], k2[kMaxBlock];
  cipher.Encrypt(zero, r);
  shift(r, k1);
  shift(k1, k2);

  size_t total = 0;
  for (const auto& p : pieces) total += p.second;
  uint8_t state[kMaxBlock] = {}, block[kMaxBlock];
  size_t filled = 0;
  for (const auto& [data, len] : pieces) {
    for (size_t i = 0; i < len; ++i) {
      if (filled == n) {  // a block that is not the last
        for (size_t j = 0; j < n; ++j) state[j] ^= block[j];
        cipher.Encrypt(state, state);
        filled = 0;
      }
      block[filled++] = data[i];
    }
  }
  const uint8_t* k = k1;
  if (filled < n || total == 0) {
    block[filled++] = 0x80;
    while (filled < n) block[filled++] = 0;
    k = k2;
  }
  for (size_t j = 0; j < n; ++j) state[j] ^= block[j] ^ k[j];
  cipher.Encrypt(state, state);
  OPENSSL_cleanse(k1, sizeof(k1));
  OPENSSL_cleanse(k2, sizeof(k2));
  OPENSSL_cleanse(r, sizeof(r));
  return std::vector<uint8_t>(state, state + n);
}

std::vector<uint8_t> KExp15(Algorithm algorithm, const uint8_t* key, const uint8_t* mac_key,
                            const uint8_t* enc_key, const uint8_t* iv) {
  const size_t n = BlockSize(algorithm);
  std::vector<uint8_t> out(key, key + kKeySize);
  const std::vector<uint8_t> mac = Omac(algorithm, mac_key, {{iv, n / 2}, {key, kKeySize}});
  out.insert(out.end(), mac.begin(), mac.end());
  CtrAcpkm(algorithm, enc_key, iv, 0).Apply(out.data(), out.size());
  return out;
}

bool KImp15(Algorithm algorithm, const uint8_t* exported, size_t len, const uint8_t* mac_key,
            const uint8_t* enc_key, const uint8_t* iv, uint8_t key[kKeySize]) {
  const size_t n = BlockSize(algorithm);
  if (len != kKeySize + n) {
    OPENSSL_cleanse(key, kKeySize);
    return false;
  }
  uint8_t plain[kKeySize + kMaxBlock];
  std::memcpy(plain, exported, len);
  CtrAcpkm(algorithm, enc_key, iv, 0).Apply(plain, len);
  const std::vector<uint8_t> mac = Omac(algorithm, mac_key, {{iv, n / 2}, {plain, kKeySize}});
  const bool ok = CRYPTO_memcmp(mac.data(), plain + kKeySize, n) == 0;
  if (ok) std::memcpy(key, plain, kKeySize);
  else OPENSSL_cleanse(key, kKeySize);
  OPENSSL_cleanse(plain, sizeof(plain));
  return ok;
}

}  // namespace vexorcsp::gost2015
