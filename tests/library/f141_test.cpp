// The compact "141" format against OpenSSL and its GOST engine as the outside party: the
// library's signatures verify with `openssl pkeyutl`, its messages open with the engine's
// own key unwrap (VKO with the blob's UKM, CryptoPro wrap) and gost89 CFB with key meshing,
// and the same primitives make signatures and messages the library accepts. Also the
// answers to malformed and mismatched input.
#define OPENSSL_SUPPRESS_DEPRECATED  // the GOST engine is an ENGINE

#include <gtest/gtest.h>

#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <algorithm>
#include <sstream>

#include "common/der_build.h"
#include "der/der.h"
#include "library_fixture.h"
#include "platform/provider/gost_engine.h"
#include "platform/test_pki.h"

namespace {

using library_test::Code;
using library_test::LibraryTest;
using test_common::Cat;
using test_common::Der;
using test_pki::Bytes;
using test_pki::Pki;

// --- The outside party: OpenSSL with the GOST engine, in process ---

ENGINE* Gost() {
  static ENGINE* engine = [] {
    ENGINE* e = ENGINE_by_id("gost");
    if (e == nullptr || !ENGINE_init(e)) return static_cast<ENGINE*>(nullptr);
    ENGINE_set_default(e, ENGINE_METHOD_ALL);
    // gost89 with the CryptoPro-A S-box and key meshing, the parameters the provider uses.
    ENGINE_ctrl_cmd_string(e, "CRYPT_PARAMS", "id-Gost28147-89-CryptoPro-A-ParamSet", 0);
    return e;
  }();
  return engine;
}

using Pkey = vexorcsp::EvpPkeyPtr;
using vexorcsp::X509Ptr;

Pkey PrivateKey(const test_pki::Cert& c) {
  Gost();
  const vexorcsp::BioPtr bio(BIO_new_file(c.key.c_str(), "r"));
  return Pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

X509Ptr Certificate(const test_pki::Cert& c) {
  Gost();
  const uint8_t* p = c.der.data();
  return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(c.der.size())));
}

Pkey PublicKey(const test_pki::Cert& c) { return Pkey(X509_get_pubkey(Certificate(c).get())); }

// The 64 key bytes of the certificate (X then Y, little-endian, after the OCTET STRING head).
Bytes KeyBytes(const test_pki::Cert& c) {
  const X509Ptr x = Certificate(c);
  const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(x.get());
  return Bytes(bits->data + bits->length - 64, bits->data + bits->length);
}

// The DER GostR3410-PublicKeyParameters of the certificate's key.
Bytes KeyParameters(const test_pki::Cert& c) {
  const X509Ptr x = Certificate(c);
  const void* value = nullptr;
  int type = 0;
  X509_ALGOR* alg = nullptr;
  X509_PUBKEY_get0_param(nullptr, nullptr, nullptr, &alg, X509_get_X509_PUBKEY(x.get()));
  X509_ALGOR_get0(nullptr, &type, &value, alg);
  const ASN1_STRING* seq = static_cast<const ASN1_STRING*>(value);
  return Bytes(ASN1_STRING_get0_data(seq), ASN1_STRING_get0_data(seq) + ASN1_STRING_length(seq));
}

Bytes Sha1(const Bytes& data) {
  Bytes out(SHA_DIGEST_LENGTH);
  SHA1(data.data(), data.size(), out.data());
  return out;
}

// GOST 28147-89 CFB with CryptoPro-A parameters and key meshing (the engine's gost89).
Bytes Gost89Cfb(const Bytes& key, const Bytes& iv, const Bytes& in, bool encrypt) {
  Gost();
  const vexorcsp::EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  Bytes out(in.size() + 8);
  int n = 0, tail = 0;
  const bool ok = EVP_CipherInit_ex(ctx.get(), EVP_get_cipherbyname("gost89"), nullptr, key.data(), iv.data(),
                                    encrypt ? 1 : 0) > 0 &&
                  EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size())) > 0 &&
                  EVP_CipherFinal_ex(ctx.get(), out.data() + n, &tail) > 0;
  EXPECT_TRUE(ok);
  out.resize(static_cast<size_t>(n + tail));
  return out;
}

