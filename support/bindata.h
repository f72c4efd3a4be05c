// CBinData, the owned byte buffer with search and hex conversion, and CBase64, the lenient
// Base64 decoder used for PEM and bare Base64 input.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// A byte buffer that owns its block (C heap). Not thread-safe: one thread at a time.
// Copies are made only through Assign; moving hands the block over.
class CBinData {
 public:
  CBinData() = default;
  // An empty buffer followed by Append(bytes, len).
  CBinData(const void* bytes, uint32_t len);
  ~CBinData();

  CBinData(const CBinData&) = delete;
  CBinData& operator=(const CBinData&) = delete;
  CBinData(CBinData&& other) noexcept;
  CBinData& operator=(CBinData&& other) noexcept;

  // Frees the block; the size becomes 0.
  void Clear();
  // n == 0 changes nothing and succeeds. Otherwise frees the block and allocates an
  // uninitialised one of exactly n bytes; false when the allocation fails.
  bool Alloc(uint32_t n);
  // Copies n bytes to the end. False for a null pointer, for zero bytes appended to an empty
  // buffer, and when the block cannot grow (the buffer is then unchanged).
  bool Append(const void* bytes, uint32_t n);
  // Clear, then Append of the other buffer's bytes (so an empty other gives false).
  bool Assign(const CBinData& other);
  // Reads a whole file in blocks of 65536 bytes. False when the file does not open, when a
  // block cannot be appended, and for a zero-length file.
  bool LoadFromFile(const std::string& path);

  // Bounds-checked access. An index at or past the size throws a std::string holding
  // "CBinData::operator []::Bad index!".
  uint8_t operator[](uint32_t index) const;
  uint8_t& operator[](uint32_t index);

  // First index >= start where pattern matches in full; -1 when either buffer is empty or
  // there is no match.
  int32_t Find(const CBinData& pattern, uint32_t start = 0) const;
  // Find with the bytes of a zero-terminated text; -1 when the buffer is empty, start is at or
  // past the end, the text is null or empty, or it is longer than what is left after start.
  int32_t FindString(const char* text, uint32_t start = 0) const;
  // The bytes between the first begin marker and the next end marker after it, as text;
  // empty when either marker is missing or the end marker follows the begin marker directly.
  std::string Between(const char* begin, const char* end) const;

  // Two lower-case hex digits per byte, high nibble first.
  std::string ToHex() const;
  // Parses hex digits (either case). Odd length: false, buffer untouched. Otherwise the size
  // becomes length / 2 (growing the block when needed); at a bad digit the result is false
  // and the bytes after those already written are undefined.
  bool FromHex(std::string_view hex);
  // The bytes as text, cut at the first zero byte; true when nothing was cut.
  bool ToString(std::string& text) const;
  std::string ToString() const;

  // Hands the block (allocated with malloc, release with free) to the caller and leaves the
  // buffer empty. Null for an empty buffer.
  uint8_t* Detach();

  uint32_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const uint8_t* data() const { return data_; }
  uint8_t* data() { return data_; }

 private:
  friend class CBase64;
  // Shortens the visible contents; the block keeps its capacity.
  void Shrink(uint32_t n) { size_ = n; }
  int32_t FindBytes(const uint8_t* pattern, uint32_t pattern_len, uint32_t start) const;

  uint8_t* data_ = nullptr;
  uint32_t size_ = 0;
  uint32_t capacity_ = 0;
};

// Lenient Base64 decoder: characters outside the alphabet (line breaks, blanks, '=') are
// skipped, decoding goes on after padding with the bits left over before it, and a byte with
// its high bit set is read as the character of its low seven bits. One object per call.
class CBase64 {
 public:
  CBase64();
  // Decodes a zero-terminated text into out. Null or empty text: false, out untouched.
  // Otherwise true, with out holding the decoded bytes (trailing bits under 8 dropped).
  bool Decode(const char* text, CBinData& out);

 private:
  int8_t table_[256];
  uint32_t accumulator_ = 0;
  int32_t pending_bits_ = 0;
};
