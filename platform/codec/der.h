// A bounds-checked DER reader and a small writer for the structures the certificate code
// decodes itself (names, extensions, times, object identifiers). The reader owns nothing and
// never reads past its span; a failed read leaves a Windows ASN.1 error number behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vexor/platform.h"

namespace vexorcsp::der {

// Universal tags used here.
constexpr uint8_t kBoolean = 0x01;
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kBitString = 0x03;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kNull = 0x05;
constexpr uint8_t kOid = 0x06;
constexpr uint8_t kUtf8String = 0x0C;
constexpr uint8_t kPrintableString = 0x13;
constexpr uint8_t kIa5String = 0x16;
constexpr uint8_t kUtcTime = 0x17;
constexpr uint8_t kGeneralizedTime = 0x18;
constexpr uint8_t kBmpString = 0x1E;
constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kSet = 0x31;

// One element: its identifier octet, the whole encoding and the contents.
struct Tlv {
  uint8_t tag = 0;
  const BYTE* start = nullptr;  // first byte of the identifier
  size_t size = 0;              // header + contents
  const BYTE* value = nullptr;
  size_t length = 0;
};

class Reader {
 public:
  Reader() = default;
  Reader(const BYTE* data, size_t size) : p_(data), end_(data + size) {}

  bool empty() const { return p_ == end_; }
  size_t remaining() const { return static_cast<size_t>(end_ - p_); }
  // The error number of the first failed read, 0 while all reads succeeded.
  DWORD error() const { return error_; }

  // Reads any element (low-tag-number form only; definite lengths of up to four octets).
  bool Next(Tlv& out);
  // Reads an element that must carry `tag`.
  bool Expect(uint8_t tag, Tlv& out);
  // Reads the element if its tag is `tag`; false without error otherwise.
  bool Optional(uint8_t tag, Tlv& out, bool& present);
  // The tag of the next element, 0 at the end.
  uint8_t PeekTag() const { return empty() ? 0 : *p_; }
  // Reads a SEQUENCE/SET (or other constructed element) and gives a reader of its contents.
  bool Enter(uint8_t tag, Reader& inner);
  bool Fail(DWORD error) {
    if (error_ == 0) error_ = error;
    return false;
  }

 private:
  const BYTE* p_ = nullptr;
  const BYTE* end_ = nullptr;
  DWORD error_ = 0;
};

inline Reader ContentsOf(const Tlv& t) { return Reader(t.value, t.length); }

// Dotted text of an OBJECT IDENTIFIER's contents; false for a malformed value.
bool OidToText(const BYTE* value, size_t length, std::string& out);
// Contents octets of a dotted OID; false for malformed text.
bool OidFromText(const char* text, std::vector<BYTE>& out);

// A UTCTime or GeneralizedTime element's contents to FILETIME (UTC).
bool TimeToFileTime(uint8_t tag, const BYTE* value, size_t length, FILETIME& out);

// Appends a complete element.
void Put(std::vector<BYTE>& out, uint8_t tag, const BYTE* value, size_t length);
inline void Put(std::vector<BYTE>& out, uint8_t tag, const std::vector<BYTE>& value) {
  Put(out, tag, value.data(), value.size());
}

}  // namespace vexorcsp::der
