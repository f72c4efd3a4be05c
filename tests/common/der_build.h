// DER written by hand, for tests that hand the code messages and blobs it did not write.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "der/der.h"

namespace test_common {

// One element: tag, definite length, contents.
inline std::vector<uint8_t> Der(uint8_t tag, const std::vector<uint8_t>& contents) {
  std::vector<uint8_t> out;
  der::Put(out, tag, contents);
  return out;
}

inline std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A whole OBJECT IDENTIFIER element.
inline std::vector<uint8_t> Oid(const std::string& dotted) {
  std::vector<uint8_t> out;
  der::PutOid(out, dotted);
  return out;
}

}  // namespace test_common
