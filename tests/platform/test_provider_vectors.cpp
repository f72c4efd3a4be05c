// Known answers for GOST 28147-89 (ECB, CFB with CryptoPro meshing, IMIT), GOST R 34.11-94
// and GOST R 34.11-2012 from the vector files, all through the provider's public functions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "platform/provider/streebog.h"
#include "provider_test_util.h"
#include "vexor/platform.h"

namespace provider_test {
namespace {

// Zero-filled inputs longer than this run only with VEXOR_SLOW_TESTS set (several GiB).
constexpr uint64_t kQuickLimit = 64ull << 20;

// Hands `total` zero bytes to fn in pieces of 1 MiB (the last one flagged); false, feeding
// nothing, for a quick run of a record above the limit.
template <typename Fn>
bool FeedZeros(uint64_t total, Fn fn) {
  if (total > kQuickLimit && std::getenv("VEXOR_SLOW_TESTS") == nullptr) return false;
  Bytes chunk(1 << 20);
  for (uint64_t done = 0; done < total;) {
    const DWORD n = DWORD(std::min<uint64_t>(chunk.size(), total - done));
    std::fill(chunk.begin(), chunk.begin() + n, 0);
    done += n;
    fn(chunk.data(), n, done == total);
  }
  return true;
}

class ProviderVectors : public ::testing::Test {
 protected:
  void SetUp() override { VerifyContext(prov_); }

  // A session key with the record's key bytes, S-box, mode and IV.
  void SessionKey(Record& r, DWORD mode, Key& key) {
    const Bytes blob = PlainKeyBlob(r.GetHex("Key"));
    ASSERT_TRUE(CryptImportKey(prov_.h, blob.data(), DWORD(blob.size()), 0, 0, &key.h));
    const std::string oid = r.GetOid("ParamSet");
    ASSERT_TRUE(CryptSetKeyParam(key.h, KP_CIPHEROID, reinterpret_cast<const BYTE*>(oid.c_str()), 0))
        << oid;
    ASSERT_TRUE(CryptSetKeyParam(key.h, KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0));
    if (r.Has("IV")) {
      const Bytes iv = r.GetHex("IV");
      ASSERT_TRUE(CryptSetKeyParam(key.h, KP_IV, iv.data(), 0));
    }
  }

  // The record's message: Msg, or MsgPattern times MsgRepeat [cut to MsgTruncate] [+ MsgSuffix].
  static Bytes Message(Record& r) {
    Bytes msg;
    if (r.Has("Msg")) return r.GetHex("Msg");
    const Bytes pattern = r.GetHex("MsgPattern");
    const long repeat = std::stol(r.Get("MsgRepeat"));
    for (long i = 0; i < repeat; ++i) msg.insert(msg.end(), pattern.begin(), pattern.end());
    if (r.Has("MsgTruncate")) msg.resize(std::stoul(r.Get("MsgTruncate")));
    if (r.Has("MsgSuffix")) {
      const Bytes suffix = r.GetHex("MsgSuffix");
      msg.insert(msg.end(), suffix.begin(), suffix.end());
    }
    return msg;
  }

  // Hashes msg in growing uneven pieces and checks the value, its size and that the value
  // is fixed once read.
  void ExpectDigest(ALG_ID alg, const Bytes& msg, const std::string& expected) {
    Hash hash;
    ASSERT_TRUE(CryptCreateHash(prov_.h, alg, 0, 0, &hash.h));
    for (size_t off = 0, step = 1; off < msg.size(); off += step, step = step * 3 + 1) {
      step = std::min(step, msg.size() - off);
      ASSERT_TRUE(CryptHashData(hash.h, msg.data() + off, DWORD(step), 0));
    }
    DWORD size = 0, size_len = sizeof(size);
    ASSERT_TRUE(CryptGetHashParam(hash.h, HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &size_len, 0));
    EXPECT_EQ(size * 2, expected.size()) << std::hex << alg;
    BYTE value[64];
    DWORD len = sizeof(value);
    ASSERT_TRUE(CryptGetHashParam(hash.h, HP_HASHVAL, value, &len, 0));
    EXPECT_EQ(Hex(value, len), expected) << std::hex << alg;
    EXPECT_FALSE(CryptHashData(hash.h, value, 1, 0));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_HASH_STATE));
  }

  Prov prov_;
  ScopedCspHome home_;
};

TEST_F(ProviderVectors, EcbKnownAnswers) {
  ForEachRecord("gost28147-ecb.txt", [&](Record& r) {
    r.Ignore({"KeyDerivation"});
    Key key;
    SessionKey(r, CRYPT_MODE_ECB, key);
    Bytes data = r.GetHex("Plaintext");
    const Bytes expected = r.GetHex("Ciphertext");
    DWORD len = DWORD(data.size());
    ASSERT_TRUE(CryptEncrypt(key.h, 0, TRUE, 0, data.data(), &len, len));
    EXPECT_EQ(Hex(data), Hex(expected));
    ASSERT_TRUE(CryptDecrypt(key.h, 0, TRUE, 0, data.data(), &len));
    EXPECT_EQ(Hex(data), r.Get("Plaintext"));
  });
}

// CFB and CNT: the record's data in uneven pieces across many calls, then decrypted back.
class GammaVectors : public ProviderVectors,
                     public ::testing::WithParamInterface<std::pair<const char*, DWORD>> {};

