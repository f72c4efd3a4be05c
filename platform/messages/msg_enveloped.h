// GOST enveloped-data (RFC 4490): a fresh GOST 28147-89 content key and IV per message
// (CryptoPro-A parameters, CFB with key meshing), and one KeyTransRecipientInfo per
// recipient whose GostR3410-KeyTransport wraps that key under VKO of a new ephemeral key.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/provider/gost_cipher.h"
#include "platform/provider/gost_key.h"
#include "platform/messages/msg_cms_codec.h"
#include "platform/messages/msg_message.h"

namespace vexorcsp::msg {

// The parts of an enveloped-data message that do not depend on the content.
class Envelope {
 public:
  // Null with the error set.
  static std::unique_ptr<Envelope> Create(const std::vector<const CERT_INFO*>& recipients,
                                          DWORD& error);
  // Everything before the ciphertext of the given length (ContentInfo unless bare): the
  // ciphertext is the last element, so prefix + ciphertext is the whole encoding.
  Bytes Prefix(size_t cipher_len, bool bare) const;
  Bytes Whole(const Bytes& ciphertext, bool bare) const;
  // The same as BER with indefinite lengths, in three parts, for streaming.
  Bytes StreamHeader(bool bare) const;
  static Bytes StreamChunk(const BYTE* cipher, size_t n);
  static Bytes StreamTrailer(bool bare);
  gost89::CfbStream& cipher() { return *cipher_; }

 private:
  Envelope() = default;
  Bytes EnvelopedBody(const Bytes& encrypted_content_info) const;
  Bytes ContentAlgorithm() const;
  SecretBytes cek_{gost89::kKeySize};
  BYTE iv_[gost89::kBlock] = {};
  const gost89::ParamSet* params_ = nullptr;
  std::vector<Bytes> recipient_infos_;
  std::unique_ptr<gost89::CfbStream> cipher_;
};

class EnvelopedEncoder : public Message {
 public:
  static std::shared_ptr<EnvelopedEncoder> Create(DWORD flags, const void* info,
                                                  const CMSG_STREAM_INFO* stream);
  static std::vector<const CERT_INFO*> Recipients(const void* info, DWORD& error);

  BOOL Update(const BYTE* data, DWORD size, BOOL final) override;
  BOOL GetParam(DWORD param, DWORD index, void* out, DWORD* out_len) override;
  BOOL Control(DWORD flags, DWORD type, const void* para) override;
  bool Contents(std::vector<Bytes>& certs, std::vector<Bytes>& crls) override;

 private:
  EnvelopedEncoder() = default;
  bool bare_ = false;
  std::optional<CMSG_STREAM_INFO> stream_;
  std::unique_ptr<Envelope> envelope_;
  Bytes ciphertext_;
  Bytes encoded_;
  bool header_sent_ = false;
  bool finished_ = false;
};

}  // namespace vexorcsp::msg
