// Bounds-checked DER reading and writing.
#include "platform/codec/der.h"

#include <cstdio>

#include "platform/core/filetime.h"

namespace vexorcsp::der {

bool Reader::Next(Tlv& out) {
  if (error_ != 0) return false;
  if (p_ == end_) return Fail(static_cast<DWORD>(CRYPT_E_ASN1_EOD));
  const BYTE* start = p_;
  const BYTE* q = p_;
  const uint8_t tag = *q++;
  if ((tag & 0x1F) == 0x1F) return Fail(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
  if (q == end_) return Fail(static_cast<DWORD>(CRYPT_E_ASN1_EOD));
  size_t length = *q++;
  if (length & 0x80) {
    const size_t octets = length & 0x7F;
    // Indefinite length (0x80) is BER, not DER; more than four octets never fits here.
    if (octets == 0) return Fail(static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
    if (octets > 4) return Fail(static_cast<DWORD>(CRYPT_E_ASN1_LARGE));
    if (static_cast<size_t>(end_ - q) < octets) return Fail(static_cast<DWORD>(CRYPT_E_ASN1_EOD));
    length = 0;
    for (size_t i = 0; i < octets; ++i) length = (length << 8) | *q++;
  }
  if (static_cast<size_t>(end_ - q) < length) return Fail(static_cast<DWORD>(CRYPT_E_ASN1_EOD));
  out.tag = tag;
  out.start = start;
  out.value = q;
  out.length = length;
  out.size = static_cast<size_t>(q - start) + length;
  p_ = q + length;
  return true;
}

bool Reader::Expect(uint8_t tag, Tlv& out) {
  if (error_ != 0) return false;
  if (p_ == end_) return Fail(static_cast<DWORD>(CRYPT_E_ASN1_EOD));
  if (*p_ != tag) return Fail(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
  return Next(out);
}

bool Reader::Optional(uint8_t tag, Tlv& out, bool& present) {
  present = false;
  if (error_ != 0) return false;
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

bool OidToText(const BYTE* value, size_t length, std::string& out) {
  out.clear();
  if (length == 0 || length > 256) return false;
  uint64_t arc = 0;
  bool first = true;
  for (size_t i = 0; i < length; ++i) {
    if (arc == 0 && value[i] == 0x80) return false;  // non-minimal encoding
    if (arc > (UINT64_MAX >> 7)) return false;
    arc = (arc << 7) | (value[i] & 0x7F);
    if (value[i] & 0x80) {
      if (i + 1 == length) return false;  // truncated arc
      continue;
    }
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
    arc = 0;
  }
  return true;
}

bool OidFromText(const char* text, std::vector<BYTE>& out) {
  out.clear();
  if (text == nullptr) return false;
  std::vector<uint64_t> arcs;
  const char* p = text;
  while (true) {
    if (*p < '0' || *p > '9') return false;
    uint64_t v = 0;
    while (*p >= '0' && *p <= '9') {
      if (v > (UINT64_MAX - 9) / 10) return false;
      v = v * 10 + static_cast<uint64_t>(*p++ - '0');
    }
    arcs.push_back(v);
    if (*p == '\0') break;
    if (*p++ != '.') return false;
  }
  if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40)) return false;
  if (arcs[1] > UINT64_MAX - 80) return false;
  auto put_arc = [&out](uint64_t v) {
    BYTE tmp[10];
    int n = 0;
    do {
      tmp[n++] = static_cast<BYTE>(v & 0x7F);
      v >>= 7;
    } while (v != 0);
    while (n > 1) out.push_back(static_cast<BYTE>(tmp[--n] | 0x80));
    out.push_back(tmp[0]);
  };
  put_arc(arcs[0] * 40 + arcs[1]);
  for (size_t i = 2; i < arcs.size(); ++i) put_arc(arcs[i]);
  return true;
}

namespace {

bool Digits(const BYTE* p, size_t n, int& out) {
  out = 0;
  for (size_t i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    out = out * 10 + (p[i] - '0');
  }
  return true;
}

}  // namespace

bool TimeToFileTime(uint8_t tag, const BYTE* value, size_t length, FILETIME& out) {
  int year = 0;
  size_t pos = 0;
  if (tag == kUtcTime) {
    if (length < 11 || !Digits(value, 2, year)) return false;
    year += year < 50 ? 2000 : 1900;
    pos = 2;
  } else if (tag == kGeneralizedTime) {
    if (length < 13 || !Digits(value, 4, year)) return false;
    pos = 4;
  } else {
    return false;
  }
  int month, day, hour, minute, second = 0;
  if (!Digits(value + pos, 2, month) || !Digits(value + pos + 2, 2, day) ||
      !Digits(value + pos + 4, 2, hour) || !Digits(value + pos + 6, 2, minute))
    return false;
  pos += 8;
  // Seconds are optional in UTCTime as some encoders write it.
  if (pos + 2 <= length && value[pos] >= '0' && value[pos] <= '9') {
    if (!Digits(value + pos, 2, second)) return false;
    pos += 2;
  }
  int64_t fraction_ticks = 0;
  if (tag == kGeneralizedTime && pos < length && (value[pos] == '.' || value[pos] == ',')) {
    ++pos;
    int64_t scale = 1000000;  // first fraction digit is 10^6 ticks
    size_t digits = 0;
    while (pos < length && value[pos] >= '0' && value[pos] <= '9') {
      fraction_ticks += (value[pos] - '0') * scale;
      scale /= 10;
      ++pos;
      ++digits;
    }
    if (digits == 0) return false;
  }
  int offset_minutes = 0;
  if (pos < length && value[pos] == 'Z') {
    ++pos;
  } else if (pos + 5 <= length && (value[pos] == '+' || value[pos] == '-')) {
    int oh, om;
    if (!Digits(value + pos + 1, 2, oh) || !Digits(value + pos + 3, 2, om)) return false;
    offset_minutes = (oh * 60 + om) * (value[pos] == '+' ? 1 : -1);
    pos += 5;
  } else {
    return false;
  }
  if (pos != length) return false;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return false;
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(year);
  st.wMonth = static_cast<WORD>(month);
  st.wDay = static_cast<WORD>(day);
  st.wHour = static_cast<WORD>(hour);
  st.wMinute = static_cast<WORD>(minute);
  st.wSecond = static_cast<WORD>(second > 59 ? 59 : second);
  uint64_t ticks;
  if (!SystemTimeToTicks(st, ticks)) return false;
  ticks += static_cast<uint64_t>(fraction_ticks);
  ticks -= static_cast<uint64_t>(static_cast<int64_t>(offset_minutes) * 600000000LL);
  out = TicksToFileTime(ticks);
  return true;
}

void Put(std::vector<BYTE>& out, uint8_t tag, const BYTE* value, size_t length) {
  out.push_back(tag);
  if (length < 0x80) {
    out.push_back(static_cast<BYTE>(length));
  } else {
    BYTE tmp[8];
    int n = 0;
    for (size_t v = length; v != 0; v >>= 8) tmp[n++] = static_cast<BYTE>(v & 0xFF);
    out.push_back(static_cast<BYTE>(0x80 | n));
    while (n > 0) out.push_back(tmp[--n]);
  }
  out.insert(out.end(), value, value + length);
}

}  // namespace vexorcsp::der
