// Text codec: Windows-1251 (the code page of every text the library and the platform's "A"
// functions hand out), UTF-8 (source files, terminals, UTF8String) and UTF-16 (the "W"
// functions, BMPString).
//
// One rule for bad input everywhere:
// - UTF-8 is read strictly: every byte that does not begin a well-formed sequence (a stray
//   continuation byte, an impossible lead, a truncated sequence, an overlong form, a
//   surrogate, anything beyond U+10FFFF) is one U+FFFD, and reading resumes at the next byte.
// - UTF-16 pairs surrogates; a lone surrogate is one U+FFFD.
// - Windows-1251 has a character for every byte (0x98, unassigned, is U+0098, as Windows reads
//   it), so a Windows-1251 text survives the way to Unicode and back unchanged. A character
//   the page lacks, U+FFFD included, becomes '?'.
#pragma once

#include <string>
#include <string_view>

namespace text {

char32_t Cp1251ToCodePoint(unsigned char c);
// The Windows-1251 byte of a code point, or '?' when the page has none.
char CodePointToCp1251(char32_t cp);

std::u32string DecodeUtf8(std::string_view utf8);
std::string EncodeUtf8(std::u32string_view code_points);
std::u32string DecodeUtf16(std::u16string_view utf16);

std::string Utf8ToCp1251(std::string_view utf8);
std::string Cp1251ToUtf8(std::string_view cp1251);
std::string Utf16ToCp1251(std::u16string_view utf16);
std::string Utf16ToUtf8(std::u16string_view utf16);

}  // namespace text
