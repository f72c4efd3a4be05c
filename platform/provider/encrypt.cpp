// CryptEncrypt / CryptDecrypt with GOST 28147-89 session keys: CFB (the default) and the
// counter mode (CRYPT_MODE_OFB, as GOST providers name it) continue across calls until the
// final one, so data may be cut anywhere; ECB takes whole blocks.
#include <cstring>

#include "platform/provider/key.h"
#include "platform/core/api_guard.h"
#include "platform/core/last_error.h"
#include "vexor/platform_prov.h"

using namespace vexorcsp;

namespace {

BOOL Run(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL final, DWORD flags, BYTE* data, DWORD* len,
         DWORD buf_len, bool encrypt) {
  if (len == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  KeyRef key = LookupKey(hKey);
  if (!key) return Fail(DWORD(NTE_BAD_KEY));
  if (key->kind != KeyKind::kSession) return Fail(DWORD(NTE_BAD_KEY));
  if (flags != 0) return Fail(DWORD(NTE_BAD_FLAGS));
  // No padding in either mode: the output is as long as the input.
  if (data == nullptr) return TRUE;
  if (encrypt && *len > buf_len) return Fail(ERROR_MORE_DATA);
  if (hHash != 0 && encrypt && !CryptHashData(hHash, data, *len, 0)) return FALSE;

  std::lock_guard<std::mutex> lock(key->mu);
  const gost89::ParamSet* params = gost89::FindParamSet(key->cipher_oid);
  if (params == nullptr) return Fail(DWORD(NTE_BAD_ALGID));
  if (key->mode == CRYPT_MODE_ECB) {
    if (*len % gost89::kBlock != 0) return Fail(DWORD(NTE_BAD_DATA));
    if (encrypt)
      gost89::EcbEncrypt(*params, key->secret.data(), data, *len);
    else
      gost89::EcbDecrypt(*params, key->secret.data(), data, *len);
  } else {
    if (!key->stream)
      key->stream = std::make_unique<gost89::GammaStream>(
          *params, key->secret.data(), key->iv.data(),
          key->mode == CRYPT_MODE_OFB ? gost89::GammaStream::Mode::kCnt
                                      : gost89::GammaStream::Mode::kCfb);
    if (encrypt)
      key->stream->Encrypt(data, *len);
    else
      key->stream->Decrypt(data, *len);
    // The final call ends the message; the next one starts again from the IV.
    if (final) key->stream.reset();
  }
  if (hHash != 0 && !encrypt && !CryptHashData(hHash, data, *len, 0)) return FALSE;
  return TRUE;
}

}  // namespace

extern "C" {

BOOL CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                  DWORD* pdwDataLen, DWORD dwBufLen) {
  return ApiGuard([&]() -> BOOL {
    return Run(hKey, hHash, Final, dwFlags, pbData, pdwDataLen, dwBufLen, true);
  });
}

BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                  DWORD* pdwDataLen) {
  return ApiGuard([&]() -> BOOL {
    return Run(hKey, hHash, Final, dwFlags, pbData, pdwDataLen, 0, false);
  });
}

}  // extern "C"
