// CryptMsgControl on a decoded message: signature verification against a certificate's
// public key, decryption with a container's exchange key (GOST key transport or ESDH key
// agreement, or KExp15 for the GOST R 34.12-2015 ciphers; then the content through GOST
// 28147-89 CFB or CTR-ACPKM), and changes to the certificate and CRL sets.
#include "platform/messages/msg_decode.h"

#include <algorithm>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/err.h>

#include "platform/codec/der.h"
#include "platform/provider/gost2015_cipher.h"
#include "platform/provider/gost_key.h"
#include "platform/provider/gost_vko2012.h"
#include "platform/core/last_error.h"
#include "platform/provider/provider.h"

namespace vexorcsp::msg {

namespace {

constexpr DWORD kWin32DecryptParaSize = 16;
constexpr DWORD kWin32KeyAgreeParaSize = 36;

Bytes TrimZeros(const Bytes& b) {
  size_t i = 0;
  while (i + 1 < b.size() && b[i] == 0) ++i;
  return Bytes(b.begin() + std::ptrdiff_t(i), b.end());
}

bool SameSerial(const Bytes& big_endian, const CRYPT_INTEGER_BLOB& little_endian) {
  if (little_endian.cbData > 0 && little_endian.pbData == nullptr) return false;
  Bytes other(little_endian.pbData, little_endian.pbData + little_endian.cbData);
  std::reverse(other.begin(), other.end());
  return TrimZeros(big_endian) == TrimZeros(other);
}

bool SameName(const Bytes& name, const CERT_NAME_BLOB& blob) {
  return blob.pbData != nullptr && blob.cbData == name.size() &&
         std::memcmp(blob.pbData, name.data(), name.size()) == 0;
}

// The key identifier of a certificate: its subjectKeyIdentifier extension.
bool HasKeyId(const CERT_INFO& cert, const Bytes& key_id) {
  for (DWORD i = 0; i < cert.cExtension && cert.rgExtension != nullptr; ++i) {
    const CERT_EXTENSION& ext = cert.rgExtension[i];
    if (ext.pszObjId == nullptr || std::strcmp(ext.pszObjId, "2.5.29.14") != 0) continue;
    der::Reader r(ext.Value.pbData, ext.Value.cbData);
    der::Tlv id;
    return r.Expect(der::kOctetString, id) && r.empty() && id.length == key_id.size() &&
           std::memcmp(id.value, key_id.data(), id.length) == 0;
  }
  return false;
}

// A single DER element exactly filling the blob.
bool OneElement(const CRYPT_DATA_BLOB* blob) {
  if (blob == nullptr || blob->pbData == nullptr || blob->cbData == 0) return false;
  size_t size = 0;
  DWORD err = 0;
  return BerElementSize(blob->pbData, blob->cbData, blob->cbData, size, err) == Step::kDone &&
         size == blob->cbData && blob->pbData[0] == der::kSequence;
}

// Cleanses a key buffer on scope exit.
template <size_t N>
struct SecretArray {
  BYTE b[N] = {};
  ~SecretArray() { OPENSSL_cleanse(b, N); }
};

// Agreement of the provider's own key with the peer's public key (VKO with the UKM) gives
// the KEK; the content key is unwrapped under it, the KEK diversified by the UKM first or
// not as the wrap says (`either`: both ways are tried). 0 or the error to report.
DWORD AgreeAndUnwrap(HCRYPTPROV handle, const Bytes& peer_spki, const gost89::ParamSet& wrap_set,
                     const BYTE* ukm, const BYTE* encrypted_key, const BYTE* mac, bool diversify,
                     bool either, BYTE* cek) {
  ProviderRef prov = LookupProvider(handle);
  if (!prov) return DWORD(NTE_BAD_UID);
  DWORD err = 0;
  EvpPkeyPtr own = ContainerKey(*prov, err);
  if (!own) return err != 0 ? err : DWORD(NTE_NO_KEY);
  EvpPkeyPtr peer = PublicKeyFromSpki(peer_spki.data(), peer_spki.size());
  if (!peer) return DWORD(NTE_BAD_PUBLIC_KEY);
  SecretArray<32> kek;
  if (!TransportKek(own.get(), peer.get(), ukm, kek.b)) return DWORD(NTE_BAD_KEY);
  gost89::Wrapped wrapped;
  std::memcpy(wrapped.enc, encrypted_key, sizeof(wrapped.enc));
  std::memcpy(wrapped.mac, mac, sizeof(wrapped.mac));
  if (gost89::UnwrapKey(wrap_set, kek.b, ukm, wrapped, cek, diversify) ||
      (either && gost89::UnwrapKey(wrap_set, kek.b, ukm, wrapped, cek, !diversify)))
    return 0;
  return DWORD(NTE_BAD_DATA);
}

class Gost89Content : public ContentCipher {
 public:
  Gost89Content(const gost89::ParamSet& params, const BYTE* cek, const BYTE* iv)
      : cfb_(params, cek, iv) {}
  void Decrypt(BYTE* data, size_t len) override { cfb_.Decrypt(data, len); }

