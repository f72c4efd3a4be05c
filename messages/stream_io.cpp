#include "messages/stream_io.h"

#include <algorithm>
#include <functional>
#include <future>
#include <system_error>
#include <vector>

#include "call/call_context.h"
#include "call/failure.h"
#include "call/result_codes.h"
#include "text/text.h"
#include "support/format.h"
#include "support/read_sized.h"
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

struct Block {
  DWORD size = 0;
  bool final = false;
};

// Reads the next block of up to block_len bytes; a block shorter than that, or one that
// ends exactly at the end of the stream, is the last.
Block ReadBlock(std::istream& in, BYTE* buffer, uint32_t block_len) {
  if (in.eof()) RaiseReadError();
  in.read(reinterpret_cast<char*>(buffer), block_len);
  const std::streamsize got = in.gcount();
  if (got <= 0) RaiseReadError();
  const bool final = static_cast<uint32_t>(got) < block_len || in.eof() ||
                     in.peek() == std::istream::traits_type::eof();
  // A read that failed (the block's, or the look ahead for the end) is not the end.
  if (in.bad()) RaiseReadError();
  return {static_cast<DWORD>(got), final};
}

void AllocateBlock(std::vector<BYTE>& block, uint32_t block_len) {
  if (!TryResize(block, block_len))
    Raise(RC_OUT_OF_MEMORY,
          Format(text::Utf8ToCp1251("Не удалось выделить %d байт памяти чтения из потока с подписью").c_str(),
                 static_cast<int>(block_len)));
}

}  // namespace

void FeedStream(HCRYPTMSG msg, std::istream& in, int64_t length) {
  const uint32_t block_len = static_cast<uint32_t>(std::clamp<int64_t>(length, 0, kFeedBlockLimit)) + 1;
  // Two blocks for a stream of more than one: the next is read on another thread while the
  // message hashes (and encodes) the current one, so reading costs the hashing core nothing.
  // The second buffer and the thread appear only once the first block is not the last.
  std::vector<BYTE> blocks[2];
  AllocateBlock(blocks[0], block_len);

  in.clear();
  in.seekg(0, std::ios::beg);
  Block current = ReadBlock(in, blocks[0].data(), block_len);
  for (int i = 0;; i = 1 - i) {
    std::future<Block> next;  // joined before the buffers go, on every way out
    if (!current.final) {
      if (blocks[1 - i].empty()) AllocateBlock(blocks[1 - i], block_len);
      BYTE* const buffer = blocks[1 - i].data();
      try {
        next = std::async(std::launch::async, ReadBlock, std::ref(in), buffer, block_len);
      } catch (const std::system_error&) {
        // No thread to be had: the next block is read after this one is added.
        next = std::async(std::launch::deferred, ReadBlock, std::ref(in), buffer, block_len);
      }
    }
    if (!CryptMsgUpdate(msg, blocks[i].data(), current.size, current.final ? TRUE : FALSE))
      Raise(RC_MSG_UPDATE, Format(text::Utf8ToCp1251("Не удалось добавить данные из потока в сообщение: %s").c_str(),
                                  SystemErrorTextShort(GetLastError()).c_str()));
    if (current.final) return;
    current = next.get();
  }
}

int32_t FeedMessage(CallContext& ctx, HCRYPTMSG msg, std::istream& in, int64_t length, std::istream* content) {
  try {
    FeedStream(msg, in, length);
    if (content != nullptr) FeedStream(msg, *content, ProbeStreamLength64(*content));
  } catch (const CryptoOperations::SystemException&) {
    throw;  // already reported
  } catch (const CryptoOperations::baseCryptoException& e) {
    return ReportException(ctx, e);
  }
  return RC_OK;
}
