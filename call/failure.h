// Failure reports: log a detailed message through the call's log and raise it as a
// CryptoOperations::SystemException (or return the code when the raise flag is off).
//
// Format texts are UTF-8 source literals and are converted to Windows-1251 before
// formatting; arguments are passed through unchanged, so names and paths the caller got in
// Windows-1251 stay as they are.
#pragma once

#include <cstdint>
#include <string>

#include "vexor/exceptions.h"
#include "vexor/platform.h"

class CallContext;

int32_t ReportFailure(CallContext& ctx, int32_t code, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Same, with the platform's text for the thread's last error appended to the logged line
// (", причина: ..."); the raised text is the message alone.
int32_t ReportFailureWithReason(CallContext& ctx, int32_t code, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Hands a helper's exception (code and text, already Windows-1251) to the failure report.
int32_t ReportException(CallContext& ctx, const CryptoOperations::baseCryptoException& e);

// The platform's text for an error number, trailing blanks removed, then " (0x%.8X)".
std::string SystemErrorTextShort(DWORD error);
// The platform's text without trailing line ends, then " (Код ошибки = 0x%.8x)".
std::string SystemErrorTextLong(DWORD error);