// The engine's key transport between a static key pair: the CEK wrapped under the KEK both
// keys agree on (RFC 4357), as the DER GostR3410-KeyTransport without an ephemeral key.
Bytes WrapKey(const test_pki::Cert& recipient, const test_pki::Cert& sender, const Bytes& cek, const Bytes& ukm) {
  Pkey to = PublicKey(recipient), from = PrivateKey(sender);
  const vexorcsp::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(to.get(), nullptr));
  Bytes out(512);
  size_t len = out.size();
  const std::string ukm_hex = test_pki::Hex(ukm);
  const bool ok = EVP_PKEY_encrypt_init(ctx.get()) > 0 && EVP_PKEY_derive_set_peer(ctx.get(), from.get()) > 0 &&
                  EVP_PKEY_CTX_ctrl_str(ctx.get(), "ukmhex", ukm_hex.c_str()) > 0 &&
                  EVP_PKEY_encrypt(ctx.get(), out.data(), &len, cek.data(), cek.size()) > 0;
  EXPECT_TRUE(ok);
  out.resize(ok ? len : 0);
  return out;
}

Bytes UnwrapKey(const test_pki::Cert& recipient, const test_pki::Cert& sender, const Bytes& transport) {
  Pkey own = PrivateKey(recipient), peer = PublicKey(sender);
  const vexorcsp::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(own.get(), nullptr));
  Bytes cek(32);
  size_t len = cek.size();
  const bool ok = EVP_PKEY_decrypt_init(ctx.get()) > 0 && EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) > 0 &&
                  EVP_PKEY_decrypt(ctx.get(), cek.data(), &len, transport.data(), transport.size()) > 0;
  EXPECT_TRUE(ok);
  cek.resize(ok ? len : 0);
  return cek;
}

// SIMPLEBLOB <-> GostR3410-KeyTransport (no ephemeral key): the same UKM, wrapped key, MAC
// and parameter set in the provider's blob layout and in DER.
Bytes ToTransport(const Bytes& blob) {
  EXPECT_GE(blob.size(), 60u);
  der::Reader params(blob.data() + 60, blob.size() - 60), inner;
  der::Tlv oid;
  EXPECT_TRUE(params.Enter(der::kSequence, inner) && inner.Expect(der::kOid, oid));
  auto part = [&](size_t from, size_t to) { return Bytes(blob.begin() + from, blob.begin() + to); };
  return Der(0x30, Cat({Der(0x30, Cat({Der(0x04, part(24, 56)), Der(0x04, part(56, 60))})),
                        Der(0xA0, Cat({Bytes(oid.start, oid.start + oid.size), Der(0x04, part(16, 24))}))}));
}

Bytes ToSimpleBlob(const Bytes& transport) {
  der::Reader all(transport.data(), transport.size()), kt, key, params;
  der::Tlv enc, mac, oid, ukm;
  EXPECT_TRUE(all.Enter(der::kSequence, kt) && kt.Enter(der::kSequence, key) && key.Expect(der::kOctetString, enc) &&
              key.Expect(der::kOctetString, mac) && kt.Enter(0xA0, params) && params.Expect(der::kOid, oid) &&
              params.Expect(der::kOctetString, ukm));
  auto value = [](const der::Tlv& t) { return Bytes(t.value, t.value + t.length); };
  return Cat({{0x01, 0x20, 0, 0, 0x1E, 0x66, 0, 0, 0xFD, 0x51, 0x4A, 0x37, 0x1E, 0x66, 0, 0}, value(ukm), value(enc),
              value(mac), Der(0x30, Bytes(oid.start, oid.start + oid.size))});
}

// --- The format's fields ---

