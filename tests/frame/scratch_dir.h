// The frame tests' scratch directory.
#pragma once

#include "common/temp_dir.h"

using ScratchDir = test_common::TempDir;
