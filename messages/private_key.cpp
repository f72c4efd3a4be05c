#include "messages/private_key.h"

#include "call/call_context.h"
#include "call/failure.h"

bool AcquireCertificateKey(CallContext& ctx, PCCERT_CONTEXT cert, HCRYPTPROV& prov, auto_prov& owned) {
  const DWORD flags = CRYPT_ACQUIRE_CACHE_FLAG | CRYPT_ACQUIRE_COMPARE_KEY_FLAG |
                      (ctx.options.ShowUICSP ? 0 : CRYPT_ACQUIRE_SILENT_FLAG);
  DWORD key_spec = 0;
  BOOL caller_frees = FALSE;
  prov = 0;
  if (!CryptAcquireCertificatePrivateKey(cert, flags, nullptr, &prov, &key_spec, &caller_frees)) {
    ctx.log().LogText("CryptAcquireCertificatePrivateKey: " + SystemErrorTextLong(GetLastError()));
    return false;
  }
  if (caller_frees) owned.reset(prov);
  return true;
}