struct Fields {
  explicit Fields(const std::string& bytes) : r(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) {}
  uint32_t U32() {
    uint32_t v = 0;
    EXPECT_TRUE(r.U32LE(v));
    return v;
  }
  Bytes Blob() {
    const uint32_t n = U32();
    const uint8_t* p = nullptr;
    EXPECT_TRUE(r.Bytes(n, p));
    return p != nullptr ? Bytes(p, p + n) : Bytes();
  }
  Bytes Rest() { return Bytes(r.pos(), r.pos() + r.remaining()); }
  der::Reader r;
};

void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (8 * i) & 0xFF);
}
void PutBlob(std::string& out, const Bytes& b) {
  PutU32(out, static_cast<uint32_t>(b.size()));
  out.append(b.begin(), b.end());
}
Bytes AsBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string AsString(const Bytes& b) { return std::string(b.begin(), b.end()); }

// A provider PUBLICKEYBLOB of the certificate's key (an exchange key's algorithm), as
// another implementation would write it.
Bytes KeyBlob(const test_pki::Cert& c) {
  return Cat({{0x06, 0x20, 0, 0, 0x24, 0xAA, 0, 0, 'M', 'A', 'G', '1', 0x00, 0x02, 0, 0}, KeyParameters(c), KeyBytes(c)});
}

// `openssl pkeyutl`'s GOST R 34.10 signature of the data's GOST R 34.11-94 hash with the
// certificate's key, in CryptoAPI's byte order.
Bytes OpensslSignature(const test_pki::Cert& c, const std::string& data, const std::filesystem::path& dir) {
  test_pki::WriteFile(dir / "data", Bytes(data.begin(), data.end()));
  const test_pki::RunResult r = test_pki::Run(
      "cd " + dir.string() + " && openssl dgst -engine gost -md_gost94 -binary data > hash 2>/dev/null && "
      "openssl pkeyutl -engine gost -sign -inkey " + c.key.string() + " -in hash -out sig 2>&1");
  EXPECT_EQ(r.status, 0) << r.out;
  Bytes sig = test_pki::ReadFile(dir / "sig");
  std::reverse(sig.begin(), sig.end());
  return sig;
}

// A signature file with the head's fields as given.
std::string SignatureFile(const Bytes& thumbprint, const std::string& name_utf8, const Bytes& key_blob,
                          const Bytes& sig) {
  std::string signature;
  PutU32(signature, 1);
  PutBlob(signature, thumbprint);
  PutBlob(signature, AsBytes(text::Utf8ToCp1251(name_utf8)));
  PutBlob(signature, key_blob);
  PutU32(signature, CALG_GR3411);
  PutBlob(signature, sig);
  return signature;
}

Bytes RandomBytes(size_t n) {
  Bytes b(n);
  RAND_bytes(b.data(), static_cast<int>(n));
  return b;
}

// A host stream over bytes in memory that keeps the size of every read asked of it; as a
// pipe it can neither seek nor tell its position.
class MemoryBuf : public std::stringbuf {
 public:
  explicit MemoryBuf(const std::string& data, bool pipe = false) : std::stringbuf(data, std::ios::in), pipe_(pipe) {}
  std::streamsize largest = 0;

 protected:
  pos_type seekoff(off_type off, std::ios::seekdir dir, std::ios::openmode which) override {
    return pipe_ ? pos_type(off_type(-1)) : std::stringbuf::seekoff(off, dir, which);
  }
  pos_type seekpos(pos_type pos, std::ios::openmode which) override {
    return pipe_ ? pos_type(off_type(-1)) : std::stringbuf::seekpos(pos, which);
  }
  std::streamsize xsgetn(char* s, std::streamsize n) override {
    largest = std::max(largest, n);
    return std::stringbuf::xsgetn(s, n);
  }

 private:
  bool pipe_;
};

