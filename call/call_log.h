// The log sink of a call. The operation object decides whether a line reaches the log
// (OffLogFile, LogExtended, the host's veto); the subsystems only format and hand over.
#pragma once

#include <string>

class CLogAccessor;

class CallLog {
 public:
  virtual ~CallLog() = default;

  // Hands over one finished Windows-1251 line; extended lines are written only with
  // LogExtended. Never throws.
  virtual void WriteLine(const std::string& text, bool extended) noexcept = 0;
  // The log trace scopes write their entered/leaved pair to.
  virtual CLogAccessor& traceLog() = 0;

  // fmt is a UTF-8 literal, arguments are Windows-1251 bytes. Never throw.
  void Log(const char* fmt, ...) noexcept __attribute__((format(printf, 2, 3)));
  void LogExt(const char* fmt, ...) noexcept __attribute__((format(printf, 2, 3)));
  void LogText(const std::string& text) noexcept { WriteLine(text, false); }
};
