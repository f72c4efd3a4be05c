#include "tools/vexor/args.h"

Args::Args(const std::vector<std::string>& argv, const std::set<std::string>& flags) {
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& a = argv[i];
    if (a == "--") {
      positional_.insert(positional_.end(), argv.begin() + static_cast<long>(i) + 1, argv.end());
      break;
    }
    if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
      std::string name = a.substr(2);
      const size_t eq = name.find('=');
      if (eq != std::string::npos) {
        values_.emplace(name.substr(0, eq), name.substr(eq + 1));
      } else if (flags.count(name) != 0) {
        values_.emplace(name, "1");
      } else if (i + 1 < argv.size()) {
        values_.emplace(name, argv[++i]);
      } else {
        error_ = "option --" + name + " needs a value";
        return;
      }
    } else if (a.size() == 2 && a[0] == '-' && a[1] != '-') {
      // Short forms: -i, -o, -h.
      const std::string name = a == "-i" ? "in" : a == "-o" ? "out" : a == "-h" ? "help" : "";
      if (name.empty()) {
        error_ = "unknown option " + a;
        return;
      }
      if (name == "help") {
        values_.emplace(name, "1");
      } else if (i + 1 < argv.size()) {
        values_.emplace(name, argv[++i]);
      } else {
        error_ = "option " + a + " needs a value";
        return;
      }
    } else {
      positional_.push_back(a);
    }
  }
}

std::string Args::get(const std::string& name, const std::string& def) const {
  auto range = values_.equal_range(name);
  if (range.first == range.second) return def;
  return std::prev(range.second)->second;
}

std::vector<std::string> Args::all(const std::string& name) const {
  std::vector<std::string> out;
  auto range = values_.equal_range(name);
  for (auto it = range.first; it != range.second; ++it) out.push_back(it->second);
  return out;
}
