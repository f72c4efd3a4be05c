// libFuzzer target: the XML library's readers on hostile documents - the signature verifier
// (even input bytes' first byte) and the decryptor (odd), through their exported functions.
// The seeds are a signed and an encrypted document.
#include <cstddef>
#include <cstdint>

#include "vexor/vexor_xml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 1 << 20) return 0;
  void* result = nullptr;
  int length = 0;
  if (data[0] % 2 == 0) {
    const CERT_CONTEXT* signer = nullptr;
    int valid = 0;
    CryptoXml::CheckSignXml(data + 1, static_cast<int>(size - 1), &signer, &valid, &result, &length);
    if (signer != nullptr) CertFreeCertificateContext(signer);
  } else {
    CryptoXml::DecryptXml(data + 1, static_cast<int>(size - 1), &result, &length);
  }
  CryptoXml::FreeMem(&result);
  return 0;
}
