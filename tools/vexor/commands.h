// The tool's subcommands.
#pragma once

#include <sysexits.h>

#include <string>
#include <vector>

#include "tools/vexor/args.h"

// The exit status of a command line the tool does not accept.
constexpr int kUsageError = EX_USAGE;

// What a command accepts: one syntax, or one per action (the command's first operand, which
// the syntax's operand counts include).
struct Action {
  const char* name;  // null for a command without actions
  Syntax syntax;
};

struct Command {
  const char* name;
  const char* summary;
  const char* usage;  // full help text
  int (*run)(const Args& args);
  std::vector<Action> actions;
};

const std::vector<Command>& AllCommands();

// Runs a command line that starts with the command's name: a command line it does not
// accept prints why and the command's usage on standard error and exits kUsageError before
// anything is done; --help prints the usage. The exit status.
int RunCommand(const std::vector<std::string>& words);

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
