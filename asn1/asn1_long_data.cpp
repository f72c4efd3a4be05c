#include "asn1/asn1_long_data.h"

#include <unistd.h>

#include <limits>
#include <stdexcept>
#include <vector>

#include "scratch/scratch.h"

CASN1ValueLongData::CASN1ValueLongData(uint8_t identifier, uint32_t block_size)
    : CASN1Value(identifier, nullptr), block_size_(block_size == 0 ? 4096 : block_size) {
  std::string name = scratch::TemporaryFolder() + "/" + kFilePrefix + "XXXXXX" + kFileSuffix;
  // The descriptor keeps the file claimed (no sweep takes it) until the stream closes it.
  const int fd = scratch::CreateClaimed(name, static_cast<int>(sizeof(kFileSuffix) - 1));
  std::FILE* file = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
  if (file == nullptr) {
    if (fd >= 0) {
      close(fd);
      unlink(name.c_str());
    }
    throw std::runtime_error("ASN.1: Cannot open tmp-file for long data.");
  }
  file_.reset(file);
  file_name_ = name;
}

CASN1ValueLongData::~CASN1ValueLongData() {
  file_.reset();
  unlink(file_name_.c_str());
}

void CASN1ValueLongData::AppendData(const uint8_t* data, size_t length) {
  if (length == 0) return;
  // Definite lengths here are 32-bit: content beyond that cannot be written.
  if (size_ + length > std::numeric_limits<uint32_t>::max())
    throw std::runtime_error("ASN.1: Long data is too large.");
  if (std::fseek(file_.get(), 0, SEEK_END) != 0 || std::fwrite(data, 1, length, file_.get()) != length)
    throw std::runtime_error("ASN.1: Cannot write tmp-file for long data.");
  size_ += length;
}

uint32_t CASN1ValueLongData::GetLength() const { return static_cast<uint32_t>(size_); }

void CASN1ValueLongData::Write(std::ostream& out) const {
  WriteHeader(out, GetLength());
  std::FILE* f = file_.get();
  std::fflush(f);
  std::rewind(f);
  std::vector<char> block(block_size_);
  size_t n;
  while ((n = std::fread(block.data(), 1, block.size(), f)) > 0) out.write(block.data(), static_cast<std::streamsize>(n));
}

size_t CASN1ValueLongData::SweepLeftovers() {
  const std::string prefix = kFilePrefix;
  const std::string suffix = kFileSuffix;
  return scratch::SweepUnclaimed(scratch::TemporaryFolder(), [&](const std::string& name) {
    return name.size() == prefix.size() + 6 + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
  });
}
