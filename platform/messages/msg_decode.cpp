// The decoding state machine: one state per element of the ContentInfo / SignedData /
// EnvelopedData grammar. Input arrives in any pieces; bytes of an element that is not yet
// complete are kept until the rest arrives, content is passed on as soon as it is read.
#include "platform/messages/msg_decode.h"

#include <algorithm>

#include <openssl/err.h>

#include "platform/codec/der.h"
#include "platform/core/last_error.h"

namespace vexorcsp::msg {

namespace {

constexpr size_t kSlice = size_t(64) << 10;  // bytes added at a time to an incomplete element

DWORD ParseVersion(const BYTE* p, size_t n, DWORD& out) {
  der::Reader r(p, n);
  der::Tlv t;
  if (!r.Expect(der::kInteger, t) || !r.empty() || t.length == 0 || t.length > 4)
    return DWORD(CRYPT_E_ASN1_CORRUPT);
  out = 0;
  for (size_t i = 0; i < t.length; ++i) out = (out << 8) | t.value[i];
  return 0;
}

}  // namespace

std::shared_ptr<Decoder> Decoder::Create(DWORD flags, DWORD type, const CMSG_STREAM_INFO* stream) {
  if (type != 0 && type != CMSG_DATA && type != CMSG_SIGNED && type != CMSG_ENVELOPED) {
    SetLastError(DWORD(CRYPT_E_INVALID_MSG_TYPE));
    return nullptr;
  }
  if (stream != nullptr && stream->pfnStreamOutput == nullptr) {
    SetLastError(DWORD(E_INVALIDARG));
    return nullptr;
  }
  std::shared_ptr<Decoder> d(new Decoder);
  d->flags_ = flags;
  d->open_type_ = type;
  d->detached_ = (flags & CMSG_DETACHED_FLAG) != 0;
  if (stream != nullptr) d->stream_ = *stream;
  return d;
}

Step Decoder::Bad(DWORD error) {
  if (error_ == 0) error_ = error;
  return Step::kError;
}

DWORD Decoder::NotReady() const { return DWORD(CRYPT_E_STREAM_MSG_NOT_READY); }

// ---- content ----------------------------------------------------------------------------

bool Decoder::Deliver(const BYTE* p, size_t n, bool final) {
  if (!stream_) {
    content_.insert(content_.end(), p, p + n);
    return true;
  }
  if (Emit(*stream_, p, n, final)) return true;
  // A refusing callback may say why through the last error.
  if (error_ == 0) error_ = GetLastError() != 0 ? GetLastError() : DWORD(ERROR_CANCELLED);
  return false;
}

void Decoder::StartHashes() {
  hashes_.clear();
  digests_.clear();
  std::vector<Bytes> algs;
  if (!SplitChildren(digest_algs_tlv_.data(), digest_algs_tlv_.size(), algs)) return;
  for (const Bytes& a : algs) {
    AlgId alg;
    if (!ParseAlgId(a.data(), a.size(), alg)) continue;
    const EVP_MD* md = DigestForOid(alg.oid);
    if (md == nullptr) continue;  // signers with unknown digests fail verification later
    bool have = false;
    for (const auto& h : hashes_) have = have || h.first == md;
    if (have) continue;
    ContentDigest digest(md);
    if (digest.ok()) hashes_.emplace_back(md, std::move(digest));
  }
}

bool Decoder::FinishHashes() {
  for (auto& h : hashes_) {
    Bytes digest;
    if (!h.second.Final(digest)) return false;
    digests_.emplace_back(h.first, std::move(digest));
  }
  hashes_.clear();
  return true;
}

const Bytes* Decoder::DigestOf(const EVP_MD* md) const {
  for (const auto& d : digests_)
    if (d.first == md) return &d.second;
  return nullptr;
}

bool Decoder::SignedContent(const BYTE* p, size_t n) {
  for (auto& h : hashes_)
    if (!h.second.Update(p, n)) return false;
  return Deliver(p, n, false);
}

bool Decoder::SignedContentDone() {
  content_done_ = true;
  if (!FinishHashes()) return false;
  return stream_ ? Deliver(nullptr, 0, true) : true;
}

bool Decoder::Decrypt(const BYTE* p, size_t n) {
  if (scratch_.size() < kSlice) scratch_.resize(kSlice);
  while (n > 0) {
    const size_t take = std::min(n, scratch_.size());
    std::copy(p, p + take, scratch_.begin());
    cipher_->Decrypt(scratch_.data(), take);
    if (!Deliver(scratch_.data(), take, false)) return false;
    p += take;
    n -= take;
  }
  return true;
}

bool Decoder::Cipher(const BYTE* p, size_t n) {
  if (cipher_) return Decrypt(p, n);
  if (held_.Append(p, n)) return true;
  if (error_ == 0) error_ = DWORD(ERROR_WRITE_FAULT);
  return false;
}

bool Decoder::CipherDone() {
  cipher_done_ = true;
  content_done_ = true;
  if (cipher_ && stream_) return Deliver(nullptr, 0, true);
  return true;
}

// ---- the grammar --------------------------------------------------------------------------

Step Decoder::Run() {
  auto signed_sink = [this](const BYTE* p, size_t n) { return SignedContent(p, n); };
  auto cipher_sink = [this](const BYTE* p, size_t n) { return Cipher(p, n); };
  for (;;) {
    Step s = Step::kDone;
    const BYTE* p = nullptr;
    size_t n = 0;
    uint8_t tag = 0;
    bool at_end = false;
    switch (state_) {
      case St::kStart:
        if (open_type_ == 0) {
          state_ = St::kCiOpen;
        } else {
          // A message opened with its type is its bare content, without ContentInfo.
          type_ = open_type_;
          state_ = type_ == CMSG_SIGNED      ? St::kSdOpen
                   : type_ == CMSG_ENVELOPED ? St::kEdOpen
                                             : St::kDataOctets;
        }
        continue;
      case St::kCiOpen:
        if ((s = cursor_.Open(der::kSequence)) == Step::kDone) state_ = St::kCiType;
        break;
      case St::kCiType: {
        if ((s = cursor_.Capture(der::kOid, p, n)) != Step::kDone) break;
        std::string oid;
        if (!ParseOidTlv(p, n, oid)) return Bad(DWORD(CRYPT_E_ASN1_CORRUPT));
        if (oid == kOidSignedData) {
          type_ = CMSG_SIGNED;
        } else if (oid == kOidEnvelopedData) {
          type_ = CMSG_ENVELOPED;
        } else if (oid == kOidData) {
          type_ = CMSG_DATA;
        } else {
          return Bad(DWORD(CRYPT_E_INVALID_MSG_TYPE));
        }
        state_ = St::kCiExplicit;
        continue;
      }
      case St::kCiExplicit:
        if ((s = cursor_.Open(0xA0)) != Step::kDone) break;
        state_ = type_ == CMSG_SIGNED      ? St::kSdOpen
                 : type_ == CMSG_ENVELOPED ? St::kEdOpen
                                           : St::kDataOctets;
        continue;
      case St::kDataOctets:
        content_present_ = true;
        if ((s = cursor_.StreamOctets(der::kOctetString, signed_sink)) != Step::kDone) break;
        if (!SignedContentDone()) return Bad(DWORD(ERROR_CANCELLED));
        state_ = St::kCloseRest;
        continue;

      // SignedData.
      case St::kSdOpen:
        if ((s = cursor_.Open(der::kSequence)) == Step::kDone) state_ = St::kSdVersion;
        break;
      case St::kSdVersion:
        if ((s = cursor_.Capture(der::kInteger, p, n)) != Step::kDone) break;
        if (DWORD e = ParseVersion(p, n, version_)) return Bad(e);
        version_known_ = true;
        version_tlv_.assign(p, p + n);
        state_ = St::kSdDigestAlgs;
        continue;
      case St::kSdDigestAlgs:
        if ((s = cursor_.Capture(der::kSet, p, n)) != Step::kDone) break;
        digest_algs_tlv_.assign(p, p + n);
        StartHashes();
        state_ = St::kEciOpen;
        continue;
      case St::kEciOpen:
        if ((s = cursor_.Open(der::kSequence)) == Step::kDone) state_ = St::kEciType;
        break;
      case St::kEciType:
        if ((s = cursor_.Capture(der::kOid, p, n)) != Step::kDone) break;
        if (!ParseOidTlv(p, n, inner_type_)) return Bad(DWORD(CRYPT_E_ASN1_CORRUPT));
        state_ = St::kEciPeek;
        continue;
      case St::kEciPeek:
        if ((s = cursor_.Peek(tag, at_end)) != Step::kDone) break;
        if (at_end) {
          // No content inside: a detached signature; its content follows the message.
          if (!detached_ && !SignedContentDone()) return Bad(DWORD(ERROR_CANCELLED));
          state_ = St::kEciClose;
          continue;
        }
        if (tag != 0xA0) return Bad(DWORD(CRYPT_E_ASN1_BADTAG));
        if ((s = cursor_.Open(0xA0)) != Step::kDone) break;
        content_present_ = true;
        state_ = St::kEciBody;
        continue;
      case St::kEciBody:
        if ((s = cursor_.Peek(tag, at_end)) != Step::kDone) break;
        if (at_end) return Bad(DWORD(CRYPT_E_ASN1_CORRUPT));
        if (tag == der::kOctetString || tag == (der::kOctetString | 0x20)) {
          state_ = St::kEciOctets;
          continue;
        }
        // Content of another type: handed on as its whole encoding.
        if ((s = cursor_.Capture(0, p, n)) != Step::kDone) break;
        content_raw_ = true;
        if (!SignedContent(p, n) || !SignedContentDone()) return Bad(DWORD(ERROR_CANCELLED));
        state_ = St::kEciBodyClose;
        continue;
      case St::kEciOctets:
        if ((s = cursor_.StreamOctets(der::kOctetString, signed_sink)) != Step::kDone) break;
        if (!SignedContentDone()) return Bad(DWORD(ERROR_CANCELLED));
        state_ = St::kEciBodyClose;
        continue;
      case St::kEciBodyClose:
        if ((s = cursor_.Close()) == Step::kDone) state_ = St::kEciClose;
        break;
      case St::kEciClose:
        if ((s = cursor_.Close()) == Step::kDone) state_ = St::kSdOptional;
        break;
      case St::kSdOptional: {
        if ((s = cursor_.Peek(tag, at_end)) != Step::kDone) break;
        if (at_end) return Bad(DWORD(CRYPT_E_ASN1_CORRUPT));  // signerInfos are required
        if (tag != 0xA0 && tag != 0xA1 && tag != der::kSet)
          return Bad(DWORD(CRYPT_E_ASN1_BADTAG));
        if ((s = cursor_.Capture(tag, p, n)) != Step::kDone) break;
        std::vector<Bytes> items;
        if (!SplitChildren(p, n, items)) return Bad(DWORD(CRYPT_E_ASN1_CORRUPT));
        if (tag == 0xA0) {
          certs_ = std::move(items);
          continue;
        }
        if (tag == 0xA1) {
          crls_ = std::move(items);
          continue;
        }
        for (const Bytes& item : items) {
          SignerRecord rec;
          if (!ParseSignerInfo(item.data(), item.size(), rec))
            return Bad(DWORD(CRYPT_E_ASN1_CORRUPT));
          signers_.push_back(std::move(rec));
        }
        signers_ready_ = true;
        state_ = St::kSdClose;
        continue;
      }
      case St::kSdClose:
        if ((s = cursor_.Close()) == Step::kDone) state_ = St::kCloseRest;
        break;

      // EnvelopedData.
      case St::kEdOpen:
        if ((s = cursor_.Open(der::kSequence)) == Step::kDone) state_ = St::kEdVersion;
        break;
      case St::kEdVersion:
        if ((s = cursor_.Capture(der::kInteger, p, n)) != Step::kDone) break;
        if (DWORD e = ParseVersion(p, n, version_)) return Bad(e);
        version_known_ = true;
        state_ = St::kEdOriginator;
        continue;
      case St::kEdOriginator: {
        if ((s = cursor_.Peek(tag, at_end)) != Step::kDone) break;
        if (at_end) return Bad(DWORD(CRYPT_E_ASN1_CORRUPT));
        if (tag != 0xA0) {
          state_ = St::kEdRecipients;
          continue;
        }
        if ((s = cursor_.Capture(0xA0, p, n)) != Step::kDone) break;
        std::vector<Bytes> parts, items;
        if (!SplitChildren(p, n, parts)) return Bad(DWORD(CRYPT_E_ASN1_CORRUPT));
        for (const Bytes& part : parts) {
          if (part.empty() || !SplitChildren(part.data(), part.size(), items))
            return Bad(DWORD(CRYPT_E_ASN1_CORRUPT));
          if (part[0] == 0xA0) certs_ = items;
          if (part[0] == 0xA1) crls_ = items;
        }
        state_ = St::kEdRecipients;
        continue;
      }
      case St::kEdRecipients: {
        if ((s = cursor_.Capture(der::kSet, p, n)) != Step::kDone) break;
        std::vector<Bytes> items;
        if (!SplitChildren(p, n, items) || items.empty()) return Bad(DWORD(CRYPT_E_ASN1_CORRUPT));
        for (const Bytes& item : items) {
          RecipientRecord rec;
          // Recipients the decoder cannot read (other kinds, other identifiers) keep their
          // place but cannot be used.
          if (ParseRecipientInfo(item.data(), item.size(), rec))
            recipients_.emplace_back(std::move(rec));
          else
            recipients_.emplace_back(std::nullopt);
        }
        recipients_ready_ = true;
        state_ = St::kEdEciOpen;
        continue;
      }
      case St::kEdEciOpen:
        if ((s = cursor_.Open(der::kSequence)) == Step::kDone) state_ = St::kEdEciType;
        break;
      case St::kEdEciType:
        if ((s = cursor_.Capture(der::kOid, p, n)) != Step::kDone) break;
        if (!ParseOidTlv(p, n, inner_type_)) return Bad(DWORD(CRYPT_E_ASN1_CORRUPT));
        state_ = St::kEdAlg;
        continue;
      case St::kEdAlg:
        if ((s = cursor_.Capture(der::kSequence, p, n)) != Step::kDone) break;
        if (!ParseAlgId(p, n, content_alg_)) return Bad(DWORD(CRYPT_E_ASN1_CORRUPT));
        alg_ready_ = true;
        state_ = St::kEdContentPeek;
        continue;
      case St::kEdContentPeek:
        if ((s = cursor_.Peek(tag, at_end)) != Step::kDone) break;
        if (at_end) {
          if (!CipherDone()) return Bad(DWORD(ERROR_CANCELLED));
          state_ = St::kEdEciClose;
          continue;
        }
        if (tag != 0x80 && tag != 0xA0) return Bad(DWORD(CRYPT_E_ASN1_BADTAG));
        content_present_ = true;
        state_ = St::kEdContent;
        continue;
      case St::kEdContent:
        if ((s = cursor_.StreamOctets(0x80, cipher_sink)) != Step::kDone) break;
        if (!CipherDone()) return Bad(DWORD(ERROR_CANCELLED));
        state_ = St::kEdEciClose;
        continue;
      case St::kEdEciClose:
        if ((s = cursor_.Close()) == Step::kDone) state_ = St::kEdUnprot;
        break;
      case St::kEdUnprot:
        if ((s = cursor_.Peek(tag, at_end)) != Step::kDone) break;
        if (at_end) {
          state_ = St::kEdClose;
          continue;
        }
        if (tag != 0xA1) return Bad(DWORD(CRYPT_E_ASN1_BADTAG));
        if ((s = cursor_.Capture(0xA1, p, n)) == Step::kDone) state_ = St::kEdClose;
        break;
      case St::kEdClose:
        if ((s = cursor_.Close()) == Step::kDone) state_ = St::kCloseRest;
        break;

      case St::kCloseRest:
        if (cursor_.depth() == 0) {
          state_ = St::kDone;
          continue;
        }
        s = cursor_.Close();
        break;
      case St::kDone:
        return Step::kDone;
    }
    // A failure of our own (content refused, no room to hold it) was recorded first and
    // stays; otherwise the reader's.
    if (s == Step::kError)
      return Bad(cursor_.error() != 0 ? cursor_.error() : DWORD(CRYPT_E_ASN1_CORRUPT));
    if (s == Step::kNeedMore) return s;
  }
}

bool Decoder::Feed(const BYTE* p, size_t n) {
  for (;;) {
    if (state_ == St::kDone) {
      pending_.clear();  // bytes after the message are not part of it
      return true;
    }
    if (pending_.empty()) {
      cursor_.SetWindow(p, n);
      const Step s = Run();
      const size_t used = cursor_.used();
      cursor_.Commit();
      if (s == Step::kError) return false;
      if (state_ != St::kDone) pending_.assign(p + used, p + n);
      return true;
    }
    const size_t take = std::min(n, kSlice);
    pending_.insert(pending_.end(), p, p + take);
    p += take;
    n -= take;
    cursor_.SetWindow(pending_.data(), pending_.size());
    const Step s = Run();
    const size_t used = cursor_.used();
    cursor_.Commit();
    if (s == Step::kError) return false;
    pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(used));
    if (n == 0) return true;
  }
}

