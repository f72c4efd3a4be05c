#include "messages/f141/file_parties.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "call/failure.h"
#include "call/result_codes.h"
#include "messages/f141/fields.h"
#include "certs/instance_context.h"
#include "stores/store_set.h"
#include "support/bindata.h"

namespace {

// The 40 hex characters of a thumbprint block (fewer bytes give fewer characters, the rest
// of the field keeps zeros).
void PutHex(const std::vector<uint8_t>& bytes, char (&field)[40]) {
  const std::string hex = CBinData(bytes.data(), static_cast<uint32_t>(bytes.size())).ToHex();
  std::memset(field, 0, sizeof field);
  std::memcpy(field, hex.data(), std::min(hex.size(), sizeof field));
}

}  // namespace

int32_t ReadFileParties(InstanceContext& ctx, const char* path, FileParties* parties) {
  CallLog& log = ctx.log();
  if (parties == nullptr) return RC_BAD_PARAMETER;
  const int32_t rc = ctx.stores.Open(ctx.options.UseSST ? (CST_MY | CST_SST) : CST_MY);
  if (rc != RC_OK) return rc;

  const std::string name = path != nullptr ? path : "";
  std::ifstream in(name, std::ios::binary);
  if (!in) {
    log.Log("Не удалось открыть файл \"%s\" на чтение!", name.c_str());
    return RC_FILE_OPEN_READ;
  }
  uint32_t version = 0;
  if (!f141::ReadU32(in, version) || version != f141::kVersion) {
    log.Log("Файл \"%s\" имеет ошибочный формат!", name.c_str());
    return RC_DATA_READ;
  }
  static const char* const kNoMemory[] = {
      "Не удалось выделить %d байт памяти для чтения отпечатка сертификата отправителя!",
      "Не удалось выделить %d байт памяти для чтения subject отправителя!",
      "Не удалось выделить %d байт памяти для чтения отпечатка получателя!",
      "Не удалось выделить %d байт памяти для чтения subject получателя!",
  };
  std::vector<uint8_t> blocks[4];
  for (int i = 0; i < 4; ++i) {
    uint32_t length = 0;
    const f141::BlobStatus status = f141::ReadBlob(in, blocks[i], &length);
    if (status != f141::BlobStatus::kShort && length == 0) {
      log.Log(kNoMemory[i], 0);
      return RC_OUT_OF_MEMORY;
    }
    if (status != f141::BlobStatus::kOk) {
      log.Log("Файл \"%s\" имеет ошибочный формат!", name.c_str());
      return RC_DATA_READ;
    }
  }
  PutHex(blocks[0], parties->senderThumb);
  PutHex(blocks[2], parties->recipientThumb);
  return RC_OK;
}
