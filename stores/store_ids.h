// Display names of the store identifiers (CST_SST, CST_MY, ... of vexor.h), as messages
// quote them.
#pragma once

#include <string>

// Windows-1251 text: the store's name for 1, 2, 4, 8 and 16; empty for 0xFFFFFFFF; the
// unknown-type text with the number for anything else.
std::string GetStoreName(unsigned long id);
