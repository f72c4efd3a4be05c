#include "messages/f141/file_parties.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "frame/call/failure.h"
#include "frame/call/instance_context.h"
#include "frame/call/result_codes.h"
#include "stores/store_set.h"
#include "support/bindata.h"

namespace {

bool ReadWord(std::istream& in, uint32_t& value) {
  unsigned char b[4];
  if (!in.read(reinterpret_cast<char*>(b), 4)) return false;
  value = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
  return true;
}

// The 40 hex characters of a thumbprint block (fewer bytes give fewer characters, the rest
// of the field keeps zeros).
void PutHex(const std::vector<char>& bytes, char (&field)[40]) {
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
  if (!ReadWord(in, version) || version != 1) {
    log.Log("Файл \"%s\" имеет ошибочный формат!", name.c_str());
    return RC_DATA_READ;
  }
  static const char* const kNoMemory[] = {
      "Не удалось выделить %d байт памяти для чтения отпечатка сертификата отправителя!",
      "Не удалось выделить %d байт памяти для чтения subject отправителя!",
      "Не удалось выделить %d байт памяти для чтения отпечатка получателя!",
      "Не удалось выделить %d байт памяти для чтения subject получателя!",
  };
  std::vector<char> blocks[4];
  for (int i = 0; i < 4; ++i) {
    uint32_t len = 0;
    if (!ReadWord(in, len)) {
      log.Log("Файл \"%s\" имеет ошибочный формат!", name.c_str());
      return RC_DATA_READ;
    }
    if (len == 0) {
      log.Log(kNoMemory[i], 0);
      return RC_OUT_OF_MEMORY;
    }
    // Never allocate what the file merely claims: a block longer than the rest is short.
    const std::streampos here = in.tellg();
    in.seekg(0, std::ios::end);
    const std::streamoff left = in.tellg() - here;
    in.seekg(here);
    if (static_cast<std::streamoff>(len) > left) {
      log.Log("Файл \"%s\" имеет ошибочный формат!", name.c_str());
      return RC_DATA_READ;
    }
    blocks[i].resize(len);
    if (!in.read(blocks[i].data(), len)) {
      log.Log("Файл \"%s\" имеет ошибочный формат!", name.c_str());
      return RC_DATA_READ;
    }
  }
  PutHex(blocks[0], parties->senderThumb);
  PutHex(blocks[2], parties->recipientThumb);
  return RC_OK;
}
