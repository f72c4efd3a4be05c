// What a decoded message reports through CryptMsgGetParam, and its re-encoding after
// certificates or CRLs were added or removed.
#include "platform/messages/msg_decode.h"

#include "platform/codec/der.h"
#include "platform/core/last_error.h"
#include "platform/core/out_param.h"

namespace vexorcsp::msg {

namespace {

BOOL Dword(DWORD v, void* out, DWORD* out_len) {
  return CopyOut(&v, sizeof(v), static_cast<BYTE*>(out), out_len);
}

BOOL Raw(const Bytes& b, void* out, DWORD* out_len) {
  return CopyOut(b.data(), b.size(), static_cast<BYTE*>(out), out_len);
}

// The issuer CryptoAPI reports for a signer named by key identifier: a name with one
// attribute 1.3.6.1.4.1.311.10.7.1 holding the identifier (serial number one zero byte).
Bytes KeyIdIssuer(const Bytes& key_id) {
  Bytes atv = OidTlv("1.3.6.1.4.1.311.10.7.1");
  Append(atv, Tlv(der::kOctetString, key_id));
  return Tlv(der::kSequence, Tlv(der::kSet, Tlv(der::kSequence, atv)));
}

// A CERT_INFO with only the issuer and the serial number (least significant byte first).
BOOL IssuerSerialInfo(const Bytes& issuer, const Bytes& serial, void* out, DWORD* out_len) {
  return DeliverFlat(out, out_len, [&](FlatWriter& w) {
    CERT_INFO* info = w.Alloc<CERT_INFO>();
    FlatBlob(w, info ? &info->Issuer : nullptr, issuer);
    FlatReversed(w, info ? &info->SerialNumber : nullptr, serial);
  });
}

void FlatIssuerSerialId(FlatWriter& w, CERT_ID* id, const Bytes& issuer, const Bytes& serial) {
  if (id != nullptr) id->dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
  FlatBlob(w, id ? &id->IssuerSerialNumber.Issuer : nullptr, issuer);
  FlatReversed(w, id ? &id->IssuerSerialNumber.SerialNumber : nullptr, serial);
}

// CMSG_CMS_RECIPIENT_INFO with the key-transport or key-agreement structure behind it.
void FlatCmsRecipient(FlatWriter& w, const RecipientRecord& r) {
  auto* info = w.Alloc<CMSG_CMS_RECIPIENT_INFO>();
  if (!r.key_agree) {
    auto* kt = w.Alloc<CMSG_KEY_TRANS_RECIPIENT_INFO>();
    if (info != nullptr) {
      info->dwRecipientChoice = CMSG_KEY_TRANS_RECIPIENT;
      info->pKeyTrans = kt;
    }
    if (kt != nullptr) kt->dwVersion = r.version;
    FlatIssuerSerialId(w, kt ? &kt->RecipientId : nullptr, r.issuer, r.serial);
    FlatAlgId(w, kt ? &kt->KeyEncryptionAlgorithm : nullptr, r.key_alg);
    FlatBlob(w, kt ? &kt->EncryptedKey : nullptr, r.encrypted_key);
    return;
  }
  auto* ka = w.Alloc<CMSG_KEY_AGREE_RECIPIENT_INFO>();
  auto* keys = w.Alloc<PCMSG_RECIPIENT_ENCRYPTED_KEY_INFO>(r.agreed.size());
  if (info != nullptr) {
    info->dwRecipientChoice = CMSG_KEY_AGREE_RECIPIENT;
    info->pKeyAgree = ka;
  }
  if (ka != nullptr) {
    ka->dwVersion = r.version;
    ka->dwOriginatorChoice = CMSG_KEY_AGREE_ORIGINATOR_PUBLIC_KEY;
    ka->cRecipientEncryptedKeys = DWORD(r.agreed.size());
    ka->rgpRecipientEncryptedKeys = keys;
  }
  FlatAlgId(w, ka ? &ka->OriginatorPublicKeyInfo.Algorithm : nullptr, r.originator_alg);
  BYTE* key_bits = w.Bytes(Bytes(r.originator_bits.begin() + 1, r.originator_bits.end()));
  if (ka != nullptr) {
    ka->OriginatorPublicKeyInfo.PublicKey.cbData = DWORD(r.originator_bits.size() - 1);
    ka->OriginatorPublicKeyInfo.PublicKey.pbData = key_bits;
    ka->OriginatorPublicKeyInfo.PublicKey.cUnusedBits = r.originator_bits[0] & 7;
  }
  FlatBlob(w, ka ? &ka->UserKeyingMaterial : nullptr, r.ukm);
  FlatAlgId(w, ka ? &ka->KeyEncryptionAlgorithm : nullptr, r.key_alg);
  for (size_t i = 0; i < r.agreed.size(); ++i) {
    auto* k = w.Alloc<CMSG_RECIPIENT_ENCRYPTED_KEY_INFO>();
    if (keys != nullptr) keys[i] = k;
    FlatIssuerSerialId(w, k ? &k->RecipientId : nullptr, r.agreed[i].issuer, r.agreed[i].serial);
    FlatBlob(w, k ? &k->EncryptedKey : nullptr, r.agreed[i].encrypted_key);
  }
}

}  // namespace

BOOL Decoder::GetParam(DWORD param, DWORD index, void* out, DWORD* out_len) {
  if (out_len == nullptr) return Fail(DWORD(E_INVALIDARG));
  if (failed_) return Fail(DWORD(CRYPT_E_MSG_ERROR));
  const bool is_signed = type_ == CMSG_SIGNED;
  const bool is_enveloped = type_ == CMSG_ENVELOPED;
  auto signer = [&]() -> const SignerRecord* {
    if (type_ != 0 && !is_signed) {
      SetLastError(DWORD(CRYPT_E_INVALID_MSG_TYPE));
      return nullptr;
    }
    if (!signers_ready_) {
      SetLastError(NotReady());
      return nullptr;
    }
    if (index >= signers_.size()) {
      SetLastError(DWORD(CRYPT_E_INVALID_INDEX));
      return nullptr;
    }
    return &signers_[index];
  };
  switch (param) {
    case CMSG_TYPE_PARAM:
      if (type_ == 0) return Fail(NotReady());
      return Dword(type_, out, out_len);
    case CMSG_VERSION_PARAM:
      if (!version_known_) return Fail(NotReady());
      return Dword(version_, out, out_len);
    case CMSG_INNER_CONTENT_TYPE_PARAM:
      if (inner_type_.empty()) return Fail(NotReady());
      return CopyOut(inner_type_.c_str(), inner_type_.size() + 1, static_cast<BYTE*>(out), out_len);
    case CMSG_CONTENT_PARAM:
      if (is_enveloped && !cipher_) return Fail(DWORD(CRYPT_E_NOT_DECRYPTED));
      if (type_ == 0 || (!content_done_ && !detached_)) return Fail(NotReady());
      return Raw(content_, out, out_len);
    case CMSG_SIGNER_COUNT_PARAM:
      if (type_ != 0 && !is_signed) return Fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
      if (!signers_ready_) return Fail(NotReady());
      return Dword(DWORD(signers_.size()), out, out_len);
    case CMSG_SIGNER_INFO_PARAM: {
      const SignerRecord* s = signer();
      if (s == nullptr) return FALSE;
      return DeliverFlat(out, out_len, [&](FlatWriter& w) {
        CMSG_SIGNER_INFO* si = w.Alloc<CMSG_SIGNER_INFO>();
        if (si) si->dwVersion = s->version;
        FlatBlob(w, si ? &si->Issuer : nullptr, s->issuer);
        FlatReversed(w, si ? &si->SerialNumber : nullptr, s->serial);
        FlatAlgId(w, si ? &si->HashAlgorithm : nullptr, s->digest);
        FlatAlgId(w, si ? &si->HashEncryptionAlgorithm : nullptr, s->signature);
        FlatBlob(w, si ? &si->EncryptedHash : nullptr, s->encrypted_digest);
        FlatAttributes(w, si ? &si->AuthAttrs : nullptr, s->auth);
        FlatAttributes(w, si ? &si->UnauthAttrs : nullptr, s->unauth);
      });
    }
    case CMSG_SIGNER_CERT_INFO_PARAM: {
      const SignerRecord* s = signer();
      if (s == nullptr) return FALSE;
      if (s->by_key_id) return IssuerSerialInfo(KeyIdIssuer(s->serial), {0}, out, out_len);
      return IssuerSerialInfo(s->issuer, s->serial, out, out_len);
    }
    case CMSG_SIGNER_HASH_ALGORITHM_PARAM: {
      const SignerRecord* s = signer();
      if (s == nullptr) return FALSE;
      return DeliverFlat(out, out_len, [&](FlatWriter& w) {
        FlatAlgId(w, w.Alloc<CRYPT_ALGORITHM_IDENTIFIER>(), s->digest);
      });
    }
    case CMSG_SIGNER_AUTH_ATTR_PARAM:
    case CMSG_SIGNER_UNAUTH_ATTR_PARAM: {
      const SignerRecord* s = signer();
      if (s == nullptr) return FALSE;
      const auto& attrs = param == CMSG_SIGNER_AUTH_ATTR_PARAM ? s->auth : s->unauth;
      if (attrs.empty()) return Fail(DWORD(CRYPT_E_ATTRIBUTES_MISSING));
      return DeliverFlat(out, out_len, [&](FlatWriter& w) {
        FlatAttributes(w, w.Alloc<CRYPT_ATTRIBUTES>(), attrs);
      });
    }
    case CMSG_ENCRYPTED_DIGEST: {
      const SignerRecord* s = signer();
      if (s == nullptr) return FALSE;
      return Raw(s->encrypted_digest, out, out_len);
    }
    case CMSG_ENCODED_SIGNER: {
      const SignerRecord* s = signer();
      if (s == nullptr) return FALSE;
      return Raw(s->encoded, out, out_len);
    }
    case CMSG_COMPUTED_HASH_PARAM: {
      const SignerRecord* s = signer();
      if (s == nullptr) return FALSE;
      const Bytes* d = DigestOf(DigestForOid(s->digest.oid));
      if (d == nullptr) return Fail(NotReady());
      return Raw(*d, out, out_len);
    }
    case CMSG_CERT_COUNT_PARAM:
    case CMSG_CRL_COUNT_PARAM:
      if (type_ == 0) return Fail(NotReady());
      if (!is_signed && !is_enveloped) return Fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
      return Dword(DWORD(param == CMSG_CERT_COUNT_PARAM ? certs_.size() : crls_.size()), out,
                   out_len);
    case CMSG_CERT_PARAM:
    case CMSG_CRL_PARAM: {
      if (type_ == 0) return Fail(NotReady());
      if (!is_signed && !is_enveloped) return Fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
      const auto& list = param == CMSG_CERT_PARAM ? certs_ : crls_;
      if (index >= list.size()) return Fail(DWORD(CRYPT_E_INVALID_INDEX));
      return Raw(list[index], out, out_len);
    }
    case CMSG_ENVELOPE_ALGORITHM_PARAM:
      if (type_ != 0 && !is_enveloped) return Fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
      if (!alg_ready_) return Fail(NotReady());
      return DeliverFlat(out, out_len, [&](FlatWriter& w) {
        FlatAlgId(w, w.Alloc<CRYPT_ALGORITHM_IDENTIFIER>(), content_alg_);
      });
    case CMSG_RECIPIENT_COUNT_PARAM:
      if (type_ != 0 && !is_enveloped) return Fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
      if (!recipients_ready_) return Fail(NotReady());
      return Dword(DWORD(recipients_.size()), out, out_len);
    case CMSG_RECIPIENT_INDEX_PARAM:
      if (type_ != 0 && !is_enveloped) return Fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
      if (!cipher_) return Fail(DWORD(CRYPT_E_NOT_DECRYPTED));
      return Dword(recipient_index_, out, out_len);
    case CMSG_RECIPIENT_INFO_PARAM: {
      if (type_ != 0 && !is_enveloped) return Fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
      if (!recipients_ready_) return Fail(NotReady());
      if (index >= recipients_.size()) return Fail(DWORD(CRYPT_E_INVALID_INDEX));
      if (!recipients_[index] || recipients_[index]->key_agree)
        return Fail(DWORD(CRYPT_E_UNKNOWN_ALGO));
      return IssuerSerialInfo(recipients_[index]->issuer, recipients_[index]->serial, out, out_len);
    }
    case CMSG_CMS_RECIPIENT_COUNT_PARAM:
      if (type_ != 0 && !is_enveloped) return Fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
      if (!recipients_ready_) return Fail(NotReady());
      return Dword(DWORD(recipients_.size()), out, out_len);
    case CMSG_CMS_RECIPIENT_INDEX_PARAM:
    case CMSG_CMS_RECIPIENT_ENCRYPTED_KEY_INDEX_PARAM:
      if (type_ != 0 && !is_enveloped) return Fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
      if (!cipher_) return Fail(DWORD(CRYPT_E_NOT_DECRYPTED));
      return Dword(param == CMSG_CMS_RECIPIENT_INDEX_PARAM ? recipient_index_ : encrypted_key_index_,
                   out, out_len);
    case CMSG_CMS_RECIPIENT_INFO_PARAM: {
      if (type_ != 0 && !is_enveloped) return Fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
      if (!recipients_ready_) return Fail(NotReady());
      if (index >= recipients_.size()) return Fail(DWORD(CRYPT_E_INVALID_INDEX));
      if (!recipients_[index]) return Fail(DWORD(CRYPT_E_UNKNOWN_ALGO));
      const RecipientRecord& r = *recipients_[index];
      return DeliverFlat(out, out_len, [&](FlatWriter& w) { FlatCmsRecipient(w, r); });
    }
    case CMSG_ENCODED_MESSAGE:
      return EncodedMessage(out, out_len);
    default:
      return Fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
  }
}

// The signed message rebuilt from its parts, with the certificate and CRL sets as they are
// now. Only possible when the content was kept (not streamed).
BOOL Decoder::EncodedMessage(void* out, DWORD* out_len) {
  if (type_ != CMSG_SIGNED) return Fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
  if (state_ != St::kDone) return Fail(NotReady());
  if (stream_ && content_present_) return Fail(DWORD(CRYPT_E_MSG_ERROR));
  Bytes eci = OidTlv(inner_type_);
  if (content_present_)
    Append(eci, Tlv(0xA0, content_raw_ ? content_ : Tlv(der::kOctetString, content_)));
  Bytes body = version_tlv_;
  Append(body, digest_algs_tlv_);
  Append(body, Tlv(der::kSequence, eci));
  if (!certs_.empty()) {
    Bytes set;
    for (const Bytes& c : certs_) Append(set, c);
    Append(body, Tlv(0xA0, set));
  }
  if (!crls_.empty()) {
    Bytes set;
    for (const Bytes& c : crls_) Append(set, c);
    Append(body, Tlv(0xA1, set));
  }
  Bytes infos;
  for (const SignerRecord& s : signers_) Append(infos, s.encoded);
  Append(body, Tlv(der::kSet, infos));
  Bytes whole = OidTlv(kOidSignedData);
  Append(whole, Tlv(0xA0, Tlv(der::kSequence, body)));
  whole = Tlv(der::kSequence, whole);
  return Raw(whole, out, out_len);
}

bool Decoder::Contents(std::vector<Bytes>& certs, std::vector<Bytes>& crls) {
  if (type_ == 0) {
    SetLastError(NotReady());
    return false;
  }
  certs = certs_;
  crls = crls_;
  return true;
}

}  // namespace vexorcsp::msg
