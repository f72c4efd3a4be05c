// The parties of a "141" file: the sender's and recipient's thumbprints from the head of the
// file (a version word 1, then four length-prefixed blocks: sender thumbprint, sender
// subject, recipient thumbprint, recipient subject; all numbers 32-bit little-endian).
#pragma once

#include <cstdint>

#include "vexor/vexor.h"

class InstanceContext;

// 0 with the two thumbprints as hex text; 49 without a record, 4 for a file that cannot be
// opened, 11 for a malformed head, 6 for an empty block.
int32_t ReadFileParties(InstanceContext& ctx, const char* path, FileParties* parties);
