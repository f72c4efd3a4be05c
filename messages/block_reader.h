// A host stream read block by block for the streaming operations. Once a block is not the
// last, the next one is read on another thread while the caller works on this one, so the
// kernel's copy of a file (and the host's own stream code) costs the working core nothing;
// a stream of one block is read on the caller's thread alone, and without a second buffer
// or a thread the blocks are simply read one after the other.
#pragma once

#include <cstddef>
#include <future>
#include <istream>
#include <vector>

#include "vexor/platform.h"

class BlockReader {
 public:
  struct Block {
    const BYTE* data = nullptr;
    size_t size = 0;      // 0 when the read delivered nothing
    bool last = false;    // shorter than a block, or ends exactly where the stream ends
    bool failed = false;  // the read, or its look ahead for the end, failed: not an end
  };

  BlockReader(std::istream& in, size_t block_len) : in_(in), block_len_(block_len) {}
  ~BlockReader();  // waits for a read in flight
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;

  // The first block's buffer; false when it cannot be had.
  bool Allocate();
  // The next block from the stream's position, valid until the following call. An
  // exception of the host's stream arrives here.
  Block Next();

 private:
  Block Read(int buffer);

  std::istream& in_;
  const size_t block_len_;
  std::vector<BYTE> buffers_[2];
  int current_ = 0;
  std::future<Block> ahead_;  // the read of the next block into the other buffer
};
