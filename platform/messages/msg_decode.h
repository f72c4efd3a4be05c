// Decoding of signed-data, enveloped-data and data messages, whole or streamed: the message
// is read incrementally as it arrives, content is hashed (signed) or decrypted (enveloped)
// on the way and handed to the stream callback or kept for CryptMsgGetParam.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/provider/gost_cipher.h"
#include "platform/messages/msg_cms_codec.h"
#include "platform/messages/msg_digest.h"
#include "platform/messages/msg_message.h"
#include "platform/messages/msg_spill_buffer.h"
#include "platform/messages/msg_stream_parser.h"

namespace vexorcsp::msg {

class Decoder : public Message {
 public:
  static std::shared_ptr<Decoder> Create(DWORD flags, DWORD type, const CMSG_STREAM_INFO* stream);

  BOOL Update(const BYTE* data, DWORD size, BOOL final) override;
  BOOL GetParam(DWORD param, DWORD index, void* out, DWORD* out_len) override;
  BOOL Control(DWORD flags, DWORD type, const void* para) override;
  bool Contents(std::vector<Bytes>& certs, std::vector<Bytes>& crls) override;

 private:
  enum class St {
    kStart, kCiOpen, kCiType, kCiExplicit, kDataOctets,
    kSdOpen, kSdVersion, kSdDigestAlgs, kEciOpen, kEciType, kEciPeek, kEciBody, kEciOctets,
    kEciBodyClose, kEciClose, kSdOptional, kSdClose,
    kEdOpen, kEdVersion, kEdOriginator, kEdRecipients, kEdEciOpen, kEdEciType, kEdAlg,
    kEdContentPeek, kEdContent, kEdEciClose, kEdUnprot, kEdClose,
    kCloseRest, kDone
  };
  Decoder() = default;
  bool Feed(const BYTE* p, size_t n);
  Step Run();
  Step Bad(DWORD error);
  bool SignedContent(const BYTE* p, size_t n);
  bool SignedContentDone();
  bool Cipher(const BYTE* p, size_t n);
  bool CipherDone();
  bool Deliver(const BYTE* p, size_t n, bool final);
  bool Decrypt(const BYTE* p, size_t n);
  void StartHashes();
  bool FinishHashes();
  const Bytes* DigestOf(const EVP_MD* md) const;
  BOOL VerifySignature(const CERT_INFO* cert);
  BOOL DecryptControl(const CMSG_CTRL_DECRYPT_PARA* para);
  BOOL KeyAgreeDecryptControl(const CMSG_CTRL_KEY_AGREE_DECRYPT_PARA* para);
  // Checks common to both decryptions; the content's parameter set and IV.
  bool ReadyToDecrypt(DWORD recipient, const gost89::ParamSet*& content_set, Bytes& iv);
  BOOL StartDecryption(const gost89::ParamSet& content_set, const BYTE* cek, const Bytes& iv,
                       DWORD recipient, DWORD encrypted_key);
  BOOL EncodedMessage(void* out, DWORD* out_len);
  DWORD NotReady() const;

  DWORD flags_ = 0;
  DWORD open_type_ = 0;
  bool detached_ = false;
  std::optional<CMSG_STREAM_INFO> stream_;

  BerCursor cursor_;
  Bytes pending_;
  St state_ = St::kStart;
  DWORD error_ = 0;
  bool failed_ = false;
  bool message_final_ = false;  // the encoded message is complete
  bool content_final_ = false;  // detached content complete

  DWORD type_ = 0;
  DWORD version_ = 0;
  bool version_known_ = false;
  Bytes version_tlv_, digest_algs_tlv_;
  std::string inner_type_;
  bool content_present_ = false;
  bool content_raw_ = false;  // content was not an OCTET STRING
  bool content_done_ = false;
  Bytes content_;

  // Signed.
  std::vector<std::pair<const EVP_MD*, ContentDigest>> hashes_;
  std::vector<std::pair<const EVP_MD*, Bytes>> digests_;
  bool signers_ready_ = false;
  std::vector<SignerRecord> signers_;
  std::vector<Bytes> certs_, crls_;

  // Enveloped.
  bool recipients_ready_ = false;
  std::vector<std::optional<RecipientRecord>> recipients_;
  bool alg_ready_ = false;
  AlgId content_alg_;
  std::unique_ptr<gost89::CfbStream> cipher_;
  DWORD recipient_index_ = 0;
  DWORD encrypted_key_index_ = 0;
  bool cipher_done_ = false;
  SpillBuffer held_;
  std::vector<BYTE> scratch_;
};

}  // namespace vexorcsp::msg
