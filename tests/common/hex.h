// Hex text of bytes and back, for every test binary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace test_common {

enum class HexCase { kUpper, kLower };

inline std::string Hex(const uint8_t* p, size_t n, HexCase c = HexCase::kUpper) {
  const char* digits = c == HexCase::kUpper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string s;
  s.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}
inline std::string Hex(const std::vector<uint8_t>& b, HexCase c = HexCase::kUpper) {
  return Hex(b.data(), b.size(), c);
}

// Bytes of hex text in either case; spaces are skipped. Throws on anything else, so a typo
// in a test vector fails the test instead of shortening it.
inline std::vector<uint8_t> Unhex(const std::string& hex) {
  std::vector<uint8_t> out;
  int high = -1;
  for (char ch : hex) {
    if (ch == ' ') continue;
    int v;
    if (ch >= '0' && ch <= '9') v = ch - '0';
    else if (ch >= 'a' && ch <= 'f') v = ch - 'a' + 10;
    else if (ch >= 'A' && ch <= 'F') v = ch - 'A' + 10;
    else throw std::invalid_argument("not hex: " + hex);
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd hex: " + hex);
  return out;
}

}  // namespace test_common
