// The one DER codec of the project, shared by the platform service and the library: a
// bounds-checked reader over bytes it does not own, a writer, object identifiers, and the
// little-endian fields of the Windows blob and file formats. Depends on nothing but the
// standard library.
//
// The reader is strict DER: single-octet tags, definite minimal lengths of at most four
// octets, nothing past the span. A failed read leaves an error behind and every later read
// fails too, so a run of reads can be checked once. Errors carry the CryptoAPI ASN.1 error
// numbers, which both users report as they are.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace der {

enum Error : uint32_t {
  kOk = 0,
  kEndOfData = 0x80093102,  // CRYPT_E_ASN1_EOD: the input ends inside an element or field
  kCorrupt = 0x80093103,    // CRYPT_E_ASN1_CORRUPT: not DER (indefinite or non-minimal length)
  kTooLarge = 0x80093104,   // CRYPT_E_ASN1_LARGE: more than four length octets
  kBadTag = 0x8009310B,     // CRYPT_E_ASN1_BADTAG: another element than the one expected
};

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
  const uint8_t* start = nullptr;  // first byte of the identifier
  size_t size = 0;                 // header + contents
  const uint8_t* value = nullptr;
  size_t length = 0;
};

class Reader {
 public:
  Reader() = default;
  Reader(const uint8_t* data, size_t size) : p_(data), end_(data != nullptr ? data + size : data) {}

  bool empty() const { return p_ == end_; }
  size_t remaining() const { return static_cast<size_t>(end_ - p_); }
  const uint8_t* pos() const { return p_; }
  // The error of the first failed read, kOk while all reads succeeded.
  Error error() const { return error_; }
  bool ok() const { return error_ == kOk; }
  // Records the first error; always false, so a parser can `return r.Fail(...)`.
  bool Fail(Error error) {
    if (error_ == kOk) error_ = error;
    p_ = end_;
    return false;
  }

  // --- DER elements ---

  // Reads any element.
  bool Next(Tlv& out);
  // Reads an element's identifier and length octets only, for a reader whose contents
  // arrive later (a stream); the contents need not be there.
  bool Header(uint8_t& tag, size_t& length);
  // Reads an element that must carry `tag` (kBadTag otherwise).
  bool Expect(uint8_t tag, Tlv& out);
  // Reads the element if its tag is `tag`; true without reading when another tag (or the
  // end) follows.
  bool Optional(uint8_t tag, Tlv& out, bool& present);
  // Reads an element of the tag and gives a reader of its contents.
  bool Enter(uint8_t tag, Reader& inner);
  // The tag of the next element, 0 at the end.
  uint8_t PeekTag() const { return empty() ? 0 : *p_; }
  // True when every byte has been read; trailing bytes fail with kCorrupt.
  bool ExpectEnd();

  // --- Little-endian fields ---

  bool U8(uint8_t& v);
  bool U16LE(uint16_t& v);
  bool U32LE(uint32_t& v);
  // The next n bytes, in place.
  bool Bytes(size_t n, const uint8_t*& out);
  // One base-128 subidentifier of an OBJECT IDENTIFIER (high bit = more octets follow);
  // kEndOfData when the input ends inside it, kCorrupt beyond 64 bits.
  bool Base128(uint64_t& v);
  template <size_t N>
  bool Copy(std::array<uint8_t, N>& out) {
    const uint8_t* p;
    if (!Bytes(N, p)) return false;
    for (size_t i = 0; i < N; ++i) out[i] = p[i];
    return true;
  }

 private:
  const uint8_t* p_ = nullptr;
  const uint8_t* end_ = nullptr;
  Error error_ = kOk;
};

inline Reader ContentsOf(const Tlv& t) { return Reader(t.value, t.length); }

// The identifier and length octets of an element with `length` content bytes.
void PutHeader(std::vector<uint8_t>& out, uint8_t tag, size_t length);
// Appends a complete element.
void Put(std::vector<uint8_t>& out, uint8_t tag, const uint8_t* value, size_t length);
inline void Put(std::vector<uint8_t>& out, uint8_t tag, const std::vector<uint8_t>& value) {
  Put(out, tag, value.data(), value.size());
}
// Appends one base-128 subidentifier, most significant group first.
void PutBase128(std::vector<uint8_t>& out, uint64_t v);
// Appends a whole OBJECT IDENTIFIER element for dotted text; false (nothing appended) for
// malformed text.
bool PutOid(std::vector<uint8_t>& out, const std::string& dotted);
// The 32-bit little-endian word at p; the caller has checked that four bytes are there.
inline uint32_t LoadU32LE(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
// Appends a 32-bit little-endian field.
void PutU32LE(std::vector<uint8_t>& out, uint32_t v);
// Number of octets PutHeader writes for a length.
size_t HeaderSize(size_t length);

// Dotted text of an OBJECT IDENTIFIER's contents; false for a malformed value (empty,
// truncated last arc, non-minimal arc, an arc beyond 64 bits).
bool OidToText(const uint8_t* value, size_t length, std::string& out);
// Contents octets of a dotted OID ("1.2.643.2.2.3"); false for malformed text or a first
// pair no OID can have.
bool OidFromText(const char* text, std::vector<uint8_t>& out);

}  // namespace der
