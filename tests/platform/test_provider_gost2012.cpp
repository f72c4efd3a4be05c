// GOST R 34.10-2012 keys of both sizes on every parameter set in use, against the openssl
// command with the GOST engine: its PKCS#8 keys go into containers of the 2012 provider
// types, the public key the provider exports is the one openssl prints, our signatures
// verify there and openssl's here (over certificates openssl makes), and a changed byte, a
// hash of the wrong generation or a signature of the wrong size is refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "provider_test_util.h"
#include "vexor/platform.h"

namespace provider_test {
namespace {

struct Case {
  const char* algorithm;  // openssl genpkey -algorithm
  const char* paramset;   // its paramset option
  DWORD prov_type;
  ALG_ID hash_alg;
  const char* md;  // openssl's digest name
  size_t point;    // public key bytes
};

class Gost2012Keys : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_);
    const Case& c = GetParam();
    ASSERT_EQ(Openssl(std::string("genpkey -engine gost -algorithm ") + c.algorithm + " -pkeyopt paramset:" +
                      c.paramset + " -out " + P("k.pem")).status, 0);
    ASSERT_EQ(Openssl("req -engine gost -x509 -new -key " + P("k.pem") + " -subj /CN=k -days 2 -outform DER -out " +
                      P("c.der")).status, 0);
    data_.resize(70000 + 3);
    for (size_t i = 0; i < data_.size(); ++i) data_[i] = uint8_t(i * 7 + (i >> 9));
    WriteFile(dir_ / "data", data_);
    const Bytes pem = ReadFile(dir_ / "k.pem");
    ASSERT_TRUE(CryptImportPKCS8ToContainerA("k", pem.data(), DWORD(pem.size()), nullptr, 0))
        << std::hex << GetLastError();
    ASSERT_TRUE(CryptAcquireContextA(&prov_.h, "k", nullptr, c.prov_type, 0)) << std::hex << GetLastError();
  }

  std::string P(const char* name) const { return (dir_ / name).string(); }
  static CommandResult Openssl(const std::string& args) { return RunCommand("openssl " + args + " 2>/dev/null"); }

  // The hash of data_ by the provider.
  void HashData(ALG_ID alg, Hash& hash) {
    ASSERT_TRUE(CryptCreateHash(prov_.h, alg, 0, 0, &hash.h));
    ASSERT_TRUE(CryptHashData(hash.h, data_.data(), DWORD(data_.size()), 0));
  }

  ScopedCspHome home_;
  const std::filesystem::path dir_ = home_.path() / "work";
  Prov prov_;
  Bytes data_;
};

