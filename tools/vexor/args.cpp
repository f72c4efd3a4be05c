#include "tools/vexor/args.h"

#include <getopt.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

const std::vector<OptionDef>& GlobalOptions() {
  static const std::vector<OptionDef> kGlobal = {{"workdir", OptionDef::kValue},
                                                 {"library", OptionDef::kValue},
                                                 {"verbose", OptionDef::kFlag},
                                                 {"quiet", OptionDef::kFlag},
                                                 {"pin-file", OptionDef::kValue},
                                                 {"help", OptionDef::kFlag, 'h'}};
  return kGlobal;
}

Args Args::Parse(const std::vector<std::string>& words, const Syntax& syntax, bool stop_at_operand) {
  Args args;
  std::vector<OptionDef> defs = syntax.options;
  defs.insert(defs.end(), GlobalOptions().begin(), GlobalOptions().end());
  // Long options return 256 + their index; the leading ':' reports a missing value apart
  // from an unknown option, the '+' stops at the first operand.
  std::string shorts = stop_at_operand ? "+:" : ":";
  std::vector<option> longs;
  for (size_t i = 0; i < defs.size(); ++i) {
    const bool value = defs[i].kind != OptionDef::kFlag;
    longs.push_back({defs[i].name, value ? required_argument : no_argument, nullptr, 256 + static_cast<int>(i)});
    if (defs[i].short_name != 0) {
      shorts += defs[i].short_name;
      if (value) shorts += ':';
    }
  }
  longs.push_back({nullptr, 0, nullptr, 0});

  // getopt_long permutes its array: it works on a copy.
  std::vector<std::string> storage = {"vexor"};
  storage.insert(storage.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(storage.size());

  auto def_of = [&](int c) -> const OptionDef* {
    if (c >= 256 && static_cast<size_t>(c - 256) < defs.size()) return &defs[static_cast<size_t>(c - 256)];
    for (const OptionDef& d : defs)
      if (d.short_name != 0 && d.short_name == c) return &d;
    return nullptr;
  };
  auto spelled = [](const OptionDef& d) { return std::string("--") + d.name; };

  optind = 0;  // a fresh scan (glibc)
  opterr = 0;
  for (;;) {
    const int c = getopt_long(argc, argv.data(), shorts.c_str(), longs.data(), nullptr);
    if (c == -1) break;
    if (c == '?') {
      args.error_ = optopt > 0 && optopt < 256 ? std::string("unknown option -") + static_cast<char>(optopt)
                                               : "unknown option " + std::string(argv[optind - 1]);
      break;
    }
    const OptionDef* def = def_of(c == ':' ? optopt : c);
    if (def == nullptr) {
      args.error_ = "unknown option " + std::string(argv[optind - 1]);
      break;
    }
    if (c == ':') {
      args.error_ = "option " + spelled(*def) + " needs a value";
      break;
    }
    if (def->kind == OptionDef::kFlag) {
      args.values_.emplace(def->name, "1");
      continue;
    }
    // An empty value, or one taken from the next word that is itself an option ("--out
    // --detached"), is a value left out; "-" (the standard stream) is a value.
    const bool separate = optarg == argv[optind - 1];
    if (optarg[0] == '\0' || (separate && optarg[0] == '-' && optarg[1] != '\0')) {
      args.error_ = "option " + spelled(*def) + " needs a value" + (*optarg != '\0' ? std::string(" (not ") + optarg + ")" : "");
      break;
    }
    if (def->kind == OptionDef::kValue && args.has(def->name)) {
      args.error_ = "option " + spelled(*def) + " is given twice";
      break;
    }
    args.values_.emplace(def->name, optarg);
  }
  if (!args.ok()) return args;
  for (int i = optind; i < argc; ++i) args.positional_.push_back(argv[static_cast<size_t>(i)]);
  if (stop_at_operand) return args;
  if (args.positional_.size() < syntax.min_operands) {
    args.error_ = "an operand is missing";
  } else if (args.positional_.size() > syntax.max_operands) {
    args.error_ = "unexpected operand '" + args.positional_[syntax.max_operands] + "'";
  }
  return args;
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

std::string WorkingDirectory(const Args& args) {
  if (args.has("workdir")) return args.get("workdir");
  const char* chosen = std::getenv("VEXOR_WORKDIR");
  if (chosen != nullptr && *chosen != '\0') return chosen;
  std::string base;
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && *data == '/') {
    base = data;
  } else {
    const char* home = std::getenv("HOME");
    const passwd* pw = home != nullptr && *home != '\0' ? nullptr : getpwuid(getuid());
    base = std::string(home != nullptr && *home != '\0' ? home : pw != nullptr ? pw->pw_dir : "/tmp") + "/.local/share";
  }
  // The parents as mkdir -p makes them, the folder itself for its owner only.
  for (size_t at = base.find('/', 1); at != std::string::npos; at = base.find('/', at + 1))
    mkdir(base.substr(0, at).c_str(), 0755);
  mkdir(base.c_str(), 0755);
  const std::string dir = base + "/vexor";
  mkdir(dir.c_str(), 0700);
  return dir;
}
