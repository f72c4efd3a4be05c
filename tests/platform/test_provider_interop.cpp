// The provider against the openssl command with the GOST engine: a session key openssl wraps
// (GostR3410-KeyTransport, RFC 4490) unwraps here through a SIMPLEBLOB. The other direction is
// the library's own enveloped-data writer, which openssl opens in the encryption tests; the
// hash is the vector files'.
#include <gtest/gtest.h>

#include <cstring>

#include "common/der_build.h"
#include "provider_test_util.h"
#include "vexor/platform.h"

namespace provider_test {
namespace {


// The elements of a DER content, copied out.
struct Tlv {
  uint8_t tag = 0;
  Bytes content;
  Bytes whole;
};
std::vector<Tlv> Children(const Bytes& content) {
  std::vector<Tlv> out;
  der::Reader r(content.data(), content.size());
  der::Tlv t;
  while (r.Next(t)) out.push_back({t.tag, Bytes(t.value, t.value + t.length), Bytes(t.start, t.start + t.size)});
  return out;
}

// openssl wraps a session key for our container's key; the provider unwraps it.
TEST(ProviderInterop, UnwrapsKeyTransportFromOpenssl) {
  ScopedCspHome home;
  const std::filesystem::path dir = home.path();
  auto P = [&](const char* name) { return (dir / name).string(); };
  auto Openssl = [](const std::string& args) {
    return RunCommand("CRYPT_PARAMS=id-Gost28147-89-CryptoPro-A-ParamSet openssl " + args + " 2>/dev/null");
  };
  ASSERT_EQ(Openssl("genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -out " + P("k.pem")).status, 0);
  ASSERT_EQ(Openssl("pkey -engine gost -in " + P("k.pem") + " -pubout -out " + P("pub.pem")).status, 0);
  const Bytes pem = ReadFile(dir / "k.pem");
  ASSERT_TRUE(CryptImportPKCS8ToContainerA("peer", pem.data(), DWORD(pem.size()), nullptr, 0));
  Prov prov;
  Key own;
  ASSERT_TRUE(CryptAcquireContextA(&prov.h, "peer", nullptr, PROV_GOST_2001_DH, 0));
  ASSERT_TRUE(CryptGetUserKey(prov.h, AT_KEYEXCHANGE, &own.h));

  const Bytes cek = Unhex("5a5b5c5d5e5f606162636465666768696a6b6c6d6e6f70717273747576777879");
  WriteFile(dir / "cek", cek);
  ASSERT_EQ(Openssl("pkeyutl -engine gost -encrypt -pubin -inkey " + P("pub.pem") + " -in " +
                    P("cek") + " -out " + P("kt.der")).status, 0);
  // GostR3410-KeyTransport ::= SEQUENCE { SEQUENCE { enc, mac }, [0] { paramset,
  //   [0] ephemeral SubjectPublicKeyInfo, ukm } }
  const std::vector<Tlv> top = Children(Children(ReadFile(dir / "kt.der"))[0].content);
  ASSERT_EQ(top.size(), 2u);
  const std::vector<Tlv> sek = Children(top[0].content);
  const std::vector<Tlv> tp = Children(top[1].content);
  ASSERT_EQ(sek.size(), 2u);
  ASSERT_EQ(tp.size(), 3u);
  const std::vector<Tlv> spki = Children(tp[1].content);
  const std::vector<Tlv> alg = Children(spki[0].content);
  const Bytes point(spki[1].content.end() - 64, spki[1].content.end());

  Bytes pub = {0x06, 0x20, 0x00, 0x00, 0x25, 0xAA, 0x00, 0x00, 0x4D, 0x41, 0x47, 0x31, 0x00, 0x02, 0x00, 0x00};
  pub = Cat({pub, alg[1].whole, point});
  Bytes simple = Unhex("012000001e660000fd514a371e660000");
  simple = Cat({simple, tp[2].content, sek[0].content, sek[1].content, Der(0x30, tp[0].whole)});
  ASSERT_EQ(simple.size(), 71u);

  Key agree, session;
  ASSERT_TRUE(CryptImportKey(prov.h, pub.data(), DWORD(pub.size()), own.h, 0, &agree.h))
      << std::hex << GetLastError();
  ASSERT_TRUE(CryptImportKey(prov.h, simple.data(), DWORD(simple.size()), agree.h, 0, &session.h))
      << std::hex << GetLastError();
  // The unwrapped key encrypts as the CEK itself does.
  Key plain;
  const Bytes blob = PlainKeyBlob(cek);
  ASSERT_TRUE(CryptImportKey(prov.h, blob.data(), DWORD(blob.size()), 0, 0, &plain.h));
  const Bytes iv = Unhex("0102030405060708");
  Bytes x(4096, 0x5A), y = x;
  for (const auto& [k, data] : {std::pair{session.h, &x}, std::pair{plain.h, &y}}) {
    DWORD len = 4096;
    ASSERT_TRUE(CryptSetKeyParam(k, KP_IV, iv.data(), 0));
    ASSERT_TRUE(CryptEncrypt(k, 0, TRUE, 0, data->data(), &len, len));
  }
  EXPECT_EQ(Hex(x), Hex(y));

  // One flipped bit of the wrapped key or of its MAC fails the MAC check.
  for (size_t at : {size_t(30), size_t(57)}) {
    Bytes bad = simple;
    bad[at] ^= 0x01;
    Key none;
    EXPECT_FALSE(CryptImportKey(prov.h, bad.data(), DWORD(bad.size()), agree.h, 0, &none.h));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
  }
}

}  // namespace
}  // namespace provider_test
