// Command-line arguments of the vexor tool: options (--name value, --flag) and positionals.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

class Args {
 public:
  // flags: option names that take no value (without the leading dashes).
  Args(const std::vector<std::string>& argv, const std::set<std::string>& flags);

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  bool has(const std::string& name) const { return values_.count(name) != 0; }
  // The last value given for an option, or def.
  std::string get(const std::string& name, const std::string& def = std::string()) const;
  // Every value given for a repeatable option.
  std::vector<std::string> all(const std::string& name) const;
  const std::vector<std::string>& positional() const { return positional_; }

 private:
  std::multimap<std::string, std::string> values_;
  std::vector<std::string> positional_;
  std::string error_;
};
