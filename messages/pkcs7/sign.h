// PKCS#7 signing of a stream (the standard format of sign_stream_a and sign_stream_d): the
// sender's certificate from the personal store, the expiry guard, the signing-time
// attribute; an attached message is written as the encoder produces it, a detached one
// (small) in one piece.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>

#include "vexor/vexor.h"

class InstanceContext;

// Signs the whole input stream with the party's certificate and writes a signed-data
// message, with the content inside (attached) or without it (detached). 0 on success;
// failures are reported through the call's context (so they leave as
// CryptoOperations::SystemException while the raise flag is on). A detached signature is
// written only when signing succeeded; an attached one streams, so a failure after its first
// bytes (a read error, a stream that changes length) leaves them in the output, as
// encryption's streaming does.
int32_t SignStream(InstanceContext& ctx, const CertPartyParam& party, std::istream& in, std::ostream& out,
                   bool detached);
