// Encoding of signed-data: content hashed as it arrives, signer infos with the caller's
// authenticated attributes plus contentType and messageDigest, GOST signatures in CMS
// order; the whole message kept in memory, or streamed to a callback: as definite-length DER
// (the same bytes the in-memory encoding has) when the stream info gives the content length,
// as indefinite-length BER when it says CMSG_INDEFINITE_LENGTH.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/messages/msg_cms_codec.h"
#include "platform/messages/msg_digest.h"
#include "platform/messages/msg_message.h"

namespace vexorcsp::msg {

class SignedEncoder : public Message {
 public:
  // Null with the last error set. Without need_key the signers' keys are not looked up
  // (length calculation).
  static std::shared_ptr<SignedEncoder> Create(DWORD flags, const void* info, LPSTR inner_type,
                                               const CMSG_STREAM_INFO* stream, bool need_key);
  // An upper bound of the encoding of content_len bytes.
  size_t EncodedLengthBound(size_t content_len);

  BOOL Update(const BYTE* data, DWORD size, BOOL final) override;
  BOOL GetParam(DWORD param, DWORD index, void* out, DWORD* out_len) override;
  BOOL Control(DWORD flags, DWORD type, const void* para) override;
  bool Contents(std::vector<Bytes>& certs, std::vector<Bytes>& crls) override;

 private:
  struct Signer {
    Bytes issuer_serial;
    AlgId digest_alg;
    const EVP_MD* md = nullptr;
    ContentDigest hash;
    EvpPkeyPtr key;
    AlgId signature_alg;
    std::vector<Attribute> auth, unauth;
    bool with_auth = false;
  };
  SignedEncoder() = default;
  // The SignerInfo for a content digest; a placeholder signature when `fake`.
  bool SignerInfo(Signer& s, const Bytes& digest, bool fake, Bytes& out);
  Bytes DigestAlgorithms() const;
  Bytes Trailer(const std::vector<Bytes>& signer_infos) const;
  bool Finish();
  bool Hash(const BYTE* p, size_t n);
  bool EmitHeader();
  // The exact size of a signature by the signer's key.
  static size_t SignatureSize(const Signer& s);
  // The signer infos with placeholder signatures of the exact size; empty on failure.
  std::vector<Bytes> PlaceholderInfos();
  // The encoding up to the content's first byte (definite lengths for `content_len` bytes and
  // a trailer of `trailer_len`); bare_offset_ is set.
  Bytes DefiniteHeader(size_t content_len, size_t trailer_len);

  DWORD flags_ = 0;
  bool detached_ = false;
  bool bare_ = false;
  std::string inner_type_;
  std::optional<CMSG_STREAM_INFO> stream_;
  std::vector<Signer> signers_;
  std::vector<Bytes> certs_, crls_;
  Bytes content_;
  Bytes encoded_;  // the ContentInfo, once finished
  size_t bare_offset_ = 0;  // where the SignedData starts in it
  bool header_sent_ = false;
  bool definite_ = false;        // streamed with known lengths
  size_t streamed_ = 0;          // content bytes streamed so far
  size_t trailer_len_ = 0;       // the trailer the definite header announced
  bool finished_ = false;
};

}  // namespace vexorcsp::msg
