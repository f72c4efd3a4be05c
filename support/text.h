// Small text helpers shared by the readers of settings and configuration files.
#pragma once

#include <string>

// The text without blanks, tabs, carriage returns and line feeds at either end.
std::string TrimBlanks(const std::string& text);

// The text with the ASCII letters lower-cased; other bytes (Windows-1251 letters) unchanged.
std::string LowerAscii(std::string text);
