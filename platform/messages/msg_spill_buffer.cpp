// Held-back bytes in memory, then in a temporary file that disappears when closed.
#include "platform/messages/msg_spill_buffer.h"

#include <atomic>

namespace vexorcsp::msg {
namespace {
std::atomic<size_t> default_limit{size_t(4) << 20};
}  // namespace

size_t SpillBuffer::DefaultLimit() { return default_limit.load(std::memory_order_relaxed); }
void SpillBuffer::SetDefaultLimit(size_t limit) { default_limit.store(limit, std::memory_order_relaxed); }

bool SpillBuffer::Append(const BYTE* p, size_t n) {
  if (n == 0) return true;
  if (!file_ && memory_.size() + n <= limit_) {
    memory_.insert(memory_.end(), p, p + n);
    size_ += n;
    return true;
  }
  if (!file_) {
    file_.reset(std::tmpfile());
    if (!file_) return false;
    if (!memory_.empty() && std::fwrite(memory_.data(), 1, memory_.size(), file_.get()) != memory_.size())
      return false;
    memory_.clear();
    memory_.shrink_to_fit();
  }
  if (std::fwrite(p, 1, n, file_.get()) != n) return false;
  size_ += n;
  return true;
}

bool SpillBuffer::Drain(const std::function<bool(const BYTE*, size_t)>& sink) {
  if (file_) {
    if (std::fflush(file_.get()) != 0 || std::fseek(file_.get(), 0, SEEK_SET) != 0) return false;
    std::vector<BYTE> block(size_t(1) << 16);
    size_t got;
    while ((got = std::fread(block.data(), 1, block.size(), file_.get())) > 0)
      if (!sink(block.data(), got)) return false;
    file_.reset();
  } else if (!memory_.empty() && !sink(memory_.data(), memory_.size())) {
    return false;
  }
  memory_.clear();
  memory_.shrink_to_fit();
  size_ = 0;
  return true;
}

}  // namespace vexorcsp::msg
