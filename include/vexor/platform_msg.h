// Platform service declarations (msg).
#pragma once

#include "vexor/platform.h"