TEST_P(GammaVectors, KnownAnswersAcrossCalls) {
  ForEachRecord(GetParam().first, [&](Record& r) {
    r.Ignore({"KeyDerivation", "PlaintextAscii"});
    Key key;
    SessionKey(r, GetParam().second, key);
    if (r.Has("PlaintextZeroBytes")) {
      const Bytes last16 = r.GetHex("CiphertextLast16");
      Bytes tail;
      if (FeedZeros(std::stoull(r.Get("PlaintextZeroBytes")), [&](BYTE* p, DWORD n, bool last) {
            DWORD len = n;
            ASSERT_TRUE(CryptEncrypt(key.h, 0, last, 0, p, &len, n));
            tail.insert(tail.end(), p, p + n);
            if (tail.size() > 16) tail.erase(tail.begin(), tail.end() - 16);
          })) {
        EXPECT_EQ(Hex(tail), Hex(last16));
      }
      return;
    }
    const Bytes plain = r.GetHex("Plaintext");
    const Bytes expected = r.GetHex("Ciphertext");
    Bytes data = plain;
    static const size_t kPieces[] = {1, 7, 3, 8, 13, 2, 1021, 5, 64};
    size_t off = 0;
    for (size_t i = 0; off < data.size(); ++i) {
      DWORD len = DWORD(std::min(kPieces[i % 9], data.size() - off));
      const bool last = off + len == data.size();
      ASSERT_TRUE(CryptEncrypt(key.h, 0, last, 0, data.data() + off, &len, len));
      off += len;
    }
    EXPECT_EQ(Hex(data), Hex(expected));
    DWORD len = DWORD(data.size());
    ASSERT_TRUE(CryptDecrypt(key.h, 0, TRUE, 0, data.data(), &len));
    EXPECT_EQ(Hex(data), Hex(plain));
  });
}

INSTANTIATE_TEST_SUITE_P(Modes, GammaVectors,
                         ::testing::Values(std::make_pair("gost28147-cfb.txt", DWORD(CRYPT_MODE_CFB)),
                                           std::make_pair("gost28147-cnt.txt", DWORD(CRYPT_MODE_OFB))));

TEST_F(ProviderVectors, ImitKnownAnswers) {
  ForEachRecord("gost28147-imit.txt", [&](Record& r) {
    r.Ignore({"KeyDerivation", "KeyAscii"});
    Key key;
    SessionKey(r, CRYPT_MODE_CFB, key);
    Hash mac;
    ASSERT_TRUE(CryptCreateHash(prov_.h, CALG_G28147_IMIT, key.h, 0, &mac.h));
    if (r.Has("PlaintextZeroBytes")) {
      if (!FeedZeros(std::stoull(r.Get("PlaintextZeroBytes")),
                     [&](BYTE* p, DWORD n, bool) { ASSERT_TRUE(CryptHashData(mac.h, p, n, 0)); })) {
        r.NotApplicable();
        return;
      }
    } else if (r.Has("PlaintextPattern")) {
      const Bytes pattern = r.GetHex("PlaintextPattern");
      const int repeat = std::stoi(r.Get("PlaintextRepeat"));
      for (int i = 0; i < repeat; ++i)
        ASSERT_TRUE(CryptHashData(mac.h, pattern.data(), DWORD(pattern.size()), 0));
    } else if (r.Has("Plaintext")) {
      const Bytes data = r.GetHex("Plaintext");
      // In two pieces, so the MAC carries a partial block between calls.
      const size_t half = data.size() / 2 + 3 <= data.size() ? data.size() / 2 + 3 : data.size();
      ASSERT_TRUE(CryptHashData(mac.h, data.data(), DWORD(half), 0));
      ASSERT_TRUE(CryptHashData(mac.h, data.data() + half, DWORD(data.size() - half), 0));
    }
    BYTE value[4];
    DWORD len = sizeof(value);
    ASSERT_TRUE(CryptGetHashParam(mac.h, HP_HASHVAL, value, &len, 0));
    EXPECT_EQ(Hex(value, len), r.Get("MAC"));
    if (r.Has("MAC8")) {
      EXPECT_EQ(Hex(value, len), r.Get("MAC8").substr(0, 8));
    }
  });
}

TEST_F(ProviderVectors, Gost94KnownAnswers) {
  ForEachRecord("gost3411-94.txt", [&](Record& r) {
    r.Ignore({"MsgAscii"});
    // The engine has only the CryptoPro parameters; for the empty message the provider
    // keeps the engine's answer (record gost94-cp-empty-engine), so the literal reading
    // is not ours.
    if (r.GetOid("ParamSet") != "1.2.643.2.2.30.1" || r.id() == "gost94-cp-empty-literal") {
      r.NotApplicable();
      return;
    }
    ExpectDigest(CALG_GR3411, Message(r), r.Get("Digest"));
  });
}

// GOST R 34.11-2012, both sizes, against the RFC 6986 examples and the engine's answers:
// through the provider (the compression code picked for this CPU), and through the baseline
// code that CPUs without BMI1 run, fed in uneven pieces so that blocks are both gathered
// from pieces and taken in place.
TEST_F(ProviderVectors, Gost3411_2012KnownAnswers) {
  using vexorcsp::streebog::Hash;
  const auto baseline = [](size_t size, const Bytes& msg) {
    Hash h(size, Hash::Code::kBaseline);
    for (size_t off = 0, step = 1; off < msg.size(); off += step, step = step * 5 + 3) {
      step = std::min(step, msg.size() - off);
      h.Update(msg.data() + off, step);
    }
    uint8_t out[64];
    h.Final(out);
    return Hex(out, size);
  };
  ForEachRecord("gost3411-2012.txt", [&](Record& r) {
    const Bytes msg = Message(r);
    ExpectDigest(CALG_GR3411_2012_256, msg, r.Get("Digest256"));
    ExpectDigest(CALG_GR3411_2012_512, msg, r.Get("Digest512"));
    EXPECT_EQ(baseline(32, msg), r.Get("Digest256"));
    EXPECT_EQ(baseline(64, msg), r.Get("Digest512"));
  });
}

}  // namespace
}  // namespace provider_test
