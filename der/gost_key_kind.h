// The generations of GOST R 34.10 keys by their public-key algorithm identifiers: the one
// table the platform, the library, the XML library and the tool read a certificate's key by.
#pragma once

#include <cstring>

namespace der {

enum class GostKeyKind { k2001, k2012_256, k2012_512 };

// The kind of key `oid` names; false for another algorithm (or none). A 2001 key also
// appears under its agreement identifier 1.2.643.2.2.98.
inline bool GostKeyKindOfOid(const char* oid, GostKeyKind& kind) {
  struct Row {
    const char* oid;
    GostKeyKind kind;
  };
  static constexpr Row kRows[] = {{"1.2.643.2.2.19", GostKeyKind::k2001},
                                  {"1.2.643.2.2.98", GostKeyKind::k2001},
                                  {"1.2.643.7.1.1.1.1", GostKeyKind::k2012_256},
                                  {"1.2.643.7.1.1.1.2", GostKeyKind::k2012_512}};
  if (oid == nullptr) return false;
  for (const Row& r : kRows)
    if (std::strcmp(oid, r.oid) == 0) {
      kind = r.kind;
      return true;
    }
  return false;
}

}  // namespace der
