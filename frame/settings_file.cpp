#include "frame/settings_file.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/text.h"

namespace {

// A header as compared: control blanks made spaces, runs of spaces collapsed, trimmed, lower case.
std::string NormaliseHeader(std::string s) {
  for (char& c : s)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  size_t pos;
  while ((pos = s.find("  ")) != std::string::npos) s.erase(pos, 1);
  return LowerAscii(TrimBlanks(s));
}

}  // namespace

bool CSettingsFile::Load(const std::string& path, int mode) {
  path_ = path;
  mode_ = mode;
  lines_.clear();
  last_header_ = -1;
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return (mode & kMissingIsEmpty) != 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return false;
  std::string all = text.str();
  std::replace(all.begin(), all.end(), '\t', ' ');
  std::replace(all.begin(), all.end(), '\r', ' ');
  std::istringstream split(all);
  std::string line;
  while (std::getline(split, line)) {
    line = TrimBlanks(line);
    if (!line.empty()) lines_.push_back(line);
  }
  return true;
}

long CSettingsFile::FindSection(const std::string& section) {
  const std::string wanted = NormaliseHeader("[" + section + "]");
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i][0] == '[' && NormaliseHeader(lines_[i]) == wanted) {
      last_header_ = static_cast<long>(i);
      return last_header_;
    }
  }
  return -1;
}

std::string CSettingsFile::GetValue(const std::string& section, const std::string& key) {
  const long header = FindSection(section);
  if (header < 0 || key.empty()) return {};
  const bool exact = (mode_ & kCaseSensitive) != 0;
  const std::string wanted = exact ? key : LowerAscii(key);
  for (size_t i = static_cast<size_t>(header) + 1; i < lines_.size() && lines_[i][0] != '['; ++i) {
    const std::string& line = lines_[i];
    if (line.size() <= wanted.size() || line[wanted.size()] != '=') continue;
    const std::string head = line.substr(0, wanted.size());
    if ((exact ? head : LowerAscii(head)) != wanted) continue;
    std::string value = line.substr(wanted.size() + 1);
    const size_t comment = value.find(';');
    if (comment != std::string::npos) value.resize(comment);
    return TrimBlanks(value);
  }
  return {};
}

std::string CSettingsFile::GetValue(const std::string& section, const std::string& key,
                                    const std::string& fallback) {
  std::string value = GetValue(section, key);
  return value.empty() ? fallback : value;
}
