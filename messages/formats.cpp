#include "messages/formats.h"

#include <array>

#include "asn1/asn1_long_data.h"

// The rows, each defined in its format's folder. Naming them here is what brings them into
// a program: the message code is a static library, and a row nothing refers to would be
// left out of the link.
extern const MessageFormat kPkcs7Format;
extern const MessageFormat kFormat141;
extern const MessageFormat kXmlFormat;

const MessageFormat* FindMessageFormat(int32_t format) {
  static const std::array kFormats = {&kPkcs7Format, &kFormat141, &kXmlFormat};
  for (const MessageFormat* row : kFormats)
    if (row->id == format) return row;
  return nullptr;
}

void SweepMessageLeftovers() { CASN1ValueLongData::SweepLeftovers(); }
