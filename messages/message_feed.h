// A host's stream fed into an open message block by block. The platform's work on a block
// that is not the last (hashing, encoding, decrypting) runs on a worker thread while the
// calling thread reads the next block, so the kernel's copy of a file costs the working core
// nothing. The host's streams are touched only by the calling thread, as they always were:
// the input is read there, and what the message writes out while a worker updates it is kept
// by its ContentWriter and written to the host's stream there once the update is done (a
// stream buffer may hold state of the thread that called the library, an interpreter's lock
// say). The last block is added on the calling thread; without a second buffer or a thread
// every block is.
#pragma once

#include <cstddef>
#include <istream>
#include <vector>

#include "vexor/platform.h"

class ContentWriter;

class MessageFeed {
 public:
  struct Block {
    size_t size = 0;      // 0 when the read delivered nothing
    bool last = false;    // shorter than a block, or ends exactly where the stream ends
    bool failed = false;  // the read, or its look ahead for the end, failed: not an end
  };

  // `output` is the writer the message was opened with, if any.
  MessageFeed(HCRYPTMSG msg, std::istream& in, size_t block_len, ContentWriter* output)
      : msg_(msg), in_(in), block_len_(block_len), output_(output) {}
  MessageFeed(const MessageFeed&) = delete;
  MessageFeed& operator=(const MessageFeed&) = delete;

  // The first block's buffer; false when it cannot be had.
  bool Allocate();
  // The next block from the stream's position: the one read during the last update, or read
  // now.
  Block Next();
  // CryptMsgUpdate of the block Next gave, with the final flag given; for a block that is not
  // final the next block is read meanwhile. 0, or the platform's error (also the thread's
  // last error). An exception of the host's stream arrives here once the update is done.
  DWORD Update(bool final);

 private:
  Block Read(int buffer);
  DWORD UpdateHere(bool final);

  HCRYPTMSG msg_;
  std::istream& in_;
  const size_t block_len_;
  ContentWriter* output_;
  std::vector<BYTE> buffers_[2];
  int current_ = 0;
  Block block_;       // the block in buffers_[current_]
  bool ahead_ = false;  // the next block is in the other buffer
  Block next_;
};
