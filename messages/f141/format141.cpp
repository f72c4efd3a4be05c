// The compact "141" format's row. Its signing and encryption are not built yet, so every
// message slot answers 1 for it; the reader of its file head (file_parties) is.
#include "messages/formats.h"

const MessageFormat kFormat141 = {VEXOR_FORMAT_141, "141", nullptr, nullptr, nullptr, nullptr,
                                  nullptr,          nullptr, nullptr, nullptr, nullptr};
