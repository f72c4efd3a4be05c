// The fields of "141" files: 32-bit little-endian numbers and blobs (a number, then that
// many bytes), read from and written to streams. Every reader in this folder goes through
// these, so a length field never makes the library allocate what the input does not hold.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "support/read_sized.h"
#include "vexor/platform.h"

class CallContext;

namespace f141 {

// The version word that opens every "141" signature and message.
constexpr uint32_t kVersion = 1;

// Largest blob a reader takes: the head's blobs (thumbprints, names, key blobs, signatures,
// initialisation vectors) are all far smaller. A longer one is refused as memory that
// cannot be had.
constexpr uint32_t kMaxBlob = 1u << 20;

enum class BlobStatus { kOk, kShort, kTooLong };

// False when the stream ends before four bytes.
bool ReadU32(std::istream& in, uint32_t& value);
// Reads the length, then exactly that many bytes; kShort when the stream ends first,
// kTooLong (nothing read after the length) for a length over kMaxBlob.
BlobStatus ReadBlob(std::istream& in, std::vector<uint8_t>& blob, uint32_t* length = nullptr);

// ReadBlob with the failure reported for the field: 11 "<label>Не верный формат данных"
// for a short read, 6 "<label>Не удалось выделить %d байт памяти" for a refused length.
// label is UTF-8; 0 or the reported code.
int32_t ReadField(CallContext& ctx, std::istream& in, const char* label, std::vector<uint8_t>& blob);

void WriteU32(std::ostream& out, uint32_t value);
void WriteBlob(std::ostream& out, const uint8_t* data, size_t size);
inline void WriteBlob(std::ostream& out, const std::vector<uint8_t>& blob) { WriteBlob(out, blob.data(), blob.size()); }
inline void WriteBlob(std::ostream& out, const std::string& text) {
  WriteBlob(out, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// A key exported as a provider blob (CryptExportKey with the wrapping key, flags 0): which
// step failed, with the length the size query gave.
SizedStep ExportKeyBlob(HCRYPTKEY key, HCRYPTKEY wrap, DWORD type, std::vector<uint8_t>& blob, uint32_t& length);

// A name field as text: an encoded X.500 name becomes its X.500 string, anything else (the
// common name the library writes) is taken as it is.
std::string NameFieldText(const std::vector<uint8_t>& field);

}  // namespace f141
