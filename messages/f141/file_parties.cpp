#include "messages/f141/file_parties.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "der/der.h"
#include "frame/call/failure.h"
#include "frame/call/result_codes.h"
#include "stores/instance_context.h"
#include "stores/store_set.h"
#include "support/bindata.h"

namespace {

// The head holds two thumbprints and two subject names; no real head comes near this, and a
// file that claims more is malformed. Only this much of the file is ever read.
constexpr size_t kHeadLimit = 1 << 20;

// The 40 hex characters of a thumbprint block (fewer bytes give fewer characters, the rest
// of the field keeps zeros).
void PutHex(const uint8_t* bytes, uint32_t len, char (&field)[40]) {
  const std::string hex = CBinData(bytes, len).ToHex();
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
  std::vector<char> head(kHeadLimit);
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  der::Reader r(reinterpret_cast<const uint8_t*>(head.data()), static_cast<size_t>(in.gcount()));
  uint32_t version = 0;
  if (!r.U32LE(version) || version != 1) {
    log.Log("Файл \"%s\" имеет ошибочный формат!", name.c_str());
    return RC_DATA_READ;
  }
  static const char* const kNoMemory[] = {
      "Не удалось выделить %d байт памяти для чтения отпечатка сертификата отправителя!",
      "Не удалось выделить %d байт памяти для чтения subject отправителя!",
      "Не удалось выделить %d байт памяти для чтения отпечатка получателя!",
      "Не удалось выделить %d байт памяти для чтения subject получателя!",
  };
  const uint8_t* blocks[4];
  uint32_t lengths[4];
  for (int i = 0; i < 4; ++i) {
    if (!r.U32LE(lengths[i])) {
      log.Log("Файл \"%s\" имеет ошибочный формат!", name.c_str());
      return RC_DATA_READ;
    }
    if (lengths[i] == 0) {
      log.Log(kNoMemory[i], 0);
      return RC_OUT_OF_MEMORY;
    }
    if (!r.Bytes(lengths[i], blocks[i])) {
      log.Log("Файл \"%s\" имеет ошибочный формат!", name.c_str());
      return RC_DATA_READ;
    }
  }
  PutHex(blocks[0], lengths[0], parties->senderThumb);
  PutHex(blocks[2], lengths[2], parties->recipientThumb);
  return RC_OK;
}
