// Conversion between Windows-1251 (the code page of every text the library hands out) and
// UTF-8 (the code page of source files and terminals).
#pragma once

#include <string>
#include <string_view>

// UTF-8 to Windows-1251. A character the code page lacks becomes '?'; so does every byte
// that is not part of a well-formed UTF-8 sequence (overlong forms and surrogates included).
std::string Utf8ToCp1251(std::string_view utf8);

// Windows-1251 to UTF-8. Every byte has a character (0x98, unassigned, maps to U+0098), so
// the conversion is lossless and Utf8ToCp1251 undoes it.
std::string Cp1251ToUtf8(std::string_view cp1251);
