// Letter case of Windows-1251 texts: names in certificates are compared ignoring case, and
// most of them are Cyrillic.
#pragma once

#include <string>

// The lower-case form of every Latin and Cyrillic letter; other bytes stay as they are.
std::string Cp1251Lower(std::string text);
// Equality ignoring letter case.
bool Cp1251EqualNoCase(const std::string& a, const std::string& b);