BOOL Decoder::Update(const BYTE* data, DWORD size, BOOL final) {
  if (failed_) return Fail(DWORD(CRYPT_E_MSG_ERROR));
  if (size > 0 && data == nullptr) return Fail(DWORD(E_INVALIDARG));
  if (!message_final_) {
    if (!Feed(data, size)) {
      failed_ = true;
      return Fail(error_ != 0 ? error_ : DWORD(CRYPT_E_ASN1_CORRUPT));
    }
    if (!final) return TRUE;
    message_final_ = true;
    if (state_ != St::kDone) {
      failed_ = true;
      return Fail(stream_ ? DWORD(CRYPT_E_STREAM_INSUFFICIENT_DATA) : DWORD(CRYPT_E_ASN1_EOD));
    }
    pending_.clear();
    pending_.shrink_to_fit();
    return TRUE;
  }
  // After the message: the content of a detached signature.
  if (!detached_ || type_ != CMSG_SIGNED || content_present_ || content_final_)
    return Fail(DWORD(CRYPT_E_MSG_ERROR));
  for (auto& h : hashes_)
    if (!h.second.Update(data, size)) return Fail(DWORD(NTE_FAIL));
  if (final) {
    content_final_ = true;
    content_done_ = true;
    if (!FinishHashes()) return Fail(DWORD(NTE_FAIL));
  }
  return TRUE;
}

}  // namespace vexorcsp::msg
