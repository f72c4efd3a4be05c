// Encryption of a stream for a list of recipient certificates into a PKCS#7 enveloped-data
// message, by one of two ways: the library's own writer (GOST key transport per recipient,
// in memory up to 10 MiB and through a temporary file above) or the platform's message
// encryption.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>

#include "vexor/vexor.h"

class InstanceContext;

// Inputs up to this size are encrypted in memory in one piece; larger ones in blocks of it.
constexpr uint32_t kEncryptBlock = 10485760;  // 10 MiB

// 0, or the code of the failure report (which raises while the raise flag is on). The own
// way writes nothing unless the whole message was built; its failures are reported as 30
// (-100 for an exception without a text). `prov` serves only the platform way (0: the
// default provider).
int32_t encrypt_stream_ex_alg(InstanceContext& ctx, std::istream& in, std::ostream& out, HCRYPTPROV prov,
                              const vector_cert& certs, bool use_platform);
