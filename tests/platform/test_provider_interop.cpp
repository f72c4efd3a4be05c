// The provider against the openssl command with the GOST engine: hashes, and session keys
// wrapped by one side and unwrapped by the other (GostR3410-KeyTransport, RFC 4490).
// Signatures in both directions are checked on the compact format's tests.
#include <gtest/gtest.h>

#include <cstring>

#include "der/der.h"
#include "provider_test_util.h"
#include "vexor/platform.h"

namespace provider_test {
namespace {

Bytes Der(uint8_t tag, const Bytes& content) {
  Bytes out;
  der::Put(out, tag, content);
  return out;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

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

class ProviderInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = home_.path() / "work";
    std::filesystem::create_directories(dir_);
    const CommandResult gen =
        Openssl("genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -out " + P("k.pem"));
    if (gen.status != 0) GTEST_SKIP() << "openssl with the GOST engine is not available";
    ASSERT_EQ(Openssl("pkey -engine gost -in " + P("k.pem") + " -pubout -out " + P("pub.pem")).status, 0);
    const Bytes pem = ReadFile(dir_ / "k.pem");
    ASSERT_TRUE(CryptImportPKCS8ToContainerA("peer", pem.data(), DWORD(pem.size()), nullptr, 0));
    ASSERT_TRUE(CryptAcquireContextA(&prov_.h, "peer", nullptr, PROV_GOST_2001_DH, 0));
    ASSERT_TRUE(CryptGetUserKey(prov_.h, AT_KEYEXCHANGE, &key_.h));
    data_.resize(100000 + 17);
    for (size_t i = 0; i < data_.size(); ++i) data_[i] = uint8_t(i * 131 + (i >> 7));
    WriteFile(dir_ / "data", data_);
  }

  std::string P(const char* name) const { return (dir_ / name).string(); }
  static CommandResult Openssl(const std::string& args) {
    return RunCommand("CRYPT_PARAMS=id-Gost28147-89-CryptoPro-A-ParamSet openssl " + args + " 2>/dev/null");
  }

  Bytes HashHere(const Bytes& data, Hash& hash) {
    EXPECT_TRUE(CryptCreateHash(prov_.h, CALG_GR3411, 0, 0, &hash.h));
    EXPECT_TRUE(CryptHashData(hash.h, data.data(), DWORD(data.size()), 0));
    Bytes value(32);
    DWORD len = 32;
    EXPECT_TRUE(CryptGetHashParam(hash.h, HP_HASHVAL, value.data(), &len, 0));
    return value;
  }

  // Encrypts the same bytes with two session keys under one IV.
  void ExpectSameKey(HCRYPTKEY a, const Bytes& cek) {
    Key b;
    const Bytes blob = PlainKeyBlob(cek);
    ASSERT_TRUE(CryptImportKey(prov_.h, blob.data(), DWORD(blob.size()), 0, 0, &b.h));
    const Bytes iv = Unhex("0102030405060708");
    Bytes x = data_, y = data_;
    DWORD len = 4096;
    ASSERT_TRUE(CryptSetKeyParam(a, KP_IV, iv.data(), 0));
    ASSERT_TRUE(CryptSetKeyParam(b.h, KP_IV, iv.data(), 0));
    ASSERT_TRUE(CryptEncrypt(a, 0, TRUE, 0, x.data(), &len, len));
    ASSERT_TRUE(CryptEncrypt(b.h, 0, TRUE, 0, y.data(), &len, len));
    EXPECT_EQ(Hex(x.data(), 4096), Hex(y.data(), 4096));
  }

