// Key blobs and session keys: round trips, hostile blobs, two parties agreeing on a session
// key, CFB continuing across calls, handles that are not what a call expects.
#include <gtest/gtest.h>

#include <openssl/rand.h>

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

  bool Receive(const Sent& sent, Key& session) {
    Key agree;
    if (!CryptImportKey(recipient_.h, sent.sender_public.data(), DWORD(sent.sender_public.size()),
                        recipient_key_.h, 0, &agree.h))
      return false;
    return CryptImportKey(recipient_.h, sent.simple.data(), DWORD(sent.simple.size()), agree.h, 0, &session.h);
  }

  ScopedCspHome home_;
  Prov prov_, recipient_;
  Key recipient_key_;
  Bytes recipient_blob_;
};

TEST_F(ProviderBlobs, TwoPartiesShareTheSessionKey) {
  Key session, ephemeral;
  ASSERT_TRUE(CryptGenKey(prov_.h, CALG_G28147, CRYPT_EXPORTABLE, &session.h));
  ASSERT_TRUE(CryptGenKey(prov_.h, CALG_DH_EL_EPHEM, 0, &ephemeral.h));
  DWORD alg = 0, len = sizeof(alg);
  ASSERT_TRUE(CryptGetKeyParam(session.h, KP_ALGID, reinterpret_cast<BYTE*>(&alg), &len, 0));
  EXPECT_EQ(alg, DWORD(CALG_G28147));
  Bytes iv(8);
  len = 8;
  ASSERT_TRUE(CryptGetKeyParam(session.h, KP_IV, iv.data(), &len, 0));

  // Two recipients' exports of one session key: the same sender key, new UKMs.
  const Sent first = Send(session.h, ephemeral.h, recipient_blob_);
  const Sent second = Send(session.h, ephemeral.h, recipient_blob_);
  ASSERT_EQ(first.simple.size(), 71u);
  EXPECT_EQ(Hex(first.sender_public), Hex(second.sender_public));
  EXPECT_NE(Hex(Bytes(first.simple.begin() + 16, first.simple.begin() + 24)),
            Hex(Bytes(second.simple.begin() + 16, second.simple.begin() + 24)));
  EXPECT_EQ(Hex(Bytes(first.simple.begin() + 60, first.simple.end())), "300906072a850302021f01");

  Bytes message(3000);
  RAND_bytes(message.data(), int(message.size()));
  Bytes cipher = message;
  DWORD n = DWORD(cipher.size());
  ASSERT_TRUE(CryptEncrypt(session.h, 0, TRUE, 0, cipher.data(), &n, n));
  for (const Sent* sent : {&first, &second}) {
    Key received;
    ASSERT_TRUE(Receive(*sent, received)) << std::hex << GetLastError();
    ASSERT_TRUE(CryptSetKeyParam(received.h, KP_IV, iv.data(), 0));
    Bytes plain = cipher;
    ASSERT_TRUE(CryptDecrypt(received.h, 0, TRUE, 0, plain.data(), &n));
    EXPECT_EQ(plain, message);
  }
}