TEST_P(Gost2012Keys, KeysAndSignaturesAgreeWithOpenssl) {
  const Case& c = GetParam();
  // The container's public key is the one in openssl's certificate.
  Key own;
  ASSERT_TRUE(CryptGetUserKey(prov_.h, AT_KEYEXCHANGE, &own.h));
  const Bytes blob = ExportBlob(own.h, 0, PUBLICKEYBLOB);
  ASSERT_GT(blob.size(), 16 + c.point);
  const Bytes cert_der = ReadFile(dir_ / "c.der");
  PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, cert_der.data(), DWORD(cert_der.size()));
  ASSERT_NE(cert, nullptr);
  const CRYPT_BIT_BLOB& spki_key = cert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
  ASSERT_EQ(spki_key.cbData, c.point + 2 + (c.point > 127 ? 1 : 0));
  EXPECT_EQ(Hex(blob.data() + blob.size() - c.point, c.point), Hex(spki_key.pbData + spki_key.cbData - c.point, c.point));
  Key pub;
  ASSERT_TRUE(CryptImportPublicKeyInfo(prov_.h, X509_ASN_ENCODING, &cert->pCertInfo->SubjectPublicKeyInfo, &pub.h))
      << std::hex << GetLastError();
  CertFreeCertificateContext(cert);

  // Our signature verifies with openssl (s || r big-endian is ours reversed) and here.
  Hash hash;
  HashData(c.hash_alg, hash);
  DWORD sig_len = 0;
  ASSERT_TRUE(CryptSignHashA(hash.h, AT_KEYEXCHANGE, nullptr, 0, nullptr, &sig_len));
  ASSERT_EQ(sig_len, c.point);
  Bytes sig(sig_len);
  ASSERT_TRUE(CryptSignHashA(hash.h, AT_KEYEXCHANGE, nullptr, 0, sig.data(), &sig_len)) << std::hex << GetLastError();
  ASSERT_TRUE(CryptVerifySignatureA(hash.h, sig.data(), sig_len, pub.h, nullptr, 0));
  Bytes reversed(sig.rbegin(), sig.rend());
  WriteFile(dir_ / "ours.sig", reversed);
  EXPECT_EQ(Openssl(std::string("dgst -engine gost -") + c.md + " -prverify " + P("k.pem") + " -signature " +
                    P("ours.sig") + " " + P("data")).status, 0);

  // openssl's signature verifies here; one changed byte of the data does not.
  ASSERT_EQ(Openssl(std::string("dgst -engine gost -") + c.md + " -sign " + P("k.pem") + " -out " + P("theirs.sig") +
                    " " + P("data")).status, 0);
  const Bytes theirs = ReadFile(dir_ / "theirs.sig");
  ASSERT_EQ(theirs.size(), c.point);
  const Bytes theirs_ours(theirs.rbegin(), theirs.rend());
  Hash again;
  HashData(c.hash_alg, again);
  EXPECT_TRUE(CryptVerifySignatureA(again.h, theirs_ours.data(), DWORD(theirs_ours.size()), pub.h, nullptr, 0))
      << std::hex << GetLastError();
  data_[data_.size() / 2] ^= 1;
  Hash changed;
  HashData(c.hash_alg, changed);
  EXPECT_FALSE(CryptVerifySignatureA(changed.h, theirs_ours.data(), DWORD(theirs_ours.size()), pub.h, nullptr, 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_SIGNATURE));

  // A hash of another generation or size, or a signature of the wrong length, is refused.
  Hash other;
  HashData(c.hash_alg == CALG_GR3411_2012_256 ? CALG_GR3411_2012_512 : CALG_GR3411_2012_256, other);
  EXPECT_FALSE(CryptVerifySignatureA(other.h, theirs_ours.data(), DWORD(theirs_ours.size()), pub.h, nullptr, 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_ALGID));
  Hash old;
  HashData(CALG_GR3411, old);
  DWORD old_len = 128;
  EXPECT_FALSE(CryptSignHashA(old.h, AT_KEYEXCHANGE, nullptr, 0, sig.data(), &old_len));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_ALGID));
  Hash short_sig;
  HashData(c.hash_alg, short_sig);
  EXPECT_FALSE(CryptVerifySignatureA(short_sig.h, theirs_ours.data(), DWORD(theirs_ours.size() - 1), pub.h, nullptr, 0));
}

constexpr Case k256(const char* paramset) {
  return {"gost2012_256", paramset, PROV_GOST_2012_256, CALG_GR3411_2012_256, "md_gost12_256", 64};
}
constexpr Case k512(const char* paramset) {
  return {"gost2012_512", paramset, PROV_GOST_2012_512, CALG_GR3411_2012_512, "md_gost12_512", 128};
}

// CryptoPro A, B, C, XchA, XchB and TC26 256 A; TC26 512 A, B and C.
INSTANTIATE_TEST_SUITE_P(ParameterSets, Gost2012Keys,
                         ::testing::Values(k256("A"), k256("B"), k256("C"), k256("XA"), k256("XB"),
                                           k256("TCA"), k512("A"), k512("B"), k512("C")),
                         [](const ::testing::TestParamInfo<Case>& p) {
                           return std::string(p.param.point == 64 ? "k256_" : "k512_") + p.param.paramset;
                         });

}  // namespace
}  // namespace provider_test
