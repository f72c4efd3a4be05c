#include "asn1/asn1_value.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <streambuf>

#include "der/der.h"

namespace {

// Nesting deeper than this is no input the library reads; refusing it keeps a hostile
// input from exhausting the stack.
constexpr int kMaxDepth = 64;
// Content is read in pieces, so a length an input merely claims is never allocated at once.
constexpr size_t kReadPiece = 64 * 1024;

// A read-only stream over a memory block.
class MemoryBuf : public std::streambuf {
 public:
  MemoryBuf(const uint8_t* data, size_t length) {
    char* p = const_cast<char*>(reinterpret_cast<const char*>(data));
    setg(p, p, p + length);
  }
};

bool IsContextSpecific(uint8_t tag) { return (tag & 0xC0) == 0x80; }

// A whole decimal number of 32 bits; false for anything else, an empty text included.
bool ParseDecimal(const std::string& piece, uint32_t& out) {
  if (piece.empty() || piece.size() > 10) return false;
  uint64_t v = 0;
  for (char ch : piece) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + static_cast<uint64_t>(ch - '0');
  }
  if (v > UINT32_MAX) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

bool ParseHexByte(const std::string& piece, uint8_t& out) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(piece.c_str(), &end, 16);
  if (piece.empty() || end == nullptr || *end != '\0' || piece[0] == '-' || piece[0] == '+' || piece[0] == ' ')
    return false;
  out = static_cast<uint8_t>(v);
  return true;
}

}  // namespace

CASN1Value::CASN1Value() = default;

CASN1Value::CASN1Value(Constructed c) {
  const uint8_t tag = c.tag;
  if (tag != kSequence && tag != kSet && tag != kBitString && tag != kOctetString && !IsContextSpecific(tag))
    throw std::invalid_argument("ASN.1: The type must be constructed.");
  identifier_ = static_cast<uint8_t>(tag | kConstructed);
}

CASN1Value::CASN1Value(uint32_t value) : identifier_(kInteger) {
  bool started = false;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const uint8_t b = static_cast<uint8_t>(value >> shift);
    if (b != 0 || started || shift == 0) {
      content_.push_back(b);
      started = true;
    }
  }
}

CASN1Value::CASN1Value(uint8_t tag, const std::vector<uint8_t>& bytes) {
  if (!IsContextSpecific(tag))
    throw std::invalid_argument("ASN.1: Type must be one of a byte-array-compatibility types.");
  identifier_ = tag;
  content_ = bytes;
}

CASN1Value::CASN1Value(uint8_t tag, const std::string& text) {
  switch (tag) {
    case kInteger: {
      if (text.empty()) throw std::invalid_argument("ASN.1: Integer value cannot be empty.");
      size_t pos = 0;
      const size_t first = text.size() % 2 == 1 ? 1 : 2;
      for (size_t n = first; pos < text.size(); pos += n, n = 2) {
        uint8_t b;
        if (!ParseHexByte(text.substr(pos, n), b))
          throw std::invalid_argument("ASN.1: Initialize string value must contains integer in HEX.");
        content_.push_back(b);
      }
      break;
    }
    case kBitString:
      content_.assign(text.size() + 1, 0);  // the first octet: no unused bits
      std::copy(text.begin(), text.end(), content_.begin() + 1);
      break;
    case kOctetString:
    case kUtf8String:
    case kPrintableString:
    case kIa5String:
      content_.assign(text.begin(), text.end());
      break;
    case kObjectIdentifier: {
      std::vector<uint32_t> arcs;
      size_t start = 0;
      while (true) {
        const size_t dot = text.find('.', start);
        uint32_t arc;
        if (!ParseDecimal(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start), arc))
          throw std::invalid_argument("ASN.1: Initialize string value must an OID.");
        arcs.push_back(arc);
        if (dot == std::string::npos) break;
        start = dot + 1;
      }
      SetOid(arcs);
      break;
    }
    default:
      throw std::invalid_argument("ASN.1: Type must be one of a string-compatibility types.");
  }
  identifier_ = tag;
}

CASN1Value::CASN1Value(const std::vector<uint32_t>& arcs) : identifier_(kObjectIdentifier) { SetOid(arcs); }

CASN1Value::CASN1Value(std::istream& in) { Parse(in, 0); }

CASN1Value::CASN1Value(const uint8_t* data, size_t length) {
  MemoryBuf buf(data, data != nullptr ? length : 0);
  std::istream in(&buf);
  Parse(in, 0);
}

CASN1Value::CASN1Value(const CASN1Value& other) : identifier_(other.identifier_), content_(other.content_) {
  children_.reserve(other.children_.size());
  for (const auto& child : other.children_) children_.push_back(std::make_unique<CASN1Value>(*child));
}

CASN1Value::~CASN1Value() = default;

uint32_t CASN1Value::GetLength() const {
  if (!constructed()) return static_cast<uint32_t>(content_.size());
  uint32_t total = 0;
  for (const auto& child : children_) total += child->EncodedSize();
  return total;
}

