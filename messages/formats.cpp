#include "messages/formats.h"

#include <array>

#include "asn1/asn1_long_data.h"

const MessageFormat* FindMessageFormat(int32_t format) {
  static const std::array<const MessageFormat*, 3> kFormats = {&kPkcs7Format, &kFormat141, &kXmlFormat};
  for (const MessageFormat* row : kFormats)
    if (row->id == format) return row;
  return nullptr;
}

void SweepMessageLeftovers() { CASN1ValueLongData::SweepLeftovers(); }