  ScopedCspHome home_;
  std::filesystem::path dir_;
  Prov prov_;
  Key key_;
  Bytes data_;
};

TEST_F(ProviderInterop, HashEqualsOpensslDgst) {
  Hash hash;
  const Bytes value = HashHere(data_, hash);
  const CommandResult dgst = Openssl("dgst -engine gost -md_gost94 -r " + P("data"));
  ASSERT_EQ(dgst.status, 0);
  EXPECT_EQ(dgst.out.substr(0, 64), Hex(value));
}

// openssl wraps a session key for our container's key; the provider unwraps it.
TEST_F(ProviderInterop, UnwrapsKeyTransportFromOpenssl) {
  const Bytes cek = Unhex("5a5b5c5d5e5f606162636465666768696a6b6c6d6e6f70717273747576777879");
  WriteFile(dir_ / "cek", cek);
  ASSERT_EQ(Openssl("pkeyutl -engine gost -encrypt -pubin -inkey " + P("pub.pem") + " -in " +
                    P("cek") + " -out " + P("kt.der"))
                .status,
            0);
  // GostR3410-KeyTransport ::= SEQUENCE { SEQUENCE { enc, mac }, [0] { paramset,
  //   [0] ephemeral SubjectPublicKeyInfo, ukm } }
  const std::vector<Tlv> top = Children(Children(ReadFile(dir_ / "kt.der"))[0].content);
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
  ASSERT_TRUE(CryptImportKey(prov_.h, pub.data(), DWORD(pub.size()), key_.h, 0, &agree.h))
      << std::hex << GetLastError();
  ASSERT_TRUE(CryptImportKey(prov_.h, simple.data(), DWORD(simple.size()), agree.h, 0, &session.h))
      << std::hex << GetLastError();
  ExpectSameKey(session.h, cek);

  // One flipped bit of the wrapped key or of its MAC fails the MAC check.
  for (size_t at : {size_t(30), size_t(57)}) {
    Bytes bad = simple;
    bad[at] ^= 0x01;
    Key none;
    EXPECT_FALSE(CryptImportKey(prov_.h, bad.data(), DWORD(bad.size()), agree.h, 0, &none.h));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
  }
}

// The provider wraps a session key for a certificate-style public key with an ephemeral
// key; openssl unwraps it with the private key.
TEST_F(ProviderInterop, KeyTransportMadeHereUnwrapsThere) {
  ASSERT_EQ(Openssl("pkey -engine gost -pubin -in " + P("pub.pem") + " -outform DER -out " + P("pub.der")).status, 0);
  const std::vector<Tlv> spki = Children(Children(ReadFile(dir_ / "pub.der"))[0].content);
  const std::vector<Tlv> alg = Children(spki[0].content);
  Bytes params = alg[1].whole;
  Bytes bits(spki[1].content.begin() + 1, spki[1].content.end());  // after the unused-bits octet
  CERT_PUBLIC_KEY_INFO info{};
  char oid[] = "1.2.643.2.2.19";
  info.Algorithm.pszObjId = oid;
  info.Algorithm.Parameters = {DWORD(params.size()), params.data()};
  info.PublicKey = {DWORD(bits.size()), bits.data(), 0};

  Prov prov;
  VerifyContext(prov);
  Key recipient, ephemeral, agree, session;
  ASSERT_TRUE(CryptImportPublicKeyInfo(prov.h, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, &info, &recipient.h));
  const Bytes recipient_blob = ExportBlob(recipient.h, 0, PUBLICKEYBLOB);
  ASSERT_TRUE(CryptGenKey(prov.h, CALG_DH_EL_EPHEM, 0, &ephemeral.h));
  ASSERT_TRUE(CryptImportKey(prov.h, recipient_blob.data(), DWORD(recipient_blob.size()), ephemeral.h, 0, &agree.h));
  const DWORD pro = CALG_PRO_EXPORT;
  ASSERT_TRUE(CryptSetKeyParam(agree.h, KP_ALGID, reinterpret_cast<const BYTE*>(&pro), 0));
  const Bytes cek = Unhex("0f0e0d0c0b0a09080706050403020100f0e0d0c0b0a090807060504030201000");
  const Bytes plain = PlainKeyBlob(cek);
  ASSERT_TRUE(CryptImportKey(prov.h, plain.data(), DWORD(plain.size()), 0, CRYPT_EXPORTABLE, &session.h));
  const Bytes simple = ExportBlob(session.h, agree.h, SIMPLEBLOB);
  const Bytes eph = ExportBlob(ephemeral.h, 0, PUBLICKEYBLOB);
  ASSERT_EQ(simple.size(), 71u);
  ASSERT_EQ(eph.size(), 100u);

  const Bytes eph_params(eph.begin() + 16, eph.end() - 64);
  const Bytes eph_spki = Der(0x30, Cat({Der(0x30, Cat({OidDer("1.2.643.2.2.19"), eph_params})),
                                        Der(0x03, Cat({Bytes{0x00}, Der(0x04, Bytes(eph.end() - 64, eph.end()))}))}));
  const Bytes paramset = Children(Bytes(simple.begin() + 60, simple.end()))[0].content;
  const Bytes kt = Der(0x30, Cat({Der(0x30, Cat({Der(0x04, Bytes(simple.begin() + 24, simple.begin() + 56)),
                                                  Der(0x04, Bytes(simple.begin() + 56, simple.begin() + 60))})),
                                   Der(0xA0, Cat({Children(paramset)[0].whole, Der(0xA0, Children(eph_spki)[0].content),
                                                  Der(0x04, Bytes(simple.begin() + 16, simple.begin() + 24))}))}));
  WriteFile(dir_ / "kt.der", kt);
  ASSERT_EQ(Openssl("pkeyutl -engine gost -decrypt -inkey " + P("k.pem") + " -in " + P("kt.der") +
                    " -out " + P("cek.out"))
                .status,
            0);
  EXPECT_EQ(Hex(ReadFile(dir_ / "cek.out")), Hex(cek));
}

}  // namespace
}  // namespace provider_test
