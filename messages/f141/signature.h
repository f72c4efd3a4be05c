// "141" detached signatures: the signer's thumbprint, common name and exchange public key,
// the hash algorithm and the GOST R 34.10 signature of the GOST R 34.11-94 hash of the data,
// each a 32-bit little-endian field or blob. The data itself is not included.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>

#include "vexor/vexor.h"

class InstanceContext;

// Writes the signature of `in` by the party's certificate to `out`, field by field as each
// becomes known: a failure after the head was written leaves it in the output.
int32_t Sign141(InstanceContext& ctx, const CertPartyParam& party, std::istream& in, std::ostream& out);

// Verifies the signature of `content`. The list's first criterion names the expected owner;
// the list is emptied, and on success holds the one verified signer (subject, thumbprint,
// both verdicts true). The signature is checked with the public key of the certificate the
// head's thumbprint finds, and the key the file carries must be that key. 0 for a good
// signature; 8 (logged, not reported) when the name field or the certificate's common name
// does not contain the expected owner (an empty one never does) or no store holds the
// signer; 14 for an embedded key that is not the certificate's; 11 for a malformed
// signature or one that does not verify; 26 for an empty list.
int32_t Check141(InstanceContext& ctx, std::istream& signature, std::istream& content, SignerCheckList& list);
