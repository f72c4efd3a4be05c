// FILETIME and SYSTEMTIME conversions as Windows has them; local time follows TZ.
#include "platform/core/api_guard.h"
#include "platform/core/filetime.h"

#include <chrono>

#include "platform/core/last_error.h"

namespace vexorcsp {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDays = 134774;

// Offset of local time from UTC at the given UTC instant, in seconds, per TZ.
int64_t LocalOffsetAt(std::time_t t) {
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return 0;
  return local.tm_gmtoff;
}

}  // namespace

uint64_t NowTicks() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  return kUnixEpochTicks + static_cast<uint64_t>(us) * 10;
}

FILETIME UnixToFileTime(std::time_t t) {
  const int64_t ticks = static_cast<int64_t>(kUnixEpochTicks) + static_cast<int64_t>(t) * 10000000LL;
  return TicksToFileTime(ticks < 0 ? 0 : static_cast<uint64_t>(ticks));
}

std::time_t FileTimeToUnix(const FILETIME& ft) {
  const int64_t ticks = static_cast<int64_t>(FileTimeToTicks(ft) & 0x7FFFFFFFFFFFFFFFULL);
  return static_cast<std::time_t>((ticks - static_cast<int64_t>(kUnixEpochTicks)) / 10000000LL);
}

bool SystemTimeToTicks(const SYSTEMTIME& st, uint64_t& ticks) {
  static constexpr unsigned kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
      st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 || st.wMilliseconds > 999)
    return false;
  const unsigned mdays = kMonthDays[st.wMonth - 1] + (st.wMonth == 2 && IsLeap(st.wYear) ? 1 : 0);
  if (st.wDay > mdays) return false;
  const int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) + kEpochDays;
  const int64_t seconds = days * 86400 + st.wHour * 3600 + st.wMinute * 60 + st.wSecond;
  ticks = static_cast<uint64_t>(seconds) * kTicksPerSecond + st.wMilliseconds * 10000ULL;
  return true;
}

}  // namespace vexorcsp

using namespace vexorcsp;

extern "C" {

void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
  ApiGuardVoid([&] {
    if (lpSystemTimeAsFileTime != nullptr) *lpSystemTimeAsFileTime = TicksToFileTime(NowTicks());
  });
}

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
  return ApiGuard([&]() -> BOOL {
    if (lpFileTime == nullptr || lpSystemTime == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const uint64_t ticks = FileTimeToTicks(*lpFileTime);
    if (ticks >= 0x8000000000000000ULL) return Fail(ERROR_INVALID_PARAMETER);
    const uint64_t total_seconds = ticks / kTicksPerSecond;
    const int64_t days = static_cast<int64_t>(total_seconds / 86400);
    const uint64_t secs = total_seconds % 86400;
    int64_t y;
    unsigned m, d;
    CivilFromDays(days - kEpochDays, y, m, d);
    lpSystemTime->wYear = static_cast<WORD>(y);
    lpSystemTime->wMonth = static_cast<WORD>(m);
    lpSystemTime->wDay = static_cast<WORD>(d);
    lpSystemTime->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
    lpSystemTime->wHour = static_cast<WORD>(secs / 3600);
    lpSystemTime->wMinute = static_cast<WORD>(secs / 60 % 60);
    lpSystemTime->wSecond = static_cast<WORD>(secs % 60);
    lpSystemTime->wMilliseconds = static_cast<WORD>(ticks % kTicksPerSecond / 10000);
    return TRUE;
  });
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime) {
  return ApiGuard([&]() -> BOOL {
    if (lpSystemTime == nullptr || lpFileTime == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    uint64_t ticks;
    if (!SystemTimeToTicks(*lpSystemTime, ticks)) return Fail(ERROR_INVALID_PARAMETER);
    *lpFileTime = TicksToFileTime(ticks);
    return TRUE;
  });
}

LONG CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2) {
  return ApiGuard<LONG>(0, [&]() -> LONG {
    const uint64_t a = FileTimeToTicks(*lpFileTime1);
    const uint64_t b = FileTimeToTicks(*lpFileTime2);
    return a < b ? -1 : (a > b ? 1 : 0);
  });
}

BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime) {
  return ApiGuard([&]() -> BOOL {
    if (lpFileTime == nullptr || lpLocalFileTime == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const int64_t offset = LocalOffsetAt(FileTimeToUnix(*lpFileTime));
    const int64_t ticks = static_cast<int64_t>(FileTimeToTicks(*lpFileTime)) +
                          offset * static_cast<int64_t>(kTicksPerSecond);
    *lpLocalFileTime = TicksToFileTime(static_cast<uint64_t>(ticks < 0 ? 0 : ticks));
    return TRUE;
  });
}

BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime) {
  return ApiGuard([&]() -> BOOL {
    if (lpFileTime == nullptr || lpLocalFileTime == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    // The offset of the local instant, refined once so a DST boundary lands on the right side.
    const std::time_t local = FileTimeToUnix(*lpLocalFileTime);
    int64_t offset = LocalOffsetAt(local);
    offset = LocalOffsetAt(static_cast<std::time_t>(local - offset));
    const int64_t ticks = static_cast<int64_t>(FileTimeToTicks(*lpLocalFileTime)) -
                          offset * static_cast<int64_t>(kTicksPerSecond);
    *lpFileTime = TicksToFileTime(static_cast<uint64_t>(ticks < 0 ? 0 : ticks));
    return TRUE;
  });
}

}  // extern "C"
