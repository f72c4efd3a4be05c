// X.500 names and general names as the platform reads them: parsing a DER Name into its
// attributes, decoding attribute strings, and rendering a name the way CertNameToStr does.
#pragma once

#include <string>
#include <vector>

#include "vexor/platform.h"

namespace vexorcsp {

struct NameAttr {
  std::string oid;
  uint8_t tag = 0;  // the value's universal tag
  const BYTE* value = nullptr;
  size_t length = 0;
};
using Rdn = std::vector<NameAttr>;

// Parses a DER Name; false with the ASN.1 error number in `error`.
bool ParseName(const BYTE* data, size_t size, std::vector<Rdn>& out, DWORD& error);
// CERT_RDN_* value type of a value tag (CERT_RDN_ENCODED_BLOB for non-strings).
DWORD RdnValueType(uint8_t tag);
// The code points of a string attribute.
std::u32string AttrText(const NameAttr& attr);
// The value as CertRDNValueToStr renders it, in Windows-1251.
std::string AttrValueA(const NameAttr& attr);
// A name rendered per CERT_*_NAME_STR type and flags, in Windows-1251.
bool FormatName(const BYTE* data, size_t size, DWORD str_type, std::string& out, DWORD& error);
// Lower-case folding for Latin and Cyrillic, used by case-insensitive matches.
std::u32string FoldCase(const std::u32string& s);

// One GeneralName of a SEQUENCE OF GeneralName: its context tag number (0..8) and contents.
struct GeneralName {
  int choice = 0;  // 0 otherName, 1 rfc822, 2 dNS, 4 directoryName, 6 URI, 7 IP, 8 registeredID
  const BYTE* value = nullptr;
  size_t length = 0;
};
bool ParseGeneralNames(const BYTE* data, size_t size, std::vector<GeneralName>& out);

}  // namespace vexorcsp
