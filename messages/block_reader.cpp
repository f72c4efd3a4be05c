#include "messages/block_reader.h"

#include <system_error>

#include "support/read_sized.h"

BlockReader::~BlockReader() {
  if (ahead_.valid()) ahead_.wait();
}

bool BlockReader::Allocate() { return TryResize(buffers_[current_], block_len_); }

BlockReader::Block BlockReader::Read(int buffer) {
  BYTE* const data = buffers_[buffer].data();
  in_.read(reinterpret_cast<char*>(data), static_cast<std::streamsize>(block_len_));
  Block block;
  block.data = data;
  block.size = static_cast<size_t>(in_.gcount());
  block.last = block.size < block_len_ || in_.eof() || in_.peek() == std::istream::traits_type::eof();
  block.failed = in_.bad();
  return block;
}

BlockReader::Block BlockReader::Next() {
  Block block;
  if (ahead_.valid()) {
    block = ahead_.get();
    current_ = 1 - current_;
  } else {
    block = Read(current_);
  }
  if (block.last || block.failed || block.size == 0) return block;
  const int other = 1 - current_;
  if (buffers_[other].empty() && !TryResize(buffers_[other], block_len_)) {
    buffers_[other].clear();
    return block;  // no second buffer: the next block is read into this one when asked for
  }
  try {
    ahead_ = std::async(std::launch::async, &BlockReader::Read, this, other);
  } catch (const std::system_error&) {
    // No thread to be had: the next block is read when asked for.
  }
  return block;
}
