// CBinData and CBase64.
#include "support/bindata.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

const char kBadIndex[] = "CBinData::operator []::Bad index!";
constexpr uint32_t kFileBlock = 65536;
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

CBinData::CBinData(const void* bytes, uint32_t len) { Append(bytes, len); }

CBinData::~CBinData() { Clear(); }

CBinData::CBinData(CBinData&& other) noexcept
    : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
  other.data_ = nullptr;
  other.size_ = other.capacity_ = 0;
}

CBinData& CBinData::operator=(CBinData&& other) noexcept {
  if (this != &other) {
    Clear();
    data_ = other.data_;
    size_ = other.size_;
    capacity_ = other.capacity_;
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
  }
  return *this;
}

void CBinData::Clear() {
  std::free(data_);
  data_ = nullptr;
  size_ = capacity_ = 0;
}

bool CBinData::Alloc(uint32_t n) {
  if (n == 0) return true;
  Clear();
  data_ = static_cast<uint8_t*>(std::malloc(n));
  if (data_ == nullptr) return false;
  size_ = capacity_ = n;
  return true;
}

bool CBinData::Append(const void* bytes, uint32_t n) {
  if (bytes == nullptr) return false;
  if (size_ == 0) {
    if (n == 0) return false;
    // The source may lie inside our own (now unused) block, which Alloc frees: copy it out.
    if (data_ != nullptr && static_cast<const uint8_t*>(bytes) >= data_ &&
        static_cast<const uint8_t*>(bytes) < data_ + capacity_) {
      std::unique_ptr<uint8_t[]> copy(new uint8_t[n]);
      std::memcpy(copy.get(), bytes, n);
      if (!Alloc(n)) return false;
      std::memcpy(data_, copy.get(), n);
      return true;
    }
    if (!Alloc(n)) return false;
    std::memcpy(data_, bytes, n);
    return true;
  }
  if (n == 0) return true;
  if (n > UINT32_MAX - size_) return false;
  const uint32_t new_size = size_ + n;
  // Appending a part of ourselves: remember where it sits, realloc may move the block.
  const uint8_t* src = static_cast<const uint8_t*>(bytes);
  const bool inside = src >= data_ && src < data_ + capacity_;
  const size_t offset = inside ? static_cast<size_t>(src - data_) : 0;
  uint8_t* grown = static_cast<uint8_t*>(std::realloc(data_, new_size));
  if (grown == nullptr) return false;
  data_ = grown;
  std::memmove(data_ + size_, inside ? data_ + offset : src, n);
  size_ = capacity_ = new_size;
  return true;
}

bool CBinData::Assign(const CBinData& other) {
  if (&other == this) return size_ != 0;
  Clear();
  return Append(other.data_, other.size_);
}

bool CBinData::LoadFromFile(const std::string& path) {
  Clear();
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  std::unique_ptr<uint8_t[]> block(new uint8_t[kFileBlock]);
  for (;;) {
    const size_t got = std::fread(block.get(), 1, kFileBlock, file.get());
    // The last, short block is appended too, even when empty: for a zero-length file that
    // append is what fails.
    if (!Append(block.get(), static_cast<uint32_t>(got))) {
      Clear();
      return false;
    }
    if (got < kFileBlock) break;
  }
  return !std::ferror(file.get());
}

uint8_t CBinData::operator[](uint32_t index) const {
  if (index >= size_) throw std::string(kBadIndex);
  return data_[index];
}

uint8_t& CBinData::operator[](uint32_t index) {
  if (index >= size_) throw std::string(kBadIndex);
  return data_[index];
}

int32_t CBinData::FindBytes(const uint8_t* pattern, uint32_t pattern_len, uint32_t start) const {
  if (size_ == 0 || pattern_len == 0 || pattern_len > size_) return -1;
  const uint32_t last = size_ - pattern_len;  // last index where the pattern still fits
  for (uint32_t i = start; i <= last; ++i) {
    if (data_[i] == pattern[0] && std::memcmp(data_ + i, pattern, pattern_len) == 0) {
      return static_cast<int32_t>(i);
    }
  }
  return -1;
}

