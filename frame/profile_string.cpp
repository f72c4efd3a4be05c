#include "frame/profile_string.h"

#include <fstream>
#include <sstream>
#include <strings.h>

#include "support/text.h"

namespace {

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string Unquote(const std::string& v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

std::string Limit(std::string v, size_t size) {
  if (size == 0) return {};
  if (v.size() > size - 1) v.resize(size - 1);
  return v;
}

}  // namespace

std::string GetProfileString(const std::string& path, const std::string& section,
                             const std::string& key, const std::string& def, size_t size) {
  std::string fallback = def;
  while (!fallback.empty() && fallback.back() == ' ') fallback.pop_back();
  std::ifstream in(path, std::ios::binary);
  if (!in) return Limit(fallback, size);
  const std::string wanted_section = TrimBlanks(section);
  const std::string wanted_key = TrimBlanks(key);
  bool in_section = false;
  std::string line;
  while (std::getline(in, line)) {
    const std::string t = TrimBlanks(line);
    if (t.empty() || t[0] == ';') continue;
    if (t[0] == '[') {
      const size_t close = t.find(']');
      in_section = close != std::string::npos && EqualNoCase(TrimBlanks(t.substr(1, close - 1)), wanted_section);
      continue;
    }
    if (!in_section) continue;
    const size_t eq = t.find('=');
    if (eq == std::string::npos) continue;
    if (EqualNoCase(TrimBlanks(t.substr(0, eq)), wanted_key)) return Limit(Unquote(TrimBlanks(t.substr(eq + 1))), size);
  }
  return Limit(fallback, size);
}
