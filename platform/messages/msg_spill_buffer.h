// Bytes held back until they can be used (ciphertext that arrives before the key): kept in
// memory up to a limit, beyond it in an unnamed temporary file, so a large message waiting
// for its key does not grow the process.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "vexor/platform.h"

namespace vexorcsp::msg {

class SpillBuffer {
 public:
  explicit SpillBuffer(size_t memory_limit = DefaultLimit()) : limit_(memory_limit) {}
  // The limit of buffers made without one (4 MiB); the fuzz target lowers it so small
  // inputs reach the file.
  static size_t DefaultLimit();
  static void SetDefaultLimit(size_t limit);
  bool Append(const BYTE* p, size_t n);
  // Hands everything held, in order and in pieces, to `sink`, then empties the buffer.
  bool Drain(const std::function<bool(const BYTE*, size_t)>& sink);
  size_t size() const { return size_; }

 private:
  struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
  };
  size_t limit_;
  size_t size_ = 0;
  std::vector<BYTE> memory_;
  std::unique_ptr<FILE, FileCloser> file_;
};

}  // namespace vexorcsp::msg