int32_t CBinData::Find(const CBinData& pattern, uint32_t start) const {
  return FindBytes(pattern.data_, pattern.size_, start);
}

int32_t CBinData::FindString(const char* text, uint32_t start) const {
  if (size_ == 0 || start >= size_ || text == nullptr || text[0] == '\0') return -1;
  // Measure the text no further than the rest of the buffer could match.
  const size_t rest = size_ - start;
  const size_t len = strnlen(text, rest + 1);
  if (len > rest) return -1;
  return FindBytes(reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(len), start);
}

std::string CBinData::Between(const char* begin, const char* end) const {
  const int32_t i = FindString(begin, 0);
  if (i < 0) return std::string();
  const size_t begin_len = std::strlen(begin);
  if (static_cast<uint64_t>(i) + begin_len > UINT32_MAX) return std::string();
  const uint32_t from = static_cast<uint32_t>(i) + static_cast<uint32_t>(begin_len);
  const int32_t j = FindString(end, from);
  if (j < 0 || static_cast<uint32_t>(j) == from) return std::string();
  return std::string(reinterpret_cast<const char*>(data_ + from), static_cast<uint32_t>(j) - from);
}

std::string CBinData::ToHex() const {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(static_cast<size_t>(size_) * 2);
  for (uint32_t i = 0; i < size_; ++i) {
    hex.push_back(kDigits[data_[i] >> 4]);
    hex.push_back(kDigits[data_[i] & 0x0F]);
  }
  return hex;
}

bool CBinData::FromHex(std::string_view hex) {
  if (hex.size() % 2 != 0) return false;
  if (hex.size() / 2 > UINT32_MAX) return false;
  const uint32_t n = static_cast<uint32_t>(hex.size() / 2);
  if (n > size_ && !Alloc(n)) return false;
  size_ = n;
  for (uint32_t i = 0; i < n; ++i) {
    const int hi = HexDigit(hex[2 * i]);
    const int lo = HexDigit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    data_[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return true;
}

bool CBinData::ToString(std::string& text) const {
  if (size_ == 0) {
    text.clear();
    return true;
  }
  const char* bytes = reinterpret_cast<const char*>(data_);
  text.assign(bytes, strnlen(bytes, size_));
  return text.size() == size_;
}

std::string CBinData::ToString() const {
  std::string text;
  ToString(text);
  return text;
}

uint8_t* CBinData::Detach() {
  uint8_t* block = size_ == 0 ? nullptr : data_;
  if (block == nullptr) Clear();
  data_ = nullptr;
  size_ = capacity_ = 0;
  return block;
}

CBase64::CBase64() {
  // -2: not in the alphabet; -1: the padding character. Both are skipped while decoding.
  for (int8_t& v : table_) v = -2;
  for (int p = 0; p < 64; ++p) {
    const uint8_t k = static_cast<uint8_t>(kAlphabet[p]);
    table_[k] = static_cast<int8_t>(p);
    table_[k + 128] = static_cast<int8_t>(p);
  }
  table_[static_cast<uint8_t>('=')] = -1;
  table_[static_cast<uint8_t>('=') + 128] = -1;
}

bool CBase64::Decode(const char* text, CBinData& out) {
  if (text == nullptr || text[0] == '\0') return false;
  const size_t len = std::strlen(text);
  if (len > UINT32_MAX) return false;
  if (!out.Alloc(static_cast<uint32_t>(len))) return false;
  std::memset(out.data(), 0, len);
  accumulator_ = 0;
  pending_bits_ = 0;
  // Every 6 input bits give at most 6/8 of a byte, so the output never overtakes the text.
  uint32_t written = 0;
  for (size_t i = 0; i < len; ++i) {
    const int8_t value = table_[static_cast<uint8_t>(text[i]) & 0x7F];
    if (value < 0) continue;
    accumulator_ = accumulator_ * 64 + static_cast<uint32_t>(value);
    pending_bits_ += 6;
    while (pending_bits_ > 7) {
      out.data()[written++] = static_cast<uint8_t>(accumulator_ >> (pending_bits_ - 8));
      pending_bits_ -= 8;
    }
  }
  out.Shrink(written);
  return true;
}
