#include "der/der.h"

#include <cstdio>

namespace der {

bool Reader::Header(uint8_t& tag, size_t& length) {
  if (error_ != kOk) return false;
  if (p_ == end_) return Fail(kEndOfData);
  const uint8_t* q = p_;
  const uint8_t id = *q++;
  if ((id & 0x1F) == 0x1F) return Fail(kBadTag);  // multi-octet tag numbers are not used
  if (q == end_) return Fail(kEndOfData);
  size_t n = *q++;
  if (n & 0x80) {
    const size_t octets = n & 0x7F;
    if (octets == 0) return Fail(kCorrupt);  // the indefinite form is BER, not DER
    if (octets > 4) return Fail(kTooLarge);
    if (static_cast<size_t>(end_ - q) < octets) return Fail(kEndOfData);
    if (*q == 0) return Fail(kCorrupt);  // a leading zero octet is not minimal
    n = 0;
    for (size_t i = 0; i < octets; ++i) n = (n << 8) | *q++;
    if (n < 0x80) return Fail(kCorrupt);  // the short form was due
  }
  tag = id;
  length = n;
  p_ = q;
  return true;
}

bool Reader::Next(Tlv& out) {
  const uint8_t* start = p_;
  uint8_t tag;
  size_t length;
  if (!Header(tag, length)) return false;
  if (remaining() < length) return Fail(kEndOfData);
  out.tag = tag;
  out.start = start;
  out.value = p_;
  out.length = length;
  out.size = static_cast<size_t>(p_ - start) + length;
  p_ += length;
  return true;
}

bool Reader::Expect(uint8_t tag, Tlv& out) {
  if (error_ != kOk) return false;
  if (p_ == end_) return Fail(kEndOfData);
  if (*p_ != tag) return Fail(kBadTag);
  return Next(out);
}

bool Reader::Optional(uint8_t tag, Tlv& out, bool& present) {
  present = false;
  if (error_ != kOk) return false;
  if (p_ == end_ || *p_ != tag) return true;
  present = Next(out);
  return present;
}

bool Reader::Enter(uint8_t tag, Reader& inner) {
  Tlv t;
  if (!Expect(tag, t)) return false;
  inner = ContentsOf(t);
  return true;
}

bool Reader::ExpectEnd() {
  if (error_ != kOk) return false;
  return empty() || Fail(kCorrupt);
}

bool Reader::U8(uint8_t& v) {
  const uint8_t* b;
  if (!Bytes(1, b)) return false;
  v = b[0];
  return true;
}

bool Reader::U16LE(uint16_t& v) {
  const uint8_t* b;
  if (!Bytes(2, b)) return false;
  v = static_cast<uint16_t>(b[0] | b[1] << 8);
  return true;
}

bool Reader::U32LE(uint32_t& v) {
  const uint8_t* b;
  if (!Bytes(4, b)) return false;
  v = LoadU32LE(b);
  return true;
}

bool Reader::Bytes(size_t n, const uint8_t*& out) {
  if (error_ != kOk) return false;
  if (n > remaining()) return Fail(kEndOfData);
  out = p_;
  p_ += n;
  return true;
}

bool Reader::Base128(uint64_t& v) {
  v = 0;
  uint8_t b;
  do {
    if (!U8(b)) return false;
    if (v > (UINT64_MAX >> 7)) return Fail(kCorrupt);
    v = (v << 7) | (b & 0x7F);
  } while (b & 0x80);
  return true;
}

void PutBase128(std::vector<uint8_t>& out, uint64_t v) {
  uint8_t tmp[10];
  int n = 0;
  do {
    tmp[n++] = static_cast<uint8_t>(v & 0x7F);
    v >>= 7;
  } while (v != 0);
  while (n > 1) out.push_back(static_cast<uint8_t>(tmp[--n] | 0x80));
  out.push_back(tmp[0]);
}

size_t HeaderSize(size_t length) {
  size_t n = 2;
  if (length >= 0x80)
    for (size_t v = length; v != 0; v >>= 8) ++n;
  return n;
}

void PutHeader(std::vector<uint8_t>& out, uint8_t tag, size_t length) {
  out.push_back(tag);
  if (length < 0x80) {
    out.push_back(static_cast<uint8_t>(length));
    return;
  }
  uint8_t tmp[sizeof(size_t)];
  int n = 0;
  for (size_t v = length; v != 0; v >>= 8) tmp[n++] = static_cast<uint8_t>(v & 0xFF);
  out.push_back(static_cast<uint8_t>(0x80 | n));
  while (n > 0) out.push_back(tmp[--n]);
}

void Put(std::vector<uint8_t>& out, uint8_t tag, const uint8_t* value, size_t length) {
  PutHeader(out, tag, length);
  if (length != 0) out.insert(out.end(), value, value + length);
}

bool PutOid(std::vector<uint8_t>& out, const std::string& dotted) {
  std::vector<uint8_t> body;
  if (!OidFromText(dotted.c_str(), body)) return false;
  Put(out, kOid, body);
  return true;
}

void PutU32LE(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

bool OidToText(const uint8_t* value, size_t length, std::string& out) {
  out.clear();
  if (value == nullptr || length == 0) return false;
  Reader r(value, length);
  bool first = true;
  while (!r.empty()) {
    if (*r.pos() == 0x80) return false;  // non-minimal subidentifier
    uint64_t arc;
    if (!r.Base128(arc)) return false;
    char buf[48];
    if (first) {
      const uint64_t top = arc < 40 ? 0 : (arc < 80 ? 1 : 2);
      std::snprintf(buf, sizeof buf, "%llu.%llu", static_cast<unsigned long long>(top),
                    static_cast<unsigned long long>(arc - top * 40));
      first = false;
    } else {
      std::snprintf(buf, sizeof buf, ".%llu", static_cast<unsigned long long>(arc));
    }
    out += buf;
  }
  return true;
}

bool OidFromText(const char* text, std::vector<uint8_t>& out) {
  out.clear();
  if (text == nullptr) return false;
  // Encoded arc by arc as it is read (the first two make one subidentifier).
  uint64_t first = 0;
  size_t arcs = 0;
  for (const char* p = text;; ++arcs) {
    if (*p < '0' || *p > '9') break;
    uint64_t v = 0;
    while (*p >= '0' && *p <= '9') {
      if (v > (UINT64_MAX - 9) / 10) break;
      v = v * 10 + static_cast<uint64_t>(*p++ - '0');
    }
    if (*p >= '0' && *p <= '9') break;  // too large
    if (arcs == 0) {
      first = v;
    } else if (arcs == 1) {
      if (first > 2 || (first < 2 && v >= 40) || v > UINT64_MAX - 80) break;
      PutBase128(out, first * 40 + v);
    } else {
      PutBase128(out, v);
    }
    if (*p == '\0') {
      if (arcs >= 1) return true;  // two arcs at least
      break;
    }
    if (*p++ != '.') break;
  }
  out.clear();
  return false;
}

}  // namespace der
