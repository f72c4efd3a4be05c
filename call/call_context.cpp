#include "call/call_context.h"

#include <algorithm>

void ReportProvider(CallLog& log, HCRYPTPROV provider) {
  if (provider == 0) {
    log.Log("Криптопровайдер не найден!");
    return;
  }
  try {
    DWORD len = 0;
    if (!CryptGetProvParam(provider, PP_NAME, nullptr, &len, 0)) return;
    std::string name(len, '\0');
    if (!CryptGetProvParam(provider, PP_NAME, reinterpret_cast<BYTE*>(name.data()), &len, 0)) return;
    name.resize(std::min<size_t>(len, name.find('\0')));
    log.Log("Будет использован криптопровайдер \"%s\"", name.c_str());
  } catch (...) {
    log.Log("Не удалось определить идентифицировать криптопровайдера из-за ошибки!");
  }
}
