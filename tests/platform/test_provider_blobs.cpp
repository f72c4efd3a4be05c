// Key blobs and session keys: the ephemeral key's parameter set, the rules of session keys,
// handles that are not what a call expects.
#include <gtest/gtest.h>

#include "provider_test_util.h"
#include "vexor/platform.h"

namespace provider_test {
namespace {

class ProviderBlobs : public ::testing::Test {
 protected:
  void SetUp() override {
    VerifyContext(prov_);
    ASSERT_TRUE(CryptAcquireContextA(&recipient_.h, "recipient", nullptr, PROV_GOST_2001_DH, CRYPT_NEWKEYSET));
    ASSERT_TRUE(CryptGenKey(recipient_.h, AT_KEYEXCHANGE, 0, &recipient_key_.h));
    recipient_blob_ = ExportBlob(recipient_key_.h, 0, PUBLICKEYBLOB);
    ASSERT_EQ(recipient_blob_.size(), 100u);
  }

  // Sender side of one message: ephemeral key, agreement with the recipient, wrapped key.
  struct Sent {
    Bytes simple, sender_public;
  };
  Sent Send(HCRYPTKEY session, HCRYPTKEY ephemeral, const Bytes& recipient_blob) {
    Key agree;
    EXPECT_TRUE(CryptImportKey(prov_.h, recipient_blob.data(), DWORD(recipient_blob.size()), ephemeral, 0, &agree.h))
        << std::hex << GetLastError();
    const DWORD pro = CALG_PRO_EXPORT;
    EXPECT_TRUE(CryptSetKeyParam(agree.h, KP_ALGID, reinterpret_cast<const BYTE*>(&pro), 0));
    return {ExportBlob(session, agree.h, SIMPLEBLOB), ExportBlob(ephemeral, 0, PUBLICKEYBLOB)};
  }

  ScopedCspHome home_;
  Prov prov_, recipient_;
  Key recipient_key_;
  Bytes recipient_blob_;
};

// An ephemeral key takes the recipient's parameter set until its public part is exported.
TEST_F(ProviderBlobs, EphemeralKeyFollowsRecipientCurve) {
  Key session, ephemeral;
  ASSERT_TRUE(CryptGenKey(prov_.h, CALG_G28147, CRYPT_EXPORTABLE, &session.h));
  ASSERT_TRUE(CryptGenKey(prov_.h, CALG_DH_EL_EPHEM, 0, &ephemeral.h));
  Prov other;
  Key other_key;
  ASSERT_TRUE(CryptAcquireContextA(&other.h, "c-curve", nullptr, PROV_GOST_2001_DH, CRYPT_NEWKEYSET));
  const CommandResult pem = RunCommand("openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:C");
  ASSERT_EQ(pem.status, 0);
  ASSERT_TRUE(CryptImportPKCS8ToContainerA("c-curve", reinterpret_cast<const BYTE*>(pem.out.data()),
                                           DWORD(pem.out.size()), nullptr, 0));
  ASSERT_TRUE(CryptGetUserKey(other.h, AT_KEYEXCHANGE, &other_key.h));
  const Bytes c_blob = ExportBlob(other_key.h, 0, PUBLICKEYBLOB);
  const Sent sent = Send(session.h, ephemeral.h, c_blob);
  ASSERT_EQ(sent.sender_public.size(), 100u);
  EXPECT_EQ(Hex(Bytes(sent.sender_public.begin() + 18, sent.sender_public.begin() + 27)),
            Hex(OidDer("1.2.643.2.2.35.3")));
  // Exported now: the key cannot move to another curve any more.
  Key agree;
  EXPECT_FALSE(CryptImportKey(prov_.h, recipient_blob_.data(), DWORD(recipient_blob_.size()), ephemeral.h, 0, &agree.h));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
}

TEST_F(ProviderBlobs, SessionKeyRules) {
  Key fixed, ephemeral, agree;
  ASSERT_TRUE(CryptGenKey(prov_.h, CALG_G28147, 0, &fixed.h));
  ASSERT_TRUE(CryptGenKey(prov_.h, CALG_DH_EL_EPHEM, 0, &ephemeral.h));
  ASSERT_TRUE(CryptImportKey(prov_.h, recipient_blob_.data(), DWORD(recipient_blob_.size()), ephemeral.h, 0, &agree.h));
  DWORD len = 0;
  EXPECT_FALSE(CryptExportKey(fixed.h, agree.h, SIMPLEBLOB, 0, nullptr, &len));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY_STATE));
  const DWORD bad_alg = CALG_G28147;
  EXPECT_FALSE(CryptSetKeyParam(agree.h, KP_ALGID, reinterpret_cast<const BYTE*>(&bad_alg), 0));
  const DWORD cbc = CRYPT_MODE_CBC;
  EXPECT_FALSE(CryptSetKeyParam(fixed.h, KP_MODE, reinterpret_cast<const BYTE*>(&cbc), 0));
  // Handles of one kind are unknown as another.
  EXPECT_FALSE(CryptDestroyHash(fixed.h));
  EXPECT_FALSE(CryptReleaseContext(fixed.h, 0));
  EXPECT_FALSE(CryptDestroyKey(HCRYPTKEY(0x1234)));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
  BYTE data[8] = {};
  DWORD n = 8;
  EXPECT_FALSE(CryptEncrypt(ephemeral.h, 0, TRUE, 0, data, &n, n));
}

}  // namespace
}  // namespace provider_test
