// Signed-data encoding (CryptMsgOpenToEncode with CMSG_SIGNED).
#include "platform/messages/msg_encode_signed.h"

#include <algorithm>

#include <openssl/err.h>

#include "platform/codec/der.h"
#include "platform/core/last_error.h"
#include "platform/core/out_param.h"
#include "platform/provider/provider.h"

namespace vexorcsp::msg {

namespace {

constexpr DWORD kWin32SignerSize = 48;
constexpr DWORD kWin32SignedSize = 28;
constexpr size_t kMaxSignature = 128;  // GOST R 34.10-2012 with 512-bit keys

const BYTE kEoc[] = {0, 0};
const BYTE kIndefSeq[] = {0x30, 0x80};
const BYTE kIndefCtx0[] = {0xA0, 0x80};
const BYTE kIndefOctets[] = {0x24, 0x80};

void Put(Bytes& out, const BYTE* p, size_t n) { out.insert(out.end(), p, p + n); }

bool ReadAttributes(DWORD count, const CRYPT_ATTRIBUTE* in, std::vector<Attribute>& out) {
  if (count > 0 && in == nullptr) return false;
  for (DWORD i = 0; i < count; ++i) {
    Attribute a;
    if (in[i].pszObjId == nullptr || OidTlv(in[i].pszObjId).empty()) return false;
    a.oid = in[i].pszObjId;
    if (in[i].cValue > 0 && in[i].rgValue == nullptr) return false;
    for (DWORD j = 0; j < in[i].cValue; ++j) {
      const CRYPT_ATTR_BLOB& v = in[i].rgValue[j];
      if (v.cbData == 0 || v.pbData == nullptr) return false;
      a.values.emplace_back(v.pbData, v.pbData + v.cbData);
    }
    out.push_back(std::move(a));
  }
  return true;
}

bool ReadBlobs(DWORD count, const CRYPT_DATA_BLOB* in, std::vector<Bytes>& out) {
  if (count > 0 && in == nullptr) return false;
  for (DWORD i = 0; i < count; ++i) {
    if (in[i].cbData == 0 || in[i].pbData == nullptr) return false;
    out.emplace_back(in[i].pbData, in[i].pbData + in[i].cbData);
  }
  return true;
}

Bytes ContentInfo(const char* type, const Bytes& body) {
  Bytes content = OidTlv(type);
  Append(content, Tlv(0xA0, body));
  return Tlv(der::kSequence, content);
}

}  // namespace

std::shared_ptr<SignedEncoder> SignedEncoder::Create(DWORD flags, const void* info_ptr,
                                                     LPSTR inner_type,
                                                     const CMSG_STREAM_INFO* stream,
                                                     bool need_key) {
  const auto* info = static_cast<const CMSG_SIGNED_ENCODE_INFO*>(info_ptr);
  if (info == nullptr || !(info->cbSize == kWin32SignedSize || info->cbSize >= sizeof(*info))) {
    SetLastError(DWORD(E_INVALIDARG));
    return nullptr;
  }
  std::shared_ptr<SignedEncoder> enc(new SignedEncoder);
  enc->flags_ = flags;
  enc->detached_ = (flags & CMSG_DETACHED_FLAG) != 0;
  enc->bare_ = (flags & CMSG_BARE_CONTENT_FLAG) != 0;
  enc->inner_type_ = inner_type != nullptr ? inner_type : kOidData;
  if (OidTlv(enc->inner_type_).empty()) {
    SetLastError(DWORD(CRYPT_E_OID_FORMAT));
    return nullptr;
  }
  if (stream != nullptr) {
    if (stream->pfnStreamOutput == nullptr) {
      SetLastError(DWORD(E_INVALIDARG));
      return nullptr;
    }
    enc->stream_ = *stream;
    enc->definite_ = stream->cbContent != CMSG_INDEFINITE_LENGTH;
  }
  if (info->cSigners > 0 && info->rgSigners == nullptr) {
    SetLastError(DWORD(E_INVALIDARG));
    return nullptr;
  }
  if (!ReadBlobs(info->cCertEncoded, info->rgCertEncoded, enc->certs_) ||
      !ReadBlobs(info->cCrlEncoded, info->rgCrlEncoded, enc->crls_)) {
    SetLastError(DWORD(E_INVALIDARG));
    return nullptr;
  }
  for (DWORD i = 0; i < info->cSigners; ++i) {
    const CMSG_SIGNER_ENCODE_INFO& si = info->rgSigners[i];
    if (!(si.cbSize == kWin32SignerSize || si.cbSize >= sizeof(si)) || si.pCertInfo == nullptr ||
        si.HashAlgorithm.pszObjId == nullptr || (need_key && si.hCryptProv == 0)) {
      SetLastError(DWORD(E_INVALIDARG));
      return nullptr;
    }
    Signer s;
    const CERT_INFO& ci = *si.pCertInfo;
    if (ci.Issuer.cbData == 0 || ci.Issuer.pbData == nullptr || ci.SerialNumber.cbData == 0 ||
        ci.SerialNumber.pbData == nullptr ||
        ci.SubjectPublicKeyInfo.Algorithm.pszObjId == nullptr) {
      SetLastError(DWORD(E_INVALIDARG));
      return nullptr;
    }
    // A request for 1.2.643.2.2.21 is GOST R 34.11-94, written under its own identifier so
    // that other CMS implementations find the digest. A GOST R 34.10-2012 signer hashes with
    // the GOST R 34.11-2012 of its key's size whichever GOST hash was asked for: its
    // signature is over a hash of that size.
    std::string digest_oid = si.HashAlgorithm.pszObjId;
    if (digest_oid == kOidGost89) digest_oid = kOidGost94;
    KeyFamily family;
    if (digest_oid == kOidGost94 && der::GostKeyKindOfOid(ci.SubjectPublicKeyInfo.Algorithm.pszObjId, family) &&
        family != KeyFamily::k2001)
      digest_oid = family == KeyFamily::k2012_256 ? kOidGost2012_256 : kOidGost2012_512;
    s.md = DigestForOid(digest_oid);
    if (s.md == nullptr) {
      SetLastError(DWORD(CRYPT_E_UNKNOWN_ALGO));
      return nullptr;
    }
    s.digest_alg.oid = digest_oid;
    s.digest_alg.params = {der::kNull, 0x00};
    s.issuer_serial = IssuerSerialTlv(ci);
    s.signature_alg.oid = ci.SubjectPublicKeyInfo.Algorithm.pszObjId;
    const CRYPT_OBJID_BLOB& params = ci.SubjectPublicKeyInfo.Algorithm.Parameters;
    if (params.cbData > 0 && params.pbData != nullptr)
      s.signature_alg.params.assign(params.pbData, params.pbData + params.cbData);
    if (!ReadAttributes(si.cAuthAttr, si.rgAuthAttr, s.auth) ||
        !ReadAttributes(si.cUnauthAttr, si.rgUnauthAttr, s.unauth)) {
      SetLastError(DWORD(E_INVALIDARG));
      return nullptr;
    }
    s.with_auth = si.cAuthAttr > 0;
    if (need_key) {
      ProviderRef prov = LookupProvider(si.hCryptProv);
      if (!prov) {
        SetLastError(DWORD(NTE_BAD_UID));
        return nullptr;
      }
      DWORD err = 0;
      s.key = ContainerKey(*prov, err);
      if (!s.key) {
        SetLastError(err != 0 ? err : DWORD(NTE_NO_KEY));
        return nullptr;
      }
      s.hash = ContentDigest(s.md);
      if (!s.hash.ok()) {
        SetLastError(DWORD(NTE_FAIL));
        return nullptr;
      }
    }
    enc->signers_.push_back(std::move(s));
  }
  return enc;
}

bool SignedEncoder::SignerInfo(Signer& s, const Bytes& digest, bool fake, Bytes& out) {
  Bytes to_sign_digest = digest;
  Bytes attrs_tlv;
  if (s.with_auth) {
    std::vector<Bytes> members;
    for (const Attribute& a : s.auth) members.push_back(AttributeTlv(a));
    members.push_back(AttributeTlv({kOidContentType, {OidTlv(inner_type_)}}));
    members.push_back(AttributeTlv({kOidMessageDigest, {Tlv(der::kOctetString, digest)}}));
    attrs_tlv = SetOf(std::move(members));
    if (!fake) {
      // The signature covers the attributes as a SET; the SignerInfo holds them as [0]. The
      // provider's own hash: the engine's costs more in set-up than in hashing so few bytes.
      ContentDigest attrs_digest(s.md);
      if (!attrs_digest.Update(attrs_tlv.data(), attrs_tlv.size()) || !attrs_digest.Final(to_sign_digest))
        return false;
    }
    attrs_tlv[0] = 0xA0;
  }
  Bytes signature(s.key ? SignatureSize(s) : kMaxSignature, 0);
  if (!fake) {
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(s.key.get(), GostEngine()));
    size_t len = signature.size();
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
        EVP_PKEY_sign(ctx.get(), signature.data(), &len, to_sign_digest.data(),
                      to_sign_digest.size()) <= 0) {
      ERR_clear_error();
      return false;
    }
    // The engine writes s || r big-endian, which is the CMS form.
    signature.resize(len);
  }
  Bytes content = SmallInteger(1);
  Append(content, s.issuer_serial);
  Append(content, AlgIdTlv(s.digest_alg));
  Append(content, attrs_tlv);
  Append(content, AlgIdTlv(s.signature_alg));
  Append(content, Tlv(der::kOctetString, signature));
  if (!s.unauth.empty()) {
    std::vector<Bytes> members;
    for (const Attribute& a : s.unauth) members.push_back(AttributeTlv(a));
    Bytes set = SetOf(std::move(members));
    set[0] = 0xA1;
    Append(content, set);
  }
  out = Tlv(der::kSequence, content);
  return true;
}

