// Decoding of signed-data, enveloped-data and data messages, whole or streamed: the message
// is read incrementally as it arrives, content is hashed (signed) or decrypted (enveloped)
// on the way and handed to the stream callback or kept for CryptMsgGetParam.
#pragma once

#include <functional>
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

// The decryption of the content in force: GOST 28147-89 CFB or a GOST R 34.12-2015 cipher in
// CTR-ACPKM, continuing across calls.
class ContentCipher {
 public:
  virtual ~ContentCipher() = default;
  virtual void Decrypt(BYTE* data, size_t len) = 0;
};

using ContentCipherMaker = std::function<std::unique_ptr<ContentCipher>(const BYTE* cek)>;

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
  // Checks common to both decryptions; the content cipher for a content key (null when the
  // message's content algorithm is not known).
  using CipherMaker = ContentCipherMaker;
  bool ReadyToDecrypt(DWORD recipient, CipherMaker& make);
  BOOL StartDecryption(std::unique_ptr<ContentCipher> cipher, DWORD recipient,
                       DWORD encrypted_key);
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
  std::unique_ptr<ContentCipher> cipher_;
  DWORD recipient_index_ = 0;
  DWORD encrypted_key_index_ = 0;
  bool cipher_done_ = false;
  SpillBuffer held_;
  std::vector<BYTE> scratch_;
};

}  // namespace vexorcsp::msg