// The sender is Иванов (parameter set A), the recipient the mail user (also A).
class Format141 : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_NE(Gost(), nullptr);
    ASSERT_TRUE(test_pki::InstallWithKey(Pki::Get().user_a, "f141-a"));
    ASSERT_TRUE(test_pki::InstallWithKey(Pki::Get().user_email, "f141-mail"));
    Object();
  }
  static CertPartyParam Party(const test_pki::Cert& c, bool sender = false) {
    return library_test::ThumbprintParty(c, sender);
  }
  // The operation over the input (a pipe when asked): its code, its output in `result` and,
  // when given, the largest read it asked of the input in `largest`.
  template <class Op>
  static int32_t Stream(const std::string& data, std::string& result, bool pipe, std::streamsize* largest, Op op) {
    MemoryBuf buf(data, pipe);
    std::istream in(&buf);
    std::ostringstream out;
    const int32_t rc = Code([&] { return op(in, out); });
    result = out.str();
    if (largest != nullptr) *largest = buf.largest;
    return rc;
  }
  int32_t Sign(const std::string& data, std::string& signature, bool pipe = false, std::streamsize* largest = nullptr) {
    return Stream(data, signature, pipe, largest, [&](std::istream& in, std::ostream& out) {
      return obj_->sign_stream_d(Party(Pki::Get().user_a), in, out, VEXOR_FORMAT_141);
    });
  }
  // The verdict; a good signature hands back its one signer, anything else none.
  int32_t Check(const std::string& signature, const std::string& data, const std::string& expected_utf8,
                SignerCheckList* signers = nullptr, bool pipe = false) {
    std::istringstream sig(signature);
    MemoryBuf buf(data, pipe);
    std::istream content(&buf);
    SignerCheckList list;
    list.items.emplace_back();
    list.items[0].subjectCN = text::Utf8ToCp1251(expected_utf8);
    const int32_t rc = Code([&] { return obj_->check_stream_d(sig, content, list, 0, VEXOR_FORMAT_141); });
    EXPECT_EQ(list.items.size(), rc == 0 ? 1u : 0u);
    if (signers != nullptr) *signers = list;
    return rc;
  }
  int32_t Encrypt(const std::string& data, std::string& message, CertPartyList parties = {},
                  std::streamsize* largest = nullptr) {
    if (parties.empty()) parties = {Party(Pki::Get().user_email), Party(Pki::Get().user_a, true)};
    return Stream(data, message, false, largest, [&](std::istream& in, std::ostream& out) {
      return obj_->encrypt_stream(in, out, parties, VEXOR_FORMAT_141);
    });
  }
  int32_t Decrypt(const std::string& message, std::string& plain, std::streamsize* largest = nullptr) {
    return Stream(message, plain, false, largest,
                  [&](std::istream& in, std::ostream& out) { return obj_->decrypt_stream(in, out, VEXOR_FORMAT_141); });
  }
  test_common::TempDir files_{"vexor-f141"};
};

TEST_F(Format141, SignatureVerifiesWithOpensslAndTheLibrary) {
  const Pki& pki = Pki::Get();
  const std::string data = "Платёжное поручение №141\n";
  std::string signature;
  ASSERT_EQ(Sign(data, signature), 0);

  Fields f(signature);
  EXPECT_EQ(f.U32(), 1u);
  EXPECT_EQ(f.Blob(), Sha1(pki.user_a.der));
  EXPECT_EQ(text::Cp1251ToUtf8(AsString(f.Blob())), "Иванов Иван Иванович");
  const Bytes key_blob = f.Blob();
  ASSERT_GE(key_blob.size(), 64u);
  EXPECT_EQ(key_blob[0], PUBLICKEYBLOB);
  EXPECT_EQ(Bytes(key_blob.end() - 64, key_blob.end()), KeyBytes(pki.user_a));
  EXPECT_EQ(f.U32(), uint32_t{CALG_GR3411});
  Bytes sig = f.Blob();
  ASSERT_EQ(sig.size(), 64u);
  EXPECT_TRUE(f.r.empty());

  std::reverse(sig.begin(), sig.end());  // CryptoAPI's order, back to the engine's
  test_pki::WriteFile(files_.path() / "data", AsBytes(data));
  test_pki::WriteFile(files_.path() / "sig", sig);
  const std::string dir = files_.path().string();
  const test_pki::RunResult r = test_pki::Run(
      "cd " + dir + " && openssl dgst -engine gost -md_gost94 -binary data > hash 2>/dev/null && "
      "openssl pkeyutl -engine gost -verify -certin -inkey " + pki.user_a.pem.string() +
      " -in hash -sigfile sig 2>&1");
  EXPECT_EQ(r.status, 0) << r.out;

  EXPECT_EQ(Check(signature, data, "иванов"), 0);  // the owner name is compared ignoring case
  EXPECT_EQ(Check(signature, data + " ", "Иванов"), 11);
  EXPECT_TRUE(cb_.Saw("ЦП не верна"));
}

