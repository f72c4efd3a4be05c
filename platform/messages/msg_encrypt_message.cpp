// CryptEncryptMessage: GOST enveloped-data for a set of recipient certificates in one call,
// with the two-call size convention. Each call encrypts afresh (new content key, IV and
// ephemeral keys); the size does not depend on them.
#include "vexor/platform_msg.h"

#include <cstring>
#include <new>

#include "platform/core/api_guard.h"
#include "platform/core/last_error.h"
#include "platform/messages/msg_enveloped.h"

using namespace vexorcsp;
using namespace vexorcsp::msg;

namespace {

constexpr DWORD kWin32EncryptParaSize = 36;

// The prefix of the encoding (everything before the ciphertext), for a new content key.
DWORD Prepare(const CRYPT_ENCRYPT_MESSAGE_PARA* para, DWORD count, PCCERT_CONTEXT* certs,
              const BYTE* data, DWORD size, std::unique_ptr<Envelope>& env, Bytes& prefix) {
  if (para == nullptr ||
      !(para->cbSize == kWin32EncryptParaSize || para->cbSize >= sizeof(*para)) ||
      (para->dwMsgEncodingType & PKCS_7_ASN_ENCODING) == 0 || count == 0 || certs == nullptr ||
      (size > 0 && data == nullptr))
    return DWORD(E_INVALIDARG);
  if (para->ContentEncryptionAlgorithm.pszObjId == nullptr ||
      std::strcmp(para->ContentEncryptionAlgorithm.pszObjId, kOidGost89) != 0)
    return DWORD(CRYPT_E_UNKNOWN_ALGO);
  std::vector<const CERT_INFO*> recipients;
  for (DWORD i = 0; i < count; ++i) {
    if (certs[i] == nullptr || certs[i]->pCertInfo == nullptr) return DWORD(E_INVALIDARG);
    recipients.push_back(certs[i]->pCertInfo);
  }
  DWORD error = 0;
  env = Envelope::Create(recipients, error);
  if (!env) return error;
  prefix = env->Prefix(size, (para->dwFlags & CRYPT_MESSAGE_BARE_CONTENT_OUT_FLAG) != 0);
  return 0;
}

}  // namespace

extern "C" BOOL CryptEncryptMessage(PCRYPT_ENCRYPT_MESSAGE_PARA pEncryptPara, DWORD cRecipientCert,
                                    PCCERT_CONTEXT rgpRecipientCert[], const BYTE* pbToBeEncrypted,
                                    DWORD cbToBeEncrypted, BYTE* pbEncryptedBlob,
                                    DWORD* pcbEncryptedBlob) {
  return ApiGuard([&]() -> BOOL {
    if (pcbEncryptedBlob == nullptr) return Fail(DWORD(E_INVALIDARG));
    // A failure, an exception included, leaves the size at 0.
    const DWORD capacity = *pcbEncryptedBlob;
    *pcbEncryptedBlob = 0;
    std::unique_ptr<Envelope> env;
    Bytes prefix;
    DWORD error = Prepare(pEncryptPara, cRecipientCert, rgpRecipientCert, pbToBeEncrypted,
                          cbToBeEncrypted, env, prefix);
    const uint64_t total = uint64_t(prefix.size()) + cbToBeEncrypted;
    if (error == 0 && total > 0xFFFFFFFFu) error = DWORD(CRYPT_E_ASN1_LARGE);
    if (error != 0) return Fail(error);
    if (pbEncryptedBlob == nullptr) {
      *pcbEncryptedBlob = DWORD(total);
      return TRUE;
    }
    if (capacity < total) {
      *pcbEncryptedBlob = DWORD(total);
      return Fail(ERROR_MORE_DATA);
    }
    // The ciphertext is made in place in the caller's buffer, after the prefix.
    std::memcpy(pbEncryptedBlob, prefix.data(), prefix.size());
    BYTE* cipher = pbEncryptedBlob + prefix.size();
    if (cbToBeEncrypted > 0) std::memmove(cipher, pbToBeEncrypted, cbToBeEncrypted);
    env->cipher().Encrypt(cipher, cbToBeEncrypted);
    *pcbEncryptedBlob = DWORD(total);
    return TRUE;
  });
}
