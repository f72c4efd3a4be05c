// GOST enveloped-data encoding (CryptMsgOpenToEncode with CMSG_ENVELOPED, and the writer
// behind CryptEncryptMessage).
#include "platform/messages/msg_enveloped.h"

#include <cstring>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>

#include "platform/codec/der.h"
#include "platform/core/last_error.h"
#include "platform/core/out_param.h"
#include "platform/provider/gost_vko2012.h"

namespace vexorcsp::msg {

namespace {

constexpr DWORD kWin32EnvelopedSize = 28;

const BYTE kEoc[] = {0, 0};

void Put(Bytes& out, const BYTE* p, size_t n) { out.insert(out.end(), p, p + n); }

// One KeyTransRecipientInfo: VKO of a new ephemeral key on the recipient's curve with the
// recipient's key and a random UKM gives the KEK that wraps the content key (VKO GOST R
// 34.10-2012 for a 2012 recipient, whose ephemeral key is a 2012 key of the same size).
bool RecipientInfo(const CERT_INFO& ci, const SecretBytes& cek, const gost89::ParamSet& params,
                   Bytes& out, DWORD& error) {
  if (ci.Issuer.pbData == nullptr || ci.Issuer.cbData == 0 || ci.SerialNumber.pbData == nullptr ||
      ci.SerialNumber.cbData == 0 || ci.SubjectPublicKeyInfo.Algorithm.pszObjId == nullptr) {
    error = DWORD(E_INVALIDARG);
    return false;
  }
  EvpPkeyPtr peer = PublicKeyFromInfo(ci.SubjectPublicKeyInfo);
  EvpPkeyPtr eph;
  RawPublicKey raw;
  if (peer && Is2012Key(peer.get())) {
    eph = GenerateKeyLike(peer.get());
  } else if (peer && ExtractPublic(peer.get(), raw)) {
    eph = GenerateKey(raw.params.curve);
    if (!eph) eph = GenerateKey(CanonicalCurve(raw.params.curve));
  } else {
    error = DWORD(NTE_BAD_PUBLIC_KEY);
    return false;
  }
  KeyTransport kt;
  SecretBytes kek(gost89::kKeySize);
  if (!eph || RAND_bytes(kt.ukm, sizeof(kt.ukm)) != 1 ||
      !TransportKek(eph.get(), peer.get(), kt.ukm, kek.data())) {
    ERR_clear_error();
    error = DWORD(NTE_FAIL);
    return false;
  }
  const gost89::Wrapped w = gost89::WrapKey(params, kek.data(), kt.ukm, cek.data(), true);
  std::memcpy(kt.encrypted_key, w.enc, sizeof(kt.encrypted_key));
  std::memcpy(kt.mac, w.mac, sizeof(kt.mac));
  kt.param_set = params.oid;
  kt.ephemeral_spki = PublicKeyInfoDer(eph.get());
  if (kt.ephemeral_spki.empty()) {
    error = DWORD(NTE_FAIL);
    return false;
  }
  AlgId key_alg;
  key_alg.oid = ci.SubjectPublicKeyInfo.Algorithm.pszObjId;
  const CRYPT_OBJID_BLOB& p = ci.SubjectPublicKeyInfo.Algorithm.Parameters;
  if (p.cbData > 0 && p.pbData != nullptr) key_alg.params.assign(p.pbData, p.pbData + p.cbData);
  Bytes content = SmallInteger(0);
  Append(content, IssuerSerialTlv(ci));
  Append(content, AlgIdTlv(key_alg));
  Append(content, Tlv(der::kOctetString, KeyTransportTlv(kt)));
  out = Tlv(der::kSequence, content);
  return true;
}

}  // namespace

std::unique_ptr<Envelope> Envelope::Create(const std::vector<const CERT_INFO*>& recipients,
                                           DWORD& error) {
  std::unique_ptr<Envelope> env(new Envelope);
  env->params_ = gost89::FindParamSet(gost89::kCryptoProA);
  if (env->params_ == nullptr || recipients.empty()) {
    error = DWORD(E_INVALIDARG);
    return nullptr;
  }
  if (RAND_bytes(env->cek_.data(), int(env->cek_.size())) != 1 ||
      RAND_bytes(env->iv_, sizeof(env->iv_)) != 1) {
    ERR_clear_error();
    error = DWORD(NTE_FAIL);
    return nullptr;
  }
  for (const CERT_INFO* ci : recipients) {
    Bytes ri;
    if (ci == nullptr) {
      error = DWORD(E_INVALIDARG);
      return nullptr;
    }
    if (!RecipientInfo(*ci, env->cek_, *env->params_, ri, error)) return nullptr;
    env->recipient_infos_.push_back(std::move(ri));
  }
  env->cipher_ = std::make_unique<gost89::CfbStream>(*env->params_, env->cek_.data(), env->iv_);
  return env;
}

Bytes Envelope::ContentAlgorithm() const {
  Bytes params = Tlv(der::kOctetString, Bytes(iv_, iv_ + sizeof(iv_)));
  Append(params, OidTlv(params_->oid));
  return AlgIdTlv({kOidGost89, Tlv(der::kSequence, params)});
}

Bytes Envelope::EnvelopedBody(const Bytes& encrypted_content_info) const {
  Bytes set;
  // Recipients stay in the order given (not sorted), as GOST providers write them.
  for (const Bytes& ri : recipient_infos_) Append(set, ri);
  Bytes body = SmallInteger(0);
  Append(body, Tlv(der::kSet, set));
  Append(body, encrypted_content_info);
  return body;
}

Bytes Envelope::Prefix(size_t cipher_len, bool bare) const {
  // Lengths are computed around the ciphertext so that it is never copied into a tree.
  Bytes eci_head = OidTlv(kOidData);
  Append(eci_head, ContentAlgorithm());
  Append(eci_head, TlvHeader(0x80, cipher_len));
  const size_t eci_len = eci_head.size() + cipher_len;
  Bytes set;
  for (const Bytes& ri : recipient_infos_) Append(set, ri);
  Bytes ed_head = SmallInteger(0);
  Append(ed_head, Tlv(der::kSet, set));
  Append(ed_head, TlvHeader(der::kSequence, eci_len));
  const size_t ed_len = ed_head.size() + eci_len;
  Bytes out = TlvHeader(der::kSequence, ed_len);
  Append(out, ed_head);
  Append(out, eci_head);
  if (bare) return out;
  const size_t inner_len = out.size() + cipher_len;
  const Bytes explicit_header = TlvHeader(0xA0, inner_len);
  const Bytes oid = OidTlv(kOidEnvelopedData);
  Bytes whole = TlvHeader(der::kSequence, oid.size() + explicit_header.size() + inner_len);
  Append(whole, oid);
  Append(whole, explicit_header);
  Append(whole, out);
  return whole;
}

Bytes Envelope::Whole(const Bytes& ciphertext, bool bare) const {
  Bytes out = Prefix(ciphertext.size(), bare);
  out.reserve(out.size() + ciphertext.size());
  Append(out, ciphertext);
  return out;
}

Bytes Envelope::StreamHeader(bool bare) const {
  Bytes h;
  const BYTE seq[] = {0x30, 0x80}, ctx0[] = {0xA0, 0x80};
  if (!bare) {
    Put(h, seq, 2);
    Append(h, OidTlv(kOidEnvelopedData));
    Put(h, ctx0, 2);
  }
  Put(h, seq, 2);
  Bytes eci_head = {0x30, 0x80};
  Append(eci_head, OidTlv(kOidData));
  Append(eci_head, ContentAlgorithm());
  Put(eci_head, ctx0, 2);
  Append(h, EnvelopedBody(eci_head));
  return h;
}

Bytes Envelope::StreamChunk(const BYTE* cipher, size_t n) {
  return Tlv(der::kOctetString, Bytes(cipher, cipher + n));
}

Bytes Envelope::StreamTrailer(bool bare) {
  Bytes t;
  for (int i = 0; i < (bare ? 3 : 5); ++i) Put(t, kEoc, 2);
  return t;
}

std::vector<const CERT_INFO*> EnvelopedEncoder::Recipients(const void* info_ptr, DWORD& error) {
  const auto* info = static_cast<const CMSG_ENVELOPED_ENCODE_INFO*>(info_ptr);
  if (info == nullptr ||
      !(info->cbSize == kWin32EnvelopedSize || info->cbSize >= sizeof(*info)) ||
      info->cRecipients == 0 || info->rgpRecipients == nullptr) {
    error = DWORD(E_INVALIDARG);
    return {};
  }
  if (info->ContentEncryptionAlgorithm.pszObjId == nullptr ||
      std::string(info->ContentEncryptionAlgorithm.pszObjId) != kOidGost89) {
    error = DWORD(CRYPT_E_UNKNOWN_ALGO);
    return {};
  }
  return std::vector<const CERT_INFO*>(info->rgpRecipients,
                                       info->rgpRecipients + info->cRecipients);
}

std::shared_ptr<EnvelopedEncoder> EnvelopedEncoder::Create(DWORD flags, const void* info,
                                                           const CMSG_STREAM_INFO* stream) {
  DWORD error = 0;
  const std::vector<const CERT_INFO*> recipients = Recipients(info, error);
  if (recipients.empty()) {
    SetLastError(error);
    return nullptr;
  }
  if (stream != nullptr && stream->pfnStreamOutput == nullptr) {
    SetLastError(DWORD(E_INVALIDARG));
    return nullptr;
  }
  std::shared_ptr<EnvelopedEncoder> enc(new EnvelopedEncoder);
  enc->bare_ = (flags & CMSG_BARE_CONTENT_FLAG) != 0;
  if (stream != nullptr) enc->stream_ = *stream;
  enc->envelope_ = Envelope::Create(recipients, error);
  if (!enc->envelope_) {
    SetLastError(error);
    return nullptr;
  }
  return enc;
}

BOOL EnvelopedEncoder::Update(const BYTE* data, DWORD size, BOOL final) {
  if (finished_) return Fail(DWORD(CRYPT_E_MSG_ERROR));
  if (size > 0 && data == nullptr) return Fail(DWORD(E_INVALIDARG));
  if (stream_) {
    if (!header_sent_) {
      const Bytes h = envelope_->StreamHeader(bare_);
      header_sent_ = true;
      if (!Emit(*stream_, h.data(), h.size(), false)) return Fail(DWORD(ERROR_CANCELLED));
    }
    if (size > 0) {
      Bytes piece(data, data + size);
      envelope_->cipher().Encrypt(piece.data(), piece.size());
      const Bytes chunk = Envelope::StreamChunk(piece.data(), piece.size());
      if (!Emit(*stream_, chunk.data(), chunk.size(), false)) return Fail(DWORD(ERROR_CANCELLED));
    }
    if (!final) return TRUE;
    finished_ = true;
    const Bytes t = Envelope::StreamTrailer(bare_);
    return Emit(*stream_, t.data(), t.size(), true) ? TRUE : Fail(DWORD(ERROR_CANCELLED));
  }
  const size_t at = ciphertext_.size();
  ciphertext_.insert(ciphertext_.end(), data, data + size);
  envelope_->cipher().Encrypt(ciphertext_.data() + at, size);
  if (!final) return TRUE;
  finished_ = true;
  encoded_ = envelope_->Whole(ciphertext_, bare_);
  ciphertext_.clear();
  ciphertext_.shrink_to_fit();
  return TRUE;
}

BOOL EnvelopedEncoder::GetParam(DWORD param, DWORD, void* out, DWORD* out_len) {
  if (out_len == nullptr) return Fail(DWORD(E_INVALIDARG));
  switch (param) {
    case CMSG_TYPE_PARAM: {
      const DWORD type = CMSG_ENVELOPED;
      return CopyOut(&type, sizeof(type), static_cast<BYTE*>(out), out_len);
    }
    case CMSG_CONTENT_PARAM:
      if (stream_ || !finished_) return Fail(DWORD(CRYPT_E_MSG_ERROR));
      return CopyOut(encoded_.data(), encoded_.size(), static_cast<BYTE*>(out), out_len);
    default:
      return Fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
  }
}

BOOL EnvelopedEncoder::Control(DWORD, DWORD, const void*) {
  return Fail(DWORD(CRYPT_E_CONTROL_TYPE));
}

bool EnvelopedEncoder::Contents(std::vector<Bytes>& certs, std::vector<Bytes>& crls) {
  certs.clear();
  crls.clear();
  return true;
}

}  // namespace vexorcsp::msg
