// A certificate's private key as signing, encryption and decryption take it.
#pragma once

#include "stores/auto_handle.h"
#include "vexor/platform.h"

class CallContext;

// The key through the certificate's key cache (the handle then belongs to the certificate;
// `owned` holds it only when the platform hands over an uncached one), silently unless the
// ShowUICSP option is on. On failure the platform's reason is logged, since a wrong PIN, a
// missing key and a refused key file all end in the same result code; false.
bool AcquireCertificateKey(CallContext& ctx, PCCERT_CONTEXT cert, HCRYPTPROV& prov, auto_prov& owned);
