#include "certs/cert_time.h"

#include <cmath>

#include "support/format.h"

namespace {

constexpr double kSecondsPerDay = 86400.0;
constexpr long long kTicksPerSecond = 10000000;

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

bool ToLocalSystemTime(const FILETIME& utc, SYSTEMTIME& st) {
  FILETIME local{};
  return FileTimeToLocalFileTime(&utc, &local) && FileTimeToSystemTime(&local, &st);
}

long long Ticks(const FILETIME& ft) {
  return static_cast<long long>((static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

}  // namespace

bool FileTimeToLocalDate(const FILETIME& utc, double& date) {
  SYSTEMTIME st{};
  if (!ToLocalSystemTime(utc, st)) return false;
  const long long days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) - DaysFromCivil(1899, 12, 30);
  const double seconds = st.wHour * 3600.0 + st.wMinute * 60.0 + st.wSecond + st.wMilliseconds / 1000.0;
  date = static_cast<double>(days) + seconds / kSecondsPerDay;
  return true;
}

std::string FormatLocalTime(const FILETIME& utc, char date_separator) {
  SYSTEMTIME st{};
  if (!ToLocalSystemTime(utc, st)) return std::string();
  return Format("%02d%c%02d%c%04d %02d:%02d:%02d", st.wDay, date_separator, st.wMonth, date_separator, st.wYear,
                st.wHour, st.wMinute, st.wSecond);
}

bool WholeDaysFromNow(const FILETIME& utc, long long& days) {
  FILETIME now_utc{}, now_local{}, then_local{};
  GetSystemTimeAsFileTime(&now_utc);
  if (!FileTimeToLocalFileTime(&now_utc, &now_local) || !FileTimeToLocalFileTime(&utc, &then_local)) return false;
  const double span = static_cast<double>(Ticks(then_local) - Ticks(now_local)) / kTicksPerSecond / kSecondsPerDay;
  const double half_second = 0.5 / kSecondsPerDay;
  days = static_cast<long long>(std::trunc(span + (span < 0 ? -half_second : half_second)));
  return true;
}
