// The settings reader that fills the option words from app.info and Vexor.ini in the
// working directory.
#pragma once

#include <string>

#include "call/options.h"

// Reads app.info and Vexor.ini of the working directory into the options and the family
// flag, under a process-wide settings lock. Never fails: missing or unreadable files leave
// the defaults.
void ReadSettings(const std::string& workDir, OptionBlock& options, bool& family);
