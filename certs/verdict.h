// The verdict of the validity and revocation checks: a result code and its reason. The
// chain and revocation checks fill it; the validity decision reads it.
#pragma once

#include <string>

struct _TAGCERTVALIDPARAM {
  unsigned long code = 0;          // 0 or a result code (14, 24, 25, 43, 44, 50)
  unsigned long updateNeeded = 0;  // the revocation check saw no current list
  std::string text;                // the reason, Windows-1251

  void Reset() {
    code = 0;
    updateNeeded = 0;
    text.clear();
  }
};
