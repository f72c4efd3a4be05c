// printf-style formatting into std::string, with no limit on the length of the result.
#pragma once

#include <cstdarg>
#include <string>

// Formats like vsnprintf into a string of whatever length the text needs. A format error
// gives an empty string.
std::string FormatV(const char* fmt, va_list args);

// Formats like snprintf into a string of whatever length the text needs.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
