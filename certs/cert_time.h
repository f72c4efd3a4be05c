// Certificate times as the search and the expiry guard see them: local calendar time, and
// date values (days since 1899-12-30, local time) for comparisons.
#pragma once

#include <string>

#include "vexor/platform.h"

// The UTC time as a local date value; false when it cannot be converted.
bool FileTimeToLocalDate(const FILETIME& utc, double& date);
// The UTC time in local time, formatted "%d-%m-%Y %H:%M:%S" (day-month-year, the search
// log's form; the listing separates with full stops); empty when it cannot be converted.
std::string FormatLocalTime(const FILETIME& utc, char date_separator = '-');
// Whole days from now to the UTC time, both taken in local time: the span in days moved half
// a second away from zero, then truncated toward zero. Negative for a time in the past.
bool WholeDaysFromNow(const FILETIME& utc, long long& days);
