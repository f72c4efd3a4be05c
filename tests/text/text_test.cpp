// Windows-1251 conversion, checked against glibc's iconv.
#include "text/text.h"

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
    SCOPED_TRACE(b);
    const std::string byte(1, static_cast<char>(b));
    // 0x98 is unassigned and iconv refuses it; Windows reads it as U+0098.
    const std::string utf8 = b == 0x98 ? "\xC2\x98" : Iconv("UTF-8", "CP1251", byte);
    EXPECT_EQ(text::Cp1251ToUtf8(byte), utf8);
    EXPECT_EQ(text::Utf8ToCp1251(utf8), byte);
    const std::u16string utf16(1, static_cast<char16_t>(text::DecodeUtf8(utf8).at(0)));
    EXPECT_EQ(text::Utf16ToCp1251(utf16), byte);
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
    EXPECT_EQ(text::Utf8ToCp1251(row.utf8), row.cp1251);
    // Decoding follows the same rule: one code point per byte of the Windows-1251 form.
    EXPECT_EQ(text::DecodeUtf8(row.utf8).size(), row.cp1251.size());
  }
}

TEST(Utf16, SurrogatesPairOrBecomeReplacement) {
  struct Row {
    const char* label;
    std::u16string utf16;
    std::string utf8;
  } rows[] = {
      {"Cyrillic", u"Ёж", "\xD0\x81\xD0\xB6"},
      {"pair", u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
      {"lone high at end", u"a\xD83D", "a\xEF\xBF\xBD"},
      {"lone low", u"\xDE00" "b", "\xEF\xBF\xBD" "b"},
      {"reversed pair", u"\xDE00\xD83D", "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(text::Utf16ToUtf8(row.utf16), row.utf8);
    EXPECT_EQ(text::Utf16ToCp1251(row.utf16), text::Utf8ToCp1251(row.utf8));
  }
}

}  // namespace
