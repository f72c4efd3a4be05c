// Command-line arguments of the vexor tool: options checked against a table (getopt_long:
// --name value, --name=value, the short forms -i, -o, -h) and operands.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

// An option a command accepts.
struct OptionDef {
  enum Kind { kFlag, kValue, kRepeated };  // no value; one value; a value, repeatable
  const char* name;                        // without the leading dashes
  Kind kind;
  char short_name = 0;                     // 0: none
};

// What a command (or one action of it) accepts besides the global options.
struct Syntax {
  std::vector<OptionDef> options;
  size_t min_operands = 0;
  size_t max_operands = 0;
};

// The options every command takes, before or after the command's name: --workdir, --library,
// --verbose, --quiet, --pin-file, and --help (-h).
const std::vector<OptionDef>& GlobalOptions();

class Args;
// The library's working directory (Vexor.ini, app.info, certstore.sst): --workdir, else
// $VEXOR_WORKDIR, else $XDG_DATA_HOME/vexor, else ~/.local/share/vexor. The per-user default
// is created (0700) when missing; a folder named explicitly is taken as it is.
std::string WorkingDirectory(const Args& args);

class Args {
 public:
  Args() = default;
  // Parses words against the syntax and the global options. An unknown option, a value
  // missing (or a separate value that looks like an option: --out=-x still gives one), a
  // one-value option given twice, an empty value, or too few or too many operands make the
  // result not ok().
  // With stop_at_operand the parse ends at the first operand, which is left with the rest in
  // positional().
  static Args Parse(const std::vector<std::string>& words, const Syntax& syntax, bool stop_at_operand = false);

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  bool has(const std::string& name) const { return values_.count(name) != 0; }
  // The value given for an option, or def.
  std::string get(const std::string& name, const std::string& def = std::string()) const;
  // Every value given for a repeatable option.
  std::vector<std::string> all(const std::string& name) const;
  const std::vector<std::string>& positional() const { return positional_; }
  // Sets an option as the command line would (value "1" for a flag).
  void add(const std::string& name, const std::string& value = "1") { values_.emplace(name, value); }

 private:
  std::multimap<std::string, std::string> values_;
  std::vector<std::string> positional_;
  std::string error_;
};
