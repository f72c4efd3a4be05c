// FILETIME arithmetic shared by the certificate code: ticks of 100 ns since 1601-01-01 UTC.
#pragma once

#include <cstdint>
#include <ctime>

#include "vexor/platform.h"

namespace vexorcsp {

constexpr uint64_t kTicksPerSecond = 10000000ULL;
// 1601-01-01 to 1970-01-01 in ticks.
constexpr uint64_t kUnixEpochTicks = 116444736000000000ULL;

inline uint64_t FileTimeToTicks(const FILETIME& ft) {
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
inline FILETIME TicksToFileTime(uint64_t ticks) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}
uint64_t NowTicks();
FILETIME UnixToFileTime(std::time_t t);
std::time_t FileTimeToUnix(const FILETIME& ft);
// Calendar fields (wDayOfWeek ignored) to ticks; false for fields out of range.
bool SystemTimeToTicks(const SYSTEMTIME& st, uint64_t& ticks);

}  // namespace vexorcsp