Bytes SignedEncoder::DigestAlgorithms() const {
  std::vector<Bytes> algs;
  for (const Signer& s : signers_) {
    Bytes a = AlgIdTlv(s.digest_alg);
    if (std::find(algs.begin(), algs.end(), a) == algs.end()) algs.push_back(a);
  }
  return SetOf(std::move(algs));
}

// Certificates, CRLs and signer infos: everything after the encapsulated content.
Bytes SignedEncoder::Trailer(const std::vector<Bytes>& signer_infos) const {
  Bytes out;
  if (!certs_.empty()) {
    Bytes set;
    for (const Bytes& c : certs_) Append(set, c);
    Append(out, Tlv(0xA0, set));
  }
  if (!crls_.empty()) {
    Bytes set;
    for (const Bytes& c : crls_) Append(set, c);
    Append(out, Tlv(0xA1, set));
  }
  Bytes infos;
  for (const Bytes& si : signer_infos) Append(infos, si);
  Append(out, Tlv(der::kSet, infos));
  return out;
}

size_t SignedEncoder::SignatureSize(const Signer& s) {
  const int size = s.key ? EVP_PKEY_get_size(s.key.get()) : 0;
  return size > 0 ? static_cast<size_t>(size) : kMaxSignature;
}

std::vector<Bytes> SignedEncoder::PlaceholderInfos() {
  std::vector<Bytes> infos;
  for (Signer& s : signers_) {
    Bytes si;
    const int digest_size = EVP_MD_get_size(s.md);
    if (digest_size <= 0 || !SignerInfo(s, Bytes(static_cast<size_t>(digest_size), 0), true, si)) return {};
    infos.push_back(std::move(si));
  }
  return infos;
}

