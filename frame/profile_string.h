// A reader of INI-style profile files with the lookup rules of Windows' profile-string
// function: case-insensitive section and key names, blanks trimmed around names and values,
// matching quotes removed, ";" comment lines, the first occurrence of a key wins.
#pragma once

#include <cstddef>
#include <string>

// The value of key in section of the file at path, cut to size - 1 characters; the default
// (trailing blanks removed) when the file, section or key is missing.
std::string GetProfileString(const std::string& path, const std::string& section,
                             const std::string& key, const std::string& def, size_t size);
