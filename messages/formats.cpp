#include "messages/formats.h"

#include <array>

const MessageFormat* FindMessageFormat(int32_t format) {
  static const std::array<const MessageFormat*, 3> kFormats = {&kPkcs7Format, &kFormat141, &kXmlFormat};
  for (const MessageFormat* row : kFormats)
    if (row->id == format) return row;
  return nullptr;
}