Bytes SignedEncoder::DefiniteHeader(size_t content_len, size_t trailer_len) {
  // The lengths of Finish's in-memory assembly, computed for content not yet seen.
  const Bytes oid = OidTlv(inner_type_);
  const Bytes octets_header = TlvHeader(der::kOctetString, content_len);
  const size_t explicit_len = octets_header.size() + content_len;
  const Bytes explicit_header = TlvHeader(0xA0, explicit_len);
  const size_t eci_len = oid.size() + (detached_ ? 0 : explicit_header.size() + explicit_len);
  const Bytes eci_header = TlvHeader(der::kSequence, eci_len);
  const Bytes version = SmallInteger(1);
  const Bytes digests = DigestAlgorithms();
  const size_t body_len = version.size() + digests.size() + eci_header.size() + eci_len + trailer_len;
  const Bytes sd_header = TlvHeader(der::kSequence, body_len);
  const size_t sd_len = sd_header.size() + body_len;
  const Bytes ci_oid = OidTlv(kOidSignedData);
  const Bytes ci_explicit = TlvHeader(0xA0, sd_len);
  const Bytes ci_header = TlvHeader(der::kSequence, ci_oid.size() + ci_explicit.size() + sd_len);
  Bytes h;
  if (!bare_)
    for (const Bytes* part : {&ci_header, &ci_oid, &ci_explicit}) Append(h, *part);
  bare_offset_ = h.size();
  for (const Bytes* part : {&sd_header, &version, &digests, &eci_header, &oid}) Append(h, *part);
  if (!detached_) {
    Append(h, explicit_header);
    Append(h, octets_header);
  }
  return h;
}

