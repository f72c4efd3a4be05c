// Incremental BER reading for streamed messages: headers, element extents, open elements
// and OCTET STRING contents, all bounds-checked against the window and the enclosing ends.
#include "platform/messages/msg_stream_parser.h"

#include <algorithm>
#include <limits>

namespace vexorcsp::msg {

namespace {

constexpr size_t kMaxDepth = 64;
constexpr uint64_t kNoLimit = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kMaxLength = uint64_t(1) << 48;  // no message is anywhere near this

DWORD Corrupt() { return DWORD(CRYPT_E_ASN1_CORRUPT); }

}  // namespace

Step ReadBerHeader(const BYTE* p, size_t n, BerHeader& out, DWORD& error) {
  if (n < 2) return Step::kNeedMore;
  const uint8_t tag = p[0];
  // High tag numbers never occur in the structures read here.
  if ((tag & 0x1F) == 0x1F) {
    error = DWORD(CRYPT_E_ASN1_BADTAG);
    return Step::kError;
  }
  out.tag = tag;
  const uint8_t first = p[1];
  if (first < 0x80) {
    out.indefinite = false;
    out.length = first;
    out.header_size = 2;
    return Step::kDone;
  }
  if (first == 0x80) {
    if ((tag & 0x20) == 0) {  // only constructed encodings may be indefinite
      error = Corrupt();
      return Step::kError;
    }
    out.indefinite = true;
    out.length = 0;
    out.header_size = 2;
    return Step::kDone;
  }
  const size_t octets = first & 0x7F;
  if (octets > 8) {
    error = DWORD(CRYPT_E_ASN1_LARGE);
    return Step::kError;
  }
  if (n < 2 + octets) return Step::kNeedMore;
  uint64_t len = 0;
  for (size_t i = 0; i < octets; ++i) {
    if (len > (kMaxLength >> 8)) {
      error = DWORD(CRYPT_E_ASN1_LARGE);
      return Step::kError;
    }
    len = (len << 8) | p[2 + i];
  }
  out.indefinite = false;
  out.length = len;
  out.header_size = 2 + octets;
  return Step::kDone;
}

Step BerElementSize(const BYTE* p, size_t n, uint64_t room, size_t& size, DWORD& error) {
  uint64_t pos = 0;
  size_t open = 0;  // indefinite elements not yet closed
  do {
    if (pos >= room && (open > 0 || pos == 0)) {
      error = Corrupt();
      return Step::kError;
    }
    if (open > 0) {
      if (n - pos < 2) {
        if (room - pos < 2) {
          error = Corrupt();
          return Step::kError;
        }
        return Step::kNeedMore;
      }
      if (p[pos] == 0 && p[pos + 1] == 0) {
        pos += 2;
        --open;
        continue;
      }
    }
    BerHeader h;
    const Step s = ReadBerHeader(p + pos, n - pos, h, error);
    if (s != Step::kDone) {
      if (s == Step::kNeedMore && room - pos <= n - pos) {
        error = DWORD(CRYPT_E_ASN1_EOD);
        return Step::kError;
      }
      return s;
    }
    if (h.tag == 0 && !h.indefinite && h.length == 0) {  // end-of-contents out of place
      error = Corrupt();
      return Step::kError;
    }
    pos += h.header_size;
    if (h.indefinite) {
      if (++open > kMaxDepth) {
        error = Corrupt();
        return Step::kError;
      }
    } else {
      if (h.length > room - std::min(room, pos)) {
        error = Corrupt();
        return Step::kError;
      }
      pos += h.length;
    }
    if (pos > room) {
      error = Corrupt();
      return Step::kError;
    }
    if (pos > n) return Step::kNeedMore;
  } while (open > 0);
  size = size_t(pos);
  return Step::kDone;
}

uint64_t BerCursor::Room() const {
  for (auto it = frames_.rbegin(); it != frames_.rend(); ++it)
    if (!it->indefinite) return it->end - offset();
  return kNoLimit;
}

bool BerCursor::Fits(const BerHeader& h) const {
  const uint64_t room = Room();
  return h.header_size <= room && (h.indefinite || h.length <= room - h.header_size);
}

Step BerCursor::PushHeader(const BerHeader& h) {
  if (frames_.size() >= kMaxDepth || !Fits(h)) return Fail(Corrupt());
  pos_ += h.header_size;
  frames_.push_back({h.indefinite, h.indefinite ? 0 : offset() + h.length});
  return Step::kDone;
}

Step BerCursor::Open(uint8_t tag) {
  if (error_ != 0) return Step::kError;
  BerHeader h;
  DWORD e = 0;
  const Step s = ReadBerHeader(data_ + pos_, Avail(), h, e);
  if (s == Step::kError) return Fail(e);
  if (s == Step::kNeedMore) return Room() <= Avail() ? Fail(DWORD(CRYPT_E_ASN1_EOD)) : s;
  if (h.tag != tag) return Fail(DWORD(CRYPT_E_ASN1_BADTAG));
  return PushHeader(h);
}

bool BerCursor::AtFrameEnd(bool& at_end, Step& step) const {
  at_end = false;
  step = Step::kDone;
  if (frames_.empty()) return true;
  const Frame& f = frames_.back();
  if (!f.indefinite) {
    at_end = offset() >= f.end;
    return true;
  }
  if (Avail() < 2) {
    step = Room() < 2 ? Step::kError : Step::kNeedMore;
    return false;
  }
  at_end = data_[pos_] == 0 && data_[pos_ + 1] == 0;
  return true;
}

Step BerCursor::Peek(uint8_t& tag, bool& at_end) {
  if (error_ != 0) return Step::kError;
  Step s;
  if (!AtFrameEnd(at_end, s)) return s == Step::kError ? Fail(DWORD(CRYPT_E_ASN1_EOD)) : s;
  if (at_end) return Step::kDone;
  if (Room() == 0) return Fail(Corrupt());
  if (Avail() < 1) return Step::kNeedMore;
  tag = data_[pos_];
  return Step::kDone;
}

Step BerCursor::Close() {
  if (error_ != 0) return Step::kError;
  if (frames_.empty()) return Fail(Corrupt());
  bool at_end;
  Step s;
  if (!AtFrameEnd(at_end, s)) return s == Step::kError ? Fail(DWORD(CRYPT_E_ASN1_EOD)) : s;
  if (!at_end) return Fail(Corrupt());  // trailing elements nobody expects
  if (frames_.back().indefinite) pos_ += 2;
  frames_.pop_back();
  return Step::kDone;
}

Step BerCursor::Capture(uint8_t tag, const BYTE*& p, size_t& n) {
  if (error_ != 0) return Step::kError;
  const uint64_t room = Room();
  if (room == 0) return Fail(Corrupt());
  if (Avail() < 1) return Step::kNeedMore;
  if (tag != 0 && data_[pos_] != tag) return Fail(DWORD(CRYPT_E_ASN1_BADTAG));
  size_t size = 0;
  DWORD e = 0;
  const Step s = BerElementSize(data_ + pos_, Avail(), room, size, e);
  if (s == Step::kError) return Fail(e);
  if (s == Step::kNeedMore) return s;
  p = data_ + pos_;
  n = size;
  pos_ += size;
  return Step::kDone;
}

Step BerCursor::StreamOctets(uint8_t tag, const Sink& sink) {
  if (error_ != 0) return Step::kError;
  if (!streaming_) {
    BerHeader h;
    DWORD e = 0;
    const Step s = ReadBerHeader(data_ + pos_, Avail(), h, e);
    if (s == Step::kError) return Fail(e);
    if (s == Step::kNeedMore) return Room() <= Avail() ? Fail(DWORD(CRYPT_E_ASN1_EOD)) : s;
    if (h.tag != tag && h.tag != (tag | 0x20)) return Fail(DWORD(CRYPT_E_ASN1_BADTAG));
    stream_base_depth_ = frames_.size();
    if (h.tag & 0x20) {
      if (PushHeader(h) != Step::kDone) return Step::kError;
      in_chunk_ = false;
    } else {
      if (!Fits(h)) return Fail(Corrupt());
      pos_ += h.header_size;
      chunk_left_ = h.length;
      in_chunk_ = true;
    }
    streaming_ = true;
  }
  for (;;) {
    if (in_chunk_) {
      const size_t take = size_t(std::min<uint64_t>(chunk_left_, Avail()));
      if (take > 0) {
        if (!sink(data_ + pos_, take)) return Fail(DWORD(ERROR_CANCELLED));
        pos_ += take;
        chunk_left_ -= take;
      }
      if (chunk_left_ > 0) return Step::kNeedMore;
      in_chunk_ = false;
      if (frames_.size() == stream_base_depth_) break;
      continue;
    }
    // Inside a constructed piece: its end, or the next piece.
    bool at_end;
    Step s;
    if (!AtFrameEnd(at_end, s)) return s == Step::kError ? Fail(DWORD(CRYPT_E_ASN1_EOD)) : s;
    if (at_end) {
      if (Close() != Step::kDone) return Step::kError;
      if (frames_.size() == stream_base_depth_) break;
      continue;
    }
    BerHeader h;
    DWORD e = 0;
    s = ReadBerHeader(data_ + pos_, Avail(), h, e);
    if (s == Step::kError) return Fail(e);
    if (s == Step::kNeedMore) return Room() <= Avail() ? Fail(DWORD(CRYPT_E_ASN1_EOD)) : s;
    if (h.tag == 0x24) {
      if (PushHeader(h) != Step::kDone) return Step::kError;
      continue;
    }
    if (h.tag != 0x04) return Fail(DWORD(CRYPT_E_ASN1_BADTAG));
    if (!Fits(h)) return Fail(Corrupt());
    pos_ += h.header_size;
    chunk_left_ = h.length;
    in_chunk_ = true;
  }
  streaming_ = false;
  return Step::kDone;
}

}  // namespace vexorcsp::msg
