// PKCS#7 encryption for a set of parties (the sender's own certificates and the
// recipients', found in the personal store and the host's search) and streaming decryption
// with the key of a recipient installed in the personal store.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>

#include "vexor/vexor.h"

class InstanceContext;

// Two attempts: the library's own enveloped-data writer, then, when it fails, the
// platform's message encryption over the input read again from its entry position. 0, or
// the reported code (raised while the raise flag is on).
int32_t EncryptStream(InstanceContext& ctx, std::istream& in, std::ostream& out, const CertPartyList& parties);

// Feeds the message in blocks of at most 10 MiB + 1 bytes; the plaintext streams to `out`
// once a recipient's key is found. Inputs above the MaxDecryptSize option are refused.
int32_t DecryptStream(InstanceContext& ctx, std::istream& in, std::ostream& out);
