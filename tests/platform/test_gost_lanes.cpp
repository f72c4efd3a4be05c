// The interleaved GOST code held to a serial one, block by block: GOST R 34.11-94 (its four
// encryptions a step run side by side) against a step written straight from the standard,
// and CFB decryption and CNT (several gammas at once, across key meshing) against one
// gamma per block. Random data, lengths and cuts between calls, so batches start at every
// offset from a meshing boundary.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "platform/provider/gost_cipher.h"
#include "platform/provider/gost_hash.h"

namespace {

using namespace vexorcsp;
using Bytes = std::vector<uint8_t>;

Bytes Random(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (uint8_t& x : b) x = uint8_t(rng());
  return b;
}

// Cuts [0, n) into random pieces, mostly short so that calls end inside blocks, sometimes
// long so that batches run.
std::vector<size_t> Cuts(std::mt19937& rng, size_t n) {
  std::vector<size_t> pieces;
  for (size_t done = 0; done < n;) {
    const size_t want = rng() % 4 == 0 ? rng() % 3000 : rng() % 40;
    pieces.push_back(std::min(want + 1, n - done));
    done += pieces.back();
  }
  return pieces;
}

// GOST R 34.11-94, one block encryption after another over the byte-wise transforms.
class SerialGost94 {
 public:
  Bytes Digest(const Bytes& msg) {
    size_t off = 0;
    for (; off + 32 <= msg.size(); off += 32) Block(msg.data() + off);
    if (off < msg.size() || msg.empty()) {
      uint8_t last[32] = {};
      if (msg.size() > off) std::memcpy(last, msg.data() + off, msg.size() - off);
      Block(last);
    }
    uint8_t length[32] = {};
    const uint64_t bits = uint64_t(msg.size()) * 8;
    for (int i = 0; i < 8; ++i) length[i] = uint8_t(bits >> (8 * i));
    Step(length);
    Step(sum_);
    return Bytes(h_, h_ + 32);
  }

 private:
  void Block(const uint8_t* m) {
    Step(m);
    unsigned carry = 0;
    for (int i = 0; i < 32; ++i) {
      carry += unsigned(sum_[i]) + m[i];
      sum_[i] = uint8_t(carry);
      carry >>= 8;
    }
  }
  static void A(uint8_t* y) {
    uint8_t low[8];
    for (int i = 0; i < 8; ++i) low[i] = y[i] ^ y[8 + i];
    std::memmove(y, y + 8, 24);
    std::memcpy(y + 24, low, 8);
  }
  // psi: the new top word is the xor of words 1, 2, 3, 4, 13 and 16 (1 lowest).
  static void Psi(uint8_t* y) {
    uint8_t top[2];
    for (int b = 0; b < 2; ++b)
      top[b] = y[b] ^ y[2 + b] ^ y[4 + b] ^ y[6 + b] ^ y[24 + b] ^ y[30 + b];
    std::memmove(y, y + 2, 30);
    std::memcpy(y + 30, top, 2);
  }
  void Step(const uint8_t* m) {
    static const uint8_t kC3[32] = {0, 0xff, 0, 0xff, 0, 0xff, 0, 0xff, 0xff, 0, 0xff, 0, 0xff, 0, 0xff, 0,
                                    0, 0xff, 0xff, 0, 0xff, 0, 0, 0xff, 0xff, 0, 0, 0, 0xff, 0xff, 0, 0xff};
    uint8_t u[32], v[32], s[32], key[32];
    std::memcpy(u, h_, 32);
    std::memcpy(v, m, 32);
    for (int j = 0; j < 4; ++j) {
      if (j > 0) {
        A(u);
        if (j == 2)
          for (int i = 0; i < 32; ++i) u[i] ^= kC3[i];
        A(v);
        A(v);
      }
      for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 8; ++k) key[i + 4 * k] = u[8 * i + k] ^ v[8 * i + k];
      cipher_.SetKey(key);
      cipher_.EncryptBlock(h_ + 8 * j, s + 8 * j);
    }
    for (int i = 0; i < 12; ++i) Psi(s);
    for (int i = 0; i < 32; ++i) s[i] ^= m[i];
    Psi(s);
    for (int i = 0; i < 32; ++i) s[i] ^= h_[i];
    for (int i = 0; i < 61; ++i) Psi(s);
    std::memcpy(h_, s, 32);
  }

  gost89::Cipher cipher_{*gost89::FindParamSet("1.2.643.2.2.30.1"), std::array<uint8_t, 32>{}.data()};
  uint8_t h_[32] = {};
  uint8_t sum_[32] = {};
};