size_t SignedEncoder::EncodedLengthBound(size_t content_len) {
  std::vector<Bytes> infos;
  for (Signer& s : signers_) {
    Bytes si;
    SignerInfo(s, Bytes(EVP_MAX_MD_SIZE, 0), true, si);
    infos.push_back(std::move(si));
  }
  Bytes eci = OidTlv(inner_type_);
  if (!detached_) Append(eci, Tlv(0xA0, Tlv(der::kOctetString, {})));
  Bytes body = SmallInteger(1);
  Append(body, DigestAlgorithms());
  Append(body, Tlv(der::kSequence, eci));
  Append(body, Trailer(infos));
  Bytes whole = Tlv(der::kSequence, body);
  if (!bare_) whole = ContentInfo(kOidSignedData, whole);
  // Content grows the length octets of up to six enclosing elements by at most 8 each.
  return whole.size() + (detached_ ? 0 : content_len + 6 * 8);
}

bool SignedEncoder::Hash(const BYTE* p, size_t n) {
  for (Signer& s : signers_)
    if (!s.hash.Update(p, n)) return false;
  return true;
}

bool SignedEncoder::EmitHeader() {
  if (definite_) {
    const std::vector<Bytes> infos = PlaceholderInfos();
    if (infos.size() != signers_.size()) return false;
    trailer_len_ = Trailer(infos).size();
    const Bytes h = DefiniteHeader(detached_ ? 0 : stream_->cbContent, trailer_len_);
    header_sent_ = true;
    return Emit(*stream_, h.data(), h.size(), false);
  }
  Bytes h;
  if (!bare_) {
    Put(h, kIndefSeq, 2);
    Append(h, OidTlv(kOidSignedData));
    Put(h, kIndefCtx0, 2);
  }
  Put(h, kIndefSeq, 2);
  Append(h, SmallInteger(1));
  Append(h, DigestAlgorithms());
  if (detached_) {
    Append(h, Tlv(der::kSequence, OidTlv(inner_type_)));
  } else {
    Put(h, kIndefSeq, 2);
    Append(h, OidTlv(inner_type_));
    Put(h, kIndefCtx0, 2);
    Put(h, kIndefOctets, 2);
  }
  header_sent_ = true;
  return Emit(*stream_, h.data(), h.size(), false);
}

bool SignedEncoder::Finish() {
  std::vector<Bytes> infos;
  for (Signer& s : signers_) {
    Bytes digest;
    if (!s.hash.Final(digest)) return false;
    Bytes si;
    if (!SignerInfo(s, digest, false, si)) return false;
    infos.push_back(std::move(si));
  }
  if (stream_ && definite_) {
    // The header announced this content length and a trailer of this size.
    const Bytes t = Trailer(infos);
    if ((!detached_ && streamed_ != stream_->cbContent) || t.size() != trailer_len_) {
      SetLastError(DWORD(CRYPT_E_MSG_ERROR));
      return false;
    }
    return Emit(*stream_, t.data(), t.size(), true);
  }
  if (stream_) {
    // Closes the OCTET STRING, [0] and encapsulated content (attached), then after the
    // trailer the SignedData and, unless bare, the [0] and ContentInfo around it.
    Bytes t;
    for (int i = 0; i < (detached_ ? 0 : 3); ++i) Put(t, kEoc, 2);
    Append(t, Trailer(infos));
    for (int i = 0; i < (bare_ ? 1 : 3); ++i) Put(t, kEoc, 2);
    return Emit(*stream_, t.data(), t.size(), true);
  }
  // Assembled around the content with computed lengths, so the content is copied once.
  const Bytes oid = OidTlv(inner_type_);
  const Bytes octets_header = TlvHeader(der::kOctetString, content_.size());
  const size_t explicit_len = octets_header.size() + content_.size();
  const Bytes explicit_header = TlvHeader(0xA0, explicit_len);
  const size_t eci_len = oid.size() + (detached_ ? 0 : explicit_header.size() + explicit_len);
  const Bytes eci_header = TlvHeader(der::kSequence, eci_len);
  const Bytes version = SmallInteger(1);
  const Bytes digests = DigestAlgorithms();
  const Bytes trailer = Trailer(infos);
  const size_t body_len =
      version.size() + digests.size() + eci_header.size() + eci_len + trailer.size();
  const Bytes sd_header = TlvHeader(der::kSequence, body_len);
  const size_t sd_len = sd_header.size() + body_len;
  const Bytes ci_oid = OidTlv(kOidSignedData);
  const Bytes ci_explicit = TlvHeader(0xA0, sd_len);
  const Bytes ci_header = TlvHeader(der::kSequence, ci_oid.size() + ci_explicit.size() + sd_len);
  encoded_.clear();
  encoded_.reserve(ci_header.size() + ci_oid.size() + ci_explicit.size() + sd_len);
  for (const Bytes* part : {&ci_header, &ci_oid, &ci_explicit}) Append(encoded_, *part);
  bare_offset_ = encoded_.size();
  for (const Bytes* part : {&sd_header, &version, &digests, &eci_header, &oid}) Append(encoded_, *part);
  if (!detached_) {
    Append(encoded_, explicit_header);
    Append(encoded_, octets_header);
    Append(encoded_, content_);
  }
  Append(encoded_, trailer);
  content_.clear();
  content_.shrink_to_fit();
  return true;
}

