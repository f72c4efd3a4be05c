// The keys of the library's own enveloped data, on the platform's GOST provider: a
// GOST 28147-89 session key, an ephemeral GOST R 34.10-2001 agreement key, the session key
// wrapped for each recipient (SIMPLEBLOB) and the content encrypted in CFB mode.
// Failures throw std::runtime_error with the provider step's text.
#pragma once

#include "messages/pkcs7/enveloped_data.h"
#include "stores/auto_handle.h"

class CCryptMethods final : public CPKCS7EnvelopedData::IEncryptor {
 public:
  // A private verify-only context of the GOST provider.
  CCryptMethods();
  ~CCryptMethods();
  CCryptMethods(const CCryptMethods&) = delete;
  CCryptMethods& operator=(const CCryptMethods&) = delete;

  void GenerateKeys(PCCERT_CONTEXT sender) override;
  void ExportKeys(PCCERT_CONTEXT recipient, std::vector<uint8_t>& session_key_blob,
                  std::vector<uint8_t>& sender_public_blob, std::vector<uint8_t>& export_iv,
                  bool& ephemeral) override;
  void GetContentAlgorithm(ALG_ID& algorithm, std::vector<uint8_t>& iv) override;
  void Encrypt(const uint8_t* data, uint32_t length, bool final, std::vector<uint8_t>& out) override;

 private:
  auto_prov provider_;
  auto_key session_key_;
  auto_key sender_key_;
  bool ephemeral_ = false;
};
