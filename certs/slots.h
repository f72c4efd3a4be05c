// The certificate operations of the public interface, run in the call's context: the search
// as the host reaches it and the host's validity check.
#pragma once

#include <cstdint>

#include "vexor/platform.h"

class InstanceContext;

// The certificate of an identifier (thumbprint, e-mail address or common name) from every
// store, its encoded bytes in a C-heap buffer the host frees with FreeBuffer. 0; 49 for
// missing arguments, 13 when nothing was found, 15 when the stores cannot be opened.
int32_t FindCertificate(InstanceContext& ctx, const char* identifier, CRYPT_DATA_BLOB* cert);

// The certificate of a hex thumbprint as a context the host frees. 0, 13, 15; 9 for text
// that is not a thumbprint.
int32_t FindCertificateByThumb(InstanceContext& ctx, const char* thumbHex, PCCERT_CONTEXT* cert);

// Whether the certificate may be used (validity period, chains, revocation); withoutCrl
// switches the revocation check off for this call. 0, or the verdict's code reported.
int32_t CheckCertificate(InstanceContext& ctx, PCCERT_CONTEXT* cert, bool withoutCrl);
