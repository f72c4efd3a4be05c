// The object's message writers: OffLogFile, LogExtended and the host's log hook decide
// whether a line reaches the log; nothing here ever fails an operation.
#include "frame/vexor_impl.h"

#include <cstdarg>

#include "support/cp1251.h"
#include "support/format.h"

void IVexorImpl::LogIfEnabled(const std::string& text, bool extended) {
  try {
    const OptionBlock options = optionsSnapshot();
    if (options.OffLogFile) return;
    if (extended && !options.LogExtended) return;
    if (VexorCallBack* cb = callback()) {
      if (!cb->OnLog(text.c_str())) return;
    }
    log_.Write(text);
  } catch (...) {
    // Logging never fails an operation.
  }
}

void IVexorImpl::LogText(const std::string& text) { LogIfEnabled(text, false); }

void IVexorImpl::Log(const char* fmt, ...) {
  try {
    va_list args;
    va_start(args, fmt);
    std::string text = FormatV(Utf8ToCp1251(fmt).c_str(), args);
    va_end(args);
    LogIfEnabled(text, false);
  } catch (...) {
  }
}

void IVexorImpl::LogExt(const char* fmt, ...) {
  try {
    va_list args;
    va_start(args, fmt);
    std::string text = FormatV(Utf8ToCp1251(fmt).c_str(), args);
    va_end(args);
    LogIfEnabled(text, true);
  } catch (...) {
  }
}
