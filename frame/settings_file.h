// The line-based reader of Vexor.ini. Its lookup rules differ from the profile reader's on
// purpose: no blank may stand between a key and its equals sign, and ";" starts a comment
// anywhere in a value.
#pragma once

#include <string>
#include <vector>

class CSettingsFile {
 public:
  enum Mode : int {
    kMissingIsEmpty = 2,  // a missing file loads as an empty one
    kCaseSensitive = 4,   // keys compared exactly
  };

  // Reads the file's non-empty lines, tabs and carriage returns turned into blanks, trimmed.
  bool Load(const std::string& path, int mode);

  // The value of key in section, empty when either is missing.
  std::string GetValue(const std::string& section, const std::string& key);
  // The value, or fallback when it is empty.
  std::string GetValue(const std::string& section, const std::string& key, const std::string& fallback);

 private:
  // Index of the section's header line, or -1.
  long FindSection(const std::string& section);

  int mode_ = 0;
  std::string path_;
  std::vector<std::string> lines_;
  long last_header_ = -1;
};