// openssl's signatures verify in the library. The head is not signed: the key in the file
// must be the key of the certificate its thumbprint finds, and that certificate's name, as
// well as the name field, must name the expected owner.
TEST_F(Format141, OpensslSignaturesAndOnlyTheCertificatesKeyAndNameCount) {
  const Pki& pki = Pki::Get();
  const std::string data(3 << 20, 'x');  // more than one hashing block of the platform
  const Bytes mail_sig = OpensslSignature(pki.user_email, data, files_.path());
  const Bytes ivanov = Sha1(pki.user_a.der), mail = Sha1(pki.user_email.der);

  // Signed with the mail user's key, the head rewritten to name Иванов's certificate.
  EXPECT_EQ(Check(SignatureFile(ivanov, "Иванов Иван Иванович", KeyBlob(pki.user_email), mail_sig), data, "Иванов"),
            14);
  EXPECT_TRUE(cb_.Saw("Открытый ключ подписи не совпадает с открытым ключом сертификата отправителя"));
  // The mail user's genuine signature with Иванов's name written in, or with no name.
  EXPECT_EQ(Check(SignatureFile(mail, "Иванов Иван Иванович", KeyBlob(pki.user_email), mail_sig), data, "Иванов"), 8);
  EXPECT_EQ(Check(SignatureFile(mail, "", KeyBlob(pki.user_email), mail_sig), data, "Mail"), 8);
  EXPECT_EQ(Check(SignatureFile(mail, "Mail User", KeyBlob(pki.user_email), mail_sig), data, ""), 8);
  SignerCheckList signer;
  EXPECT_EQ(Check(SignatureFile(mail, "Mail User", KeyBlob(pki.user_email), mail_sig), data, "mail", &signer), 0);
  ASSERT_EQ(signer.items.size(), 1u);
  EXPECT_EQ(signer.items[0].thumbprint, test_pki::Hex(mail));
  EXPECT_TRUE(signer.items[0].signValid && signer.items[0].certValid);
}

// A stream that cannot seek (a pipe) is hashed from where it stands to its end, on both sides.
TEST_F(Format141, StreamsThatCannotSeekAreHashedWhole) {
  std::string data((3 << 20) + 5, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 >> 3);
  std::string signature;
  ASSERT_EQ(Sign(data, signature, true), 0);
  EXPECT_EQ(Check(signature, data, "Иванов"), 0);
  EXPECT_EQ(Check(signature, "", "Иванов"), 11);
  EXPECT_EQ(Check(signature, data, "Иванов", nullptr, true), 0);
  EXPECT_EQ(Check(signature, data.substr(1), "Иванов", nullptr, true), 11);
}

