#include "messages/f141/fields.h"

#include <algorithm>

#include "call/failure.h"
#include "call/result_codes.h"
#include "stores/cert_ident.h"
#include "text/text.h"
#include "vexor/platform.h"

namespace f141 {

bool ReadU32(std::istream& in, uint32_t& value) {
  uint8_t bytes[4];
  in.read(reinterpret_cast<char*>(bytes), sizeof bytes);
  if (in.gcount() != sizeof bytes) return false;
  value = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
  return true;
}

BlobStatus ReadBlob(std::istream& in, std::vector<uint8_t>& blob, uint32_t* length) {
  uint32_t size = 0;
  blob.clear();
  if (!ReadU32(in, size)) return BlobStatus::kShort;
  if (length != nullptr) *length = size;
  if (size > kMaxBlob) return BlobStatus::kTooLong;
  // Grown as the bytes arrive: a length the stream does not hold costs one chunk at most.
  constexpr size_t kChunk = 64 * 1024;
  while (blob.size() < size) {
    const size_t at = blob.size();
    const size_t want = std::min<size_t>(kChunk, size - at);
    blob.resize(at + want);
    in.read(reinterpret_cast<char*>(blob.data() + at), static_cast<std::streamsize>(want));
    if (static_cast<size_t>(in.gcount()) != want) {
      blob.resize(at + static_cast<size_t>(in.gcount()));
      return BlobStatus::kShort;
    }
  }
  return BlobStatus::kOk;
}

int32_t ReadField(CallContext& ctx, std::istream& in, const char* label, std::vector<uint8_t>& blob) {
  uint32_t length = 0;
  switch (ReadBlob(in, blob, &length)) {
    case BlobStatus::kOk:
      return RC_OK;
    case BlobStatus::kShort:
      return ReportFailure(ctx, RC_DATA_READ, "%sНе верный формат данных", text::Utf8ToCp1251(label).c_str());
    case BlobStatus::kTooLong:
      break;
  }
  return ReportFailure(ctx, RC_OUT_OF_MEMORY, "%sНе удалось выделить %d байт памяти", text::Utf8ToCp1251(label).c_str(),
                       static_cast<int>(length));
}

void WriteU32(std::ostream& out, uint32_t value) {
  const char bytes[4] = {char(value & 0xFF), char(value >> 8 & 0xFF), char(value >> 16 & 0xFF),
                         char(value >> 24 & 0xFF)};
  out.write(bytes, sizeof bytes);
}

void WriteBlob(std::ostream& out, const uint8_t* data, size_t size) {
  WriteU32(out, static_cast<uint32_t>(size));
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

SizedStep ExportKeyBlob(HCRYPTKEY key, HCRYPTKEY wrap, DWORD type, std::vector<uint8_t>& blob, uint32_t& length) {
  const auto read = [&](BYTE* buffer, uint32_t& len) {
    return CryptExportKey(key, wrap, type, 0, buffer, &len) != FALSE;
  };
  return ReadSized(read, blob, length);
}

std::string NameFieldText(const std::vector<uint8_t>& field) {
  CERT_NAME_BLOB name{static_cast<DWORD>(field.size()), const_cast<BYTE*>(field.data())};
  return NameToX500String(name, true);
}

}  // namespace f141
