// CASN1ValueLongData: a primitive value whose content lives in a temporary file instead of
// memory, for ciphertext far larger than should be held. Content is appended in pieces and
// copied to the output in blocks when the value is written. The file exists exactly as
// long as the object (a killed process's file is swept by the next Init).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "asn1/asn1_value.h"

class CASN1ValueLongData : public CASN1Value {
 public:
  // Temporary files of long data are named so: prefix, six characters, suffix.
  static constexpr char kFilePrefix[] = "asn1_ld_";
  static constexpr char kFileSuffix[] = ".tmp";

  // Creates the file in the temporary folder; std::runtime_error "ASN.1: Cannot open
  // tmp-file for long data." when it cannot be made.
  CASN1ValueLongData(uint8_t identifier, uint32_t block_size);
  ~CASN1ValueLongData() override;
  CASN1ValueLongData(const CASN1ValueLongData&) = delete;

  // Appends content at the end of the file; std::runtime_error when the file cannot take it.
  void AppendData(const uint8_t* data, size_t length);
  uint32_t GetLength() const override;
  void Write(std::ostream& out) const override;
  const std::string& file_name() const { return file_name_; }

  // Removes the files of long data that killed processes of this user left behind.
  static size_t SweepLeftovers();

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::string file_name_;
  std::unique_ptr<std::FILE, FileCloser> file_;
  uint32_t block_size_;
  uint64_t size_ = 0;
};
