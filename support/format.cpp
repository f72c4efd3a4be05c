// printf-style formatting into std::string.
#include "support/format.h"

#include <cstdio>

std::string FormatV(const char* fmt, va_list args) {
  if (fmt == nullptr) return std::string();
  // The first pass measures; va_list can be walked only once, so each pass gets a copy.
  va_list measure;
  va_copy(measure, args);
  const int needed = std::vsnprintf(nullptr, 0, fmt, measure);
  va_end(measure);
  if (needed <= 0) return std::string();

  std::string text(static_cast<size_t>(needed), '\0');
  va_list write;
  va_copy(write, args);
  // vsnprintf writes the terminator too; std::string keeps room for it past size().
  std::vsnprintf(text.data(), text.size() + 1, fmt, write);
  va_end(write);
  return text;
}

std::string Format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = FormatV(fmt, args);
  va_end(args);
  return text;
}