TEST_F(Format141, MalformedOrForeignSignatures) {
  const std::string data = "data";
  std::string signature;
  ASSERT_EQ(Sign(data, signature), 0);

  EXPECT_EQ(Check(signature + '\0', data, "Иванов"), 11);
  EXPECT_TRUE(cb_.Saw("Не верный формат данных подписи"));

  cb_.lines.clear();
  EXPECT_EQ(Check(signature, data, "Петров"), 8);  // another owner: logged, not reported
  EXPECT_TRUE(cb_.Saw("Неверное имя владельца сертификата"));
  EXPECT_FALSE(cb_.Saw("Не удалось проверить действительность сертификата"));

  // Cut inside the key blob; a key blob claiming 4 GiB; a thumbprint no store holds.
  EXPECT_EQ(Check(signature.substr(0, 60), data, "Иванов"), 11);
  EXPECT_TRUE(cb_.Saw("Подпись - открытый ключ: Не верный формат данных"));
  std::string huge = signature.substr(0, 4 + 24 + 4 + 20);
  PutU32(huge, 0xFFFFFFF0u);
  EXPECT_EQ(Check(huge, data, "Иванов"), 6);
  std::string unknown = signature;
  unknown[8] ^= 1;
  EXPECT_EQ(Check(unknown, data, "Иванов"), 8);

  std::istringstream sig(signature), content(data);
  SignerCheckList empty;
  EXPECT_EQ(Code([&] { return obj_->check_stream_d(sig, content, empty, 0, VEXOR_FORMAT_141); }), 26);
}

TEST_F(Format141, MessagesOpenWithOpensslPrimitives) {
  const Pki& pki = Pki::Get();
  for (size_t size : {size_t{0}, size_t{1000}, size_t{(5 << 20) + 3}}) {
    SCOPED_TRACE(size);
    const Bytes plain = RandomBytes(size);
    std::string message;
    ASSERT_EQ(Encrypt(AsString(plain), message), 0);
    Fields f(message);
    EXPECT_EQ(f.U32(), 1u);
    EXPECT_EQ(f.Blob(), Sha1(pki.user_a.der));
    EXPECT_EQ(text::Cp1251ToUtf8(AsString(f.Blob())), "Иванов Иван Иванович");
    EXPECT_EQ(f.Blob(), Sha1(pki.user_email.der));
    EXPECT_EQ(AsString(f.Blob()), "Mail User");
    const Bytes wrapped = f.Blob(), iv = f.Blob();
    EXPECT_EQ(f.U32(), size);
    const Bytes cipher = f.Rest();
    ASSERT_EQ(cipher.size(), size);

    const Bytes cek = UnwrapKey(pki.user_email, pki.user_a, ToTransport(wrapped));
    ASSERT_EQ(cek.size(), 32u);
    EXPECT_TRUE(Gost89Cfb(cek, iv, cipher, false) == plain);

    std::string back;
    EXPECT_EQ(Decrypt(message, back), 0);
    EXPECT_TRUE(AsBytes(back) == plain);
  }
}

TEST_F(Format141, OpensslMessagesDecryptInTheLibrary) {
  const Pki& pki = Pki::Get();
  for (size_t size : {size_t{0}, size_t{(5 << 20) + 1}}) {
    SCOPED_TRACE(size);
    const Bytes plain = RandomBytes(size), cek = RandomBytes(32), iv = RandomBytes(8), ukm = RandomBytes(8);
    std::string message;
    PutU32(message, 1);
    PutBlob(message, Sha1(pki.user_a.der));
    PutBlob(message, AsBytes(text::Utf8ToCp1251("Иванов Иван Иванович")));
    PutBlob(message, Sha1(pki.user_email.der));
    PutBlob(message, AsBytes("Mail User"));
    PutBlob(message, ToSimpleBlob(WrapKey(pki.user_email, pki.user_a, cek, ukm)));
    PutBlob(message, iv);
    PutU32(message, static_cast<uint32_t>(size));
    const Bytes cipher = Gost89Cfb(cek, iv, plain, true);
    message.append(cipher.begin(), cipher.end());

    std::string back;
    ASSERT_EQ(Decrypt(message, back), 0);
    EXPECT_TRUE(AsBytes(back) == plain);
    if (size > 0) {
      EXPECT_EQ(Decrypt(message.substr(0, message.size() - 1), back), 11);  // cut short
    }
  }
}

