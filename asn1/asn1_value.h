// CASN1Value: one node of the library's own ASN.1 value tree - an identifier octet and either
// content bytes (primitive) or an ordered list of owned children (constructed). Values are
// built from typed inputs or parsed from a stream or a memory block, and written in
// definite-length form. The enveloped-data writer builds its structures from these.
//
// Errors are exceptions whose texts begin "ASN.1: ": std::invalid_argument for arguments a
// value cannot be built from, std::runtime_error for input that cannot be read. The codec
// never logs; its callers turn the exceptions into result codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

class CASN1Value {
 public:
  // Identifier values the library uses.
  static constexpr uint8_t kInteger = 2;
  static constexpr uint8_t kBitString = 3;
  static constexpr uint8_t kOctetString = 4;
  static constexpr uint8_t kNull = 5;
  static constexpr uint8_t kObjectIdentifier = 6;
  static constexpr uint8_t kUtf8String = 12;
  static constexpr uint8_t kSequence = 16;
  static constexpr uint8_t kSet = 17;
  static constexpr uint8_t kPrintableString = 19;
  static constexpr uint8_t kIa5String = 22;
  static constexpr uint8_t kConstructed = 0x20;

  // Selects the constructed-value constructor.
  struct Constructed {
    uint8_t tag;
  };

  // NULL (identifier 5), no content.
  CASN1Value();
  // An empty constructed value: SEQUENCE, SET, BIT STRING, OCTET STRING or any
  // context-specific tag; the constructed flag is added.
  explicit CASN1Value(Constructed c);
  // INTEGER of the value's significant bytes, most significant first, no sign octet.
  explicit CASN1Value(uint32_t value);
  // A context-specific primitive value holding the bytes.
  CASN1Value(uint8_t tag, const std::vector<uint8_t>& bytes);
  // INTEGER from hex text, BIT STRING / OCTET STRING / string types from the text's bytes,
  // OBJECT IDENTIFIER from dotted decimal.
  CASN1Value(uint8_t tag, const std::string& text);
  // OBJECT IDENTIFIER of the arcs.
  explicit CASN1Value(const std::vector<uint32_t>& arcs);
  // Reads one complete value from the stream's current position. Lengths must be DER's
  // (definite, minimal, at most four octets) and children must fill their parent exactly.
  explicit CASN1Value(std::istream& in);
  // Reads one complete value from the start of a memory block of that length.
  CASN1Value(const uint8_t* data, size_t length);
  // Deep copy.
  CASN1Value(const CASN1Value& other);
  CASN1Value& operator=(const CASN1Value&) = delete;
  virtual ~CASN1Value();

  // The content length: the content size, or the sum of the children's encoded sizes.
  virtual uint32_t GetLength() const;
  // Writes identifier, definite minimal length and content (or each child in turn).
  virtual void Write(std::ostream& out) const;
  // GetLength plus the identifier and length octets.
  uint32_t EncodedSize() const;

  // Appends a child and takes ownership; a primitive value refuses (runtime_error).
  void AddSubvalue(std::unique_ptr<CASN1Value> child);
  // The arcs of an OBJECT IDENTIFIER; false for another identifier or content that ends
  // inside a subidentifier.
  bool GetOID(std::vector<uint32_t>& arcs) const;
  // 0x80 | n for n < 32.
  static uint8_t ContextSpecific(unsigned n);

  uint8_t identifier() const { return identifier_; }
  bool constructed() const { return (identifier_ & kConstructed) != 0; }
  const std::vector<uint8_t>& content() const { return content_; }
  const std::vector<std::unique_ptr<CASN1Value>>& children() const { return children_; }

 protected:
  // For derived values that supply their own content (long data).
  explicit CASN1Value(uint8_t identifier, std::nullptr_t) : identifier_(identifier) {}
  // Writes the identifier and length octets of a value with the given content length.
  void WriteHeader(std::ostream& out, uint32_t length) const;

 private:
  // Parses one value; returns the number of bytes it took.
  uint64_t Parse(std::istream& in, int depth);
  void SetOid(const std::vector<uint32_t>& arcs);

  uint8_t identifier_ = kNull;
  std::vector<std::unique_ptr<CASN1Value>> children_;
  std::vector<uint8_t> content_;
};
