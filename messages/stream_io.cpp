#include "messages/stream_io.h"

#include <algorithm>

#include "call/call_context.h"
#include "call/failure.h"
#include "call/result_codes.h"
#include "messages/message_feed.h"
#include "text/text.h"
#include "support/format.h"
#include "vexor/exceptions.h"

int64_t ProbeStreamLength64(std::istream& in) {
  const std::istream::pos_type here = in.tellg();
  in.seekg(0, std::ios::end);
  const std::istream::pos_type end = in.tellg();
  if (here != std::istream::pos_type(-1)) in.seekg(here);
  if (end == std::istream::pos_type(-1)) return -1;
  return static_cast<int64_t>(static_cast<std::streamoff>(end));
}

namespace {

[[noreturn]] void Raise(int32_t code, const std::string& text) {
  throw CryptoOperations::baseCryptoException(code, text);
}

[[noreturn]] void RaiseReadError() {
  Raise(RC_MSG_UPDATE, text::Utf8ToCp1251("Ошибка чтения блока данных из потока"));
}

}  // namespace

void FeedStream(HCRYPTMSG msg, std::istream& in, int64_t length, ContentWriter* output) {
  const uint32_t block_len = static_cast<uint32_t>(std::clamp<int64_t>(length, 0, kFeedBlockLimit)) + 1;
  MessageFeed feed(msg, in, block_len, output);
  if (!feed.Allocate())
    Raise(RC_OUT_OF_MEMORY,
          Format(text::Utf8ToCp1251("Не удалось выделить %d байт памяти чтения из потока с подписью").c_str(),
                 static_cast<int>(block_len)));

  in.clear();
  in.seekg(0, std::ios::beg);
  for (;;) {
    const MessageFeed::Block block = feed.Next();
    if (block.size == 0 || block.failed) RaiseReadError();  // an empty stream fails here too
    if (const DWORD err = feed.Update(block.last))
      Raise(RC_MSG_UPDATE, Format(text::Utf8ToCp1251("Не удалось добавить данные из потока в сообщение: %s").c_str(),
                                  SystemErrorTextShort(err).c_str()));
    if (block.last) return;
  }
}

int32_t FeedMessage(CallContext& ctx, HCRYPTMSG msg, std::istream& in, int64_t length, std::istream* content,
                    ContentWriter* output) {
  try {
    FeedStream(msg, in, length, output);
    if (content != nullptr) FeedStream(msg, *content, ProbeStreamLength64(*content), output);
  } catch (const CryptoOperations::SystemException&) {
    throw;  // already reported
  } catch (const CryptoOperations::baseCryptoException& e) {
    return ReportException(ctx, e);
  }
  return RC_OK;
}