 private:
  gost89::CfbStream cfb_;
};

class AcpkmContent : public ContentCipher {
 public:
  AcpkmContent(gost2015::Algorithm algorithm, const BYTE* cek, const BYTE* iv)
      : ctr_(algorithm, cek, iv,
             algorithm == gost2015::Algorithm::kMagma ? gost2015::kMagmaCmsSection
                                                      : gost2015::kKuznyechikCmsSection) {}
  void Decrypt(BYTE* data, size_t len) override { ctr_.Apply(data, len); }

 private:
  gost2015::CtrAcpkm ctr_;
};

// What decrypts a content of the algorithm, given its key; empty for an unknown one.
ContentCipherMaker ContentCipherFor(const AlgId& alg) {
  Bytes iv;
  if (alg.oid == kOidGost89) {
    std::string param_set;
    const gost89::ParamSet* set = nullptr;
    if (!ParseGost89Params(alg.params, iv, param_set) ||
        (set = gost89::FindParamSet(param_set)) == nullptr)
      return nullptr;
    return [set, iv](const BYTE* cek) { return std::make_unique<Gost89Content>(*set, cek, iv.data()); };
  }
  gost2015::Algorithm a;
  if (alg.oid == kOidMagmaCtrAcpkm) a = gost2015::Algorithm::kMagma;
  else if (alg.oid == kOidKuznyechikCtrAcpkm) a = gost2015::Algorithm::kKuznyechik;
  else return nullptr;
  if (!ParseCtrAcpkmParams(alg.params, gost2015::BlockSize(a) / 2, iv)) return nullptr;
  return [a, iv](const BYTE* cek) { return std::make_unique<AcpkmContent>(a, cek, iv.data()); };
}

// KExp15 key transport: KEG of the own key with the ephemeral key and the UKM gives the MAC
// and encryption keys under which the content key was exported. 0 or the error to report.
DWORD ImportKExp15(HCRYPTPROV handle, const RecipientRecord& recipient, BYTE* cek) {
  KExp15Transport kt;
  if (!ParseKExp15Transport(recipient.encrypted_key.data(), recipient.encrypted_key.size(), kt))
    return DWORD(CRYPT_E_UNKNOWN_ALGO);
  const gost2015::Algorithm a = recipient.key_alg.oid == kOidMagmaKExp15
                                    ? gost2015::Algorithm::kMagma
                                    : gost2015::Algorithm::kKuznyechik;
  ProviderRef prov = LookupProvider(handle);
  if (!prov) return DWORD(NTE_BAD_UID);
  DWORD err = 0;
  EvpPkeyPtr own = ContainerKey(*prov, err);
  if (!own) return err != 0 ? err : DWORD(NTE_NO_KEY);
  EvpPkeyPtr peer = PublicKeyFromSpki(kt.ephemeral_spki.data(), kt.ephemeral_spki.size());
  if (!peer) return DWORD(NTE_BAD_PUBLIC_KEY);
  SecretArray<64> keys;
  if (!Keg(own.get(), peer.get(), kt.ukm, keys.b)) return DWORD(NTE_BAD_KEY);
  if (!gost2015::KImp15(a, kt.exported.data(), kt.exported.size(), keys.b, keys.b + 32,
                        kt.ukm + 24, cek))
    return DWORD(NTE_BAD_DATA);
  return 0;
}

}  // namespace

BOOL Decoder::VerifySignature(const CERT_INFO* cert) {
  if (cert == nullptr) return Fail(DWORD(E_INVALIDARG));
  if (type_ != CMSG_SIGNED) return Fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
  if (!signers_ready_ || !content_done_) return Fail(DWORD(CRYPT_E_MSG_ERROR));
  const SignerRecord* signer = nullptr;
  for (const SignerRecord& s : signers_)
    if (s.by_key_id ? HasKeyId(*cert, s.serial)
                    : SameName(s.issuer, cert->Issuer) && SameSerial(s.serial, cert->SerialNumber)) {
      signer = &s;
      break;
    }
  if (signer == nullptr) return Fail(DWORD(CRYPT_E_SIGNER_NOT_FOUND));
  EvpPkeyPtr key = PublicKeyFromInfo(cert->SubjectPublicKeyInfo);
  if (!key) return Fail(DWORD(NTE_BAD_PUBLIC_KEY));
  const EVP_MD* md = DigestForOid(signer->digest.oid);
  if (md == nullptr) return Fail(DWORD(CRYPT_E_UNKNOWN_ALGO));
  const Bytes* content_digest = DigestOf(md);
  if (content_digest == nullptr) return Fail(DWORD(CRYPT_E_UNKNOWN_ALGO));
  Bytes signed_digest = *content_digest;
  if (signer->has_auth) {
    const Attribute* md_attr = nullptr;
    for (const Attribute& a : signer->auth)
      if (a.oid == kOidMessageDigest) md_attr = &a;
    if (md_attr == nullptr || md_attr->values.size() != 1)
      return Fail(DWORD(CRYPT_E_AUTH_ATTR_MISSING));
    der::Reader r(md_attr->values[0].data(), md_attr->values[0].size());
    der::Tlv value;
    if (!r.Expect(der::kOctetString, value) || !r.empty())
      return Fail(DWORD(CRYPT_E_AUTH_ATTR_MISSING));
    if (value.length != content_digest->size() ||
        std::memcmp(value.value, content_digest->data(), value.length) != 0)
      return Fail(DWORD(CRYPT_E_HASH_VALUE));
    BYTE d[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(signer->auth_der.data(), signer->auth_der.size(), d, &len, md, nullptr) <= 0) {
      ERR_clear_error();
      return Fail(DWORD(NTE_FAIL));
    }
    signed_digest.assign(d, d + len);
  }
  // CMS carries the engine's own signature form (s || r big-endian).
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key.get(), GostEngine()));
  const bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) > 0 &&
                  EVP_PKEY_verify(ctx.get(), signer->encrypted_digest.data(),
                                  signer->encrypted_digest.size(), signed_digest.data(),
                                  signed_digest.size()) == 1;
  ERR_clear_error();
  if (!ok) return Fail(DWORD(NTE_BAD_SIGNATURE));
  return TRUE;
}