// An ephemeral key takes the recipient's parameter set until its public part is exported.
TEST_F(ProviderBlobs, EphemeralKeyFollowsRecipientCurve) {
  Key session, ephemeral;
  ASSERT_TRUE(CryptGenKey(prov_.h, CALG_G28147, CRYPT_EXPORTABLE, &session.h));
  ASSERT_TRUE(CryptGenKey(prov_.h, CALG_DH_EL_EPHEM, 0, &ephemeral.h));
  // The recipient's key moved to CryptoPro-C by re-importing it under that curve's name
  // would not be a point there; a fresh C key is made instead.
  Prov other;
  Key other_key;
  ASSERT_TRUE(CryptAcquireContextA(&other.h, "c-curve", nullptr, PROV_GOST_2001_DH, CRYPT_NEWKEYSET));
  const std::string pem_cmd = "openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:C 2>/dev/null";
  const CommandResult pem = RunCommand(pem_cmd);
  if (pem.status != 0) GTEST_SKIP() << "openssl with the GOST engine is not available";
  ASSERT_TRUE(CryptImportPKCS8ToContainerA("c-curve", reinterpret_cast<const BYTE*>(pem.output.data()),
                                           DWORD(pem.output.size()), nullptr, 0));
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

TEST_F(ProviderBlobs, PublicKeyBlobRoundTrip) {
  Key pub;
  ASSERT_TRUE(CryptImportKey(prov_.h, recipient_blob_.data(), DWORD(recipient_blob_.size()), 0, 0, &pub.h));
  EXPECT_EQ(Hex(ExportBlob(pub.h, 0, PUBLICKEYBLOB)), Hex(recipient_blob_));
  // Short buffers get ERROR_MORE_DATA and the size needed.
  Bytes small(10);
  DWORD len = DWORD(small.size());
  EXPECT_FALSE(CryptExportKey(pub.h, 0, PUBLICKEYBLOB, 0, small.data(), &len));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(len, 100u);
}

TEST_F(ProviderBlobs, HostilePublicKeyBlobs) {
  const Bytes good = recipient_blob_;
  struct Case {
    const char* name;
    Bytes blob;
    DWORD error;
  };
  auto patched = [&](size_t at, uint8_t value) {
    Bytes b = good;
    b[at] = value;
    return b;
  };
  Bytes long_params = good;
  long_params[17] = 0x84;  // a four-octet length where 0x12 was
  Bytes trailing = good;
  trailing.push_back(0);
  Bytes off_curve = good;
  off_curve[99] ^= 0x01;
  const std::vector<Case> cases = {
      {"wrong type", patched(0, 0x07), DWORD(NTE_BAD_TYPE)},
      {"wrong algorithm", patched(5, 0x66), DWORD(NTE_BAD_ALGID)},
      {"wrong magic", patched(8, 0x00), DWORD(NTE_BAD_VER)},
      {"wrong bit length", patched(13, 0x04), DWORD(NTE_BAD_DATA)},
      {"oversized parameter length", long_params, DWORD(NTE_BAD_DATA)},
      {"trailing byte", trailing, DWORD(NTE_BAD_DATA)},
      {"not a curve point", off_curve, DWORD(NTE_BAD_DATA)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Key key;
    EXPECT_FALSE(CryptImportKey(prov_.h, c.blob.data(), DWORD(c.blob.size()), 0, 0, &key.h));
    EXPECT_EQ(GetLastError(), c.error);
  }
  for (size_t cut = 0; cut < good.size(); ++cut) {
    SCOPED_TRACE(cut);
    Key key;
    EXPECT_FALSE(CryptImportKey(prov_.h, good.data(), DWORD(cut), 0, 0, &key.h));
  }
}

TEST_F(ProviderBlobs, HostileSimpleBlobs) {
  Key session, ephemeral;
  ASSERT_TRUE(CryptGenKey(prov_.h, CALG_G28147, CRYPT_EXPORTABLE, &session.h));
  ASSERT_TRUE(CryptGenKey(prov_.h, CALG_DH_EL_EPHEM, 0, &ephemeral.h));
  const Sent good = Send(session.h, ephemeral.h, recipient_blob_);
  struct Case {
    const char* name;
    size_t at;
    uint8_t value;
    DWORD error;
  } cases[] = {
      {"unknown type", 0, 0x09, DWORD(NTE_BAD_TYPE)},
      {"wrong algorithm", 4, 0x1F, DWORD(NTE_BAD_ALGID)},
      {"wrong magic", 8, 0x00, DWORD(NTE_BAD_VER)},
      {"other UKM", 16, 0xAA, DWORD(NTE_BAD_DATA)},
      {"flipped key bit", 40, 0x00, DWORD(NTE_BAD_DATA)},
      {"flipped MAC bit", 59, 0x00, DWORD(NTE_BAD_DATA)},
      {"unknown parameter set", 70, 0x09, DWORD(NTE_BAD_ALGID)},
      {"parameter length too long", 61, 0x7F, DWORD(NTE_BAD_DATA)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sent bad = good;
    bad.simple[c.at] = c.value == 0 ? uint8_t(bad.simple[c.at] ^ 0x80) : c.value;
    Key key;
    EXPECT_FALSE(Receive(bad, key));
    EXPECT_EQ(GetLastError(), c.error);
  }
  for (size_t cut = 0; cut < good.simple.size(); ++cut) {
    SCOPED_TRACE(cut);
    Sent bad = good;
    bad.simple.resize(cut);
    Key key;
    EXPECT_FALSE(Receive(bad, key));
  }
  Key ok;
  EXPECT_TRUE(Receive(good, ok));
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

// CFB with CryptoPro meshing gives the same bytes whether the data comes in one call or
// in pieces of odd sizes, and a final call starts the next message from the IV again.
TEST_F(ProviderBlobs, CfbContinuesAcrossCalls) {
  Key key;
  ASSERT_TRUE(CryptGenKey(prov_.h, CALG_G28147, 0, &key.h));
  Bytes message(5 * 1024 + 77);
  RAND_bytes(message.data(), int(message.size()));
  Bytes whole = message;
  DWORD n = DWORD(whole.size());
  ASSERT_TRUE(CryptEncrypt(key.h, 0, TRUE, 0, whole.data(), &n, n));
  Bytes again = message;
  ASSERT_TRUE(CryptEncrypt(key.h, 0, TRUE, 0, again.data(), &n, n));
  EXPECT_EQ(whole, again);

  for (size_t seed : {1u, 5u, 1023u, 1025u}) {
    SCOPED_TRACE(seed);
    Bytes pieces = message;
    size_t off = 0, step = seed;
    while (off < pieces.size()) {
      DWORD len = DWORD(std::min(step, pieces.size() - off));
      ASSERT_TRUE(CryptEncrypt(key.h, 0, off + len == pieces.size(), 0, pieces.data() + off, &len, len));
      off += len;
      step = step * 7 % 1031 + 1;
    }
    EXPECT_EQ(pieces, whole);
  }
  // Decryption in pieces too.
  size_t off = 0;
  for (DWORD step : {3u, 1024u, 1u, 2000u, 999999u}) {
    DWORD len = DWORD(std::min<size_t>(step, whole.size() - off));
    ASSERT_TRUE(CryptDecrypt(key.h, 0, off + len == whole.size(), 0, whole.data() + off, &len));
    off += len;
  }
  EXPECT_EQ(whole, message);
}

}  // namespace
}  // namespace provider_test
