// Whether a certificate's signature verifies with another certificate's public key. A chain
// check asks this of the same pair several times (the issuer search, the path, each call of a
// long-lived process), and a GOST signature check costs more than the rest of a small
// operation together, so a positive answer is remembered for the process: keyed by both
// certificates' full encodings, which fix the signed bytes, the signature and the key.
#pragma once

#include "vexor/platform.h"

namespace vexorcsp {

bool CertSignedBy(PCCERT_CONTEXT subject, PCCERT_CONTEXT issuer);

}  // namespace vexorcsp
