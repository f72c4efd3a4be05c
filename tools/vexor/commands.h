// The tool's subcommands.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "tools/vexor/args.h"

struct Command {
  const char* name;
  const char* summary;
  const char* usage;  // full help text
  int (*run)(const Args& args);
};

const std::vector<Command>& AllCommands();
// The options that take no value.
const std::set<std::string>& FlagOptions();

int RunSign(const Args& args);
int RunVerify(const Args& args);
int RunUnpack(const Args& args);
int RunEncrypt(const Args& args);
int RunDecrypt(const Args& args);
int RunSigners(const Args& args);
int RunCert(const Args& args);
int RunCrl(const Args& args);
int RunStore(const Args& args);
int RunDemo(const Args& args);
