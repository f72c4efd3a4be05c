// An incremental BER reader for messages that arrive in pieces. The caller hands it a window
// of bytes; each step either completes (consuming bytes), asks for more data, or fails. It
// keeps a stack of open constructed elements with definite or indefinite lengths, never
// reads past the window or past an enclosing element's end, captures whole elements the
// caller wants to keep, and streams the contents of a (possibly constructed, nested)
// OCTET STRING to a sink without holding them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "vexor/platform.h"

namespace vexorcsp::msg {

enum class Step { kDone, kNeedMore, kError };

struct BerHeader {
  uint8_t tag = 0;
  bool indefinite = false;
  uint64_t length = 0;      // contents length when definite
  size_t header_size = 0;  // identifier + length octets
};

// Reads an identifier and length. kNeedMore when the header is not complete in n bytes.
Step ReadBerHeader(const BYTE* p, size_t n, BerHeader& out, DWORD& error);

// The size of the whole element at p (indefinite lengths nested up to a fixed depth).
// `room` is how many bytes the element may occupy at most; beyond it the input is corrupt.
Step BerElementSize(const BYTE* p, size_t n, uint64_t room, size_t& size, DWORD& error);

class BerCursor {
 public:
  using Sink = std::function<bool(const BYTE*, size_t)>;

  // The bytes to read next; they follow on from everything consumed so far.
  void SetWindow(const BYTE* p, size_t n) {
    data_ = p;
    size_ = n;
    pos_ = 0;
  }
  // Bytes of the current window consumed.
  size_t used() const { return pos_; }
  uint64_t offset() const { return base_ + pos_; }
  // Ends the window: what was consumed counts towards the absolute offset.
  void Commit() {
    base_ += pos_;
    data_ += pos_;
    size_ -= pos_;
    pos_ = 0;
  }
  DWORD error() const { return error_; }
  size_t depth() const { return frames_.size(); }

  // Enters a constructed element with this identifier.
  Step Open(uint8_t tag);
  // The identifier of the next element of the innermost open element; at_end when that
  // element has no more children.
  Step Peek(uint8_t& tag, bool& at_end);
  // Leaves the innermost open element, which must be complete.
  Step Close();
  // The whole encoding of the next element (which must carry `tag`, 0 = any), pointing
  // into the window: valid until the window changes.
  Step Capture(uint8_t tag, const BYTE*& p, size_t& n);
  // Streams the contents octets of the next element: a primitive element with `tag`, or
  // its constructed form (tag | 0x20) made of primitive/constructed OCTET STRING pieces.
  // Resumes where it stopped on the next call; kDone once the whole element is consumed.
  Step StreamOctets(uint8_t tag, const Sink& sink);

 private:
  struct Frame {
    bool indefinite;
    uint64_t end;  // absolute end for definite frames
  };
  Step Fail(DWORD e) {
    if (error_ == 0) error_ = e;
    return Step::kError;
  }
  uint64_t Room() const;  // bytes left before the innermost definite end
  size_t Avail() const { return size_ - pos_; }
  bool AtFrameEnd(bool& at_end, Step& step) const;
  bool Fits(const BerHeader& h) const;
  Step PushHeader(const BerHeader& h);

  const BYTE* data_ = nullptr;
  size_t size_ = 0;
  size_t pos_ = 0;
  uint64_t base_ = 0;
  std::vector<Frame> frames_;
  DWORD error_ = 0;
  // OCTET STRING streaming state.
  bool streaming_ = false;
  size_t stream_base_depth_ = 0;
  uint64_t chunk_left_ = 0;
  bool in_chunk_ = false;
};

}  // namespace vexorcsp::msg
