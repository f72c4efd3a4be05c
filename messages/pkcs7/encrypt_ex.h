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

// Largest input encrypted: the message's lengths are 32-bit, and the head (one recipient
// record per certificate) needs room beside the content. 4 GiB less 64 MiB.
constexpr int64_t kMaxEncryptInput = 0xFC000000;

// Measures the input: 0 for a length the message can take; a stream that cannot tell its
// length is reported as 49 "Ошибка данных: поток пуст", a longer input as 6 "Размер данных
// превышает максимальнодопустимый" before anything is read.
int32_t CheckEncryptInput(InstanceContext& ctx, std::istream& in, int64_t& size);

// 0, or the code of the failure report (which raises while the raise flag is on). The own
// way writes nothing unless the whole message was built; its failures are reported as 30
// (-100 for an exception without a text). `prov` serves only the platform way (0: the
// default provider).
int32_t encrypt_stream_ex_alg(InstanceContext& ctx, std::istream& in, std::ostream& out, HCRYPTPROV prov,
                              const vector_cert& certs, bool use_platform);
