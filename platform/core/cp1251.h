// Windows-1251, the 8-bit code page of the platform's "A" functions, to and from Unicode.
// The platform keeps its own small table so it depends on nothing outside itself.
#pragma once

#include <string>

namespace vexorcsp {

// Unicode code point to a Windows-1251 byte; '?' when the page has no such character.
char CodePointToCp1251(char32_t cp);
char32_t Cp1251ToCodePoint(unsigned char c);

std::string Utf8ToCp1251(const std::string& utf8);
std::string Cp1251ToUtf8(const std::string& text);
std::u16string Cp1251ToUtf16(const std::string& text);
std::string Utf16ToCp1251(const std::u16string& text);
// UTF-8 to code points; malformed sequences become U+FFFD.
std::u32string DecodeUtf8(const std::string& utf8);
std::string EncodeUtf8(const std::u32string& text);

}  // namespace vexorcsp