uint32_t CASN1Value::EncodedSize() const {
  const uint32_t length = GetLength();
  return static_cast<uint32_t>(der::HeaderSize(length)) + length;
}

void CASN1Value::WriteHeader(std::ostream& out, uint32_t length) const {
  std::vector<uint8_t> header;
  der::PutHeader(header, identifier_, length);
  out.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
}

void CASN1Value::Write(std::ostream& out) const {
  WriteHeader(out, GetLength());
  if (!constructed()) {
    out.write(reinterpret_cast<const char*>(content_.data()), static_cast<std::streamsize>(content_.size()));
    return;
  }
  for (const auto& child : children_) child->Write(out);
}

void CASN1Value::AddSubvalue(std::unique_ptr<CASN1Value> child) {
  if (!constructed()) throw std::runtime_error("ASN.1: Adding subvalues not supported for non-constructed types.");
  children_.push_back(std::move(child));
}

bool CASN1Value::GetOID(std::vector<uint32_t>& arcs) const {
  arcs.clear();
  if (identifier_ != kObjectIdentifier) return false;
  der::Reader r(content_.data(), content_.size());
  bool first = true;
  while (!r.empty()) {
    uint64_t v;
    if (!r.Base128(v)) return false;
    if (first) {
      const uint64_t a = v / 40 > 2 ? 2 : v / 40;
      arcs.push_back(static_cast<uint32_t>(a));
      arcs.push_back(static_cast<uint32_t>(v - 40 * a));
      first = false;
    } else {
      arcs.push_back(static_cast<uint32_t>(v));
    }
  }
  return true;
}

uint8_t CASN1Value::ContextSpecific(unsigned n) {
  if (n >= 32) throw std::invalid_argument("ASN.1: Too greater value for context-specific type.");
  return static_cast<uint8_t>(0x80 | n);
}

void CASN1Value::SetOid(const std::vector<uint32_t>& arcs) {
  content_.clear();
  if (arcs.empty()) return;
  std::vector<uint8_t> body;
  if (arcs.size() >= 2) {
    der::PutBase128(body, uint64_t(arcs[0]) * 40 + arcs[1]);
    for (size_t i = 2; i < arcs.size(); ++i) der::PutBase128(body, arcs[i]);
  } else {
    der::PutBase128(body, arcs[0]);
  }
  content_ = std::move(body);
}

uint64_t CASN1Value::Parse(std::istream& in, int depth) {
  if (depth > kMaxDepth) throw std::runtime_error("ASN.1: Cannot read data.");
  constexpr int kEof = std::char_traits<char>::eof();
  // The identifier and length octets are collected from the stream and read by the DER
  // reader, so the tree takes the lengths the rest of the project takes: definite, minimal,
  // at most four octets.
  uint8_t header[2 + 4];
  const int id = in.get();
  if (id == kEof) throw std::runtime_error("ASN.1: Cannot get a type tag from stream.");
  header[0] = static_cast<uint8_t>(id);
  const int first = in.get();
  if (first == kEof) throw std::runtime_error("ASN.1: Cannot get the first size octet.");
  header[1] = static_cast<uint8_t>(first);
  size_t header_size = 2;
  if (first & 0x80) {
    for (int i = 0; i < (first & 0x7F) && i < 4; ++i) {  // beyond four the reader refuses
      const int b = in.get();
      if (b == kEof) throw std::runtime_error("ASN.1: Cannot get the size octet.");
      header[header_size++] = static_cast<uint8_t>(b);
    }
  }
  der::Reader r(header, header_size);
  uint8_t tag = 0;
  size_t length = 0;
  if (!r.Header(tag, length)) {
    throw std::runtime_error(r.error() == der::kBadTag ? "ASN.1: Multi-octet type tags are not supported."
                                                       : "ASN.1: The length is not in definite minimal form.");
  }
  identifier_ = tag;
  const uint64_t consumed = header_size;
  content_.clear();
  children_.clear();
  if (constructed()) {
    // A constructed value of length 0 has no children (nothing after it is taken for one).
    uint64_t inside = 0;
    while (inside < length) {
      auto child = std::make_unique<CASN1Value>();
      inside += child->Parse(in, depth + 1);
      children_.push_back(std::move(child));
    }
    if (inside != length) throw std::runtime_error("ASN.1: A value runs past the end of its container.");
    return consumed + inside;
  }
  for (size_t left = length; left > 0;) {
    const size_t piece = left < kReadPiece ? left : kReadPiece;
    const size_t at = content_.size();
    content_.resize(at + piece);
    in.read(reinterpret_cast<char*>(content_.data() + at), static_cast<std::streamsize>(piece));
    if (static_cast<size_t>(in.gcount()) != piece) throw std::runtime_error("ASN.1: Cannot read data.");
    left -= piece;
  }
  return consumed + length;
}
