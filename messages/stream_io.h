// The stream pieces every message operation shares: the length probe and the block feeder
// that pushes a stream into an open cryptographic message.
#pragma once

#include <cstdint>
#include <istream>

#include "vexor/platform.h"

// The stream's end offset at full width (not what is left after the current position); the
// read position is restored unless it was invalid. -1 for a stream that cannot tell its
// position (a pipe). Lengths stay 64-bit wherever they go: an operation that cannot take a
// length refuses it, it never cuts it.
int64_t ProbeStreamLength64(std::istream& in);

// The encoding of every message the operations open.
constexpr DWORD kMsgEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Largest block the feeder reads at once, before its extra byte.
constexpr uint32_t kFeedBlockLimit = 0xA00000;  // 10 MiB

// Feeds the whole stream, from its beginning, into the message in blocks of
// min(length, 10 MiB) + 1 bytes; the block that reaches the end goes with the final flag, so
// a stream shorter than 10 MiB arrives in one final update (a longer one is added a block
// at a time on a worker thread while the next is read, see MessageFeed: `output` is the
// writer the message was opened with, if any). Raises
// CryptoOperations::baseCryptoException: 6 when the block buffer cannot be had, 22 when a
// read delivers nothing (an empty stream fails here) or the platform refuses a block.
class ContentWriter;
void FeedStream(HCRYPTMSG msg, std::istream& in, int64_t length, ContentWriter* output = nullptr);

class CallContext;

// FeedStream for an operation: the stream of the given length, then (for a detached
// signature) the content, go into the message; a failure of the feeder becomes the call's
// failure report. Returns 0, or the reported code when the report does not raise.
int32_t FeedMessage(CallContext& ctx, HCRYPTMSG msg, std::istream& in, int64_t length,
                    std::istream* content = nullptr, ContentWriter* output = nullptr);