bool Decoder::ReadyToDecrypt(DWORD recipient, CipherMaker& make) {
  if (type_ != 0 && type_ != CMSG_ENVELOPED) return Fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
  if (!recipients_ready_ || !alg_ready_) return Fail(NotReady());
  if (cipher_) return Fail(DWORD(CRYPT_E_ALREADY_DECRYPTED));
  if (recipient >= recipients_.size()) return Fail(DWORD(CRYPT_E_INVALID_INDEX));
  if (!recipients_[recipient]) return Fail(DWORD(CRYPT_E_UNKNOWN_ALGO));
  make = ContentCipherFor(content_alg_);
  if (!make) return Fail(DWORD(CRYPT_E_UNKNOWN_ALGO));
  return true;
}

BOOL Decoder::StartDecryption(std::unique_ptr<ContentCipher> cipher, DWORD recipient,
                              DWORD encrypted_key) {
  cipher_ = std::move(cipher);
  recipient_index_ = recipient;
  encrypted_key_index_ = encrypted_key;
  // Ciphertext that arrived before the key, then the end if it has been seen.
  if (!held_.Drain([this](const BYTE* p, size_t n) { return Decrypt(p, n); }))
    return Fail(error_ != 0 ? error_ : DWORD(ERROR_READ_FAULT));
  if (cipher_done_ && stream_ && !Deliver(nullptr, 0, true))
    return Fail(error_ != 0 ? error_ : DWORD(ERROR_CANCELLED));
  return TRUE;
}

