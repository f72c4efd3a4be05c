// "141" encryption between exactly one sender and one recipient: a head naming both
// certificates (thumbprint and common name), the session key wrapped with the key both
// parties' exchange keys agree on (SIMPLEBLOB), the initialisation vector and the plaintext
// length, then the whole input in GOST 28147-89 CFB, as long as the plaintext.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>

#include "vexor/vexor.h"

class InstanceContext;

// Exactly two parties, one of them the sender (9 otherwise, before any store is opened).
// Writes as it goes: a failure after the head leaves what was written.
int32_t Encrypt141(InstanceContext& ctx, std::istream& in, std::ostream& out, const CertPartyList& parties);

// Decrypts with the recipient's key; 17 when a store lacks either certificate, 11 for a
// malformed message.
int32_t Decrypt141(InstanceContext& ctx, std::istream& in, std::ostream& out);
