// The library's own PKCS#7 enveloped-data writer: a ContentInfo of type enveloped-data built
// as an ASN.1 value tree, one RecipientInfo per certificate carrying the GOST key transport
// (GostR3410-KeyTransport: the session key wrapped by agreement with an ephemeral key, the
// ephemeral public key and the UKM), and the content encrypted by GOST 28147-89 in CFB mode.
// Keys are never touched here: an IEncryptor does all of that.
//
// Constructors throw std::invalid_argument or std::runtime_error with the texts callers
// turn into result codes.
#pragma once

#include <cstdint>
#include <vector>

#include "asn1/asn1_value.h"
#include "vexor/platform.h"

// A ContentInfo: a SEQUENCE whose first element is the content type.
class CPKCS7Info : public CASN1Value {
 public:
  // The IssuerAndSerialNumber of a certificate.
  class CIssuerAndSerialNumber : public CASN1Value {
   public:
    explicit CIssuerAndSerialNumber(PCCERT_CONTEXT cert);
  };

  // With the placeholder content type 1.2.840.113549.1.7.
  CPKCS7Info() : CPKCS7Info("1.2.840.113549.1.7") {}

 protected:
  explicit CPKCS7Info(const char* content_type);
};

class CPKCS7EnvelopedData : public CPKCS7Info {
 public:
  // Source of plaintext blocks for the streaming writer.
  class IData {
   public:
    // The next block (empty at the end) and whether it is the last.
    virtual void GetNextBlock(const uint8_t*& data, uint32_t& length, bool& last) = 0;

   protected:
    ~IData() = default;
  };

  // The keys behind the message.
  class IEncryptor {
   public:
    // New session and sender keys; a sender certificate is refused (ephemeral keys only).
    virtual void GenerateKeys(PCCERT_CONTEXT sender) = 0;
    // For one recipient: the session key wrapped by agreement (SIMPLEBLOB), the sender's
    // public key (PUBLICKEYBLOB), the UKM of the agreement and whether the sender key is
    // ephemeral.
    virtual void ExportKeys(PCCERT_CONTEXT recipient, std::vector<uint8_t>& session_key_blob,
                            std::vector<uint8_t>& sender_public_blob, std::vector<uint8_t>& export_iv,
                            bool& ephemeral) = 0;
    virtual void GetContentAlgorithm(ALG_ID& algorithm, std::vector<uint8_t>& iv) = 0;
    // Encrypts the next piece of the content; `final` on the last piece only.
    virtual void Encrypt(const uint8_t* data, uint32_t length, bool final, std::vector<uint8_t>& out) = 0;

   protected:
    ~IEncryptor() = default;
  };

  class CRecipientInfo : public CASN1Value {
   public:
    CRecipientInfo(PCCERT_CONTEXT cert, IEncryptor& encryptor);
    // The GOST 28147-89 parameter set of the recipient's wrapped key.
    const std::vector<uint32_t>& param_set() const { return param_set_; }

   private:
    std::vector<uint32_t> param_set_;
  };

  // The whole plaintext in memory, encrypted in one piece.
  CPKCS7EnvelopedData(const PCCERT_CONTEXT* certs, size_t count, const uint8_t* data, uint32_t length,
                      IEncryptor* encryptor);
  // Streaming: blocks from the source are encrypted into a temporary file (long data).
  CPKCS7EnvelopedData(const PCCERT_CONTEXT* certs, size_t count, IData& source, IEncryptor* encryptor);

 private:
  // Everything but the encrypted content; returns the value that takes it.
  CASN1Value& BuildHead(const PCCERT_CONTEXT* certs, size_t count, IEncryptor* encryptor);
};
