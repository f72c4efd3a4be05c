#include "call/call_log.h"

#include <cstdarg>

#include "text/text.h"
#include "support/format.h"

void CallLog::Log(const char* fmt, ...) noexcept {
  try {
    va_list args;
    va_start(args, fmt);
    std::string text = FormatV(text::Utf8ToCp1251(fmt).c_str(), args);
    va_end(args);
    WriteLine(text, false);
  } catch (...) {
  }
}

void CallLog::LogExt(const char* fmt, ...) noexcept {
  try {
    va_list args;
    va_start(args, fmt);
    std::string text = FormatV(text::Utf8ToCp1251(fmt).c_str(), args);
    va_end(args);
    WriteLine(text, true);
  } catch (...) {
  }
}
