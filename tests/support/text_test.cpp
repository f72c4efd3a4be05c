// Windows-1251 conversion, checked against glibc's iconv.
#include "support/cp1251.h"

#include <gtest/gtest.h>
#include <iconv.h>

namespace {

// iconv, an implementation nobody here wrote, as the oracle for single characters.
std::string Iconv(const char* to, const char* from, const std::string& in) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return "<no iconv>";
  std::string out(in.size() * 4 + 8, '\0');
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  const size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1)) return "<iconv failed>";
  out.resize(out.size() - dst_left);
  return out;
}

TEST(Cp1251, EveryByteAgreesWithIconv) {
  for (int b = 1; b < 256; ++b) {
    if (b == 0x98) continue;  // unassigned in Windows-1251; iconv refuses it
    SCOPED_TRACE(b);
    const std::string byte(1, static_cast<char>(b));
    const std::string utf8 = Iconv("UTF-8", "CP1251", byte);
    EXPECT_EQ(Cp1251ToUtf8(byte), utf8);
    EXPECT_EQ(Utf8ToCp1251(utf8), byte);
  }
}

TEST(Cp1251, MalformedAndUnmappableInput) {
  struct Row {
    const char* label;
    std::string utf8;
    std::string cp1251;
  } rows[] = {
      {"no such character", "a\xE4\xB8\xAD" "b", "a?b"},
      {"four-byte character", "\xF0\x9F\x98\x80", "?"},
      {"stray continuation", "\x80x", "?x"},
      {"truncated at end", "x\xD0", "x?"},
      {"truncated before ASCII", "\xD0" "A", "?A"},
      {"overlong slash", "\xC0\xAF", "??"},
      {"overlong three-byte", "\xE0\x80\xAF", "???"},
      {"surrogate", "\xED\xA0\x80", "???"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", "????"},
      {"impossible byte", "\xFF\xFE", "??"},
      {"embedded zero kept", std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(Utf8ToCp1251(row.utf8), row.cp1251);
  }
}

}  // namespace