TEST_F(Format141, EncryptionRefusals) {
  const Pki& pki = Pki::Get();
  std::string message;
  EXPECT_EQ(Encrypt("x", message, {Party(pki.user_a, true), Party(pki.user_email), Party(pki.user_xa)}), 9);
  EXPECT_TRUE(cb_.Saw("Неверное количество ключей получателей, должно быть 2"));
  EXPECT_TRUE(message.empty());
  EXPECT_EQ(Encrypt("x", message, {Party(pki.user_a), Party(pki.user_email)}), 9);
  EXPECT_TRUE(cb_.Saw("Не задан ключ отправителя"));

  // A head naming a sender no store holds: 17 with its name and thumbprint.
  ASSERT_EQ(Encrypt("x", message), 0);
  std::string foreign = message;
  foreign[8] ^= 0x10;
  std::string plain;
  EXPECT_EQ(Decrypt(foreign, plain), 17);
  const std::string thumb = test_pki::Hex(AsBytes(foreign.substr(8, 20)));
  EXPECT_TRUE(cb_.Saw("Не удалось найти действительный сертификат отправителя : Иванов Иван Иванович, c отпечатком " +
                      thumb + "!"));
  EXPECT_EQ(Decrypt(message.substr(0, 50), plain), 11);
}

// The streaming loops read the whole input in one block up to 10 MiB (the ciphers one byte
// more, to see the end); encryption logs its head as one line and names the provider.
TEST_F(Format141, BlocksOfTenMegabytesAndTheEncryptionLog) {
  for (std::streamsize size : {std::streamsize{(2 << 20) + 3}, std::streamsize{11 << 20}}) {
    SCOPED_TRACE(size);
    const std::string data(static_cast<size_t>(size), 'q');
    const std::streamsize block = std::min(size, std::streamsize{10 << 20});
    std::string signature, message, back;
    std::streamsize largest = 0;
    ASSERT_EQ(Sign(data, signature, false, &largest), 0);
    EXPECT_EQ(largest, block);
    cb_.lines.clear();
    ASSERT_EQ(Encrypt(data, message, {}, &largest), 0);
    EXPECT_EQ(largest, block + 1);
    EXPECT_TRUE(cb_.Saw("Будет использован криптопровайдер"));
    const auto head = std::find_if(cb_.lines.begin(), cb_.lines.end(),
                                   [](const std::string& l) { return l.find("Шифрование 141") != l.npos; });
    ASSERT_NE(head, cb_.lines.end());
    EXPECT_NE(head->find("Сертификат отправителя: Иванов"), std::string::npos) << *head;
    EXPECT_NE(head->find("Сертификат получателя: Mail User"), std::string::npos) << *head;
    ASSERT_EQ(Decrypt(message, back, &largest), 0);
    EXPECT_EQ(largest, block + 1);
    EXPECT_TRUE(back == data);
  }
}

// For a family host the certificate searches of verification and encryption skip the
// revocation lists; for any other host a revoked certificate is not found.
TEST_F(Format141, FamilyHostSearchesSkipRevocation) {
  const Pki& pki = Pki::Get();
  ASSERT_TRUE(test_certs::TrustTestPki());
  ASSERT_TRUE(test_pki::InstallWithKey(pki.revoked, "f141-revoked"));
  const std::string data = "Платёжное поручение №143";
  const std::string signature = SignatureFile(Sha1(pki.revoked.der), "Revoked User", KeyBlob(pki.revoked),
                                              OpensslSignature(pki.revoked, data, files_.path()));
  const CertPartyList parties = {Party(pki.revoked), Party(pki.user_a, true)};
  std::string message;
  EXPECT_EQ(Check(signature, data, "Revoked"), 8);
  EXPECT_EQ(Encrypt("x", message, parties), 17);

  std::ofstream(work_ / "app.info") << "[Application]\nName=Moravel\n";
  Object();
  EXPECT_EQ(Check(signature, data, "Revoked"), 0);
  EXPECT_EQ(Encrypt("x", message, parties), 0);
}

}  // namespace