BOOL Decoder::DecryptControl(const CMSG_CTRL_DECRYPT_PARA* para) {
  if (para == nullptr || !(para->cbSize == kWin32DecryptParaSize || para->cbSize >= sizeof(*para)) ||
      para->hCryptProv == 0)
    return Fail(DWORD(E_INVALIDARG));
  CipherMaker make;
  if (!ReadyToDecrypt(para->dwRecipientIndex, make)) return FALSE;
  const RecipientRecord& recipient = *recipients_[para->dwRecipientIndex];
  if (recipient.key_agree) return Fail(DWORD(CRYPT_E_UNKNOWN_ALGO));
  if (recipient.key_alg.oid == kOidMagmaKExp15 || recipient.key_alg.oid == kOidKuznyechikKExp15) {
    SecretArray<32> cek;
    if (DWORD e = ImportKExp15(para->hCryptProv, recipient, cek.b)) return Fail(e);
    return StartDecryption(make(cek.b), para->dwRecipientIndex, 0);
  }
  KeyTransport kt;
  if (!ParseKeyTransport(recipient.encrypted_key.data(), recipient.encrypted_key.size(), kt))
    return Fail(DWORD(CRYPT_E_UNKNOWN_ALGO));
  const gost89::ParamSet* wrap_set = gost89::FindParamSet(kt.param_set);
  if (wrap_set == nullptr) return Fail(DWORD(CRYPT_E_UNKNOWN_ALGO));

  // RFC 4490 wraps with the CryptoPro algorithm (KEK diversified by the UKM); a key wrapped
  // without diversification is accepted too.
  SecretArray<32> cek;
  if (DWORD e = AgreeAndUnwrap(para->hCryptProv, kt.ephemeral_spki, *wrap_set, kt.ukm,
                               kt.encrypted_key, kt.mac, true, true, cek.b))
    return Fail(e);
  return StartDecryption(make(cek.b), para->dwRecipientIndex, 0);
}