TEST(GostLanes, HashMatchesSerialSteps) {
  std::mt19937 rng(94);
  for (int round = 0; round < 60; ++round) {
    const size_t n = round < 40 ? size_t(round) : rng() % 5000;
    const Bytes msg = Random(rng, n);
    gost94::Hash hash;
    size_t off = 0;
    for (size_t piece : Cuts(rng, n)) {
      hash.Update(msg.data() + off, piece);
      off += piece;
    }
    Bytes digest(32);
    hash.Final(digest.data());
    EXPECT_EQ(digest, SerialGost94().Digest(msg)) << "length " << n;
  }
}

// Runs of every length through the wide paths (eight-lane vectors, four interleaved lanes,
// the single blocks left over), under a random key and S-box.
TEST(GostLanes, BlocksMatchOneAtATime) {
  std::mt19937 rng(28147);
  for (const char* oid : {gost89::kCryptoProA, "1.2.643.2.2.31.3", "1.2.643.2.2.30.1"}) {
    const Bytes key = Random(rng, 32);
    gost89::Cipher c(*gost89::FindParamSet(oid), key.data());
    for (size_t n = 0; n <= 21; ++n) {
      const Bytes in = Random(rng, 8 * n);
      Bytes wide(in.size()), one(in.size());
      c.EncryptBlocks(in.data(), wide.data(), n);
      for (size_t i = 0; i < n; ++i) c.EncryptBlock(in.data() + 8 * i, one.data() + 8 * i);
      EXPECT_EQ(wide, one) << oid << " " << n << " blocks";
    }
  }
}

// One gamma block at a time: CFB feeds back the ciphertext, CNT steps the counter; every
// 1024 bytes the key meshes and the register is encrypted once under the new key.
Bytes SerialGamma(const gost89::ParamSet& params, const Bytes& key, const Bytes& iv,
                  const Bytes& in, bool cnt, bool decrypt) {
  gost89::Cipher c(params, key.data());
  uint8_t reg[8];
  std::memcpy(reg, iv.data(), 8);
  if (cnt) c.EncryptBlock(reg, reg);
  Bytes out(in.size());
  for (size_t off = 0, block = 0; off < in.size(); off += 8, ++block) {
    if (c.meshing() && block > 0 && block % 128 == 0) {
      c.MeshKey();
      c.EncryptBlock(reg, reg);
    }
    if (cnt) {
      uint32_t n1, n2;
      std::memcpy(&n1, reg, 4);
      std::memcpy(&n2, reg + 4, 4);
      n1 += 0x01010101u;
      n2 += 0x01010104u;  // mod 2^32 - 1: a carry out comes back in at the bottom
      if (n2 < 0x01010104u) ++n2;
      std::memcpy(reg, &n1, 4);
      std::memcpy(reg + 4, &n2, 4);
    }
    uint8_t gamma[8];
    c.EncryptBlock(reg, gamma);
    const size_t m = std::min<size_t>(8, in.size() - off);
    for (size_t i = 0; i < m; ++i) out[off + i] = in[off + i] ^ gamma[i];
    if (!cnt && m == 8) std::memcpy(reg, decrypt ? &in[off] : &out[off], 8);
  }
  return out;
}

Bytes Stream(std::mt19937& rng, const gost89::ParamSet& params, const Bytes& key,
             const Bytes& iv, Bytes data, bool cnt, bool decrypt) {
  gost89::GammaStream s(params, key.data(), iv.data(),
                        cnt ? gost89::GammaStream::Mode::kCnt : gost89::GammaStream::Mode::kCfb);
  size_t off = 0;
  for (size_t piece : Cuts(rng, data.size())) {
    decrypt ? s.Decrypt(data.data() + off, piece) : s.Encrypt(data.data() + off, piece);
    off += piece;
  }
  return data;
}

TEST(GostLanes, GammaModesMatchOneBlockAtATime) {
  std::mt19937 rng(89);
  // With meshing (CryptoPro A and TC26 Z) and without (the test parameters).
  for (const char* oid : {gost89::kCryptoProA, "1.2.643.7.1.2.5.1.1", "1.2.643.2.2.31.0"}) {
    const gost89::ParamSet& params = *gost89::FindParamSet(oid);
    for (int round = 0; round < 24; ++round) {
      const Bytes key = Random(rng, 32), iv = Random(rng, 8);
      // Around one and several meshing boundaries, and short.
      const size_t n = round % 3 == 0 ? 1024 + rng() % 17 - 8 : round % 3 == 1 ? rng() % 6000 : rng() % 70;
      const Bytes plain = Random(rng, n);
      for (bool cnt : {false, true}) {
        SCOPED_TRACE(std::string(oid) + (cnt ? " CNT" : " CFB") + " length " + std::to_string(n));
        const Bytes cipher = SerialGamma(params, key, iv, plain, cnt, false);
        EXPECT_EQ(Stream(rng, params, key, iv, plain, cnt, false), cipher);
        EXPECT_EQ(Stream(rng, params, key, iv, cipher, cnt, true), plain);
        EXPECT_EQ(SerialGamma(params, key, iv, cipher, cnt, true), plain);
      }
    }
  }
}

}  // namespace
