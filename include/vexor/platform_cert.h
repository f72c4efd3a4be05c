// Platform service declarations (cert).
#pragma once

#include "vexor/platform.h"