BOOL SignedEncoder::Update(const BYTE* data, DWORD size, BOOL final) {
  if (finished_) return Fail(DWORD(CRYPT_E_MSG_ERROR));
  if (size > 0 && data == nullptr) return Fail(DWORD(E_INVALIDARG));
  if (!Hash(data, size)) {
    ERR_clear_error();
    return Fail(DWORD(NTE_FAIL));
  }
  if (stream_) {
    if (!header_sent_ && !EmitHeader()) return Fail(DWORD(ERROR_CANCELLED));
    if (definite_ && !detached_ && size > 0) {
      // Raw content bytes inside the one OCTET STRING the header opened.
      if (size > stream_->cbContent - streamed_) return Fail(DWORD(CRYPT_E_MSG_ERROR));
      streamed_ += size;
      if (!Emit(*stream_, data, size, false)) return Fail(DWORD(ERROR_CANCELLED));
    } else if (!detached_ && size > 0) {
      Bytes chunk = Tlv(der::kOctetString, Bytes(data, data + size));
      if (!Emit(*stream_, chunk.data(), chunk.size(), false)) return Fail(DWORD(ERROR_CANCELLED));
    }
  } else if (!detached_ && size > 0) {
    content_.insert(content_.end(), data, data + size);
  }
  if (!final) return TRUE;
  finished_ = true;
  if (!Finish()) return Fail(GetLastError() == DWORD(CRYPT_E_MSG_ERROR) ? DWORD(CRYPT_E_MSG_ERROR) : DWORD(NTE_FAIL));
  return TRUE;
}

BOOL SignedEncoder::GetParam(DWORD param, DWORD, void* out, DWORD* out_len) {
  if (out_len == nullptr) return Fail(DWORD(E_INVALIDARG));
  switch (param) {
    case CMSG_TYPE_PARAM: {
      const DWORD type = CMSG_SIGNED;
      return CopyOut(&type, sizeof(type), static_cast<BYTE*>(out), out_len);
    }
    case CMSG_CONTENT_PARAM:
    case CMSG_BARE_CONTENT_PARAM: {
      if (stream_ || !finished_ || encoded_.empty()) return Fail(DWORD(CRYPT_E_MSG_ERROR));
      const size_t skip = (param == CMSG_BARE_CONTENT_PARAM || bare_) ? bare_offset_ : 0;
      return CopyOut(encoded_.data() + skip, encoded_.size() - skip, static_cast<BYTE*>(out),
                     out_len);
    }
    default:
      return Fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
  }
}

BOOL SignedEncoder::Control(DWORD, DWORD, const void*) {
  return Fail(DWORD(CRYPT_E_CONTROL_TYPE));
}

bool SignedEncoder::Contents(std::vector<Bytes>& certs, std::vector<Bytes>& crls) {
  certs = certs_;
  crls = crls_;
  return true;
}

}  // namespace vexorcsp::msg
