// The hashing both halves of a "141" signature share: the whole stream, from its beginning,
// into a hash in blocks of at most 10 MiB.
#pragma once

#include <cstdint>
#include <istream>

#include "vexor/platform.h"

class CallContext;

namespace f141 {

// 0, or the reported code: 6 when the block buffer cannot be had, 22 when the platform
// refuses a block or the stream fails before its end. An empty stream hashes nothing; a
// stream that cannot tell its length is hashed from its read position to its end.
int32_t HashStream(CallContext& ctx, HCRYPTHASH hash, std::istream& in);

// The block size of the streaming loops for a stream of the given probed length: the
// length capped at 10 MiB; a stream that cannot tell its length is read in 1 MiB blocks.
size_t BlockSize(int64_t length);

}  // namespace f141
