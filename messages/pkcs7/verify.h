// Verification of PKCS#7 signed messages, attached or detached: one record per signer with
// its own verdicts (signature, certificate), the signing time and a description. A bad
// signature is a verdict, not a failure: the call returns 0 when the message itself could be
// processed.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>

#include "vexor/vexor.h"

class InstanceContext;

// Subject-filter verification: each criterion's subjectCN must occur in the signer's subject
// (ignoring case). The content of an attached message goes to a temporary file. content is
// the detached content (or null).
int32_t CheckBySubject(InstanceContext& ctx, std::istream& signedData, std::istream* content, SignerCheckList& list,
                       bool detached);

// Expected-certificate verification: each signer must match a criterion's thumbprint or
// common name. The content of an attached message goes to contentOut when given, else to a
// temporary file.
int32_t CheckByCertificate(InstanceContext& ctx, std::istream& signedData, std::istream* content,
                           std::ostream* contentOut, SignerCheckList& list, bool detached);

// Writes the content of an attached signed message to out without checking any signature.
int32_t UnpackSignedStream(InstanceContext& ctx, std::istream& signedData, std::ostream& out);
