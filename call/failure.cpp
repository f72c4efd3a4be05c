#include "call/failure.h"

#include <cctype>
#include <cstdarg>

#include "call/call_context.h"
#include "text/text.h"
#include "support/format.h"

namespace {

std::string FormatCp1251(const char* fmt, va_list args) { return FormatV(text::Utf8ToCp1251(fmt).c_str(), args); }

int32_t Raise(CallContext& ctx, int32_t code, const std::string& message) {
  if (ctx.options.RaiseErrors) throw CryptoOperations::SystemException(code, message);
  return code;
}

std::string PlatformText(DWORD error) {
  char buffer[1024];
  const DWORD len = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof(buffer), nullptr);
  return std::string(buffer, len);
}

}  // namespace

int32_t ReportFailure(CallContext& ctx, int32_t code, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const std::string message = FormatCp1251(fmt, args);
  va_end(args);
  ctx.log().LogText(message);
  return Raise(ctx, code, message);
}

int32_t ReportFailureWithReason(CallContext& ctx, int32_t code, const char* fmt, ...) {
  const DWORD error = GetLastError();  // before anything can change it
  const std::string reason = SystemErrorTextShort(error);
  va_list args;
  va_start(args, fmt);
  const std::string message = FormatCp1251(fmt, args);
  va_end(args);
  ctx.log().LogText(message + text::Utf8ToCp1251(", причина: ") + reason);
  return Raise(ctx, code, message);
}

int32_t ReportException(CallContext& ctx, const CryptoOperations::baseCryptoException& e) {
  ctx.log().LogText(e.what());
  return Raise(ctx, e.code(), e.what());
}

std::string SystemErrorTextShort(DWORD error) {
  std::string text = PlatformText(error);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return Format("%s (0x%.8X)", text.c_str(), error);
}

std::string SystemErrorTextLong(DWORD error) {
  std::string text = PlatformText(error);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  while (!text.empty() && text.back() == '\r') text.pop_back();
  return text + text::Utf8ToCp1251(" (Код ошибки = ") + Format("0x%.8x", error) + ")";
}
