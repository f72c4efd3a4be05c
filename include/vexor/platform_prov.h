// Platform service declarations (prov).
#pragma once

#include "vexor/platform.h"
