// UTCTime and GeneralizedTime contents to FILETIME.
#include "platform/codec/der.h"

#include "platform/core/filetime.h"

namespace vexorcsp {

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

bool DerTimeToFileTime(uint8_t tag, const BYTE* value, size_t length, FILETIME& out) {
  int year = 0;
  size_t pos = 0;
  if (tag == der::kUtcTime) {
    if (length < 11 || !Digits(value, 2, year)) return false;
    year += year < 50 ? 2000 : 1900;
    pos = 2;
  } else if (tag == der::kGeneralizedTime) {
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
  if (tag == der::kGeneralizedTime && pos < length && (value[pos] == '.' || value[pos] == ',')) {
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

}  // namespace vexorcsp
