#include "messages/f141/hash_loop.h"

#include <algorithm>
#include <vector>

#include "call/failure.h"
#include "call/result_codes.h"
#include "messages/stream_io.h"
#include "support/read_sized.h"

namespace f141 {

size_t BlockSize(int64_t length) {
  constexpr int64_t kCap = 10 << 20;
  constexpr size_t kUnknown = 1 << 20;
  if (length < 0) return kUnknown;
  return static_cast<size_t>(std::min<int64_t>(length, kCap));
}

int32_t HashStream(CallContext& ctx, HCRYPTHASH hash, std::istream& in) {
  const int64_t length = ProbeStreamLength64(in);
  if (length == 0) return RC_OK;
  const size_t block_len = BlockSize(length);
  std::vector<BYTE> block;
  if (!TryResize(block, block_len))
    return ReportFailure(ctx, RC_OUT_OF_MEMORY, "Не удалось выделить %d байт памяти чтения из потока с подписью",
                         static_cast<int>(block_len));
  in.clear();
  // A stream that cannot tell its length (a pipe) cannot seek either: it is hashed from where
  // it stands until it says it has no more.
  if (length > 0) in.seekg(0, std::ios::beg);
  while (in) {
    in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(block_len));
    const std::streamsize got = in.gcount();
    if (got > 0 && !CryptHashData(hash, block.data(), static_cast<DWORD>(got), 0))
      return ReportFailureWithReason(ctx, RC_MSG_UPDATE, "Не удалось создать хэш для блока данных из потока");
  }
  // Only the end of the stream ends the loop: a failed seek or read would leave the hash
  // over part of the data.
  if (in.bad() || !in.eof()) return ReportFailure(ctx, RC_MSG_UPDATE, "Ошибка чтения блока данных из потока");
  return RC_OK;
}

}  // namespace f141