// ESDH (RFC 4490): VKO of the own key with the originator's key and the UKM gives the KEK,
// which wraps the content key directly ("none" wrap) or after CryptoPro diversification.
BOOL Decoder::KeyAgreeDecryptControl(const CMSG_CTRL_KEY_AGREE_DECRYPT_PARA* para) {
  if (para == nullptr ||
      !(para->cbSize == kWin32KeyAgreeParaSize || para->cbSize >= sizeof(*para)) ||
      para->hCryptProv == 0 ||
      (para->OriginatorPublicKey.cbData > 0 && para->OriginatorPublicKey.pbData == nullptr))
    return Fail(DWORD(E_INVALIDARG));
  CipherMaker make;
  if (!ReadyToDecrypt(para->dwRecipientIndex, make)) return FALSE;
  const RecipientRecord& recipient = *recipients_[para->dwRecipientIndex];
  if (!recipient.key_agree) return Fail(DWORD(CRYPT_E_UNKNOWN_ALGO));
  if (para->dwRecipientEncryptedKeyIndex >= recipient.agreed.size())
    return Fail(DWORD(CRYPT_E_INVALID_INDEX));
  KeyWrap wrap;
  BYTE encrypted_key[32], mac[4];
  const Bytes& key = recipient.agreed[para->dwRecipientEncryptedKeyIndex].encrypted_key;
  if (!ParseEsdhKeyWrap(recipient.key_alg, wrap) || recipient.ukm.size() != 8 ||
      !ParseGost89EncryptedKey(key.data(), key.size(), encrypted_key, mac))
    return Fail(DWORD(CRYPT_E_UNKNOWN_ALGO));
  const gost89::ParamSet* wrap_set = gost89::FindParamSet(wrap.param_set);
  if (wrap_set == nullptr) return Fail(DWORD(CRYPT_E_UNKNOWN_ALGO));

  Bytes bits = recipient.originator_bits;
  if (para->OriginatorPublicKey.cbData > 0) {
    bits.assign(1, BYTE(para->OriginatorPublicKey.cUnusedBits));
    bits.insert(bits.end(), para->OriginatorPublicKey.pbData,
                para->OriginatorPublicKey.pbData + para->OriginatorPublicKey.cbData);
  }
  Bytes spki = AlgIdTlv(recipient.originator_alg);
  Append(spki, Tlv(der::kBitString, bits));
  spki = Tlv(der::kSequence, spki);
  SecretArray<32> cek;
  if (DWORD e = AgreeAndUnwrap(para->hCryptProv, spki, *wrap_set, recipient.ukm.data(),
                               encrypted_key, mac, wrap.diversify, false, cek.b))
    return Fail(e);
  return StartDecryption(make(cek.b), para->dwRecipientIndex,
                         para->dwRecipientEncryptedKeyIndex);
}

BOOL Decoder::Control(DWORD, DWORD type, const void* para) {
  if (failed_) return Fail(DWORD(CRYPT_E_MSG_ERROR));
  switch (type) {
    case CMSG_CTRL_VERIFY_SIGNATURE:
      return VerifySignature(static_cast<const CERT_INFO*>(para));
    case CMSG_CTRL_DECRYPT:
      return DecryptControl(static_cast<const CMSG_CTRL_DECRYPT_PARA*>(para));
    case CMSG_CTRL_KEY_AGREE_DECRYPT:
      return KeyAgreeDecryptControl(static_cast<const CMSG_CTRL_KEY_AGREE_DECRYPT_PARA*>(para));
    case CMSG_CTRL_ADD_CERT:
    case CMSG_CTRL_ADD_CRL: {
      if (type_ == 0) return Fail(NotReady());
      if (type_ != CMSG_SIGNED) return Fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
      const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(para);
      if (!OneElement(blob)) return Fail(DWORD(CRYPT_E_ASN1_CORRUPT));
      (type == CMSG_CTRL_ADD_CERT ? certs_ : crls_).emplace_back(blob->pbData,
                                                                blob->pbData + blob->cbData);
      return TRUE;
    }
    case CMSG_CTRL_DEL_CERT:
    case CMSG_CTRL_DEL_CRL: {
      if (type_ == 0) return Fail(NotReady());
      if (type_ != CMSG_SIGNED) return Fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
      const auto* index = static_cast<const DWORD*>(para);
      auto& list = type == CMSG_CTRL_DEL_CERT ? certs_ : crls_;
      if (index == nullptr) return Fail(DWORD(E_INVALIDARG));
      if (*index >= list.size()) return Fail(DWORD(CRYPT_E_INVALID_INDEX));
      list.erase(list.begin() + std::ptrdiff_t(*index));
      return TRUE;
    }
    default:
      return Fail(DWORD(CRYPT_E_CONTROL_TYPE));
  }
}

}  // namespace vexorcsp::msg
