// The 2012 generation's symmetric pieces and key agreement: the GOST R 34.12-2015 block
// functions and OMAC on the standard's examples, KExp15/KImp15 and KDF_TREE on those of
// R 1323565.1.017 / R 50.1.113-2016, VKO GOST R 34.10-2012 on RFC 7836's, and CTR-ACPKM
// against the openssl command with the GOST engine over many sections.
#include <gtest/gtest.h>

#include <openssl/ec.h>
#include <openssl/x509.h>

#include "platform/provider/gost2015_cipher.h"
#include "platform/provider/gost_vko2012.h"
#include "provider_test_util.h"

namespace provider_test {
namespace {

using vexorcsp::gost2015::Algorithm;
namespace g15 = vexorcsp::gost2015;

const Bytes kKuznyechikKey =
    Unhex("8899aabbccddeeff0011223344556677fedcba98765432100123456789abcdef");
const Bytes kMagmaKey = Unhex("ffeeddccbbaa99887766554433221100f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");

TEST(Gost2015, BlockFunctionsAndOmacGiveTheStandardsExamples) {
  struct Case {
    Algorithm algorithm;
    const Bytes& key;
    std::string plain, cipher, mac_message, mac;
  } cases[] = {
      {Algorithm::kKuznyechik, kKuznyechikKey, "1122334455667700ffeeddccbbaa9988",
       "7f679d90bebc24305a468d42b9d4edcd",
       "1122334455667700ffeeddccbbaa998800112233445566778899aabbcceeff0a"
       "112233445566778899aabbcceeff0a002233445566778899aabbcceeff0a0011",
       "336f4d296059fbe3"},
      {Algorithm::kMagma, kMagmaKey, "fedcba9876543210", "4ee901e5c2d8ca3d",
       "92def06b3c130a59db54c704f8189d204a98fb2e67a8024c8912409b17b57e41", "154e7210"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cipher);
    const Bytes plain = Unhex(c.plain);
    Bytes out(plain.size());
    g15::BlockCipher(c.algorithm, c.key.data()).Encrypt(plain.data(), out.data());
    EXPECT_EQ(Hex(out), c.cipher);
    const Bytes message = Unhex(c.mac_message);
    // The MAC of the whole message equals that of the same bytes given in uneven pieces.
    const Bytes whole = g15::Omac(c.algorithm, c.key.data(), {{message.data(), message.size()}});
    EXPECT_EQ(Hex(whole).substr(0, c.mac.size()), c.mac);
    EXPECT_EQ(g15::Omac(c.algorithm, c.key.data(),
                        {{message.data(), 3}, {message.data() + 3, message.size() - 3}}),
              whole);
  }
}

TEST(Gost2015, KeyExportAndImportFollowTheExamples) {
  const Bytes key = Unhex("8899aabbccddeeff0011223344556677fedcba98765432100123456789abcdef");
  const Bytes enc_key = Unhex("202122232425262728292a2b2c2d2e2f38393a3b3c3d3e3f3031323334353637");
  const Bytes mac_key = Unhex("08090a0b0c0d0e0f0001020304050607101112131415161718191a1b1c1d1e1f");
  const Bytes iv = Unhex("67bed654");
  const Bytes exported = g15::KExp15(Algorithm::kMagma, key.data(), mac_key.data(),
                                     enc_key.data(), iv.data());
  EXPECT_EQ(Hex(exported),
            "cfd5a12d5b81b6e1e99c916d07900c6ac12703fb3abded55567bf3742c899c755dafe7b42e3a8bd9");
  uint8_t back[32];
  ASSERT_TRUE(g15::KImp15(Algorithm::kMagma, exported.data(), exported.size(), mac_key.data(),
                          enc_key.data(), iv.data(), back));
  EXPECT_EQ(Bytes(back, back + 32), key);
  // A changed byte anywhere, a short input or another IV is refused and leaves no key.
  for (size_t i : {size_t(0), size_t(31), size_t(39)}) {
    Bytes bad = exported;
    bad[i] ^= 1;
    EXPECT_FALSE(g15::KImp15(Algorithm::kMagma, bad.data(), bad.size(), mac_key.data(),
                             enc_key.data(), iv.data(), back));
    EXPECT_EQ(Bytes(back, back + 32), Bytes(32, 0));
  }
  EXPECT_FALSE(g15::KImp15(Algorithm::kMagma, exported.data(), 39, mac_key.data(),
                           enc_key.data(), iv.data(), back));
  const Bytes other_iv = Unhex("67bed655");
  EXPECT_FALSE(g15::KImp15(Algorithm::kMagma, exported.data(), exported.size(), mac_key.data(),
                           enc_key.data(), other_iv.data(), back));

  const Bytes tree_key = Unhex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  const Bytes label = Unhex("26bdb878"), seed = Unhex("af21434145656378");
  uint8_t tree[64];
  ASSERT_TRUE(vexorcsp::KdfTree256(tree_key.data(), tree_key.size(), label.data(), label.size(),
                                   seed.data(), seed.size(), tree));
  EXPECT_EQ(Hex(tree, 64),
            "22b6837845c6bef65ea71672b265831086d3c76aebe6dae91cad51d83f79d16b"
            "074c9330599d7f8d712fca54392f4ddde93751206b3584c8f43f9e6dc51531f9");
}

// CTR-ACPKM as `openssl enc -magma-ctr-acpkm / -kuznyechik-ctr-acpkm` computes it (sections
// of 1024 and 4096 bytes there), over enough data for several key changes, fed in pieces that
// straddle blocks and sections.
TEST(Gost2015, CtrAcpkmMatchesTheGostEngine) {
  test_common::TempDir dir;
  Bytes plain(20000);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = uint8_t(i * 7 + (i >> 8));
  WriteFile(dir / "plain", plain);
  struct Case {
    Algorithm algorithm;
    const char* name;
    size_t section;
    const char* iv;
  } cases[] = {{Algorithm::kMagma, "magma-ctr-acpkm", 1024, "12345678"},
               {Algorithm::kKuznyechik, "kuznyechik-ctr-acpkm", 4096, "1234567890abcef0"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CommandResult r = RunCommand(
        std::string("openssl enc -engine gost -") + c.name + " -K " + Hex(kKuznyechikKey) +
        " -iv " + c.iv + " -in " + (dir / "plain") + " -out " + (dir / "cipher") + " 2>/dev/null");
    ASSERT_EQ(r.status, 0);
    Bytes data = plain;
    const Bytes iv = Unhex(c.iv);
    g15::CtrAcpkm ctr(c.algorithm, kKuznyechikKey.data(), iv.data(), c.section);
    size_t at = 0;
    for (size_t piece : {size_t(1), size_t(5), size_t(4095), size_t(1030), size_t(7)}) {
      ctr.Apply(data.data() + at, piece);
      at += piece;
    }
    ctr.Apply(data.data() + at, data.size() - at);
    EXPECT_EQ(data, ReadFile(dir / "cipher"));
  }
}

// A private key on a 2012 curve from its little-endian scalar, as the engine decodes it.
vexorcsp::EvpPkeyPtr Key2012(const char* key_oid, const char* curve_oid, const Bytes& scalar) {
  const Bytes pkcs8 = Sequence(Cat({Der(der::kInteger, Bytes{0}),
                                   Sequence(Cat({OidDer(key_oid), Sequence(OidDer(curve_oid))})),
                                   Der(der::kOctetString, Der(der::kOctetString, scalar))}));
  const unsigned char* p = pkcs8.data();
  PKCS8_PRIV_KEY_INFO* info = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, long(pkcs8.size()));
  EXPECT_NE(info, nullptr);
  EVP_PKEY* key = info ? EVP_PKCS82PKEY(info) : nullptr;
  PKCS8_PRIV_KEY_INFO_free(info);
  return vexorcsp::EvpPkeyPtr(key);
}

TEST(Gost2015, Vko2012GivesTheRfc7836Examples) {
  ASSERT_NE(vexorcsp::GostEngine(), nullptr);
  const char* k512 = "1.2.643.7.1.1.1.2";
  const char* curve = "1.2.643.7.1.2.1.2.1";
  auto a = Key2012(k512, curve,
                   Unhex("c990ecd972fce84ec4db022778f50fcac726f46708384b8d458304962d7147f8"
                         "c2db41cef22c90b102f2968404f9b9be6d47c79692d81826b32b8daca43cb667"));
  auto b = Key2012(k512, curve,
                   Unhex("48c859f7b6f11585887cc05ec6ef1390cfea739b1a18c0d4662293ef63b79e3b"
                         "8014070b44918590b4b996acfea4edfbbbcccc8c06edd8bf5bda92a51392d0db"));
  ASSERT_TRUE(a && b);
  const Bytes ukm = Unhex("1d80603c8544c727");
  struct {
    size_t len;
    std::string kek;
  } outputs[] = {
      {32, "c9a9a77320e2cc559ed72dce6f47e2192ccea95fa648670582c054c0ef36c221"},
      {64, "79f002a96940ce7bde3259a52e015297adaad84597a0d205b50e3e1719f97bfa"
           "7ee1d2661fa9979a5aa235b558a7e6d9f88f982dd63fc35a8ec0dd5e242d3bdf"}};
  for (const auto& o : outputs) {
    uint8_t ab[64], ba[64];
    ASSERT_TRUE(vexorcsp::Vko2012(a.get(), b.get(), ukm.data(), ukm.size(), o.len, ab));
    ASSERT_TRUE(vexorcsp::Vko2012(b.get(), a.get(), ukm.data(), ukm.size(), o.len, ba));
    EXPECT_EQ(Hex(ab, o.len), o.kek);
    EXPECT_EQ(Hex(ba, o.len), o.kek);
  }
  // Keys on different curves, or a peer key that is not a GOST key, agree on nothing.
  auto other = Key2012("1.2.643.7.1.1.1.1", "1.2.643.2.2.35.1", Bytes(32, 0x11));
  vexorcsp::EvpPkeyPtr p256(EVP_EC_gen("P-256"));
  ASSERT_TRUE(other && p256);
  uint8_t out[32];
  EXPECT_FALSE(vexorcsp::Vko2012(a.get(), other.get(), ukm.data(), ukm.size(), 32, out));
  EXPECT_FALSE(vexorcsp::Vko2012(a.get(), p256.get(), ukm.data(), ukm.size(), 32, out));
  EXPECT_FALSE(vexorcsp::Vko2012(p256.get(), a.get(), ukm.data(), ukm.size(), 32, out));
}

}  // namespace
}  // namespace provider_test
