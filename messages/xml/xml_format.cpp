// The XML format's row. XML signing, verification and encryption come with the sibling XML
// library; until then every message slot answers 1 for this format.
#include "messages/formats.h"

const MessageFormat kXmlFormat = {VEXOR_FORMAT_XML, "XML", nullptr, nullptr, nullptr, nullptr,
                                  nullptr,          nullptr, nullptr, nullptr, nullptr};
